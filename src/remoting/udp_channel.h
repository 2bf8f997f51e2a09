#pragma once

// The UDP client channel. A request is cut into datagrams (udp_datagram.h) that carry a call
// id; when the whole answer has not arrived within AsyncTimeOut the request is sent again
// with the same call id, up to Retrys times. The server runs a call id once and answers a
// repeated request from its cache, so a retry never runs a call twice.

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "remoting/channel.h"

namespace tovra::remoting {

class UdpClientChannel : public ClientChannel {
 public:
  static constexpr std::uint16_t kDefaultPort = 8090;
  static constexpr std::chrono::milliseconds kDefaultAsyncTimeOut{1000};
  static constexpr int kDefaultRetrys = 5;

  UdpClientChannel();
  ~UdpClientChannel() override;
  UdpClientChannel(const UdpClientChannel&) = delete;
  UdpClientChannel& operator=(const UdpClientChannel&) = delete;

  void SetHost(std::string host);
  const std::string& Host() const { return host_; }
  void SetPort(std::uint16_t port);
  std::uint16_t Port() const { return port_; }

  // How long one attempt waits for the whole answer; 0 means the default.
  void SetAsyncTimeOut(std::chrono::milliseconds timeout) { async_timeout_ = timeout; }
  std::chrono::milliseconds AsyncTimeOut() const { return async_timeout_; }
  // How often a request is sent again after the first attempt.
  void SetRetrys(int retrys) { retrys_ = retrys < 0 ? 0 : retrys; }
  int Retrys() const { return retrys_; }
  // Payload bytes per datagram (see datagram::kDefaultFragmentPayload).
  void SetFragmentPayload(std::size_t bytes) { fragment_payload_ = bytes; }

  std::string Target() const override;

  // One sealed request out, its sealed answer back. Public so that the transport can be
  // used, tested and measured on its own.
  Bytes Exchange(std::span<const std::uint8_t> request) override;

 private:
  struct Socket;

  std::string host_ = "localhost";
  std::uint16_t port_ = kDefaultPort;
  std::chrono::milliseconds async_timeout_ = kDefaultAsyncTimeOut;
  int retrys_ = kDefaultRetrys;
  std::size_t fragment_payload_;
  std::uint64_t next_call_id_;
  std::unique_ptr<Socket> socket_;
};

}  // namespace tovra::remoting
