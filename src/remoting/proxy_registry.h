#pragma once

// Proxy classes by interface identifier. A program registers the proxy class of each
// service interface it uses at start-up and unregisters it at the end; code that holds only
// an interface identifier, a message and a channel can then build a client of that service.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "remoting/service_proxy.h"

namespace tovra::remoting {

using ProxyFactory = std::function<std::shared_ptr<ServiceProxy>(Message&, ClientChannel&)>;

struct ProxyClass {
  std::string interface_id;    // "{DED1765D-84B4-44F9-AE3D-0E5295340FFC}"; any letter case
  std::string interface_name;  // the service name the proxy reports
  ProxyFactory create;
};

class ProxyRegistry {
 public:
  static ProxyRegistry& Instance();

  // Registers or replaces the class of that identifier.
  void Register(ProxyClass proxy_class);
  // False when nothing was registered under it.
  bool Unregister(std::string_view interface_id);
  bool IsRegistered(std::string_view interface_id) const;

  // Builds a proxy of the class registered under the identifier; RemotingError when there
  // is none.
  std::shared_ptr<ServiceProxy> Create(std::string_view interface_id, Message& message,
                                       ClientChannel& channel) const;

  // The same, as the interface type; RemotingError when the class does not implement it.
  template <typename Interface>
  std::shared_ptr<Interface> CreateAs(std::string_view interface_id, Message& message,
                                      ClientChannel& channel) const {
    auto proxy = std::dynamic_pointer_cast<Interface>(Create(interface_id, message, channel));
    if (!proxy) {
      ThrowWrongInterface(interface_id);
    }
    return proxy;
  }

 private:
  [[noreturn]] static void ThrowWrongInterface(std::string_view interface_id);

  mutable std::mutex mutex_;
  std::map<std::string, ProxyClass, std::less<>> classes_;
};

// Registers a proxy class for its lifetime.
class ProxyRegistration {
 public:
  explicit ProxyRegistration(ProxyClass proxy_class);
  ~ProxyRegistration();
  ProxyRegistration(const ProxyRegistration&) = delete;
  ProxyRegistration& operator=(const ProxyRegistration&) = delete;

 private:
  std::string interface_id_;
};

}  // namespace tovra::remoting
