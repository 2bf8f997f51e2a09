#include "remoting/server.h"

#include <poll.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "remoting/errors.h"
#include "remoting/log.h"
#include "remoting/transport_util.h"
#include "remoting/udp_datagram.h"

namespace tovra::remoting {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;
using asio::ip::udp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kFirstChunk = 64 * 1024;
constexpr std::size_t kHttpHeaderLimit = 16 * 1024;
constexpr std::size_t kUdpBurst = 64;
constexpr auto kUdpBurstPause = std::chrono::microseconds(200);
constexpr int kUdpReceiveBuffer = 4 << 20;

template <typename Endpoint>
std::string PeerText(const Endpoint& endpoint) {
  return HostPortText(endpoint.address().to_string(), endpoint.port());
}

// Runs jobs on a fixed set of threads. Stop lets running jobs finish and drops the rest.
class WorkerPool {
 public:
  void Start(std::size_t threads) {
    for (std::size_t i = 0; i < std::max<std::size_t>(threads, 1); ++i) {
      threads_.emplace_back([this] { Work(); });
    }
  }

  void Post(std::function<void()> job) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) {
        return;
      }
      jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
  }

  // No job waits for a thread.
  bool Idle() {
    std::lock_guard lock(mutex_);
    return jobs_.empty();
  }

  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) {
      thread.join();
    }
    threads_.clear();
    std::deque<std::function<void()>> dropped;
    {
      std::lock_guard lock(mutex_);
      dropped.swap(jobs_);
    }
  }

 private:
  void Work() {
    while (true) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (stopping_) {
          return;
        }
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  bool stopping_ = false;
};

// Calls the handler and never lets an exception escape into a worker thread.
std::optional<Bytes> Handle(const RequestHandler& handler, std::span<const std::uint8_t> request,
                            const std::string& peer) {
  try {
    return handler(request);
  } catch (const std::exception& e) {
    Log(LogLevel::kError, "the handler failed on a request from " + peer + ": " + e.what());
  } catch (...) {
    Log(LogLevel::kError, "the handler failed on a request from " + peer);
  }
  return std::nullopt;
}

// What Stop needs of a connection: close it now.
class Session {
 public:
  virtual ~Session() = default;
  virtual void Shutdown() = 0;
};

}  // namespace

struct RemotingServer::Impl {
  Impl(ServerOptions o, RequestHandler h) : options(std::move(o)), handler(std::move(h)) {}

  // Declared first so that it is destroyed last: sockets and timers below belong to it.
  asio::io_context io;
  ServerOptions options;
  RequestHandler handler;
  WorkerPool pool;
  std::optional<tcp::acceptor> tcp_acceptor;
  std::optional<tcp::acceptor> http_acceptor;
  std::optional<udp::socket> udp_socket;
  std::thread loop;
  bool started = false;
  bool stopped = false;
  std::uint16_t tcp_port = 0, udp_port = 0, http_port = 0;
  // Open connections, so that Stop can close them; touched on the loop only.
  std::vector<std::weak_ptr<Session>> sessions;

  void Track(const std::shared_ptr<Session>& session) {
    std::erase_if(sessions, [](const auto& weak) { return weak.expired(); });
    sessions.push_back(session);
  }

  // UDP state, touched on the loop only.
  struct UdpCall {
    enum class State { kAssembling, kRunning, kAnswered } state = State::kAssembling;
    std::optional<datagram::Reassembly> reassembly;
    std::shared_ptr<const std::vector<Bytes>> answer;
    std::size_t held = 0;
    Clock::time_point touched;
    // Highest attempt of the client seen so far: an answer goes out once per attempt.
    std::uint16_t attempt = 0;
  };
  using UdpKey = std::pair<udp::endpoint, std::uint64_t>;
  std::map<UdpKey, UdpCall> udp_calls;
  std::size_t udp_held = 0;
  Bytes udp_buffer = Bytes(datagram::kMaxDatagram);
  udp::endpoint udp_sender;
  std::optional<asio::steady_timer> udp_sweeper;

  void Accept(tcp::acceptor& acceptor, bool http);
  void ReceiveDatagram();
  void OnDatagram(std::size_t size);
  void SendDatagrams(std::shared_ptr<const std::vector<Bytes>> datagrams, udp::endpoint peer,
                     std::size_t from);
  void SweepUdp();
  // Expires incomplete requests and old answers once a second.
  void ArmSweeper() {
    udp_sweeper->expires_after(std::chrono::seconds(1));
    udp_sweeper->async_wait([this](const error_code& ec) {
      if (!ec) {
        SweepUdp();
        ArmSweeper();
      }
    });
  }
  void SetHeld(UdpCall& call, std::size_t held) {
    udp_held = udp_held - call.held + held;
    call.held = held;
  }
};

namespace {

// One TCP connection: frames in, frames out, one request at a time.
class TcpSession : public Session, public std::enable_shared_from_this<TcpSession> {
 public:
  TcpSession(tcp::socket socket, RemotingServer::Impl& server)
      : socket_(std::move(socket)), idle_(socket_.get_executor()), server_(server) {
    error_code ec;
    peer_ = PeerText(socket_.remote_endpoint(ec));
    socket_.set_option(tcp::no_delay(true), ec);
    // Writes from a worker must never block it (see Answer).
    socket_.non_blocking(true, ec);
  }

  void Start() {
    Touch();
    WatchIdle(server_.options.limits.idle_timeout);
    ReadHeader();
  }

  void Shutdown() override {
    std::lock_guard lock(mutex_);
    error_code ignored;
    idle_.cancel();
    socket_.close(ignored);
  }

 private:
  // Activity only moves a time stamp; one timer per connection checks it, so that a busy
  // connection does not re-arm a timer on every frame.
  void Touch() { quiet_since_ = Clock::now().time_since_epoch().count(); }

  void WatchIdle(Clock::duration after) {
    idle_.expires_after(after);
    idle_.async_wait([self = shared_from_this()](const error_code& ec) {
      if (ec) {
        return;
      }
      const auto limit = self->server_.options.limits.idle_timeout;
      const auto quiet = Clock::now() - Clock::time_point(Clock::duration(self->quiet_since_));
      if (self->busy_ || quiet < limit) {
        self->WatchIdle(self->busy_ ? Clock::duration(limit) : limit - quiet);
        return;
      }
      Log(LogLevel::kDebug, "closed the idle TCP connection of " + self->peer_);
      std::lock_guard lock(self->mutex_);
      error_code ignored;
      self->socket_.close(ignored);
    });
  }

  void Drop(const std::string& why) {
    Log(LogLevel::kWarning, "dropped the TCP connection of " + peer_ + ": " + why);
    error_code ignored;
    idle_.cancel();
    socket_.close(ignored);
  }

  void End() { idle_.cancel(); }

  // Reads until a frame header is in `in_`; a small frame usually arrives whole with it.
  void ReadHeader() {
    if (in_length_ >= kFrameHeaderSize) {
      OnHeader();
      return;
    }
    if (in_.size() < kFirstRead) {
      in_.resize(kFirstRead);
    }
    socket_.async_read_some(asio::buffer(in_.data() + in_length_, in_.size() - in_length_),
                            [self = shared_from_this()](const error_code& ec, std::size_t got) {
                              if (ec) {
                                // A clean close between frames is the normal end of a connection.
                                if (self->in_length_ != 0 && ec != asio::error::operation_aborted) {
                                  self->Drop("the connection ended inside a frame header");
                                }
                                self->End();
                                return;
                              }
                              self->Touch();
                              self->in_length_ += got;
                              self->ReadHeader();
                            });
  }

  void OnHeader() {
    const auto length =
        FrameLength(std::span<const std::uint8_t, kFrameHeaderSize>(in_.data(), kFrameHeaderSize));
    if (!length) {
      Drop("the bytes received are not a frame of this protocol");
      return;
    }
    if (*length > server_.options.limits.max_message_size) {
      Drop("a frame of " + std::to_string(*length) + " bytes exceeds the limit of " +
           std::to_string(server_.options.limits.max_message_size) + " bytes");
      return;
    }
    length_ = *length;
    // Whatever came with the header belongs to this frame, up to its length; bytes beyond
    // it are the start of the next one and stay in `in_`.
    const std::size_t take = std::min<std::size_t>(in_length_ - kFrameHeaderSize, length_);
    const auto from = in_.begin() + static_cast<std::ptrdiff_t>(kFrameHeaderSize);
    body_.assign(from, from + static_cast<std::ptrdiff_t>(take));
    std::copy(from + static_cast<std::ptrdiff_t>(take),
              in_.begin() + static_cast<std::ptrdiff_t>(in_length_), in_.begin());
    in_length_ -= kFrameHeaderSize + take;
    ReadBody();
  }

  // The body grows only as fast as bytes arrive (see kFirstChunk).
  void ReadBody() {
    if (body_.size() == length_) {
      Dispatch();
      return;
    }
    const std::size_t have = body_.size();
    const std::size_t want = std::min<std::size_t>(length_, std::max(kFirstChunk, have * 2));
    body_.resize(want);
    asio::async_read(socket_, asio::buffer(body_.data() + have, want - have),
                     [self = shared_from_this()](const error_code& ec, std::size_t) {
                       if (ec) {
                         if (ec != asio::error::operation_aborted) {
                           self->Drop("the connection ended inside a frame");
                         }
                         self->End();
                         return;
                       }
                       self->Touch();
                       self->ReadBody();
                     });
  }

  void Dispatch() {
    busy_ = true;  // a connection waiting for its answer is not idle
    server_.pool.Post([self = shared_from_this(), request = std::move(body_)] {
      self->Answer(Handle(self->server_.handler, request, self->peer_));
    });
  }

  // On the worker. A small answer goes out from here at once, without waiting for the loop
  // to wake up; whatever the socket does not take now is left to the loop.
  void Answer(std::optional<Bytes> answer) {
    while (true) {
      std::size_t written = 0;
      bool failed = !answer || answer->size() > UINT32_MAX;
      if (!failed) {
        answer_ = std::move(*answer);
        answer_header_ = FrameHeader(static_cast<std::uint32_t>(answer_.size()));
        std::unique_lock lock(mutex_);  // against Shutdown on the loop
        if (socket_.is_open()) {
          error_code ec;
          written = asio::write(socket_, Frame(0), ec);
          failed = ec && ec != asio::error::would_block;
          // (Bytes of a next frame already received are left to the loop.)
          if (!failed && written == answer_header_.size() + answer_.size() && in_length_ == 0) {
            // The common case: the whole answer went out.
            answer_.clear();
            Touch();
            // A client that calls again at once is served right here while no other work
            // waits, which spares two thread switches per call.
            if (server_.pool.Idle()) {
              if (auto next = NextFrameSoon()) {
                lock.unlock();
                answer = Handle(server_.handler, *next, peer_);
                continue;
              }
            }
            if (in_length_ != 0) {
              // Part of a frame came meanwhile: the loop takes it from here.
              lock.unlock();
              asio::post(socket_.get_executor(), [self = shared_from_this()] {
                self->busy_ = false;
                self->ReadHeader();
              });
              return;
            }
            // Waiting for the next request starts here too, which spares the loop a
            // wake-up on every call.
            busy_ = false;
            ReadHeader();
            return;
          }
        }
      }
      asio::post(socket_.get_executor(),
                 [self = shared_from_this(), written, failed, unreadable = !answer] {
                   if (unreadable) {
                     self->Drop("the request could not be read");
                   } else if (failed) {
                     self->Drop("the answer could not be sent");
                   } else {
                     self->FinishAnswer(written);
                   }
                 });
      return;
    }
  }

  // On the worker, under mutex_: waits a moment for the client's next frame and returns it
  // when it came whole and sound. Anything else stays in `in_` for the loop to deal with.
  std::optional<Bytes> NextFrameSoon() {
    pollfd ready{socket_.native_handle(), POLLIN, 0};
    const timespec linger{0, kLinger.count()};
    if (::ppoll(&ready, 1, &linger, nullptr) <= 0) {
      return std::nullopt;
    }
    if (in_.size() < kFirstRead) {
      in_.resize(kFirstRead);
    }
    error_code ec;
    in_length_ += socket_.read_some(asio::buffer(in_.data(), in_.size()), ec);
    if (ec || in_length_ < kFrameHeaderSize) {
      return std::nullopt;
    }
    const auto length =
        FrameLength(std::span<const std::uint8_t, kFrameHeaderSize>(in_.data(), kFrameHeaderSize));
    if (!length || *length > server_.options.limits.max_message_size ||
        in_length_ != kFrameHeaderSize + *length) {
      return std::nullopt;
    }
    Bytes frame(in_.begin() + static_cast<std::ptrdiff_t>(kFrameHeaderSize),
                in_.begin() + static_cast<std::ptrdiff_t>(in_length_));
    in_length_ = 0;
    Touch();
    return frame;
  }

  std::array<asio::const_buffer, 2> Frame(std::size_t skip) const {
    const std::size_t from_header = std::min(skip, answer_header_.size());
    return {
        asio::buffer(answer_header_.data() + from_header, answer_header_.size() - from_header),
        asio::buffer(answer_.data() + (skip - from_header), answer_.size() - (skip - from_header))};
  }

  // On the loop: the rest of an answer the socket did not take at once.
  void FinishAnswer(std::size_t written) {
    asio::async_write(socket_, Frame(written),
                      [self = shared_from_this()](const error_code& ec, std::size_t) {
                        self->answer_.clear();
                        self->Touch();
                        self->busy_ = false;
                        if (!ec) {
                          self->ReadHeader();
                        } else {
                          self->End();
                        }
                      });
  }

  static constexpr std::size_t kFirstRead = 8 * 1024;
  static constexpr std::chrono::nanoseconds kLinger = std::chrono::microseconds(200);

  tcp::socket socket_;
  asio::steady_timer idle_;
  RemotingServer::Impl& server_;
  std::string peer_;
  Bytes in_;  // received, not yet taken into a frame
  std::size_t in_length_ = 0;
  std::uint32_t length_ = 0;
  Bytes body_;
  std::array<std::uint8_t, kFrameHeaderSize> answer_header_{};
  Bytes answer_;
  std::atomic<bool> busy_{false};  // a worker has the request
  std::atomic<Clock::rep> quiet_since_{0};
  std::mutex mutex_;  // the worker's write against Shutdown
};

// One HTTP connection: POST /bin carries a request, the answer comes back as the body of a
// 200; anything else gets a status and the connection is closed.
class HttpSession : public Session, public std::enable_shared_from_this<HttpSession> {
 public:
  using Parser = http::request_parser<http::vector_body<std::uint8_t>>;

  HttpSession(tcp::socket socket, RemotingServer::Impl& server)
      : stream_(std::move(socket)), server_(server) {
    error_code ec;
    peer_ = PeerText(stream_.socket().remote_endpoint(ec));
    stream_.socket().set_option(tcp::no_delay(true), ec);
    // Writes from a worker must never block it (see Answer).
    stream_.socket().non_blocking(true, ec);
  }

  void Start() { ReadHeader(); }

  void Shutdown() override { Close(); }

 private:
  void ReadHeader() {
    parser_.emplace();
    parser_->header_limit(kHttpHeaderLimit);
    parser_->body_limit(server_.options.limits.max_message_size);
    stream_.expires_after(server_.options.limits.idle_timeout);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](const error_code& ec, std::size_t) { self->OnHeader(ec); });
  }

  void OnHeader(const error_code& ec) {
    if (ec == http::error::body_limit) {
      Log(LogLevel::kWarning, "refused an HTTP body from " + peer_ + " beyond the limit of " +
                                  std::to_string(server_.options.limits.max_message_size) +
                                  " bytes");
      Refuse(http::status::payload_too_large, "request too large");
      return;
    }
    if (ec) {
      if (ec != http::error::end_of_stream && ec != beast::error::timeout &&
          ec != asio::error::operation_aborted && buffer_.size() > 0) {
        Log(LogLevel::kWarning,
            "refused a malformed HTTP request from " + peer_ + ": " + ec.message());
        Refuse(http::status::bad_request, "malformed request");
        return;
      }
      Close();
      return;
    }
    const auto& request = parser_->get();
    if (request.target() != "/bin") {
      Refuse(http::status::not_found, "not found");
      return;
    }
    if (request.method() != http::verb::post) {
      Refuse(http::status::method_not_allowed, "only POST is served here");
      return;
    }
    const auto length = parser_->content_length();
    if (length && *length > server_.options.limits.max_message_size) {
      Log(LogLevel::kWarning, "refused an HTTP body of " + std::to_string(*length) +
                                  " bytes from " + peer_ + ": the limit is " +
                                  std::to_string(server_.options.limits.max_message_size));
      Refuse(http::status::payload_too_large, "request too large");
      return;
    }
    stream_.expires_after(server_.options.limits.idle_timeout);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](const error_code& e, std::size_t) { self->OnBody(e); });
  }

  void OnBody(const error_code& ec) {
    if (ec == http::error::body_limit) {
      Log(LogLevel::kWarning, "refused an HTTP body from " + peer_ + " beyond the limit");
      Refuse(http::status::payload_too_large, "request too large");
      return;
    }
    if (ec) {
      if (ec != asio::error::operation_aborted) {
        Log(LogLevel::kWarning, "dropped the HTTP connection of " + peer_ + ": " + ec.message());
      }
      Close();
      return;
    }
    stream_.expires_never();
    keep_alive_ = parser_->get().keep_alive();
    version_ = parser_->get().version();
    server_.pool.Post([self = shared_from_this(), request = parser_->release().body()]() mutable {
      self->Answer(Handle(self->server_.handler, request, self->peer_));
    });
  }

  using Response = http::response<http::vector_body<std::uint8_t>>;
  using Serializer = http::response_serializer<http::vector_body<std::uint8_t>>;

  // On the worker. As on TCP, the answer goes out from here as far as the socket takes it at
  // once; the loop finishes what is left and goes on with the connection.
  void Answer(std::optional<Bytes> answer) {
    if (!answer) {
      asio::post(stream_.get_executor(), [self = shared_from_this()] {
        Log(LogLevel::kWarning, "refused an unreadable request from " + self->peer_);
        self->Refuse(http::status::bad_request, "unreadable request");
      });
      return;
    }
    auto response = std::make_shared<Response>(http::status::ok, version_);
    response->set(http::field::content_type, "application/binary");
    response->body() = std::move(*answer);
    response->keep_alive(keep_alive_);
    response->prepare_payload();
    auto serializer = std::make_shared<Serializer>(*response);
    bool failed = false;
    {
      std::lock_guard lock(mutex_);  // against Shutdown on the loop
      if (stream_.socket().is_open()) {
        error_code ec;
        http::write(stream_.socket(), *serializer, ec);
        failed = ec && ec != asio::error::would_block;
      }
    }
    asio::post(stream_.get_executor(), [self = shared_from_this(), response, serializer, failed] {
      if (failed) {
        self->Close();
      } else if (serializer->is_done()) {
        self->Continue(self->keep_alive_);
      } else {
        self->stream_.expires_after(self->server_.options.limits.idle_timeout);
        http::async_write(self->stream_, *serializer,
                          [self, response, serializer](const error_code& ec, std::size_t) {
                            self->Continue(!ec && self->keep_alive_);
                          });
      }
    });
  }

  void Continue(bool keep_alive) {
    if (keep_alive) {
      ReadHeader();
    } else {
      Close();
    }
  }

  void Refuse(http::status status, const std::string& text) {
    auto response = std::make_shared<http::response<http::string_body>>(status, 11);
    response->set(http::field::content_type, "text/plain");
    if (status == http::status::method_not_allowed) {
      response->set(http::field::allow, "POST");
    }
    response->body() = text + "\n";
    response->keep_alive(false);
    response->prepare_payload();
    Send(std::move(response), false);
  }

  template <typename Response>
  void Send(std::shared_ptr<Response> response, bool keep_alive) {
    stream_.expires_after(server_.options.limits.idle_timeout);
    http::async_write(
        stream_, *response,
        [self = shared_from_this(), response, keep_alive](const error_code& ec, std::size_t) {
          if (!ec && keep_alive) {
            self->ReadHeader();
          } else {
            self->Close();
          }
        });
  }

  void Close() {
    std::lock_guard lock(mutex_);
    error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.close();
  }

  beast::tcp_stream stream_;
  RemotingServer::Impl& server_;
  std::string peer_;
  beast::flat_buffer buffer_;
  std::optional<Parser> parser_;
  bool keep_alive_ = true;
  unsigned version_ = 11;
  std::mutex mutex_;  // the worker's write against Shutdown
};

}  // namespace

void RemotingServer::Impl::Accept(tcp::acceptor& acceptor, bool is_http) {
  acceptor.async_accept([this, &acceptor, is_http](const error_code& ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor.is_open()) {
      return;
    }
    if (!ec) {
      if (is_http) {
        auto session = std::make_shared<HttpSession>(std::move(socket), *this);
        Track(session);
        session->Start();
      } else {
        auto session = std::make_shared<TcpSession>(std::move(socket), *this);
        Track(session);
        session->Start();
      }
    } else {
      // Out of descriptors and the like: keep listening, the condition may pass.
      Log(LogLevel::kWarning, "accepting a connection failed: " + ec.message());
    }
    Accept(acceptor, is_http);
  });
}

void RemotingServer::Impl::ReceiveDatagram() {
  udp_socket->async_receive_from(
      asio::buffer(udp_buffer), udp_sender, [this](const error_code& ec, std::size_t size) {
        if (ec == asio::error::operation_aborted || !udp_socket->is_open()) {
          return;
        }
        // Errors here are ICMP reports about earlier answers
        // to clients that went away: keep receiving.
        if (!ec) {
          OnDatagram(size);
        }
        ReceiveDatagram();
      });
}

void RemotingServer::Impl::OnDatagram(std::size_t size) {
  const std::span<const std::uint8_t> datagram(udp_buffer.data(), size);
  const auto header = datagram::ParseHeader(datagram);
  if (!header || header->direction != datagram::Direction::kRequest) {
    Log(LogLevel::kDebug, "ignored a datagram from " + PeerText(udp_sender) +
                              " that is not a request of this protocol");
    return;
  }
  const auto now = Clock::now();
  const UdpKey key{udp_sender, header->call_id};
  auto it = udp_calls.find(key);
  if (it == udp_calls.end()) {
    if (udp_held + size > options.udp_memory_budget) {
      SweepUdp();
      if (udp_held + size > options.udp_memory_budget) {
        Log(LogLevel::kWarning, "dropped a datagram from " + PeerText(udp_sender) +
                                    ": the memory for pending UDP calls is used up");
        return;
      }
    }
    try {
      UdpCall call;
      call.reassembly.emplace(*header, options.limits);
      it = udp_calls.emplace(key, std::move(call)).first;
    } catch (const ProtocolError& e) {
      Log(LogLevel::kWarning,
          "ignored a UDP request from " + PeerText(udp_sender) + ": " + e.what());
      return;
    }
  }
  UdpCall& call = it->second;
  switch (call.state) {
    case UdpCall::State::kRunning:
      // The first copy is being handled; its answer goes out once it is ready.
      call.attempt = std::max(call.attempt, header->attempt);
      return;
    case UdpCall::State::kAnswered:
      // The client did not get the whole answer: send it again, once per later attempt.
      if (call.answer && header->attempt > call.attempt) {
        call.attempt = header->attempt;
        call.touched = now;
        SendDatagrams(call.answer, udp_sender, 0);
      }
      return;
    case UdpCall::State::kAssembling:
      call.attempt = std::max(call.attempt, header->attempt);
      break;
  }
  call.touched = now;
  const auto result = call.reassembly->Add(*header, datagram.subspan(datagram::kHeaderSize));
  if (result == datagram::Reassembly::Result::kBroken) {
    Log(LogLevel::kWarning, "dropped a UDP request from " + PeerText(udp_sender) +
                                " whose fragments do not fit together");
    SetHeld(call, 0);
    udp_calls.erase(it);
    return;
  }
  if (result != datagram::Reassembly::Result::kComplete) {
    SetHeld(call, call.reassembly->HeldBytes());
    return;
  }
  Bytes request = call.reassembly->Take();
  call.reassembly.reset();
  call.state = UdpCall::State::kRunning;
  SetHeld(call, 0);
  pool.Post([this, key, request = std::move(request)] {
    auto answer = Handle(handler, request, PeerText(key.first));
    std::shared_ptr<const std::vector<Bytes>> datagrams;
    if (answer) {
      try {
        datagrams = std::make_shared<const std::vector<Bytes>>(
            datagram::Fragment(*answer, datagram::Direction::kAnswer, key.second,
                               options.udp_fragment_payload, options.limits));
      } catch (const ProtocolError& e) {
        Log(LogLevel::kWarning, std::string("an answer cannot travel over UDP: ") + e.what());
      }
    }
    asio::post(io, [this, key, datagrams = std::move(datagrams)] {
      auto found = udp_calls.find(key);
      if (found == udp_calls.end()) {
        return;
      }
      UdpCall& done = found->second;
      done.state = UdpCall::State::kAnswered;
      done.answer = datagrams;
      done.touched = Clock::now();
      std::size_t held = 0;
      if (datagrams) {
        for (const auto& d : *datagrams) {
          held += d.size();
        }
        SendDatagrams(datagrams, key.first, 0);
      }
      SetHeld(done, held);
    });
  });
}

void RemotingServer::Impl::SendDatagrams(std::shared_ptr<const std::vector<Bytes>> datagrams,
                                         udp::endpoint peer, std::size_t from) {
  const std::size_t until = std::min(datagrams->size(), from + kUdpBurst);
  for (std::size_t i = from; i < until; ++i) {
    error_code ignored;  // a lost datagram is recovered by the client's retry
    udp_socket->send_to(asio::buffer((*datagrams)[i]), peer, 0, ignored);
  }
  if (until < datagrams->size()) {
    // Pause between bursts so that a client's receive buffer can drain.
    auto timer = std::make_shared<asio::steady_timer>(io, kUdpBurstPause);
    timer->async_wait([this, timer, datagrams, peer, until](const error_code& ec) {
      if (!ec && udp_socket->is_open()) {
        SendDatagrams(datagrams, peer, until);
      }
    });
  }
}

void RemotingServer::Impl::SweepUdp() {
  const auto now = Clock::now();
  for (auto it = udp_calls.begin(); it != udp_calls.end();) {
    const auto& call = it->second;
    const bool expired =
        (call.state == UdpCall::State::kAssembling &&
         now - call.touched > options.udp_incomplete_ttl) ||
        (call.state == UdpCall::State::kAnswered && now - call.touched > options.udp_answer_ttl);
    if (expired) {
      udp_held -= call.held;
      it = udp_calls.erase(it);
    } else {
      ++it;
    }
  }
}

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
  error_code ec;
  const auto address = asio::ip::make_address(s.options.address, ec);
  if (ec) {
    throw TransportError("the listen address " + s.options.address + " is not an IP address");
  }
  auto listen = [&](std::optional<tcp::acceptor>& acceptor, std::uint16_t port,
                    const char* what) -> std::uint16_t {
    acceptor.emplace(s.io);
    const tcp::endpoint endpoint(address, port);
    acceptor->open(endpoint.protocol(), ec);
    if (!ec)
      acceptor->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
      acceptor->bind(endpoint, ec);
    if (!ec)
      acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      throw TransportError(std::string("the ") + what + " listener cannot use " +
                           HostPortText(s.options.address, port) + ": " + ec.message());
    }
    return acceptor->local_endpoint().port();
  };
  if (s.options.tcp_port) {
    s.tcp_port = listen(s.tcp_acceptor, *s.options.tcp_port, "TCP");
  }
  if (s.options.http_port) {
    s.http_port = listen(s.http_acceptor, *s.options.http_port, "HTTP");
  }
  if (s.options.udp_port) {
    const udp::endpoint endpoint(address, *s.options.udp_port);
    s.udp_socket.emplace(s.io);
    s.udp_socket->open(endpoint.protocol(), ec);
    if (!ec)
      s.udp_socket->bind(endpoint, ec);
    if (ec) {
      throw TransportError("the UDP listener cannot use " +
                           HostPortText(s.options.address, *s.options.udp_port) + ": " +
                           ec.message());
    }
    s.udp_socket->set_option(asio::socket_base::receive_buffer_size(kUdpReceiveBuffer), ec);
    s.udp_port = s.udp_socket->local_endpoint().port();
  }

  if (s.tcp_acceptor)
    s.Accept(*s.tcp_acceptor, false);
  if (s.http_acceptor)
    s.Accept(*s.http_acceptor, true);
  if (s.udp_socket) {
    s.ReceiveDatagram();
    s.udp_sweeper.emplace(s.io);
    s.ArmSweeper();
  }
  s.pool.Start(s.options.worker_threads);
  s.loop = std::thread([&s] {
    auto guard = asio::make_work_guard(s.io);
    s.io.run();
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
  asio::post(s.io, [&s] {
    error_code ignored;
    if (s.tcp_acceptor)
      s.tcp_acceptor->close(ignored);
    if (s.http_acceptor)
      s.http_acceptor->close(ignored);
    if (s.udp_socket)
      s.udp_socket->close(ignored);
    if (s.udp_sweeper)
      s.udp_sweeper->cancel();
    for (const auto& weak : s.sessions) {
      if (auto session = weak.lock()) {
        session->Shutdown();
      }
    }
    s.io.stop();
  });
  s.loop.join();
  s.pool.Stop();
}

std::uint16_t RemotingServer::TcpPort() const {
  return impl_->tcp_port;
}
std::uint16_t RemotingServer::UdpPort() const {
  return impl_->udp_port;
}
std::uint16_t RemotingServer::HttpPort() const {
  return impl_->http_port;
}

}  // namespace tovra::remoting
