#include "client/connection/data_module_connector.h"

#include <optional>
#include <stdexcept>

namespace tovra::client {

DataModuleConnector::DataModuleConnector(server::TfrmDmUMClient& data_module)
    : dm_(data_module),
      message_set_{&data_module.roBinMessage, nullptr, &data_module.roPostMessage} {}

remoting::ClientChannel& DataModuleConnector::ChannelOf(TransportProtocol protocol) {
  switch (protocol) {
    case TransportProtocol::kHTTP:
      return dm_.roHTTPChannel;
    case TransportProtocol::kTCP:
      return dm_.roTCPChannel;
    case TransportProtocol::kUDP:
      return dm_.roUDPChannel;
  }
  throw std::logic_error("no channel for this protocol");
}

void DataModuleConnector::SetupChannel(const TClientConfig& config) {
  setup_failure_.clear();
  const std::optional<TransportProtocol> protocol = ServedProtocolOf(config.ServerProtocol);
  if (!protocol) {
    return;
  }
  try {
    switch (*protocol) {
      case TransportProtocol::kHTTP:
        SetupHTTPChannel(dm_.roHTTPChannel, dm_.RODataSnapConnection, config, message_set_);
        break;
      case TransportProtocol::kTCP:
        SetupTCPChannel(dm_.roTCPChannel, dm_.RODataSnapConnection, config, message_set_);
        break;
      case TransportProtocol::kUDP:
        SetupUDPChannel(dm_.roUDPChannel, dm_.RODataSnapConnection, config, message_set_);
        break;
    }
  } catch (const std::exception& error) {
    setup_failure_ = error.what();
    throw;
  }
}

void DataModuleConnector::CreateServiceProxy(const TClientConfig& config) {
  dm_.UMServer.reset();
  if (!setup_failure_.empty()) {
    throw std::runtime_error("The connection could not be set up from this profile: " +
                             setup_failure_);
  }

  const std::optional<TransportProtocol> protocol = ServedProtocolOf(config.ServerProtocol);
  remoting::ClientChannel* channel = protocol ? &ChannelOf(*protocol) : nullptr;
  remoting::Message* message = MessageOf(config.MessageProtocol, message_set_);

  if (channel == nullptr) {
    throw std::runtime_error(QStringLiteral("No channel serves the protocol \"%1\"; edit the "
                                            "profile and choose HTTP or TCP.")
                                 .arg(config.ServerProtocol)
                                 .toStdString());
  }
  if (message == nullptr) {
    throw std::runtime_error(QStringLiteral("No message serves the message kind \"%1\"; edit "
                                            "the profile and choose BIN.")
                                 .arg(config.MessageProtocol)
                                 .toStdString());
  }
  dm_.UMServer = server::CorodmKWVUMServer::Create(*message, *channel);
}

QString DataModuleConnector::login(const QString& user_name, const QString& password,
                                   const QString& role) {
  if (!dm_.UMServer) {
    throw std::logic_error("There is no service client: the transport was not set up.");
  }
  return QString::fromStdString(
      dm_.UMServer->login(user_name.toStdString(), password.toStdString(), role.toStdString()));
}

}  // namespace tovra::client
