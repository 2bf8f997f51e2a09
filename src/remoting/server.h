#pragma once

// The server's listeners: TCP, UDP and HTTP on one event loop. Each request goes to the
// RequestHandler on a small pool of worker threads; its answer goes back to the caller on the
// loop. Requests and answers are opaque bytes here.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "remoting/limits.h"
#include "remoting/server_transport.h"

namespace tovra::remoting {

struct ServerOptions {
  // Address the listeners bind to.
  std::string address = "0.0.0.0";
  // A listener per port that is set; 0 asks the system for a free port (see RemotingServer's
  // *Port()).
  std::optional<std::uint16_t> tcp_port;
  std::optional<std::uint16_t> udp_port;
  std::optional<std::uint16_t> http_port;
  // Threads that run the handler.
  std::size_t worker_threads = 4;
  Limits limits;
  // UDP: payload bytes per answer datagram; how long the fragments of an incomplete request
  // are kept; how long an answer is kept for a client that repeats its request; and the most
  // bytes held for both together.
  std::size_t udp_fragment_payload = 8192;
  std::chrono::milliseconds udp_incomplete_ttl{10000};
  std::chrono::milliseconds udp_answer_ttl{30000};
  std::size_t udp_memory_budget = std::size_t{256} << 20;
};

class RemotingServer {
 public:
  RemotingServer(ServerOptions options, RequestHandler handler);
  ~RemotingServer();
  RemotingServer(const RemotingServer&) = delete;
  RemotingServer& operator=(const RemotingServer&) = delete;

  // Binds the listeners and starts the loop and the workers. Throws TransportError naming
  // the listener whose address could not be bound.
  void Start();
  // Stops accepting, closes every connection, lets handlers that are running finish and
  // drops requests not started yet, and joins all threads. Safe to call more than once.
  void Stop();

  // Bound ports, 0 for a listener that is not configured.
  std::uint16_t TcpPort() const;
  std::uint16_t UdpPort() const;
  std::uint16_t HttpPort() const;

 private:
  // The loop, the workers and the listeners (server_internal.h).
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tovra::remoting
