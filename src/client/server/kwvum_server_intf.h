#pragma once

// The user-manager service as the client sees it: the interface IrodmKWVUMServer (the
// application-server provider operations, then the service's own nine), the proxy that sends
// each operation as one call, and the factory. The proxy class is registered under the
// interface identifier for as long as a RegisterrodmKWVUMServerProxy() object lives.

#include <memory>
#include <string>
#include <string_view>

#include "contract/um_service.h"
#include "remoting/channel.h"
#include "remoting/message.h"
#include "remoting/proxy_registry.h"
#include "remoting/service_proxy.h"

namespace tovra::client::server {

// Operations in slot order: the seven provider operations of IAppServer first, then these.
// login, CreateRDBMSUser and ChangePassword return an error text; empty means success.
class IrodmKWVUMServer : public virtual remoting::IAppServer {
 public:
  virtual std::string login(const std::string& UserName, const std::string& Password,
                            const std::string& Role) = 0;
  virtual std::string CreateRDBMSUser(const std::string& Username, const std::string& Password) = 0;
  virtual std::string ChangePassword(const std::string& UserName, const std::string& oldPassword,
                                     const std::string& newPassword) = 0;
  virtual std::string DBType() = 0;
  virtual void commit() = 0;
  virtual std::string DBServer() = 0;
  virtual std::string DBName() = 0;
  virtual void DestroyDataModule() = 0;
  virtual void KeepAlive() = 0;
};

// Holds references to the message and channel it was built on; their owner keeps them alive
// for as long as the proxy is used. Catches nothing: transport errors, time-outs and server
// faults reach the caller.
class TrodmKWVUMServer_Proxy : public remoting::AppServerProxy, public IrodmKWVUMServer {
 public:
  TrodmKWVUMServer_Proxy(remoting::Message& message, remoting::ClientChannel& channel);

  std::string login(const std::string& UserName, const std::string& Password,
                    const std::string& Role) override;
  std::string CreateRDBMSUser(const std::string& Username, const std::string& Password) override;
  std::string ChangePassword(const std::string& UserName, const std::string& oldPassword,
                             const std::string& newPassword) override;
  std::string DBType() override;
  void commit() override;
  std::string DBServer() override;
  std::string DBName() override;
  void DestroyDataModule() override;
  void KeepAlive() override;

 private:
  std::string CallForText(std::string_view operation);
  void CallForNothing(std::string_view operation);
};

class CorodmKWVUMServer {
 public:
  static std::shared_ptr<IrodmKWVUMServer> Create(remoting::Message& message,
                                                  remoting::ClientChannel& channel);
};

// The proxy class's entry in the registry, for the registration's lifetime (program start
// to program end).
class RegisterrodmKWVUMServerProxy {
 public:
  RegisterrodmKWVUMServerProxy();

 private:
  remoting::ProxyRegistration registration_;
};

}  // namespace tovra::client::server
