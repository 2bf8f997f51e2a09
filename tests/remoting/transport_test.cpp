// The channels and listeners on real loopback sockets, with requests and answers as opaque
// bytes: the test server answers each request reversed.

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <optional>
#include <random>
#include <thread>

#include "remoting/errors.h"
#include "remoting/log.h"
#include "remoting/transport_util.h"
#include "remoting/udp_datagram.h"
#include "test_threads.h"
#include "transport_test_support.h"

namespace tovra::remoting::testing {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using ::testing::HasSubstr;

// Collects the remoting layer's log lines for the life of a test. The sink may only be
// replaced while nothing logs, so a capture is made before the server and ends after it.
class LogCapture {
 public:
  LogCapture() {
    SetLogSink([this](LogLevel, std::string_view text) {
      {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(text);
      }
      added_.notify_all();
    });
  }
  ~LogCapture() { SetLogSink({}); }
  // Waits (bounded) for a line holding `part`: the server logs on its own threads.
  bool Contains(const std::string& part, milliseconds bound = kEventBound) {
    std::unique_lock lock(mutex_);
    return added_.wait_for(lock, bound, [&] {
      for (const auto& line : lines_) {
        if (line.find(part) != std::string::npos) {
          return true;
        }
      }
      return false;
    });
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable added_;
  std::vector<std::string> lines_;
};

class Loopback {
 public:
  explicit Loopback(ServerOptions options = LoopbackOptions())
      : server_(std::move(options),
                [this](std::span<const std::uint8_t> request) { return handler_(request); }) {
    server_.Start();
  }
  RemotingServer& server() { return server_; }
  ReversingHandler& handler() { return handler_; }
  std::unique_ptr<ClientChannel> Channel(Kind kind) {
    return MakeChannel(kind, PortOf(server_, kind));
  }

 private:
  ReversingHandler handler_;
  RemotingServer server_;
};

class EachChannel : public ::testing::TestWithParam<Kind> {};

INSTANTIATE_TEST_SUITE_P(Transport, EachChannel,
                         ::testing::Values(Kind::kTcp, Kind::kUdp, Kind::kHttp),
                         [](const auto& test) { return KindName(test.param); });

TEST_P(EachChannel, CarriesRequestsOfEverySizeOnOneChannel) {
  Loopback loopback;
  auto channel = loopback.Channel(GetParam());
  std::uint32_t seed = 1;
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{1400}, std::size_t{8193},
                           std::size_t{100'000}, std::size_t{5} << 20, std::size_t{3}}) {
    SCOPED_TRACE(size);
    const Bytes request = Pattern(size, seed++);
    EXPECT_EQ(Call(*channel, request), Reversed(request));
    EXPECT_EQ(loopback.handler().Seen(request), 1);
  }
}

TEST_P(EachChannel, NothingListeningIsRefusedAtOnce) {
  const std::uint16_t port = DeadPort(GetParam() != Kind::kUdp);
  auto channel = MakeChannel(GetParam(), port);
  SetCallTimeout(*channel, milliseconds(5000));
  const auto start = Clock::now();
  try {
    Call(*channel, Pattern(10));
    FAIL() << "the call went through";
  } catch (const TransportError& e) {
    EXPECT_THAT(e.what(), HasSubstr("connection refused by 127.0.0.1:" + std::to_string(port)));
  }
  EXPECT_LT(Clock::now() - start, milliseconds(2000));
}

TEST_P(EachChannel, SilentServerTimesOutWithinTheBound) {
  SilentSocket silent(GetParam() != Kind::kUdp);
  auto channel = MakeChannel(GetParam(), silent.Port());
  SetCallTimeout(*channel, milliseconds(400));
  const auto start = Clock::now();
  try {
    Call(*channel, Pattern(100));
    FAIL() << "the call went through";
  } catch (const TimeoutError& e) {
    EXPECT_THAT(e.what(), HasSubstr("no answer from " + channel->Target() + " within 400 ms"));
  }
  const auto took = Clock::now() - start;
  EXPECT_GE(took, milliseconds(380));
  EXPECT_LT(took, milliseconds(2500));
}

TEST_P(EachChannel, AnswerBeyondTheClientsLimitIsRefused) {
  RemotingServer server(LoopbackOptions(),
                        [](std::span<const std::uint8_t>) { return Bytes(200'000, 7); });
  server.Start();
  auto channel = MakeChannel(GetParam(), PortOf(server, GetParam()));
  Limits limits;
  limits.max_message_size = 64 * 1024;
  channel->SetLimits(limits);
  SetCallTimeout(*channel, milliseconds(3000));
  EXPECT_THROW(Call(*channel, Pattern(10)), ProtocolError);
  // A request beyond the limit never leaves.
  EXPECT_THROW(Call(*channel, Pattern(limits.max_message_size + 1)), ProtocolError);
}

TEST_P(EachChannel, ManyClientsAtOnce) {
  Loopback loopback;
  std::vector<std::future<void>> clients;
  for (std::uint32_t client = 0; client < 8; ++client) {
    clients.push_back(std::async(std::launch::async, [&, client] {
      auto channel = loopback.Channel(GetParam());
      for (std::uint32_t call = 0; call < 20; ++call) {
        const Bytes request = Pattern(50 + call * 100, client * 1000 + call);
        ASSERT_EQ(Call(*channel, request), Reversed(request));
      }
    }));
  }
  for (auto& client : clients) {
    client.get();
  }
  EXPECT_EQ(loopback.handler().Calls(), 8 * 20);
}

TEST(TcpChannel, DefaultsAndTimeoutZeroMeansTheDefaultBound) {
  TcpClientChannel channel;
  EXPECT_EQ(channel.Port(), 8030);
  EXPECT_EQ(channel.ReadTimeout(), milliseconds(0));
  EXPECT_EQ(channel.EffectiveTimeout(), milliseconds(30000));
  channel.SetReadTimeout(milliseconds(1500));
  EXPECT_EQ(channel.EffectiveTimeout(), milliseconds(1500));
}

TEST(TcpChannel, ReconnectsWhenTheServerClosedTheKeptConnection) {
  ServerOptions options = LoopbackOptions();
  options.limits.idle_timeout = milliseconds(100);
  LogCapture log;
  Loopback loopback(options);
  auto channel = loopback.Channel(Kind::kTcp);
  const Bytes first = Pattern(10, 1), second = Pattern(10, 2);
  EXPECT_EQ(Call(*channel, first), Reversed(first));
  // The next call goes out only once the server has closed the quiet connection and the
  // client's end has seen it; otherwise it could pass on the old connection.
  ASSERT_TRUE(log.Contains("closed the idle TCP connection"));
  const int kept = ConnectedSocketTo(loopback.server().TcpPort());
  ASSERT_GE(kept, 0) << "the channel keeps no connection";
  ASSERT_TRUE(WaitForPeerClose(kept, kEventBound));
  EXPECT_EQ(Call(*channel, second), Reversed(second));
  EXPECT_EQ(loopback.handler().Calls(), 2);
}

TEST(TcpChannel, ReconnectsToARestartedServer) {
  auto first = std::make_unique<Loopback>();
  const std::uint16_t port = first->server().TcpPort();
  TcpClientChannel channel;
  channel.SetHost("127.0.0.1");
  channel.SetPort(port);
  channel.SetReadTimeout(milliseconds(3000));
  EXPECT_EQ(channel.Exchange(Pattern(5)), Reversed(Pattern(5)));
  first.reset();

  ServerOptions options = LoopbackOptions();
  options.tcp_port = port;
  Loopback second(options);
  EXPECT_EQ(channel.Exchange(Pattern(6)), Reversed(Pattern(6)));
  EXPECT_EQ(second.handler().Calls(), 1);
}

TEST(TcpChannel, ACallWhoseAnswerIsLostIsNotRepeated) {
  std::atomic<int> runs{0};
  // The handler runs, then the server drops the connection instead of answering.
  RemotingServer server(LoopbackOptions(), [&](std::span<const std::uint8_t>) {
    ++runs;
    return std::optional<Bytes>();
  });
  server.Start();
  auto channel = MakeChannel(Kind::kTcp, server.TcpPort());
  SetCallTimeout(*channel, milliseconds(3000));
  try {
    Call(*channel, Pattern(10));
    FAIL() << "the call went through";
  } catch (const TimeoutError&) {
    FAIL() << "a dropped connection must not look like a time-out";
  } catch (const TransportError& e) {
    EXPECT_THAT(e.what(), HasSubstr("may or may not have run"));
  }
  EXPECT_EQ(runs, 1);
}

TEST(TcpListener, FramesSentBackToBackAreAnsweredInOrder) {
  Loopback loopback;
  auto frame = [](const Bytes& payload) {
    const auto header = FrameHeader(static_cast<std::uint32_t>(payload.size()));
    Bytes bytes(header.begin(), header.end());
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
  };
  const auto as_bytes = [](const std::string& text) { return Bytes(text.begin(), text.end()); };
  // Three frames in one write, the last one cut; its end follows in a second write once the
  // server has answered the two whole frames, so it is certainly waiting for the rest.
  const Bytes a = Pattern(10, 1), b = Pattern(0, 2), c = Pattern(30'000, 3);
  Bytes sent = frame(a);
  for (const Bytes& more : {frame(b), frame(c)}) {
    sent.insert(sent.end(), more.begin(), more.end());
  }
  RawConnection raw(loopback.server().TcpPort());
  raw.Send(std::span(sent).first(sent.size() - 100));
  Bytes whole_ones = frame(Reversed(a));
  const Bytes answer_b = frame(Reversed(b));
  whole_ones.insert(whole_ones.end(), answer_b.begin(), answer_b.end());
  EXPECT_EQ(as_bytes(raw.ReadExactly(whole_ones.size(), kEventBound)), whole_ones);
  raw.Send(std::span(sent).last(100));
  const Bytes answer_c = frame(Reversed(c));
  EXPECT_EQ(as_bytes(raw.ReadExactly(answer_c.size(), kEventBound)), answer_c);
  EXPECT_FALSE(raw.closed());
}

TEST(TcpListener, BadInputDropsOnlyThatConnection) {
  ServerOptions options = LoopbackOptions();
  options.limits.max_message_size = 1 << 20;
  struct Case {
    const char* what;
    Bytes bytes;
    bool half_close;
    const char* log;
  };
  auto header = [](std::uint32_t length) {
    const auto h = FrameHeader(length);
    return Bytes(h.begin(), h.end());
  };
  Bytes truncated = header(100);
  truncated.resize(truncated.size() + 10, 1);
  const std::string http = "GET /bin HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::vector<Case> cases = {
      {"foreign bytes", Bytes(http.begin(), http.end()), false, "not a frame of this protocol"},
      {"frame beyond the limit", header((1 << 20) + 1), false, "exceeds the limit"},
      {"largest announceable frame", header(0xffffffffu), false, "exceeds the limit"},
      {"frame cut short", truncated, true, "ended inside a frame"},
  };
  LogCapture log;
  Loopback loopback(options);
  auto good = loopback.Channel(Kind::kTcp);
  SetCallTimeout(*good, milliseconds(3000));
  EXPECT_EQ(Call(*good, Pattern(10)), Reversed(Pattern(10)));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    log.Clear();
    RawConnection raw(loopback.server().TcpPort());
    raw.Send(c.bytes);
    if (c.half_close) {
      raw.ShutdownWrite();
    }
    const std::string answer = raw.ReadUntilClosed(milliseconds(3000));
    EXPECT_TRUE(raw.closed());
    EXPECT_TRUE(answer.empty());
    EXPECT_TRUE(log.Contains(c.log));
    // The kept connection of the good client is untouched.
    EXPECT_EQ(Call(*good, Pattern(20)), Reversed(Pattern(20)));
  }
}

TEST(HttpListener, AnythingButAPostToBinIsRefusedWithAStatus) {
  ServerOptions options = LoopbackOptions();
  options.limits.max_message_size = 1 << 20;
  Loopback loopback(options);
  struct Case {
    const char* what;
    std::string request;
    const char* status;
  };
  const std::vector<Case> cases = {
      {"other path", "POST /other HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc",
       "HTTP/1.1 404"},
      {"GET", "GET /bin HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 405"},
      // Only the header is sent: the refusal must come without waiting for the body.
      {"body beyond the limit", "POST /bin HTTP/1.1\r\nHost: x\r\nContent-Length: 1048577\r\n\r\n",
       "HTTP/1.1 413"},
      {"chunked body beyond the limit",
       "POST /bin HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n100001\r\n",
       "HTTP/1.1 413"},
      {"not HTTP", "\x01\x02 hello\r\n\r\n", "HTTP/1.1 400"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RawConnection raw(loopback.server().HttpPort());
    raw.Send(c.request);
    const std::string answer = raw.ReadUntilClosed(milliseconds(3000));
    EXPECT_THAT(answer, ::testing::StartsWith(c.status));
    EXPECT_TRUE(raw.closed());
  }
  EXPECT_EQ(loopback.handler().Calls(), 0);

  HttpClientChannel wrong_path;
  wrong_path.SetTargetUrl("http://127.0.0.1:" + std::to_string(loopback.server().HttpPort()) +
                          "/other");
  try {
    wrong_path.Exchange(Pattern(3));
    FAIL() << "the call went through";
  } catch (const TransportError& e) {
    EXPECT_EQ(std::string(e.what()), "HTTP status 404 from " + wrong_path.TargetUrl());
  }
}

// A one-off HTTP server for what ours never does (setting cookies): answers each request
// with 200, "ok", a cookie and Connection: close, and records the requests' header lines.
class CookieServer {
 public:
  CookieServer() : listener_(true) {
    thread_ = std::thread([this] {
      for (int i = 0; i < 2; ++i) {
        const int fd = ::accept(listener_.Fd(), nullptr, nullptr);
        if (fd < 0) {
          return;
        }
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
          const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
          if (n <= 0) {
            break;
          }
          request.append(buffer, static_cast<std::size_t>(n));
        }
        {
          std::lock_guard lock(mutex_);
          requests_.push_back(request.substr(0, request.find("\r\n\r\n")));
        }
        const std::string answer =
            "HTTP/1.1 200 OK\r\nSet-Cookie: umsession=4711; Path=/\r\nContent-Length: 2\r\n"
            "Connection: close\r\n\r\nok";
        ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
        ::close(fd);
      }
    });
  }
  ~CookieServer() {
    listener_.Close();
    thread_.join();
  }
  std::uint16_t Port() const { return listener_.Port(); }
  std::vector<std::string> Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  SilentSocket listener_;
  std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

TEST(HttpChannel, SendsTheAgreedHeadersAndKeepsCookies) {
  CookieServer server;
  HttpClientChannel channel;
  channel.SetTargetUrl("http://127.0.0.1:" + std::to_string(server.Port()) + "/bin");
  channel.SetTimeout(milliseconds(3000));
  const Bytes ok = {'o', 'k'};
  EXPECT_EQ(channel.Exchange(Pattern(1)), ok);
  EXPECT_EQ(channel.Exchange(Pattern(2)), ok);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& request : requests) {
    EXPECT_THAT(request, ::testing::StartsWith("POST /bin HTTP/1.1\r\n"));
    EXPECT_THAT(request, HasSubstr("\r\nContent-Type: application/binary"));
    EXPECT_THAT(request, HasSubstr("\r\nAccept: text/html, */*"));
  }
  EXPECT_THAT(requests[0], ::testing::Not(HasSubstr("Cookie:")));
  EXPECT_THAT(requests[1], HasSubstr("\r\nCookie: umsession=4711"));
}

TEST(HttpChannel, RefusesToCallBeforeItHasATarget) {
  HttpClientChannel channel;
  EXPECT_EQ(channel.TargetUrl(), "none");
  EXPECT_EQ(channel.Port(), 8099);
  EXPECT_THROW(channel.Exchange(Pattern(3)), TransportError);
}

TEST(Listeners, QuietConnectionsAreClosedAfterTheIdleTimeOut) {
  ServerOptions options = LoopbackOptions();
  options.limits.idle_timeout = milliseconds(150);
  Loopback loopback(options);
  for (std::uint16_t port : {loopback.server().TcpPort(), loopback.server().HttpPort()}) {
    RawConnection raw(port);
    const auto start = Clock::now();
    raw.ReadUntilClosed(milliseconds(3000));
    EXPECT_TRUE(raw.closed());
    EXPECT_GE(Clock::now() - start, milliseconds(100));
  }
}

TEST(Listeners, StopWhileAHandlerRunsEndsCleanly) {
  Event entered, release, stopped;
  RemotingServer server(LoopbackOptions(), [&](std::span<const std::uint8_t> request) {
    entered.Set();
    (void)release.WaitFor();  // runs until the test lets it end
    return std::optional<Bytes>(Bytes(request.begin(), request.end()));
  });
  server.Start();
  auto channel = MakeChannel(Kind::kTcp, server.TcpPort());
  SetCallTimeout(*channel, milliseconds(60000));
  auto call = std::async(std::launch::async, [&] { return Call(*channel, Pattern(10)); });
  std::optional<Worker> stopper;
  SetOnExit release_on_exit(release);  // the handler ends before anything is joined
  ASSERT_TRUE(entered.WaitFor());
  stopper.emplace([&] {
    server.Stop();
    stopped.Set();
  });
  // The client hears of it while the handler still runs, not when its own time-out ends.
  ASSERT_EQ(call.wait_for(kEventBound), std::future_status::ready)
      << "Stop left the connection open";
  try {
    call.get();
    FAIL() << "the call went through";
  } catch (const TimeoutError&) {
    FAIL() << "Stop left the connection open";
  } catch (const TransportError&) {
  }
  // Stop lets the running handler finish, and returns once it has.
  EXPECT_FALSE(stopped.IsSet()) << "Stop did not wait for the running handler";
  release.Set();
  EXPECT_TRUE(stopped.WaitFor());
  stopper->Join();
  server.Stop();  // a second Stop is harmless
}

TEST(Listeners, APortInUseIsReportedByName) {
  Loopback first;
  ServerOptions options = LoopbackOptions();
  options.tcp_port = first.server().TcpPort();
  RemotingServer second(options, [](std::span<const std::uint8_t>) { return Bytes(); });
  try {
    second.Start();
    FAIL() << "two listeners on one port";
  } catch (const TransportError& e) {
    EXPECT_THAT(e.what(), HasSubstr("TCP listener cannot use 127.0.0.1:"));
  }
}

// Relays datagrams between one client and the server and drops a share of them both ways,
// from a seeded sequence.
class LossyRelay {
 public:
  LossyRelay(std::uint16_t server_port, double loss, std::uint32_t seed)
      : loss_(loss), random_(seed) {
    front_ = Bind(front_port_);
    std::uint16_t unused = 0;
    back_ = Bind(unused);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(server_port);
    ::connect(back_, reinterpret_cast<sockaddr*>(&server), sizeof server);
    thread_ = std::thread([this] { Run(); });
  }
  ~LossyRelay() {
    stop_ = true;
    thread_.join();
    ::close(front_);
    ::close(back_);
  }
  std::uint16_t Port() const { return front_port_; }
  int dropped_requests() const { return dropped_[0]; }
  int dropped_answers() const { return dropped_[1]; }

 private:
  static int Bind(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    int size = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
  }

  void Run() {
    std::vector<char> buffer(70000);
    sockaddr_in client{};
    socklen_t client_length = 0;
    std::bernoulli_distribution drop(loss_);
    while (!stop_) {
      pollfd fds[2] = {{front_, POLLIN, 0}, {back_, POLLIN, 0}};
      if (::poll(fds, 2, 20) <= 0) {
        continue;
      }
      if (fds[0].revents & POLLIN) {
        client_length = sizeof client;
        const ssize_t n = ::recvfrom(front_, buffer.data(), buffer.size(), 0,
                                     reinterpret_cast<sockaddr*>(&client), &client_length);
        if (n >= 0) {
          if (drop(random_)) {
            ++dropped_[0];
          } else {
            ::send(back_, buffer.data(), static_cast<std::size_t>(n), 0);
          }
        }
      }
      if (fds[1].revents & POLLIN) {
        const ssize_t n = ::recv(back_, buffer.data(), buffer.size(), 0);
        if (n >= 0 && client_length != 0) {
          if (drop(random_)) {
            ++dropped_[1];
          } else {
            ::sendto(front_, buffer.data(), static_cast<std::size_t>(n), 0,
                     reinterpret_cast<sockaddr*>(&client), client_length);
          }
        }
      }
    }
  }

  double loss_;
  std::mt19937 random_;
  int front_ = -1, back_ = -1;
  std::uint16_t front_port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> dropped_[2] = {0, 0};
  std::thread thread_;
};

TEST(UdpChannel, EveryCallCompletesOnceThroughALossyPath) {
  ServerOptions options = LoopbackOptions();
  options.udp_fragment_payload = 512;
  Loopback loopback(options);
  LossyRelay relay(loopback.server().UdpPort(), 0.3, 20261211);
  UdpClientChannel channel;
  channel.SetHost("127.0.0.1");
  channel.SetPort(relay.Port());
  channel.SetFragmentPayload(512);
  channel.SetAsyncTimeOut(milliseconds(40));
  channel.SetRetrys(60);
  constexpr int kCalls = 60;
  for (std::uint32_t call = 0; call < kCalls; ++call) {
    // One, two and five datagrams each way.
    const Bytes request = Pattern(std::array{10, 700, 2500}[call % 3], call + 1);
    ASSERT_EQ(channel.Exchange(request), Reversed(request)) << "call " << call;
  }
  for (std::uint32_t call = 0; call < kCalls; ++call) {
    EXPECT_EQ(loopback.handler().Seen(Pattern(std::array{10, 700, 2500}[call % 3], call + 1)), 1)
        << "call " << call;
  }
  EXPECT_EQ(loopback.handler().Calls(), kCalls);
  // The path really lost datagrams both ways, so retries and the answer cache were used.
  EXPECT_GT(relay.dropped_requests(), 10);
  EXPECT_GT(relay.dropped_answers(), 10);
}

TEST(UdpChannel, Defaults) {
  UdpClientChannel channel;
  EXPECT_EQ(channel.Port(), 8090);
  EXPECT_EQ(channel.AsyncTimeOut(), milliseconds(1000));
  EXPECT_EQ(channel.Retrys(), 5);
}

TEST(UdpListener, IncompleteRequestsAreBoundedAndExpire) {
  ServerOptions options = LoopbackOptions();
  options.udp_memory_budget = 64 * 1024;
  options.udp_incomplete_ttl = milliseconds(300);
  LogCapture log;
  Loopback loopback(options);
  // First fragments of many calls that never complete, from one peer.
  const auto start = Clock::now();
  {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(loopback.server().UdpPort());
    for (std::uint64_t id = 1; id <= 200; ++id) {
      const auto datagrams = datagram::Fragment(Pattern(4000, static_cast<std::uint32_t>(id)),
                                                datagram::Direction::kRequest, id, 1000, Limits{});
      ::sendto(fd, datagrams[0].data(), datagrams[0].size(), 0,
               reinterpret_cast<sockaddr*>(&server), sizeof server);
    }
    ::close(fd);
  }
  EXPECT_TRUE(log.Contains("memory for pending UDP calls is used up"));
  // A real call finds no room until the incomplete ones expire, then goes through.
  auto channel = loopback.Channel(Kind::kUdp);
  auto& udp = dynamic_cast<UdpClientChannel&>(*channel);
  udp.SetAsyncTimeOut(milliseconds(50));
  udp.SetRetrys(60);
  const Bytes request = Pattern(8000, 99);
  EXPECT_EQ(Call(*channel, request), Reversed(request));
  // No room can have come free before the first incomplete request expired.
  EXPECT_GE(Clock::now() - start, milliseconds(300));
  EXPECT_EQ(loopback.handler().Calls(), 1);
}

}  // namespace
}  // namespace tovra::remoting::testing
