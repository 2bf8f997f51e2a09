#include "client/connection/transport_setup.h"

#include <array>
#include <cstdint>
#include <utility>

namespace tovra::client {

namespace {

// The one table of what a profile may name and what this program serves of it.
struct ProtocolEntry {
  const char16_t* name;
  TransportProtocol protocol;
};
constexpr ProtocolEntry kProtocols[] = {
    {u"HTTP", TransportProtocol::kHTTP},
    {u"TCP", TransportProtocol::kTCP},
    {u"UDP", TransportProtocol::kUDP},
};

struct MessageFormatEntry {
  const char16_t* name;
  MessageFormat kind;
  bool served;  // a message object of this program reads and writes it
};
constexpr MessageFormatEntry kMessageFormats[] = {
    {u"BIN", MessageFormat::kBIN, true},
    {u"SOAP", MessageFormat::kSOAP, false},
    {u"POST", MessageFormat::kPOST, true},
};

// A port number the socket layer can take. The profile's integers are 32-bit; cutting them
// down silently would connect somewhere else than the profile says.
std::uint16_t PortOf(std::int32_t port, const char* what) {
  if (port < 1 || port > 65535) {
    throw TransportSetupError(QStringLiteral("The profile's %1 %2 is not a port number (1 to "
                                             "65535); edit the profile.")
                                  .arg(QString::fromUtf8(what))
                                  .arg(port)
                                  .toStdString());
  }
  return static_cast<std::uint16_t>(port);
}

void SetupEnvelope(remoting::ClientChannel& channel, const TClientConfig& config) {
  channel.SetCompression(config.UseCompression == 1);
  channel.SetCipher(EncryptionMethodOf(config.EncryptionMethod));
}

void AttachTo(server::DatasetConnection& connection, remoting::ClientChannel& channel,
              const TClientConfig& config, const TMessageSet& messages) {
  connection.Disconnect();
  connection.SetChannel(&channel);
  remoting::Message* message = MessageOf(config.MessageProtocol, messages);
  connection.SetMessage(message);
  if (message == nullptr) {
    throw TransportSetupError(QStringLiteral("The profile's message kind \"%1\" has no message "
                                             "in this program; edit the profile and choose BIN.")
                                  .arg(config.MessageProtocol)
                                  .toStdString());
  }
}

// TCP and UDP take the same settings from a profile: port, then host, then the envelope.
template <typename Channel>
void SetupHostChannel(Channel& channel, server::DatasetConnection& connection,
                      const TClientConfig& config, const TMessageSet& messages) {
  channel.SetPort(PortOf(config.Port, "port"));
  channel.SetHost(config.ServerName.toStdString());
  SetupEnvelope(channel, config);
  AttachTo(connection, channel, config, messages);
}

}  // namespace

remoting::Cipher EncryptionMethodOf(const QString& name) {
  static const std::array<std::pair<QString, remoting::Cipher>, 4> kCiphers = {{
      {QStringLiteral("Blowfish"), remoting::Cipher::kBlowfish},
      {QStringLiteral("DES"), remoting::Cipher::kDES},
      {QStringLiteral("Rijndael"), remoting::Cipher::kRijndael},
      {QStringLiteral("TwoFish"), remoting::Cipher::kTwoFish},
  }};
  for (const auto& [cipher_name, cipher] : kCiphers) {
    if (name.compare(cipher_name, Qt::CaseInsensitive) == 0) {
      return cipher;
    }
  }
  return remoting::Cipher::kNone;
}

std::optional<TransportProtocol> ServedProtocolOf(const QString& name) {
  for (const auto& entry : kProtocols) {
    if (name == QStringView(entry.name)) {
      return entry.protocol;
    }
  }
  return std::nullopt;
}

std::optional<MessageFormat> ServedMessageFormatOf(const QString& name) {
  for (const auto& entry : kMessageFormats) {
    if (entry.served && name == QStringView(entry.name)) {
      return entry.kind;
    }
  }
  return std::nullopt;
}

remoting::Message* MessageOf(const QString& name, const TMessageSet& messages) {
  const std::optional<MessageFormat> kind = ServedMessageFormatOf(name);
  if (!kind) {
    return nullptr;
  }
  switch (*kind) {
    case MessageFormat::kBIN:
      return messages.Bin;
    case MessageFormat::kSOAP:
      return messages.Soap;
    case MessageFormat::kPOST:
      return messages.Post;
  }
  return nullptr;
}

QString HttpTargetOf(const TClientConfig& config) {
  return QStringLiteral("http://%1:%2/bin").arg(config.ServerName).arg(config.Port);
}

void SetupHTTPChannel(remoting::HttpClientChannel& channel, server::DatasetConnection& connection,
                      TClientConfig config, const TMessageSet& messages) {
  if (config.UseProxy == 1) {
    channel.SetProxyPort(PortOf(config.ProxyPort, "proxy port"));
    channel.SetProxyServer(config.ProxyServer.toStdString());
    channel.SetProxyPassword(config.ProxyPassword.toStdString());
    channel.SetProxyUser(config.ProxyUser.toStdString());
  } else {
    // Nothing of an earlier attempt or of the environment may route this one.
    channel.ClearProxy();
  }
  channel.SetTargetUrl(HttpTargetOf(config).toStdString());
  SetupEnvelope(channel, config);
  AttachTo(connection, channel, config, messages);
}

void SetupTCPChannel(remoting::TcpClientChannel& channel, server::DatasetConnection& connection,
                     TClientConfig config, const TMessageSet& messages) {
  SetupHostChannel(channel, connection, config, messages);
}

void SetupUDPChannel(remoting::UdpClientChannel& channel, server::DatasetConnection& connection,
                     TClientConfig config, const TMessageSet& messages) {
  SetupHostChannel(channel, connection, config, messages);
}

}  // namespace tovra::client
