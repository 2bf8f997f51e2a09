#include "remoting/service_proxy.h"

namespace tovra::remoting {

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
  Message& message = Begin("AS_ApplyUpdates");
  message.WriteString("ProviderName", ProviderName);
  message.WriteBinary("Delta", Delta);
  message.WriteInt32("MaxErrors", MaxErrors);
  message.WriteBinary("OwnerData", OwnerData);
  Send();
  return {message.ReadBinary("Result"), message.ReadInt32("ErrorCount"),
          OptionalBinary("OwnerData")};
}

GetRecordsResult AppServerProxy::AS_GetRecords(const std::string& ProviderName, std::int32_t Count,
                                               std::int32_t Options, const std::string& CommandText,
                                               const Bytes& Params, const Bytes& OwnerData) {
  Message& message = Begin("AS_GetRecords");
  message.WriteString("ProviderName", ProviderName);
  message.WriteInt32("Count", Count);
  message.WriteInt32("Options", Options);
  message.WriteString("CommandText", CommandText);
  message.WriteBinary("Params", Params);
  message.WriteBinary("OwnerData", OwnerData);
  Send();
  return {message.ReadBinary("Result"), message.ReadInt32("RecsOut"), OptionalBinary("OwnerData")};
}

Bytes AppServerProxy::AS_DataRequest(const std::string& ProviderName, const Bytes& Data) {
  Message& message = Begin("AS_DataRequest");
  message.WriteString("ProviderName", ProviderName);
  message.WriteBinary("Data", Data);
  Send();
  return message.ReadBinary("Result");
}

std::vector<std::string> AppServerProxy::AS_GetProviderNames() {
  Begin("AS_GetProviderNames");
  Send();
  return SplitProviderNames(GetMessage().ReadString("Result"));
}

PacketResult AppServerProxy::AS_GetParams(const std::string& ProviderName, const Bytes& OwnerData) {
  Message& message = Begin("AS_GetParams");
  message.WriteString("ProviderName", ProviderName);
  message.WriteBinary("OwnerData", OwnerData);
  Send();
  return {message.ReadBinary("Result"), OptionalBinary("OwnerData")};
}

PacketResult AppServerProxy::AS_RowRequest(const std::string& ProviderName, const Bytes& Row,
                                           std::int32_t RequestType, const Bytes& OwnerData) {
  Message& message = Begin("AS_RowRequest");
  message.WriteString("ProviderName", ProviderName);
  message.WriteBinary("Row", Row);
  message.WriteInt32("RequestType", RequestType);
  message.WriteBinary("OwnerData", OwnerData);
  Send();
  return {message.ReadBinary("Result"), OptionalBinary("OwnerData")};
}

PacketResult AppServerProxy::AS_Execute(const std::string& ProviderName,
                                        const std::string& CommandText, const Bytes& Params,
                                        const Bytes& OwnerData) {
  Message& message = Begin("AS_Execute");
  message.WriteString("ProviderName", ProviderName);
  message.WriteString("CommandText", CommandText);
  message.WriteBinary("Params", Params);
  message.WriteBinary("OwnerData", OwnerData);
  Send();
  return {message.ReadBinary("Params"), OptionalBinary("OwnerData")};
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
