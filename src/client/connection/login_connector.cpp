#include "client/connection/login_connector.h"

#include "client/connection/transport_setup.h"

namespace tovra::client {

QString UnsupportedTransportReason(const TClientConfig& config) {
  const QString& protocol = config.ServerProtocol;
  if (!ServedProtocolOf(protocol)) {
    return QStringLiteral(
               "The profile's protocol \"%1\" is not supported; edit the profile and choose "
               "HTTP or TCP.")
        .arg(protocol);
  }
  const QString& message = config.MessageProtocol;
  if (!ServedMessageFormatOf(message)) {
    return QStringLiteral(
               "The profile's message kind \"%1\" is not supported; edit the profile and "
               "choose BIN.")
        .arg(message);
  }
  return {};
}

}  // namespace tovra::client
