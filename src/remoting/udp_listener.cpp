// The UDP listener: requests and answers cut into datagrams, with the calls kept per client
// so that a repeated request gets the answer again instead of running twice.

#include <algorithm>
#include <boost/asio/post.hpp>

#include "remoting/errors.h"
#include "remoting/log.h"
#include "remoting/server_internal.h"

namespace tovra::remoting::detail {

namespace {

// Answer datagrams go out in bursts of this many, with a pause between bursts.
constexpr std::size_t kUdpBurst = 64;
constexpr auto kUdpBurstPause = std::chrono::microseconds(200);
constexpr int kUdpReceiveBuffer = 4 << 20;

}  // namespace

UdpListener::UdpListener(ServerCore& core, const asio::ip::address& address, std::uint16_t port)
    : core_(core), socket_(core.io), sweeper_(core.io) {
  const udp::endpoint endpoint(address, port);
  error_code ec;
  socket_.open(endpoint.protocol(), ec);
  if (!ec)
    socket_.bind(endpoint, ec);
  if (ec) {
    throw TransportError("the UDP listener cannot use " +
                         HostPortText(core_.options.address, port) + ": " + ec.message());
  }
  socket_.set_option(asio::socket_base::receive_buffer_size(kUdpReceiveBuffer), ec);
  port_ = socket_.local_endpoint().port();
}

void UdpListener::Start() {
  Receive();
  ArmSweeper();
}

void UdpListener::Close() {
  error_code ignored;
  socket_.close(ignored);
  sweeper_.cancel();
}

void UdpListener::Receive() {
  socket_.async_receive_from(asio::buffer(buffer_), sender_,
                             [this](const error_code& ec, std::size_t size) {
                               if (ec == asio::error::operation_aborted || !socket_.is_open()) {
                                 return;
                               }
                               // Errors here are ICMP reports about earlier answers
                               // to clients that went away: keep receiving.
                               if (!ec) {
                                 OnDatagram(size);
                               }
                               Receive();
                             });
}

void UdpListener::OnDatagram(std::size_t size) {
  const std::span<const std::uint8_t> datagram(buffer_.data(), size);
  const auto header = datagram::ParseHeader(datagram);
  if (!header || header->direction != datagram::Direction::kRequest) {
    Log(LogLevel::kDebug,
        "ignored a datagram from " + PeerText(sender_) + " that is not a request of this protocol");
    return;
  }
  const auto now = Clock::now();
  const Key key{sender_, header->call_id};
  auto it = calls_.find(key);
  if (it == calls_.end()) {
    if (held_ + size > core_.options.udp_memory_budget) {
      Sweep();
      if (held_ + size > core_.options.udp_memory_budget) {
        Log(LogLevel::kWarning, "dropped a datagram from " + PeerText(sender_) +
                                    ": the memory for pending UDP calls is used up");
        return;
      }
    }
    try {
      Call call;
      call.reassembly.emplace(*header, core_.options.limits);
      it = calls_.emplace(key, std::move(call)).first;
    } catch (const ProtocolError& e) {
      Log(LogLevel::kWarning, "ignored a UDP request from " + PeerText(sender_) + ": " + e.what());
      return;
    }
  }
  Call& call = it->second;
  switch (call.state) {
    case Call::State::kRunning:
      // The first copy is being handled; its answer goes out once it is ready.
      call.attempt = std::max(call.attempt, header->attempt);
      return;
    case Call::State::kAnswered:
      // The client did not get the whole answer: send it again, once per later attempt.
      if (call.answer && header->attempt > call.attempt) {
        call.attempt = header->attempt;
        call.touched = now;
        Send(call.answer, sender_, 0);
      }
      return;
    case Call::State::kAssembling:
      call.attempt = std::max(call.attempt, header->attempt);
      break;
  }
  call.touched = now;
  const auto result = call.reassembly->Add(*header, datagram.subspan(datagram::kHeaderSize));
  if (result == datagram::Reassembly::Result::kBroken) {
    Log(LogLevel::kWarning,
        "dropped a UDP request from " + PeerText(sender_) + " whose fragments do not fit together");
    SetHeld(call, 0);
    calls_.erase(it);
    return;
  }
  if (result != datagram::Reassembly::Result::kComplete) {
    SetHeld(call, call.reassembly->HeldBytes());
    return;
  }
  Bytes request = call.reassembly->Take();
  call.reassembly.reset();
  call.state = Call::State::kRunning;
  SetHeld(call, 0);
  Run(key, std::move(request));
}

// The handler runs on a worker; the answer is cut into datagrams there and sent on the loop.
void UdpListener::Run(const Key& key, Bytes request) {
  core_.pool.Post([this, key, request = std::move(request)] {
    auto answer = core_.Handle(request, PeerText(key.first));
    std::shared_ptr<const std::vector<Bytes>> datagrams;
    if (answer) {
      try {
        datagrams = std::make_shared<const std::vector<Bytes>>(
            datagram::Fragment(*answer, datagram::Direction::kAnswer, key.second,
                               core_.options.udp_fragment_payload, core_.options.limits));
      } catch (const ProtocolError& e) {
        Log(LogLevel::kWarning, std::string("an answer cannot travel over UDP: ") + e.what());
      }
    }
    asio::post(core_.io, [this, key, datagrams = std::move(datagrams)] {
      auto found = calls_.find(key);
      if (found == calls_.end()) {
        return;
      }
      Call& done = found->second;
      done.state = Call::State::kAnswered;
      done.answer = datagrams;
      done.touched = Clock::now();
      std::size_t held = 0;
      if (datagrams) {
        for (const auto& d : *datagrams) {
          held += d.size();
        }
        Send(datagrams, key.first, 0);
      }
      SetHeld(done, held);
    });
  });
}

void UdpListener::Send(std::shared_ptr<const std::vector<Bytes>> datagrams, udp::endpoint peer,
                       std::size_t from) {
  const std::size_t until = std::min(datagrams->size(), from + kUdpBurst);
  for (std::size_t i = from; i < until; ++i) {
    error_code ignored;  // a lost datagram is recovered by the client's retry
    socket_.send_to(asio::buffer((*datagrams)[i]), peer, 0, ignored);
  }
  if (until < datagrams->size()) {
    // Pause between bursts so that a client's receive buffer can drain.
    auto timer = std::make_shared<asio::steady_timer>(core_.io, kUdpBurstPause);
    timer->async_wait([this, timer, datagrams, peer, until](const error_code& ec) {
      if (!ec && socket_.is_open()) {
        Send(datagrams, peer, until);
      }
    });
  }
}

void UdpListener::Sweep() {
  const auto now = Clock::now();
  for (auto it = calls_.begin(); it != calls_.end();) {
    const auto& call = it->second;
    const bool expired =
        (call.state == Call::State::kAssembling &&
         now - call.touched > core_.options.udp_incomplete_ttl) ||
        (call.state == Call::State::kAnswered && now - call.touched > core_.options.udp_answer_ttl);
    if (expired) {
      held_ -= call.held;
      it = calls_.erase(it);
    } else {
      ++it;
    }
  }
}

// Once a second.
void UdpListener::ArmSweeper() {
  sweeper_.expires_after(std::chrono::seconds(1));
  sweeper_.async_wait([this](const error_code& ec) {
    if (!ec) {
      Sweep();
      ArmSweeper();
    }
  });
}

void UdpListener::SetHeld(Call& call, std::size_t held) {
  held_ = held_ - call.held + held;
  call.held = held;
}

}  // namespace tovra::remoting::detail
