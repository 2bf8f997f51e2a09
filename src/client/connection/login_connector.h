#pragma once

// The one seam between the login dialog and the remoting layer. The dialog reads the
// profile, splits the user name and reports every outcome; the connector owns the data
// module's channels, messages and service client and does the work on the wire.

#include <QString>

#include "client/connection/profile_store.h"

namespace tovra::client {

class LoginConnector {
 public:
  virtual ~LoginConnector() = default;

  // Puts the channel of the profile's protocol, configured from the profile (address,
  // proxy, compression, cipher), and the profile's message into the dataset connection.
  // Raises an error when the framework refuses a setting.
  virtual void SetupChannel(const TClientConfig& config) = 0;

  // Replaces the service client with a new one on the profile's channel and message.
  virtual void CreateServiceProxy(const TClientConfig& config) = 0;

  // The server's login operation on the current service client: the result is the
  // server's refusal text, empty when the login succeeded. Transport failures raise.
  virtual QString login(const QString& user_name, const QString& password, const QString& role) = 0;
};

// Why a login cannot go out with this profile, or empty when it can. The configuration
// dialog only produces HTTP or TCP with BIN, but a hand-edited store may hold a protocol
// or message kind that no channel or message of this program serves (SOAP among them).
QString UnsupportedTransportReason(const TClientConfig& config);

}  // namespace tovra::client
