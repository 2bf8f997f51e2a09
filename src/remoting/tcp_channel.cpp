#include "remoting/tcp_channel.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <limits>

#include "remoting/errors.h"
#include "remoting/transport_util.h"

namespace tovra::remoting {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

namespace {

// Grows a buffer towards an announced length only as fast as bytes actually arrive, so a
// peer that announces a large frame and sends nothing holds little memory.
constexpr std::size_t kFirstChunk = 64 * 1024;

}  // namespace

struct TcpClientChannel::Connection {
  asio::io_context io;
  tcp::socket socket{io};
  Bytes first_read;

  // Runs the pending operation until `done` or the deadline. On time-out the socket's
  // operations are cancelled and drained; returns false.
  bool Run(const bool& done, Clock::time_point deadline) {
    io.restart();
    io.run_until(deadline);
    if (done) {
      return true;
    }
    error_code ignored;
    socket.close(ignored);
    io.restart();
    io.run();
    return false;
  }

  // Waits until the socket is ready for `what` or the deadline passes; false on time-out.
  bool WaitFor(tcp::socket::wait_type what, Clock::time_point deadline) {
    bool done = false;
    socket.async_wait(what, [&](const error_code&) { done = true; });
    return Run(done, deadline);
  }

  // True when the kept connection can carry a request: no end of stream, no error and no
  // stray bytes waiting on it. A server that closed an idle connection is seen here, before
  // anything of the next request is sent.
  bool Usable() {
    if (!socket.is_open()) {
      return false;
    }
    std::uint8_t probe = 0;
    const ssize_t got = ::recv(socket.native_handle(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
};

TcpClientChannel::TcpClientChannel() = default;
TcpClientChannel::~TcpClientChannel() = default;

void TcpClientChannel::SetHost(std::string host) {
  if (host != host_) {
    Disconnect();
    host_ = std::move(host);
  }
}

void TcpClientChannel::SetPort(std::uint16_t port) {
  if (port != port_) {
    Disconnect();
    port_ = port;
  }
}

std::chrono::milliseconds TcpClientChannel::EffectiveTimeout() const {
  return read_timeout_.count() > 0 ? read_timeout_ : kDefaultTimeout;
}

void TcpClientChannel::Disconnect() {
  connection_.reset();
}

std::string TcpClientChannel::Target() const {
  return HostPortText(host_, port_);
}

Bytes TcpClientChannel::Exchange(std::span<const std::uint8_t> request) {
  const Limits& limits = GetLimits();
  if (request.size() > limits.max_message_size ||
      request.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw ProtocolError("the request of " + std::to_string(request.size()) +
                        " bytes exceeds the limit of " + std::to_string(limits.max_message_size) +
                        " bytes");
  }
  const auto timeout = EffectiveTimeout();
  const auto deadline = Clock::now() + timeout;
  const std::string target = Target();
  auto no_answer = [&] {
    return TimeoutError("no answer from " + target + " within " + DurationText(timeout));
  };

  auto connect = [&] {
    connection_ = std::make_unique<Connection>();
    Connection& c = *connection_;
    error_code ec;
    bool done = false;
    tcp::resolver resolver(c.io);
    tcp::resolver::results_type endpoints;
    const auto address = asio::ip::make_address(host_, ec);
    if (!ec) {
      endpoints = tcp::resolver::results_type::create(tcp::endpoint(address, port_), host_,
                                                      std::to_string(port_));
    } else {
      resolver.async_resolve(host_, std::to_string(port_),
                             [&](const error_code& e, tcp::resolver::results_type r) {
                               ec = e;
                               endpoints = std::move(r);
                               done = true;
                             });
      c.io.restart();
      c.io.run_until(deadline);
      if (!done) {
        resolver.cancel();
        c.io.restart();
        c.io.run();
        throw no_answer();
      }
      if (ec) {
        throw TransportError("cannot find the server " + host_ + ": " + ec.message());
      }
    }
    done = false;
    asio::async_connect(c.socket, endpoints, [&](const error_code& e, const tcp::endpoint&) {
      ec = e;
      done = true;
    });
    if (!c.Run(done, deadline)) {
      throw no_answer();
    }
    if (ec) {
      if (ec == asio::error::connection_refused) {
        throw TransportError("connection refused by " + target);
      }
      throw TransportError("cannot connect to " + target + ": " + ec.message());
    }
    c.socket.set_option(tcp::no_delay(true), ec);
    c.socket.non_blocking(true, ec);
  };

  const auto header = FrameHeader(static_cast<std::uint32_t>(request.size()));
  // Sends the frame; false when it failed before a single byte left, which is the only
  // case in which the request certainly did not reach the server. The socket is
  // non-blocking: the loop only runs when the socket has to be waited for.
  auto send = [&](bool may_retry) {
    Connection& c = *connection_;
    std::size_t sent = 0;
    const std::size_t total = header.size() + request.size();
    while (sent < total) {
      const std::size_t from_header = std::min(sent, header.size());
      const std::array<asio::const_buffer, 2> rest = {
          asio::buffer(header.data() + from_header, header.size() - from_header),
          asio::buffer(request.data() + (sent - from_header),
                       request.size() - (sent - from_header))};
      error_code ec;
      sent += c.socket.write_some(rest, ec);
      if (ec == asio::error::would_block || ec == asio::error::try_again) {
        if (!c.WaitFor(tcp::socket::wait_write, deadline)) {
          throw no_answer();
        }
      } else if (ec) {
        if (sent == 0 && may_retry) {
          Disconnect();
          return false;
        }
        throw TransportError("the connection to " + target +
                             " was lost while sending the request: " + ec.message());
      }
    }
    return true;
  };

  // Any failure leaves the connection in an unknown state: the next call starts afresh.
  try {
    const bool reused = connection_ && connection_->Usable();
    if (!reused) {
      connect();
    }
    if (!send(reused)) {
      connect();
      send(false);
    }

    Connection& c = *connection_;
    // Reads at least `minimum` bytes into [data, data + capacity).
    auto read = [&](std::uint8_t* data, std::size_t capacity, std::size_t minimum, bool first) {
      std::size_t got = 0;
      while (got < minimum) {
        error_code ec;
        got += c.socket.read_some(asio::buffer(data + got, capacity - got), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
          if (!c.WaitFor(tcp::socket::wait_read, deadline)) {
            throw no_answer();
          }
        } else if (ec) {
          // The request has gone out: whether the server ran it is unknown, so the call is
          // not repeated here.
          throw TransportError(
              "the connection to " + target + " was lost " +
              (first && got == 0 ? "before the answer arrived" : "while reading the answer") +
              " (" + ec.message() + "); the call may or may not have run");
        }
      }
      return got;
    };
    // The first read takes the header and, for most answers, the whole payload with it.
    Bytes& in = c.first_read;
    in.resize(kFirstChunk);
    const std::size_t got = read(in.data(), in.size(), kFrameHeaderSize, true);
    const auto length =
        FrameLength(std::span<const std::uint8_t, kFrameHeaderSize>(in.data(), kFrameHeaderSize));
    if (!length) {
      throw ProtocolError("the answer from " + target + " is not a frame of this protocol");
    }
    if (*length > limits.max_message_size) {
      throw ProtocolError("the answer from " + target + " announces " + std::to_string(*length) +
                          " bytes, more than the limit of " +
                          std::to_string(limits.max_message_size) + " bytes");
    }
    if (got > kFrameHeaderSize + *length) {
      throw ProtocolError("the server at " + target + " sent more than the answer");
    }
    Bytes answer(in.begin() + kFrameHeaderSize, in.begin() + static_cast<std::ptrdiff_t>(got));
    // The rest grows only as fast as bytes arrive.
    while (answer.size() < *length) {
      const std::size_t have = answer.size();
      const std::size_t want = std::min<std::size_t>(*length, std::max(kFirstChunk, have * 2));
      answer.resize(want);
      read(answer.data() + have, want - have, want - have, false);
    }
    return answer;
  } catch (...) {
    Disconnect();
    throw;
  }
}

}  // namespace tovra::remoting
