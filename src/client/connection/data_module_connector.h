#pragma once

// The login dialog's connector over the data module: the transport set-up of each attempt
// goes into the data module's channels, messages and dataset connection, and the service
// client it builds replaces UMServer. The login and the dataset traffic that follows then
// share one channel, one message and so one server session.

#include <string>

#include "client/connection/login_connector.h"
#include "client/connection/transport_setup.h"
#include "client/server/data_module.h"

namespace tovra::client {

class DataModuleConnector : public LoginConnector {
 public:
  // `data_module` must outlive the connector.
  explicit DataModuleConnector(server::TfrmDmUMClient& data_module);

  // Bin = roBinMessage, Soap = none, Post = roPostMessage.
  const TMessageSet& MessageSet() const { return message_set_; }

  // Picks the set-up of the profile's protocol (ServedProtocolOf); any other protocol
  // configures nothing.
  void SetupChannel(const TClientConfig& config) override;
  // Throws when the profile's protocol or message has no component here, or when the
  // channel set-up of this attempt failed: a half-configured channel still points where an
  // earlier profile sent it, and a login must not reach a server this profile does not
  // name. UMServer is then empty rather than left on an earlier attempt's transport.
  void CreateServiceProxy(const TClientConfig& config) override;
  QString login(const QString& user_name, const QString& password, const QString& role) override;

 private:
  remoting::ClientChannel& ChannelOf(TransportProtocol protocol);

  server::TfrmDmUMClient& dm_;
  TMessageSet message_set_;
  // Why the last channel set-up failed; empty when it succeeded.
  std::string setup_failure_;
};

}  // namespace tovra::client
