#include "remoting/server.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <thread>

#include "remoting/errors.h"
#include "remoting/log.h"
#include "remoting/server_internal.h"

namespace tovra::remoting {

namespace detail {

void ServerCore::Track(const std::shared_ptr<Connection>& connection) {
  std::erase_if(connections, [](const auto& weak) { return weak.expired(); });
  connections.push_back(connection);
}

std::optional<Bytes> ServerCore::Handle(std::span<const std::uint8_t> request,
                                        const std::string& peer) const {
  try {
    return handler(request);
  } catch (const std::exception& e) {
    Log(LogLevel::kError, "the handler failed on a request from " + peer + ": " + e.what());
  } catch (...) {
    Log(LogLevel::kError, "the handler failed on a request from " + peer);
  }
  return std::nullopt;
}

StreamListener::StreamListener(ServerCore& core, const asio::ip::address& address,
                               std::uint16_t port, const char* what)
    : core_(core), acceptor_(core.io) {
  const tcp::endpoint endpoint(address, port);
  error_code ec;
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec)
    acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec)
    acceptor_.bind(endpoint, ec);
  if (!ec)
    acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    throw TransportError(std::string("the ") + what + " listener cannot use " +
                         HostPortText(core_.options.address, port) + ": " + ec.message());
  }
  port_ = acceptor_.local_endpoint().port();
}

void StreamListener::Start() {
  Accept();
}

void StreamListener::Close() {
  error_code ignored;
  acceptor_.close(ignored);
}

void StreamListener::Accept() {
  acceptor_.async_accept([this](const error_code& ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor_.is_open()) {
      return;
    }
    if (!ec) {
      auto connection = Open(std::move(socket));
      core_.Track(connection);
      connection->Start();
    } else {
      // Out of descriptors and the like: keep listening, the condition may pass.
      Log(LogLevel::kWarning, "accepting a connection failed: " + ec.message());
    }
    Accept();
  });
}

}  // namespace detail

struct RemotingServer::Impl {
  Impl(ServerOptions options, RequestHandler handler)
      : core(std::move(options), std::move(handler)) {}

  // Declared first so that it is destroyed last: the listeners' sockets belong to its loop.
  detail::ServerCore core;
  std::optional<detail::TcpListener> tcp;
  std::optional<detail::HttpListener> http;
  std::optional<detail::UdpListener> udp;
  std::thread loop;
  bool started = false;
  bool stopped = false;
};

RemotingServer::RemotingServer(ServerOptions options, RequestHandler handler)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(handler))) {}

RemotingServer::~RemotingServer() {
  Stop();
}

void RemotingServer::Start() {
  Impl& s = *impl_;
  if (s.started) {
    return;
  }
  const ServerOptions& options = s.core.options;
  boost::system::error_code ec;
  const auto address = boost::asio::ip::make_address(options.address, ec);
  if (ec) {
    throw TransportError("the listen address " + options.address + " is not an IP address");
  }
  // Every listener is bound before any starts, so that a port in use leaves nothing running.
  if (options.tcp_port) {
    s.tcp.emplace(s.core, address, *options.tcp_port);
  }
  if (options.http_port) {
    s.http.emplace(s.core, address, *options.http_port);
  }
  if (options.udp_port) {
    s.udp.emplace(s.core, address, *options.udp_port);
  }

  if (s.tcp)
    s.tcp->Start();
  if (s.http)
    s.http->Start();
  if (s.udp)
    s.udp->Start();
  s.core.pool.Start(options.worker_threads);
  s.loop = std::thread([&s] {
    auto guard = boost::asio::make_work_guard(s.core.io);
    s.core.io.run();
  });
  s.started = true;
}

void RemotingServer::Stop() {
  Impl& s = *impl_;
  if (!s.started || s.stopped) {
    return;
  }
  s.stopped = true;
  // Close the listeners and every connection on the loop, then stop it; what is left of the
  // connections goes when the pending handlers are destroyed with the loop.
  boost::asio::post(s.core.io, [&s] {
    if (s.tcp)
      s.tcp->Close();
    if (s.http)
      s.http->Close();
    if (s.udp)
      s.udp->Close();
    for (const auto& weak : s.core.connections) {
      if (auto connection = weak.lock()) {
        connection->Shutdown();
      }
    }
    s.core.io.stop();
  });
  s.loop.join();
  s.core.pool.Stop();
}

std::uint16_t RemotingServer::TcpPort() const {
  return impl_->tcp ? impl_->tcp->Port() : 0;
}
std::uint16_t RemotingServer::UdpPort() const {
  return impl_->udp ? impl_->udp->Port() : 0;
}
std::uint16_t RemotingServer::HttpPort() const {
  return impl_->http ? impl_->http->Port() : 0;
}

}  // namespace tovra::remoting
