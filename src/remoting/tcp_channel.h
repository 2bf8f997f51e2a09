#pragma once

// The TCP client channel: one kept connection to host:port, requests and answers as
// length-prefixed frames (transport_util.h). A lost connection is replaced by a fresh one on
// the next call.

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "remoting/channel.h"

namespace tovra::remoting {

class TcpClientChannel : public ClientChannel {
 public:
  static constexpr std::uint16_t kDefaultPort = 8030;
  static constexpr std::chrono::milliseconds kDefaultTimeout{30000};

  TcpClientChannel();
  ~TcpClientChannel() override;
  TcpClientChannel(const TcpClientChannel&) = delete;
  TcpClientChannel& operator=(const TcpClientChannel&) = delete;

  // Changing host or port drops the kept connection.
  void SetHost(std::string host);
  const std::string& Host() const { return host_; }
  void SetPort(std::uint16_t port);
  std::uint16_t Port() const { return port_; }

  // Bound of a whole call (connecting, sending, waiting for the answer). 0 means the default
  // bound, never "wait forever".
  void SetReadTimeout(std::chrono::milliseconds timeout) { read_timeout_ = timeout; }
  std::chrono::milliseconds ReadTimeout() const { return read_timeout_; }
  std::chrono::milliseconds EffectiveTimeout() const;

  // Closes the kept connection; the next call opens a new one.
  void Disconnect();

  std::string Target() const override;

  // One sealed request out, its sealed answer back. Public so that the transport can be
  // used, tested and measured on its own.
  Bytes Exchange(std::span<const std::uint8_t> request) override;

 private:
  struct Connection;

  std::string host_ = "localhost";
  std::uint16_t port_ = kDefaultPort;
  std::chrono::milliseconds read_timeout_{0};
  std::unique_ptr<Connection> connection_;
};

}  // namespace tovra::remoting
