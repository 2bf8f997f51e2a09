#include "client/server/kwvum_server_intf.h"

namespace tovra::client::server {

namespace op = contract::op;
namespace param = contract::param;
using contract::result::kResult;

TrodmKWVUMServer_Proxy::TrodmKWVUMServer_Proxy(remoting::Message& message,
                                               remoting::ClientChannel& channel)
    : AppServerProxy(message, channel, std::string(contract::kLibraryName),
                     std::string(contract::kServiceName)) {}

std::string TrodmKWVUMServer_Proxy::login(const std::string& UserName, const std::string& Password,
                                          const std::string& Role) {
  remoting::Message& message = Begin(op::kLogin);
  message.WriteString(param::kUserName, UserName);
  message.WriteString(param::kPassword, Password);
  message.WriteString(param::kRole, Role);
  Send();
  return message.ReadString(kResult);
}

std::string TrodmKWVUMServer_Proxy::CreateRDBMSUser(const std::string& Username,
                                                    const std::string& Password) {
  remoting::Message& message = Begin(op::kCreateRDBMSUser);
  message.WriteString(param::kUsername, Username);
  message.WriteString(param::kPassword, Password);
  Send();
  return message.ReadString(kResult);
}

std::string TrodmKWVUMServer_Proxy::ChangePassword(const std::string& UserName,
                                                   const std::string& oldPassword,
                                                   const std::string& newPassword) {
  remoting::Message& message = Begin(op::kChangePassword);
  message.WriteString(param::kUserName, UserName);
  message.WriteString(param::kOldPassword, oldPassword);
  message.WriteString(param::kNewPassword, newPassword);
  Send();
  return message.ReadString(kResult);
}

std::string TrodmKWVUMServer_Proxy::CallForText(std::string_view operation) {
  Begin(operation);
  Send();
  return GetMessage().ReadString(kResult);
}

void TrodmKWVUMServer_Proxy::CallForNothing(std::string_view operation) {
  Begin(operation);
  Send();
}

std::string TrodmKWVUMServer_Proxy::DBType() {
  return CallForText(op::kDBType);
}
void TrodmKWVUMServer_Proxy::commit() {
  CallForNothing(op::kCommit);
}
std::string TrodmKWVUMServer_Proxy::DBServer() {
  return CallForText(op::kDBServer);
}
std::string TrodmKWVUMServer_Proxy::DBName() {
  return CallForText(op::kDBName);
}
void TrodmKWVUMServer_Proxy::DestroyDataModule() {
  CallForNothing(op::kDestroyDataModule);
}
void TrodmKWVUMServer_Proxy::KeepAlive() {
  CallForNothing(op::kKeepAlive);
}

std::shared_ptr<IrodmKWVUMServer> CorodmKWVUMServer::Create(remoting::Message& message,
                                                            remoting::ClientChannel& channel) {
  return std::make_shared<TrodmKWVUMServer_Proxy>(message, channel);
}

RegisterrodmKWVUMServerProxy::RegisterrodmKWVUMServerProxy()
    : registration_({std::string(contract::kInterfaceId), std::string(contract::kServiceName),
                     [](remoting::Message& message, remoting::ClientChannel& channel) {
                       return std::make_shared<TrodmKWVUMServer_Proxy>(message, channel);
                     }}) {}

}  // namespace tovra::client::server
