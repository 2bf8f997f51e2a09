#include "remoting/http_channel.h"

#include <curl/curl.h>

#include <limits>
#include <mutex>

#include "remoting/errors.h"
#include "remoting/transport_util.h"

namespace tovra::remoting {

namespace {

constexpr const char* kUserAgent = "TovraRemoting/2.0";

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
};

// "host:port" of an address, for error texts; the address itself when it does not parse.
std::string HostPortOf(const std::string& url) {
  std::string text = url;
  CURLU* parsed = curl_url();
  if (parsed && curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
    char* host = nullptr;
    char* port = nullptr;
    if (curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
      text = std::string(host) + ":" + port;
    }
    curl_free(host);
    curl_free(port);
  }
  curl_url_cleanup(parsed);
  return text;
}

struct Sink {
  Bytes body;
  std::size_t limit = 0;
  bool over_limit = false;
};

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* user) {
  auto& sink = *static_cast<Sink*>(user);
  const std::size_t bytes = size * count;
  if (sink.body.size() + bytes > sink.limit) {
    sink.over_limit = true;
    return 0;  // makes libcurl stop with CURLE_WRITE_ERROR
  }
  sink.body.insert(sink.body.end(), data, data + bytes);
  return bytes;
}

}  // namespace

// One easy handle for the channel's life: it keeps the connection to the server open between
// calls and holds the cookies.
struct HttpClientChannel::Curl {
  CURL* handle = nullptr;
  Curl() {
    GlobalInit();
    handle = curl_easy_init();
    if (!handle) {
      throw TransportError("the HTTP client could not be started");
    }
    curl_easy_setopt(handle, CURLOPT_COOKIEFILE, "");  // cookie engine on, in memory only
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, kUserAgent);
  }
  ~Curl() { curl_easy_cleanup(handle); }
  Curl(const Curl&) = delete;
  Curl& operator=(const Curl&) = delete;
};

HttpClientChannel::HttpClientChannel() = default;
HttpClientChannel::~HttpClientChannel() = default;

std::chrono::milliseconds HttpClientChannel::EffectiveTimeout() const {
  return timeout_.count() > 0 ? timeout_ : kDefaultTimeout;
}

void HttpClientChannel::ClearProxy() {
  proxy_server_.clear();
  proxy_port_ = 0;
  proxy_user_.clear();
  proxy_password_.clear();
}

Bytes HttpClientChannel::Exchange(std::span<const std::uint8_t> request) {
  if (target_url_.empty() || target_url_ == kNoTarget) {
    throw TransportError(
        "the HTTP channel has no target address yet; set one such as http://127.0.0.1:8099/bin");
  }
  const Limits& limits = GetLimits();
  if (request.size() > limits.max_message_size) {
    throw ProtocolError("the request of " + std::to_string(request.size()) +
                        " bytes exceeds the limit of " + std::to_string(limits.max_message_size) +
                        " bytes");
  }
  if (!curl_) {
    curl_ = std::make_unique<Curl>();
  }
  CURL* h = curl_->handle;
  const auto timeout = EffectiveTimeout();

  HeaderList headers;
  for (const char* line : {"Content-Type: application/binary", "Accept: text/html, */*",
                           // Our server needs no go-ahead; waiting for one only adds delay.
                           "Expect:"}) {
    headers.list = curl_slist_append(headers.list, line);
  }
  Sink sink;
  sink.limit = limits.max_message_size;
  char error_text[CURL_ERROR_SIZE] = {};

  curl_easy_setopt(h, CURLOPT_URL, target_url_.c_str());
  curl_easy_setopt(h, CURLOPT_POST, 1L);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS,
                   request.empty() ? "" : static_cast<const void*>(request.data()));
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.size()));
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.list);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_text);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.count()));
  const bool proxied = !proxy_server_.empty();
  // "" (not NULL) also keeps libcurl from taking a proxy from http_proxy and friends.
  curl_easy_setopt(h, CURLOPT_PROXY, proxy_server_.c_str());
  curl_easy_setopt(h, CURLOPT_PROXYPORT, static_cast<long>(proxy_port_));
  curl_easy_setopt(h, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
  curl_easy_setopt(h, CURLOPT_PROXYUSERNAME,
                   proxied && !proxy_user_.empty() ? proxy_user_.c_str() : nullptr);
  curl_easy_setopt(h, CURLOPT_PROXYPASSWORD,
                   proxied && !proxy_user_.empty() ? proxy_password_.c_str() : nullptr);

  const CURLcode code = curl_easy_perform(h);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  // Nothing of this call may leak into the next one through the kept handle.
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, nullptr);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, nullptr);

  const std::string proxy_text =
      proxied ? HostPortText(proxy_server_, proxy_port_ ? proxy_port_ : 1080) : std::string();
  // A proxy answers 407 without credentials and, tinyproxy among them, 401 for wrong ones;
  // often it then drops the connection, so the status counts even when the transfer failed.
  if (proxied && (status == 407 || status == 401)) {
    throw TransportError("the proxy " + proxy_text + " refused the request (HTTP " +
                         std::to_string(status) +
                         (status == 407 ? " Proxy Authentication Required" : " Unauthorized") +
                         "); check the proxy user name and password");
  }
  if (code != CURLE_OK) {
    const std::string detail = error_text[0] ? error_text : curl_easy_strerror(code);
    switch (code) {
      case CURLE_OPERATION_TIMEDOUT:
        throw TimeoutError("no answer from " + target_url_ + " within " + DurationText(timeout));
      case CURLE_COULDNT_CONNECT:
        throw TransportError("connection refused by " +
                             (proxied ? "the proxy " + proxy_text : HostPortOf(target_url_)));
      case CURLE_COULDNT_RESOLVE_HOST:
        throw TransportError("cannot find the server of " + target_url_ + ": " + detail);
      case CURLE_COULDNT_RESOLVE_PROXY:
        throw TransportError("cannot find the proxy " + proxy_server_ + ": " + detail);
      case CURLE_WRITE_ERROR:
        if (sink.over_limit) {
          throw ProtocolError("the answer from " + target_url_ + " exceeds the limit of " +
                              std::to_string(limits.max_message_size) + " bytes");
        }
        break;
      default:
        break;
    }
    throw TransportError("the request to " + target_url_ + " failed: " + detail);
  }
  if (status != 200) {
    throw TransportError("HTTP status " + std::to_string(status) + " from " + target_url_);
  }
  return std::move(sink.body);
}

}  // namespace tovra::remoting
