#include "client/server/kwvum_server_intf.h"

namespace tovra::client::server {

TrodmKWVUMServer_Proxy::TrodmKWVUMServer_Proxy(remoting::Message& message,
                                               remoting::ClientChannel& channel)
    : AppServerProxy(message, channel, std::string(kLibraryName), std::string(kServiceName)) {}

std::string TrodmKWVUMServer_Proxy::login(const std::string& UserName, const std::string& Password,
                                          const std::string& Role) {
  remoting::Message& message = Begin("login");
  message.WriteString("UserName", UserName);
  message.WriteString("Password", Password);
  message.WriteString("Role", Role);
  Send();
  return message.ReadString("Result");
}

std::string TrodmKWVUMServer_Proxy::CreateRDBMSUser(const std::string& Username,
                                                    const std::string& Password) {
  remoting::Message& message = Begin("CreateRDBMSUser");
  message.WriteString("Username", Username);  // lower-case n: the service reads it so
  message.WriteString("Password", Password);
  Send();
  return message.ReadString("Result");
}

std::string TrodmKWVUMServer_Proxy::ChangePassword(const std::string& UserName,
                                                   const std::string& oldPassword,
                                                   const std::string& newPassword) {
  remoting::Message& message = Begin("ChangePassword");
  message.WriteString("UserName", UserName);
  message.WriteString("oldPassword", oldPassword);
  message.WriteString("newPassword", newPassword);
  Send();
  return message.ReadString("Result");
}

std::string TrodmKWVUMServer_Proxy::CallForText(std::string_view operation) {
  Begin(operation);
  Send();
  return GetMessage().ReadString("Result");
}

void TrodmKWVUMServer_Proxy::CallForNothing(std::string_view operation) {
  Begin(operation);
  Send();
}

std::string TrodmKWVUMServer_Proxy::DBType() {
  return CallForText("DBType");
}
void TrodmKWVUMServer_Proxy::commit() {
  CallForNothing("commit");
}
std::string TrodmKWVUMServer_Proxy::DBServer() {
  return CallForText("DBServer");
}
std::string TrodmKWVUMServer_Proxy::DBName() {
  return CallForText("DBName");
}
void TrodmKWVUMServer_Proxy::DestroyDataModule() {
  CallForNothing("DestroyDataModule");
}
void TrodmKWVUMServer_Proxy::KeepAlive() {
  CallForNothing("KeepAlive");
}

std::shared_ptr<IrodmKWVUMServer> CorodmKWVUMServer::Create(remoting::Message& message,
                                                            remoting::ClientChannel& channel) {
  return std::make_shared<TrodmKWVUMServer_Proxy>(message, channel);
}

RegisterrodmKWVUMServerProxy::RegisterrodmKWVUMServerProxy()
    : registration_({std::string(kIrodmKWVUMServerId), std::string(kServiceName),
                     [](remoting::Message& message, remoting::ClientChannel& channel) {
                       return std::make_shared<TrodmKWVUMServer_Proxy>(message, channel);
                     }}) {}

}  // namespace tovra::client::server
