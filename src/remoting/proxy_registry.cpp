#include "remoting/proxy_registry.h"

#include <algorithm>
#include <cctype>

#include "remoting/errors.h"

namespace tovra::remoting {

namespace {

// Identifiers compare without regard to letter case, as GUIDs do.
std::string Normalized(std::string_view id) {
  std::string out(id);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return out;
}

}  // namespace

ProxyRegistry& ProxyRegistry::Instance() {
  static ProxyRegistry registry;
  return registry;
}

void ProxyRegistry::Register(ProxyClass proxy_class) {
  std::lock_guard lock(mutex_);
  std::string key = Normalized(proxy_class.interface_id);
  classes_.insert_or_assign(std::move(key), std::move(proxy_class));
}

bool ProxyRegistry::Unregister(std::string_view interface_id) {
  std::lock_guard lock(mutex_);
  return classes_.erase(Normalized(interface_id)) > 0;
}

bool ProxyRegistry::IsRegistered(std::string_view interface_id) const {
  std::lock_guard lock(mutex_);
  return classes_.contains(Normalized(interface_id));
}

std::shared_ptr<ServiceProxy> ProxyRegistry::Create(std::string_view interface_id, Message& message,
                                                    ClientChannel& channel) const {
  ProxyFactory create;
  {
    std::lock_guard lock(mutex_);
    const auto it = classes_.find(Normalized(interface_id));
    if (it == classes_.end()) {
      throw RemotingError("no proxy class is registered for the interface " +
                          std::string(interface_id));
    }
    create = it->second.create;
  }
  return create(message, channel);
}

void ProxyRegistry::ThrowWrongInterface(std::string_view interface_id) {
  throw RemotingError("the proxy class registered for " + std::string(interface_id) +
                      " does not implement the interface asked for");
}

ProxyRegistration::ProxyRegistration(ProxyClass proxy_class)
    : interface_id_(proxy_class.interface_id) {
  ProxyRegistry::Instance().Register(std::move(proxy_class));
}

ProxyRegistration::~ProxyRegistration() {
  ProxyRegistry::Instance().Unregister(interface_id_);
}

}  // namespace tovra::remoting
