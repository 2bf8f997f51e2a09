#include "remoting/udp_channel.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <optional>
#include <random>
#include <thread>

#include "remoting/errors.h"
#include "remoting/transport_util.h"
#include "remoting/udp_datagram.h"

namespace tovra::remoting {

namespace asio = boost::asio;
using asio::ip::udp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

namespace {

// Large answers arrive in bursts; a roomy receive buffer keeps the kernel from dropping them.
constexpr int kReceiveBuffer = 4 << 20;
// A sender that pauses briefly after each burst of this many datagrams lets a receiver on a
// slower path drain its buffer.
constexpr std::size_t kBurst = 64;
constexpr auto kBurstPause = std::chrono::microseconds(200);

// Call ids start at a random point so that the ids of two clients behind one address (or of
// one client restarted) do not meet in the server's cache.
std::uint64_t RandomCallIdBase() {
  std::random_device device;
  return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

}  // namespace

struct UdpClientChannel::Socket {
  asio::io_context io;
  udp::socket socket{io};
  Bytes buffer = Bytes(datagram::kMaxDatagram);
};

UdpClientChannel::UdpClientChannel()
    : fragment_payload_(datagram::kDefaultFragmentPayload), next_call_id_(RandomCallIdBase()) {}

UdpClientChannel::~UdpClientChannel() = default;

void UdpClientChannel::SetHost(std::string host) {
  if (host != host_) {
    socket_.reset();
    host_ = std::move(host);
  }
}

void UdpClientChannel::SetPort(std::uint16_t port) {
  if (port != port_) {
    socket_.reset();
    port_ = port;
  }
}

std::string UdpClientChannel::Target() const {
  return HostPortText(host_, port_);
}

Bytes UdpClientChannel::Exchange(std::span<const std::uint8_t> request) {
  const Limits& limits = GetLimits();
  const std::uint64_t call_id = next_call_id_++;
  auto datagrams = datagram::Fragment(request, datagram::Direction::kRequest, call_id,
                                      fragment_payload_, limits);
  const std::string target = Target();
  const auto attempt_timeout = async_timeout_.count() > 0 ? async_timeout_ : kDefaultAsyncTimeOut;

  try {
    if (!socket_) {
      auto fresh = std::make_unique<Socket>();
      error_code ec;
      udp::endpoint server;
      const auto address = asio::ip::make_address(host_, ec);
      if (!ec) {
        server = udp::endpoint(address, port_);
      } else {
        // A UDP channel has no connection to wait for; resolving is the only step that can
        // take a while before the first datagram.
        udp::resolver resolver(fresh->io);
        const auto results = resolver.resolve(host_, std::to_string(port_), ec);
        if (ec || results.empty()) {
          throw TransportError("cannot find the server " + host_ + ": " + ec.message());
        }
        server = *results.begin();
      }
      fresh->socket.open(server.protocol());
      fresh->socket.set_option(asio::socket_base::receive_buffer_size(kReceiveBuffer), ec);
      // A connected UDP socket hears the "port unreachable" of a host where nothing listens.
      fresh->socket.connect(server);
      fresh->socket.non_blocking(true);
      socket_ = std::move(fresh);
    }
    Socket& s = *socket_;

    std::optional<datagram::Reassembly> answer;
    std::optional<Bytes> complete;
    // Takes every datagram that is waiting, without blocking. Answers to earlier calls that
    // gave up may still trickle in: they are skipped.
    auto drain = [&] {
      while (!complete) {
        error_code ec;
        const std::size_t got = s.socket.receive(asio::buffer(s.buffer), 0, ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
          return;
        }
        if (ec == asio::error::connection_refused) {
          throw TransportError("connection refused by " + target);
        }
        if (ec) {
          continue;  // a truncated or otherwise damaged datagram counts as lost
        }
        const std::span<const std::uint8_t> received(s.buffer.data(), got);
        const auto header = datagram::ParseHeader(received);
        if (!header || header->direction != datagram::Direction::kAnswer ||
            header->call_id != call_id) {
          continue;
        }
        if (!answer) {
          answer.emplace(*header, limits);
        }
        switch (answer->Add(*header, received.subspan(datagram::kHeaderSize))) {
          case datagram::Reassembly::Result::kComplete:
            complete = answer->Take();
            break;
          case datagram::Reassembly::Result::kBroken:
            answer.reset();
            break;
          default:
            break;
        }
      }
    };

    for (int attempt = 0; attempt <= retrys_ && !complete; ++attempt) {
      // Once part of the answer has come, the server has the whole request and answers a
      // retry from its cache: one datagram of the request is enough to ask for that.
      const std::size_t to_send = answer ? 1 : datagrams.size();
      for (std::size_t i = 0; i < to_send && !complete; ++i) {
        if (i > 0 && i % kBurst == 0) {
          // Pause so that the server's buffer can drain, and take in what has come meanwhile
          // (an answer to an earlier attempt) so that our own buffer does not overflow.
          std::this_thread::sleep_for(kBurstPause);
          drain();
        }
        datagram::SetAttempt(datagrams[i], static_cast<std::uint16_t>(std::min(attempt, 0xffff)));
        error_code ec;
        s.socket.send(asio::buffer(datagrams[i]), 0, ec);
        if (ec == asio::error::connection_refused) {
          throw TransportError("connection refused by " + target);
        }
        // Other send errors (a full buffer, a route that comes and goes) count as loss.
      }

      const auto deadline = Clock::now() + attempt_timeout;
      while (!complete) {
        drain();
        if (complete) {
          break;
        }
        bool ready = false;
        s.socket.async_wait(udp::socket::wait_read, [&](const error_code&) { ready = true; });
        s.io.restart();
        s.io.run_until(deadline);
        if (!ready) {
          error_code ignored;
          s.socket.cancel(ignored);
          s.io.restart();
          s.io.run();
          break;  // this attempt is over
        }
      }
    }
    if (complete) {
      return std::move(*complete);
    }
  } catch (const boost::system::system_error& e) {
    socket_.reset();
    throw TransportError("cannot reach " + target + ": " + e.code().message());
  } catch (const ProtocolError&) {
    // An answer announcing more than the limits allow.
    socket_.reset();
    throw;
  } catch (const TransportError&) {
    socket_.reset();
    throw;
  }
  throw TimeoutError("no answer from " + target + " within " +
                     DurationText(attempt_timeout * (retrys_ + 1)) + " (" +
                     std::to_string(retrys_ + 1) + " attempts)");
}

}  // namespace tovra::remoting
