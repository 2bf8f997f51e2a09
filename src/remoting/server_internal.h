#pragma once

// What the server's listeners share: the loop, the handler with its workers, the open
// connections, and the listener classes themselves (TCP in tcp_listener.cpp, HTTP in
// http_listener.cpp, UDP in udp_listener.cpp). Only server.cpp and those files use it.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "remoting/server.h"
#include "remoting/transport_util.h"
#include "remoting/udp_datagram.h"
#include "remoting/worker_pool.h"

namespace tovra::remoting::detail {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

template <typename Endpoint>
std::string PeerText(const Endpoint& endpoint) {
  return HostPortText(endpoint.address().to_string(), endpoint.port());
}

// One client's connection to a stream listener (TCP frames or HTTP).
class Connection {
 public:
  virtual ~Connection() = default;
  // Begins reading requests; on the loop.
  virtual void Start() = 0;
  // Closes the connection now; on the loop. What Stop needs of it.
  virtual void Shutdown() = 0;
};

// The state every listener works with.
struct ServerCore {
  ServerCore(ServerOptions o, RequestHandler h) : options(std::move(o)), handler(std::move(h)) {}

  // Declared first so that it is destroyed last: every socket and timer belongs to it.
  asio::io_context io;
  ServerOptions options;
  RequestHandler handler;
  WorkerPool pool;
  // Open connections, so that Stop can close them; touched on the loop only.
  std::vector<std::weak_ptr<Connection>> connections;

  void Track(const std::shared_ptr<Connection>& connection);
  // Calls the handler on a worker and never lets an exception escape into the worker
  // thread: a failure is logged and taken as an unreadable request.
  std::optional<Bytes> Handle(std::span<const std::uint8_t> request, const std::string& peer) const;
};

// A bound TCP acceptor that hands each accepted socket to a connection of its kind.
class StreamListener {
 public:
  // Binds and listens; throws TransportError naming the listener (`what`) and its address.
  StreamListener(ServerCore& core, const asio::ip::address& address, std::uint16_t port,
                 const char* what);
  virtual ~StreamListener() = default;
  StreamListener(const StreamListener&) = delete;
  StreamListener& operator=(const StreamListener&) = delete;

  std::uint16_t Port() const { return port_; }
  // Accepts connections until Close.
  void Start();
  // On the loop.
  void Close();

 protected:
  virtual std::shared_ptr<Connection> Open(tcp::socket socket) = 0;

  ServerCore& core_;

 private:
  void Accept();

  tcp::acceptor acceptor_;
  std::uint16_t port_ = 0;
};

// Frames of this protocol over TCP (tcp_listener.cpp).
class TcpListener final : public StreamListener {
 public:
  TcpListener(ServerCore& core, const asio::ip::address& address, std::uint16_t port)
      : StreamListener(core, address, port, "TCP") {}

 protected:
  std::shared_ptr<Connection> Open(tcp::socket socket) override;
};

// Requests as the body of POST /bin (http_listener.cpp).
class HttpListener final : public StreamListener {
 public:
  HttpListener(ServerCore& core, const asio::ip::address& address, std::uint16_t port)
      : StreamListener(core, address, port, "HTTP") {}

 protected:
  std::shared_ptr<Connection> Open(tcp::socket socket) override;
};

// Requests and answers cut into datagrams (udp_listener.cpp). There are no connections:
// calls are kept per client endpoint and call id, so that a repeated request is answered
// from the kept answer instead of running twice.
class UdpListener {
 public:
  // Binds; throws TransportError naming the address.
  UdpListener(ServerCore& core, const asio::ip::address& address, std::uint16_t port);
  UdpListener(const UdpListener&) = delete;
  UdpListener& operator=(const UdpListener&) = delete;

  std::uint16_t Port() const { return port_; }
  // Receives requests and expires old calls until Close.
  void Start();
  // On the loop.
  void Close();

 private:
  // Touched on the loop only.
  struct Call {
    enum class State { kAssembling, kRunning, kAnswered } state = State::kAssembling;
    std::optional<datagram::Reassembly> reassembly;
    std::shared_ptr<const std::vector<Bytes>> answer;
    std::size_t held = 0;
    Clock::time_point touched;
    // Highest attempt of the client seen so far: an answer goes out once per attempt.
    std::uint16_t attempt = 0;
  };
  using Key = std::pair<udp::endpoint, std::uint64_t>;

  void Receive();
  void OnDatagram(std::size_t size);
  void Run(const Key& key, Bytes request);
  void Send(std::shared_ptr<const std::vector<Bytes>> datagrams, udp::endpoint peer,
            std::size_t from);
  // Expires incomplete requests and old answers.
  void Sweep();
  void ArmSweeper();
  void SetHeld(Call& call, std::size_t held);

  ServerCore& core_;
  udp::socket socket_;
  asio::steady_timer sweeper_;
  std::uint16_t port_ = 0;
  std::map<Key, Call> calls_;
  // Bytes held for all calls together, against the memory budget.
  std::size_t held_ = 0;
  Bytes buffer_ = Bytes(datagram::kMaxDatagram);
  udp::endpoint sender_;
};

}  // namespace tovra::remoting::detail
