#include "remoting/service_proxy.h"

#include "contract/app_server.h"

namespace tovra::remoting {

namespace op = contract::op;
namespace param = contract::param;
namespace result = contract::result;

ServiceProxy::ServiceProxy(Message& message, ClientChannel& channel, std::string library,
                           std::string interface_name)
    : message_(message),
      channel_(channel),
      library_(std::move(library)),
      interface_name_(std::move(interface_name)) {}

Message& ServiceProxy::Begin(std::string_view operation) {
  message_.Initialize(library_, interface_name_, operation);
  return message_;
}

void ServiceProxy::Send() {
  channel_.Dispatch(message_);
}

Bytes ServiceProxy::OptionalBinary(std::string_view name) const {
  if (FindValue(message_.Results(), name) == nullptr) {
    return {};
  }
  return message_.ReadBinary(name);
}

ApplyUpdatesResult AppServerProxy::AS_ApplyUpdates(const std::string& ProviderName,
                                                   const Bytes& Delta, std::int32_t MaxErrors,
                                                   const Bytes& OwnerData) {
  Message& message = Begin(op::kApplyUpdates);
  message.WriteString(param::kProviderName, ProviderName);
  message.WriteBinary(param::kDelta, Delta);
  message.WriteInt32(param::kMaxErrors, MaxErrors);
  message.WriteBinary(param::kOwnerData, OwnerData);
  Send();
  return {message.ReadBinary(result::kResult), message.ReadInt32(result::kErrorCount),
          OptionalBinary(param::kOwnerData)};
}

GetRecordsResult AppServerProxy::AS_GetRecords(const std::string& ProviderName, std::int32_t Count,
                                               std::int32_t Options, const std::string& CommandText,
                                               const Bytes& Params, const Bytes& OwnerData) {
  Message& message = Begin(op::kGetRecords);
  message.WriteString(param::kProviderName, ProviderName);
  message.WriteInt32(param::kCount, Count);
  message.WriteInt32(param::kOptions, Options);
  message.WriteString(param::kCommandText, CommandText);
  message.WriteBinary(param::kParams, Params);
  message.WriteBinary(param::kOwnerData, OwnerData);
  Send();
  return {message.ReadBinary(result::kResult), message.ReadInt32(result::kRecsOut),
          OptionalBinary(param::kOwnerData)};
}

Bytes AppServerProxy::AS_DataRequest(const std::string& ProviderName, const Bytes& Data) {
  Message& message = Begin(op::kDataRequest);
  message.WriteString(param::kProviderName, ProviderName);
  message.WriteBinary(param::kData, Data);
  Send();
  return message.ReadBinary(result::kResult);
}

std::vector<std::string> AppServerProxy::AS_GetProviderNames() {
  Begin(op::kGetProviderNames);
  Send();
  return SplitProviderNames(GetMessage().ReadString(result::kResult));
}

PacketResult AppServerProxy::AS_GetParams(const std::string& ProviderName, const Bytes& OwnerData) {
  Message& message = Begin(op::kGetParams);
  message.WriteString(param::kProviderName, ProviderName);
  message.WriteBinary(param::kOwnerData, OwnerData);
  Send();
  return {message.ReadBinary(result::kResult), OptionalBinary(param::kOwnerData)};
}

PacketResult AppServerProxy::AS_RowRequest(const std::string& ProviderName, const Bytes& Row,
                                           std::int32_t RequestType, const Bytes& OwnerData) {
  Message& message = Begin(op::kRowRequest);
  message.WriteString(param::kProviderName, ProviderName);
  message.WriteBinary(param::kRow, Row);
  message.WriteInt32(param::kRequestType, RequestType);
  message.WriteBinary(param::kOwnerData, OwnerData);
  Send();
  return {message.ReadBinary(result::kResult), OptionalBinary(param::kOwnerData)};
}

PacketResult AppServerProxy::AS_Execute(const std::string& ProviderName,
                                        const std::string& CommandText, const Bytes& Params,
                                        const Bytes& OwnerData) {
  Message& message = Begin(op::kExecute);
  message.WriteString(param::kProviderName, ProviderName);
  message.WriteString(param::kCommandText, CommandText);
  message.WriteBinary(param::kParams, Params);
  message.WriteBinary(param::kOwnerData, OwnerData);
  Send();
  return {message.ReadBinary(param::kParams), OptionalBinary(param::kOwnerData)};
}

std::vector<std::string> SplitProviderNames(std::string_view joined) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start < joined.size()) {
    std::size_t end = joined.find('\n', start);
    if (end == std::string_view::npos)
      end = joined.size();
    if (end > start)
      names.emplace_back(joined.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

std::string JoinProviderNames(const std::vector<std::string>& names) {
  std::string joined;
  for (const std::string& name : names) {
    if (!joined.empty())
      joined.push_back('\n');
    joined += name;
  }
  return joined;
}

}  // namespace tovra::remoting
