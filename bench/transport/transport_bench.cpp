// Round trip of a small call on loopback through our channels and listeners, side by side
// with the same bytes through bare Asio (TCP) and bare libcurl + Beast (HTTP); and 50 TCP
// clients calling at once.
//
//   transport_bench --benchmark_min_time=2

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <thread>
#include <vector>

#include "remoting/http_channel.h"
#include "remoting/server.h"
#include "remoting/tcp_channel.h"
#include "remoting/transport_util.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;
using tovra::remoting::Bytes;

constexpr std::size_t kSmallCall = 200;  // about the size of a sealed KeepAlive call

Bytes SmallCall() {
  return Bytes(kSmallCall, 0x5a);
}

void BM_TcpChannel(benchmark::State& state) {
  tovra::remoting::ServerOptions options;
  options.address = "127.0.0.1";
  options.tcp_port = 0;
  options.worker_threads = 2;
  tovra::remoting::RemotingServer server(options, [](std::span<const std::uint8_t> request) {
    return std::optional<Bytes>(Bytes(request.begin(), request.end()));
  });
  server.Start();
  tovra::remoting::TcpClientChannel channel;
  channel.SetHost("127.0.0.1");
  channel.SetPort(server.TcpPort());
  const Bytes request = SmallCall();
  for (auto _ : state) {
    benchmark::DoNotOptimize(channel.Exchange(request));
  }
}
BENCHMARK(BM_TcpChannel)->UseRealTime();

// The plainest Asio echo of the same frames: one thread, one connection, no worker hand-off.
class BareAsioEcho {
 public:
  BareAsioEcho() : acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
    thread_ = std::thread([this] {
      tcp::socket socket = acceptor_.accept();
      socket.set_option(tcp::no_delay(true));
      std::array<std::uint8_t, tovra::remoting::kFrameHeaderSize> header{};
      Bytes body;
      boost::system::error_code ec;
      while (asio::read(socket, asio::buffer(header), ec) == header.size()) {
        body.resize(*tovra::remoting::FrameLength(header));
        asio::read(socket, asio::buffer(body), ec);
        const std::array<asio::const_buffer, 2> frame = {asio::buffer(header), asio::buffer(body)};
        asio::write(socket, frame, ec);
      }
    });
  }
  ~BareAsioEcho() { thread_.join(); }  // ends when the client closes
  std::uint16_t Port() const { return acceptor_.local_endpoint().port(); }

 private:
  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::thread thread_;
};

void BM_BareAsioEcho(benchmark::State& state) {
  BareAsioEcho server;
  asio::io_context io;
  tcp::socket client(io);
  client.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server.Port()));
  client.set_option(tcp::no_delay(true));
  const Bytes request = SmallCall();
  const auto header = tovra::remoting::FrameHeader(static_cast<std::uint32_t>(request.size()));
  std::array<std::uint8_t, tovra::remoting::kFrameHeaderSize> answer_header{};
  Bytes answer;
  for (auto _ : state) {
    const std::array<asio::const_buffer, 2> frame = {asio::buffer(header), asio::buffer(request)};
    asio::write(client, frame);
    asio::read(client, asio::buffer(answer_header));
    answer.resize(*tovra::remoting::FrameLength(answer_header));
    asio::read(client, asio::buffer(answer));
    benchmark::DoNotOptimize(answer.data());
  }
  client.close();
}
BENCHMARK(BM_BareAsioEcho)->UseRealTime();

// Where the time goes: our client channel against the bare echo.
void BM_TcpChannelToBareEcho(benchmark::State& state) {
  BareAsioEcho server;
  {
    tovra::remoting::TcpClientChannel channel;
    channel.SetHost("127.0.0.1");
    channel.SetPort(server.Port());
    const Bytes request = SmallCall();
    for (auto _ : state) {
      benchmark::DoNotOptimize(channel.Exchange(request));
    }
  }
}
BENCHMARK(BM_TcpChannelToBareEcho)->UseRealTime();

void BM_HttpChannel(benchmark::State& state) {
  tovra::remoting::ServerOptions options;
  options.address = "127.0.0.1";
  options.http_port = 0;
  options.worker_threads = 2;
  tovra::remoting::RemotingServer server(options, [](std::span<const std::uint8_t> request) {
    return std::optional<Bytes>(Bytes(request.begin(), request.end()));
  });
  server.Start();
  tovra::remoting::HttpClientChannel channel;
  channel.SetTargetUrl("http://127.0.0.1:" + std::to_string(server.HttpPort()) + "/bin");
  const Bytes request = SmallCall();
  for (auto _ : state) {
    benchmark::DoNotOptimize(channel.Exchange(request));
  }
}
BENCHMARK(BM_HttpChannel)->UseRealTime();

std::size_t Append(char* data, std::size_t size, std::size_t count, void* user) {
  auto& body = *static_cast<std::string*>(user);
  body.append(data, size * count);
  return size * count;
}

// A bare libcurl POST to a bare synchronous Beast handler that answers with the body.
void BM_BareCurlBeast(benchmark::State& state) {
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const auto port = acceptor.local_endpoint().port();
  std::thread server([&] {
    tcp::socket socket = acceptor.accept();
    socket.set_option(tcp::no_delay(true));
    beast::flat_buffer buffer;
    boost::system::error_code ec;
    while (true) {
      http::request<http::vector_body<std::uint8_t>> request;
      http::read(socket, buffer, request, ec);
      if (ec)
        break;
      http::response<http::vector_body<std::uint8_t>> response(http::status::ok, request.version());
      response.set(http::field::content_type, "application/binary");
      response.body() = std::move(request.body());
      response.keep_alive(request.keep_alive());
      response.prepare_payload();
      http::write(socket, response, ec);
      if (ec)
        break;
    }
  });
  {
    CURL* curl = curl_easy_init();
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/bin";
    const Bytes request = SmallCall();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/binary");
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Append);
    std::string answer;
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    for (auto _ : state) {
      answer.clear();
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.data());
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.size()));
      curl_easy_perform(curl);
      benchmark::DoNotOptimize(answer.data());
    }
    curl_easy_cleanup(curl);  // closes the connection: the server thread ends
    curl_slist_free_all(headers);
  }
  server.join();
}
BENCHMARK(BM_BareCurlBeast)->UseRealTime();

// 50 clients, each with its own channel and kept connection, calling a trivial handler as
// fast as answers come for a fixed time. Reports calls per second and the 99th percentile of
// the round trip.
void BM_Tcp50Clients(benchmark::State& state) {
  constexpr int kClients = 50;
  const auto run_for = std::chrono::seconds(3);
  tovra::remoting::ServerOptions options;
  options.address = "127.0.0.1";
  options.tcp_port = 0;
  options.worker_threads = 2;
  tovra::remoting::RemotingServer server(options, [](std::span<const std::uint8_t> request) {
    return std::optional<Bytes>(Bytes(request.begin(), request.end()));
  });
  server.Start();
  for (auto _ : state) {
    std::vector<std::vector<double>> latencies(kClients);
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    const auto start = std::chrono::steady_clock::now();
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back([&, c] {
        tovra::remoting::TcpClientChannel channel;
        channel.SetHost("127.0.0.1");
        channel.SetPort(server.TcpPort());
        const Bytes request = SmallCall();
        auto& mine = latencies[static_cast<std::size_t>(c)];
        mine.reserve(200000);
        while (!stop.load(std::memory_order_relaxed)) {
          const auto t0 = std::chrono::steady_clock::now();
          channel.Exchange(request);
          mine.push_back(
              std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                  .count());
        }
      });
    }
    std::this_thread::sleep_for(run_for);
    stop = true;
    for (auto& t : clients)
      t.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::vector<double> all;
    for (auto& l : latencies)
      all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    state.counters["calls_per_s"] = static_cast<double>(all.size()) / seconds;
    state.counters["p50_ms"] = all.empty() ? 0 : all[all.size() / 2];
    state.counters["p99_ms"] = all.empty() ? 0 : all[all.size() * 99 / 100];
    state.counters["calls"] = static_cast<double>(all.size());
  }
}
BENCHMARK(BM_Tcp50Clients)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
