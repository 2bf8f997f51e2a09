#pragma once

// Shared pieces of the transport tests: a server on loopback with an in-process handler, a
// way to call any channel with opaque bytes, and sockets that listen but never answer.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "remoting/http_channel.h"
#include "remoting/server.h"
#include "remoting/tcp_channel.h"
#include "remoting/udp_channel.h"

namespace tovra::remoting::testing {

enum class Kind { kTcp, kUdp, kHttp };
std::string KindName(Kind kind);

// The handler of the test server: answers each request with its bytes reversed, and counts
// how often it saw each distinct request.
class ReversingHandler {
 public:
  std::optional<Bytes> operator()(std::span<const std::uint8_t> request);
  int Seen(const Bytes& request) const;
  int Calls() const { return calls_; }

 private:
  mutable std::mutex mutex_;
  std::map<Bytes, int> seen_;
  std::atomic<int> calls_{0};
};

Bytes Reversed(Bytes bytes);
Bytes Pattern(std::size_t size, std::uint32_t seed = 1);

// All three listeners on 127.0.0.1, ephemeral ports.
ServerOptions LoopbackOptions();

// A channel of the given kind aimed at 127.0.0.1:port.
std::unique_ptr<ClientChannel> MakeChannel(Kind kind, std::uint16_t port);
// Sets the time-out that bounds a call of the channel (for UDP: the whole of all attempts,
// spread over the first attempt and one retry).
void SetCallTimeout(ClientChannel& channel, std::chrono::milliseconds timeout);
Bytes Call(ClientChannel& channel, std::span<const std::uint8_t> request);
std::uint16_t PortOf(const RemotingServer& server, Kind kind);

// A loopback socket bound to an ephemeral port; TCP ones listen (the kernel completes the
// handshake) but nobody ever reads or answers.
class SilentSocket {
 public:
  explicit SilentSocket(bool tcp);
  ~SilentSocket();
  SilentSocket(const SilentSocket&) = delete;
  SilentSocket& operator=(const SilentSocket&) = delete;
  std::uint16_t Port() const { return port_; }
  int Fd() const { return fd_; }
  // Shuts the socket down so that a thread blocked on it returns.
  void Close();

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A loopback port on which nothing listens (bound once, then released).
std::uint16_t DeadPort(bool tcp);

// The one TCP socket of this process connected to 127.0.0.1:port (a channel's kept
// connection); -1 when there is none or more than one.
int ConnectedSocketTo(std::uint16_t port);
// Waits (bounded) until the peer of the connected socket `fd` has closed its end. Reads
// nothing from the socket.
bool WaitForPeerClose(int fd, std::chrono::milliseconds bound);

// Waits (bounded) until the file at `path` holds `text`, as a program that logs there
// writes it. False when the bound passed first.
bool WaitForFileText(const std::filesystem::path& path, const std::string& text,
                     std::chrono::milliseconds bound);

// A raw TCP connection for sending bytes no channel would send.
class RawConnection {
 public:
  explicit RawConnection(std::uint16_t port);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;
  void Send(std::span<const std::uint8_t> bytes);
  void Send(const std::string& text);
  // Tells the peer nothing more will come.
  void ShutdownWrite();
  // Everything the peer sends until it closes, or until the bound passes; closed() says
  // which.
  std::string ReadUntilClosed(std::chrono::milliseconds bound);
  // The next `count` bytes; fewer when the peer closes or the bound passes first.
  std::string ReadExactly(std::size_t count, std::chrono::milliseconds bound);
  bool closed() const { return closed_; }

 private:
  int fd_ = -1;
  bool closed_ = false;
};

}  // namespace tovra::remoting::testing
