#pragma once

// The dataset connection of the data module: the client datasets reach the server's
// providers through it. It holds one channel and one message, both owned by the data module,
// and sends the provider operations to the service it names over them. Because the client id
// belongs to the message, the service client built on the same message and channel shares
// the server session with every dataset (login first, then the dataset traffic).
//
// "Connected" means a provider client exists for the current channel and message; the
// connection connects when the first dataset opens. Channel and message may be replaced only
// after Disconnect, so a request never goes out half on the old transport, half on the new.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "contract/um_service.h"
#include "dataset/packet.h"
#include "dataset/provider_connection.h"
#include "remoting/channel.h"
#include "remoting/message.h"
#include "remoting/service_proxy.h"

namespace tovra::client::server {

class DatasetConnection : public dataset::ProviderConnection {
 public:
  static constexpr std::string_view kDefaultServerName = contract::kServiceName;

  // Either may be null; Connect then refuses with a sentence that names the missing part.
  DatasetConnection(remoting::Message* message, remoting::ClientChannel* channel);
  ~DatasetConnection() override;
  DatasetConnection(const DatasetConnection&) = delete;
  DatasetConnection& operator=(const DatasetConnection&) = delete;

  const std::string& ServerName() const { return server_name_; }
  // The service library the provider operations are addressed to.
  const std::string& LibraryName() const { return library_name_; }
  // Throw std::logic_error while connected.
  void SetServerName(std::string name);
  void SetChannel(remoting::ClientChannel* channel);
  void SetMessage(remoting::Message* message);
  remoting::ClientChannel* Channel() const { return channel_; }
  remoting::Message* GetMessage() const { return message_; }

  bool Connected() const { return provider_ != nullptr; }
  // Builds the provider client on the current channel and message. No request goes out:
  // the first provider operation is the first traffic. Throws std::runtime_error when the
  // channel or the message is missing.
  void Connect();
  // Drops the provider client; the channel, the message and the server session stay.
  void Disconnect();

  // The provider operations; each connects first when needed. Transport errors, time-outs
  // and the server's faults reach the caller unchanged.
  std::string GetRecords(const std::string& provider_name,
                         const std::vector<dataset::Param>& params) override;
  ApplyResult ApplyUpdates(const std::string& provider_name, const std::string& delta,
                           int max_errors) override;
  std::vector<dataset::Param> GetParams(const std::string& provider_name);
  std::vector<std::string> GetProviderNames();

 private:
  remoting::AppServerProxy& Provider();

  std::string server_name_{kDefaultServerName};
  std::string library_name_;
  remoting::Message* message_;
  remoting::ClientChannel* channel_;
  std::unique_ptr<remoting::AppServerProxy> provider_;
};

}  // namespace tovra::client::server
