#pragma once

// The client side of a service: a proxy turns each operation into one call over a message
// object and a channel that its owner keeps (the proxy holds references, not copies).
//
// IAppServer is the interface every service with dataset providers extends: the seven
// provider operations a dataset connection sends. Data packets, deltas and parameter lists
// travel as opaque binary values; the dataset layer encodes them. docs/protocol.md lists
// every operation's values.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "remoting/channel.h"
#include "remoting/message.h"

namespace tovra::remoting {

class ServiceProxy {
 public:
  ServiceProxy(Message& message, ClientChannel& channel, std::string library,
               std::string interface_name);
  virtual ~ServiceProxy() = default;
  ServiceProxy(const ServiceProxy&) = delete;
  ServiceProxy& operator=(const ServiceProxy&) = delete;

  const std::string& LibraryName() const { return library_; }
  const std::string& InterfaceName() const { return interface_name_; }
  Message& GetMessage() const { return message_; }
  ClientChannel& GetChannel() const { return channel_; }

 protected:
  // Starts a call of `operation`: the caller writes its values into the returned message,
  // then calls Send and reads the results from the message.
  Message& Begin(std::string_view operation);
  // Sends the call and reads the answer; transport errors, time-outs and faults propagate.
  void Send();
  // A result that older servers may leave out.
  Bytes OptionalBinary(std::string_view name) const;

 private:
  Message& message_;
  ClientChannel& channel_;
  const std::string library_;
  const std::string interface_name_;
};

struct ApplyUpdatesResult {
  Bytes result;  // the reconcile packet: the rows the provider refused, with the reasons
  std::int32_t error_count = 0;
  Bytes owner_data;
};

struct GetRecordsResult {
  Bytes result;  // the data packet
  std::int32_t records_out = 0;
  Bytes owner_data;
};

struct PacketResult {
  Bytes result;
  Bytes owner_data;
};

class IAppServer {
 public:
  virtual ~IAppServer() = default;

  virtual ApplyUpdatesResult AS_ApplyUpdates(const std::string& ProviderName, const Bytes& Delta,
                                             std::int32_t MaxErrors, const Bytes& OwnerData) = 0;
  virtual GetRecordsResult AS_GetRecords(const std::string& ProviderName, std::int32_t Count,
                                         std::int32_t Options, const std::string& CommandText,
                                         const Bytes& Params, const Bytes& OwnerData) = 0;
  virtual Bytes AS_DataRequest(const std::string& ProviderName, const Bytes& Data) = 0;
  virtual std::vector<std::string> AS_GetProviderNames() = 0;
  virtual PacketResult AS_GetParams(const std::string& ProviderName, const Bytes& OwnerData) = 0;
  virtual PacketResult AS_RowRequest(const std::string& ProviderName, const Bytes& Row,
                                     std::int32_t RequestType, const Bytes& OwnerData) = 0;
  // The result is the output parameter list.
  virtual PacketResult AS_Execute(const std::string& ProviderName, const std::string& CommandText,
                                  const Bytes& Params, const Bytes& OwnerData) = 0;
};

class AppServerProxy : public ServiceProxy, public virtual IAppServer {
 public:
  using ServiceProxy::ServiceProxy;

  ApplyUpdatesResult AS_ApplyUpdates(const std::string& ProviderName, const Bytes& Delta,
                                     std::int32_t MaxErrors, const Bytes& OwnerData) override;
  GetRecordsResult AS_GetRecords(const std::string& ProviderName, std::int32_t Count,
                                 std::int32_t Options, const std::string& CommandText,
                                 const Bytes& Params, const Bytes& OwnerData) override;
  Bytes AS_DataRequest(const std::string& ProviderName, const Bytes& Data) override;
  std::vector<std::string> AS_GetProviderNames() override;
  PacketResult AS_GetParams(const std::string& ProviderName, const Bytes& OwnerData) override;
  PacketResult AS_RowRequest(const std::string& ProviderName, const Bytes& Row,
                             std::int32_t RequestType, const Bytes& OwnerData) override;
  PacketResult AS_Execute(const std::string& ProviderName, const std::string& CommandText,
                          const Bytes& Params, const Bytes& OwnerData) override;
};

// Provider names travel as one string, separated by line feeds.
std::vector<std::string> SplitProviderNames(std::string_view joined);
std::string JoinProviderNames(const std::vector<std::string>& names);

}  // namespace tovra::remoting
