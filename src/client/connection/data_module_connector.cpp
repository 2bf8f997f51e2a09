#include "client/connection/data_module_connector.h"

#include <stdexcept>

namespace tovra::client {

DataModuleConnector::DataModuleConnector(server::TfrmDmUMClient& data_module)
    : dm_(data_module),
      message_set_{&data_module.roBinMessage, nullptr, &data_module.roPostMessage} {}

void DataModuleConnector::SetupChannel(const TClientConfig& config) {
  setup_failure_.clear();
  const QString& protocol = config.ServerProtocol;
  try {
    if (protocol == u"HTTP") {
      SetupHTTPChannel(dm_.roHTTPChannel, dm_.RODataSnapConnection, config, message_set_);
    } else if (protocol == u"TCP") {
      SetupTCPChannel(dm_.roTCPChannel, dm_.RODataSnapConnection, config, message_set_);
    } else if (protocol == u"UDP") {
      SetupUDPChannel(dm_.roUDPChannel, dm_.RODataSnapConnection, config, message_set_);
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

  remoting::ClientChannel* channel = nullptr;
  if (config.ServerProtocol == u"HTTP") {
    channel = &dm_.roHTTPChannel;
  } else if (config.ServerProtocol == u"TCP") {
    channel = &dm_.roTCPChannel;
  } else if (config.ServerProtocol == u"UDP") {
    channel = &dm_.roUDPChannel;
  }
  remoting::Message* message = nullptr;
  if (config.MessageProtocol == u"BIN") {
    message = &dm_.roBinMessage;
  } else if (config.MessageProtocol == u"POST") {
    message = &dm_.roPostMessage;
  }

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
