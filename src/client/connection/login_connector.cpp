#include "client/connection/login_connector.h"

namespace tovra::client {

QString UnsupportedTransportReason(const TClientConfig& config) {
  const QString& protocol = config.ServerProtocol;
  if (protocol != u"HTTP" && protocol != u"TCP" && protocol != u"UDP") {
    return QStringLiteral(
               "The profile's protocol \"%1\" is not supported; edit the profile and choose "
               "HTTP or TCP.")
        .arg(protocol);
  }
  const QString& message = config.MessageProtocol;
  if (message != u"BIN" && message != u"POST") {
    return QStringLiteral(
               "The profile's message kind \"%1\" is not supported; edit the profile and "
               "choose BIN.")
        .arg(message);
  }
  return {};
}

}  // namespace tovra::client
