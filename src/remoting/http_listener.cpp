// The HTTP listener's connections: POST /bin carries a request, the answer comes back as the
// body of a 200.

#include <boost/asio/post.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <mutex>

#include "remoting/log.h"
#include "remoting/server_internal.h"

namespace tovra::remoting::detail {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;

constexpr std::size_t kHttpHeaderLimit = 16 * 1024;

// One HTTP connection: POST /bin carries a request, the answer comes back as the body of a
// 200; anything else gets a status and the connection is closed.
class HttpConnection : public Connection, public std::enable_shared_from_this<HttpConnection> {
 public:
  using Parser = http::request_parser<http::vector_body<std::uint8_t>>;

  HttpConnection(tcp::socket socket, ServerCore& core) : stream_(std::move(socket)), core_(core) {
    error_code ec;
    peer_ = PeerText(stream_.socket().remote_endpoint(ec));
    stream_.socket().set_option(tcp::no_delay(true), ec);
    // Writes from a worker must never block it (see Answer).
    stream_.socket().non_blocking(true, ec);
  }

  void Start() override { ReadHeader(); }

  void Shutdown() override { Close(); }

 private:
  void ReadHeader() {
    parser_.emplace();
    parser_->header_limit(kHttpHeaderLimit);
    parser_->body_limit(core_.options.limits.max_message_size);
    stream_.expires_after(core_.options.limits.idle_timeout);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](const error_code& ec, std::size_t) { self->OnHeader(ec); });
  }

  void OnHeader(const error_code& ec) {
    if (ec == http::error::body_limit) {
      Log(LogLevel::kWarning, "refused an HTTP body from " + peer_ + " beyond the limit of " +
                                  std::to_string(core_.options.limits.max_message_size) + " bytes");
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
    if (length && *length > core_.options.limits.max_message_size) {
      Log(LogLevel::kWarning, "refused an HTTP body of " + std::to_string(*length) +
                                  " bytes from " + peer_ + ": the limit is " +
                                  std::to_string(core_.options.limits.max_message_size));
      Refuse(http::status::payload_too_large, "request too large");
      return;
    }
    stream_.expires_after(core_.options.limits.idle_timeout);
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
    core_.pool.Post([self = shared_from_this(), request = parser_->release().body()]() mutable {
      self->Answer(self->core_.Handle(request, self->peer_));
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
        self->stream_.expires_after(self->core_.options.limits.idle_timeout);
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
    stream_.expires_after(core_.options.limits.idle_timeout);
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
  ServerCore& core_;
  std::string peer_;
  beast::flat_buffer buffer_;
  std::optional<Parser> parser_;
  bool keep_alive_ = true;
  unsigned version_ = 11;
  std::mutex mutex_;  // the worker's write against Shutdown
};

}  // namespace

std::shared_ptr<Connection> HttpListener::Open(tcp::socket socket) {
  return std::make_shared<HttpConnection>(std::move(socket), core_);
}

}  // namespace tovra::remoting::detail
