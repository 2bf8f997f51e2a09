#pragma once

// The HTTP client channel: every request is a POST of the sealed bytes to the target
// address (for example http://127.0.0.1:8099/bin), optionally through a proxy that may ask
// for a user name and password. Cookies the server sets are kept in memory for the life of
// the channel. Built on libcurl.

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "remoting/channel.h"

namespace tovra::remoting {

class HttpClientChannel : public ClientChannel {
 public:
  static constexpr std::uint16_t kDefaultPort = 8099;
  static constexpr std::chrono::milliseconds kDefaultTimeout{30000};
  static constexpr const char* kNoTarget = "none";
  static constexpr const char* kContentType = "application/binary";
  static constexpr const char* kAccept = "text/html, */*";

  HttpClientChannel();
  ~HttpClientChannel() override;
  HttpClientChannel(const HttpClientChannel&) = delete;
  HttpClientChannel& operator=(const HttpClientChannel&) = delete;

  // The complete address requests are posted to; "none" until set.
  void SetTargetUrl(std::string url) { target_url_ = std::move(url); }
  const std::string& TargetUrl() const { return target_url_; }
  // A port setting of the channel's own; the target address alone decides where requests go.
  void SetPort(std::uint16_t port) { port_ = port; }
  std::uint16_t Port() const { return port_; }

  // Bound of a whole call; 0 means the default bound.
  void SetTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
  std::chrono::milliseconds Timeout() const { return timeout_; }
  std::chrono::milliseconds EffectiveTimeout() const;

  // Proxy of the channel's HTTP client. An empty server means no proxy at all, also none
  // taken from the environment.
  void SetProxyServer(std::string server) { proxy_server_ = std::move(server); }
  const std::string& ProxyServer() const { return proxy_server_; }
  void SetProxyPort(std::uint16_t port) { proxy_port_ = port; }
  std::uint16_t ProxyPort() const { return proxy_port_; }
  void SetProxyUser(std::string user) { proxy_user_ = std::move(user); }
  const std::string& ProxyUser() const { return proxy_user_; }
  void SetProxyPassword(std::string password) { proxy_password_ = std::move(password); }
  const std::string& ProxyPassword() const { return proxy_password_; }
  // Server, user and password empty, port 0.
  void ClearProxy();

  std::string Target() const override { return target_url_; }

  // One sealed request out, its sealed answer back. Public so that the transport can be
  // used, tested and measured on its own.
  Bytes Exchange(std::span<const std::uint8_t> request) override;

 private:
  struct Curl;

  std::string target_url_ = kNoTarget;
  std::uint16_t port_ = kDefaultPort;
  std::chrono::milliseconds timeout_{0};
  std::string proxy_server_;
  std::uint16_t proxy_port_ = 0;
  std::string proxy_user_;
  std::string proxy_password_;
  std::unique_ptr<Curl> curl_;
};

}  // namespace tovra::remoting
