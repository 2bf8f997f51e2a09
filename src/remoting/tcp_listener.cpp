// The TCP listener's connections: frames of this protocol in, frames out.

#include <poll.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <mutex>

#include "remoting/log.h"
#include "remoting/server_internal.h"

namespace tovra::remoting::detail {

namespace {

// The body buffer grows only as fast as bytes arrive, from this size on, so that a header
// that announces a huge frame does not make the server reserve it up front.
constexpr std::size_t kFirstChunk = 64 * 1024;

// One TCP connection: frames in, frames out, one request at a time.
class TcpConnection : public Connection, public std::enable_shared_from_this<TcpConnection> {
 public:
  TcpConnection(tcp::socket socket, ServerCore& core)
      : socket_(std::move(socket)), idle_(socket_.get_executor()), core_(core) {
    error_code ec;
    peer_ = PeerText(socket_.remote_endpoint(ec));
    socket_.set_option(tcp::no_delay(true), ec);
    // Writes from a worker must never block it (see Answer).
    socket_.non_blocking(true, ec);
  }

  void Start() override {
    Touch();
    WatchIdle(core_.options.limits.idle_timeout);
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
      const auto limit = self->core_.options.limits.idle_timeout;
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
    if (*length > core_.options.limits.max_message_size) {
      Drop("a frame of " + std::to_string(*length) + " bytes exceeds the limit of " +
           std::to_string(core_.options.limits.max_message_size) + " bytes");
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
    core_.pool.Post([self = shared_from_this(), request = std::move(body_)] {
      self->Answer(self->core_.Handle(request, self->peer_));
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
            if (core_.pool.Idle()) {
              if (auto next = NextFrameSoon()) {
                lock.unlock();
                answer = core_.Handle(*next, peer_);
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
    if (!length || *length > core_.options.limits.max_message_size ||
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
  ServerCore& core_;
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

}  // namespace

std::shared_ptr<Connection> TcpListener::Open(tcp::socket socket) {
  return std::make_shared<TcpConnection>(std::move(socket), core_);
}

}  // namespace tovra::remoting::detail
