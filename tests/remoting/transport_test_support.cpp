#include "transport_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace tovra::remoting::testing {

std::string KindName(Kind kind) {
  switch (kind) {
    case Kind::kTcp:
      return "Tcp";
    case Kind::kUdp:
      return "Udp";
    case Kind::kHttp:
      return "Http";
  }
  return "?";
}

std::optional<Bytes> ReversingHandler::operator()(std::span<const std::uint8_t> request) {
  Bytes bytes(request.begin(), request.end());
  ++calls_;
  {
    std::lock_guard lock(mutex_);
    ++seen_[bytes];
  }
  return Reversed(std::move(bytes));
}

int ReversingHandler::Seen(const Bytes& request) const {
  std::lock_guard lock(mutex_);
  const auto it = seen_.find(request);
  return it == seen_.end() ? 0 : it->second;
}

Bytes Reversed(Bytes bytes) {
  std::reverse(bytes.begin(), bytes.end());
  return bytes;
}

Bytes Pattern(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (auto& b : bytes) {
    b = static_cast<std::uint8_t>(random());
  }
  return bytes;
}

ServerOptions LoopbackOptions() {
  ServerOptions options;
  options.address = "127.0.0.1";
  options.tcp_port = 0;
  options.udp_port = 0;
  options.http_port = 0;
  options.worker_threads = 2;
  return options;
}

std::unique_ptr<ClientChannel> MakeChannel(Kind kind, std::uint16_t port) {
  switch (kind) {
    case Kind::kTcp: {
      auto channel = std::make_unique<TcpClientChannel>();
      channel->SetHost("127.0.0.1");
      channel->SetPort(port);
      return channel;
    }
    case Kind::kUdp: {
      auto channel = std::make_unique<UdpClientChannel>();
      channel->SetHost("127.0.0.1");
      channel->SetPort(port);
      return channel;
    }
    case Kind::kHttp: {
      auto channel = std::make_unique<HttpClientChannel>();
      channel->SetTargetUrl("http://127.0.0.1:" + std::to_string(port) + "/bin");
      return channel;
    }
  }
  return nullptr;
}

void SetCallTimeout(ClientChannel& channel, std::chrono::milliseconds timeout) {
  if (auto* tcp = dynamic_cast<TcpClientChannel*>(&channel)) {
    tcp->SetReadTimeout(timeout);
  } else if (auto* udp = dynamic_cast<UdpClientChannel*>(&channel)) {
    udp->SetAsyncTimeOut(timeout / 2);
    udp->SetRetrys(1);
  } else if (auto* http = dynamic_cast<HttpClientChannel*>(&channel)) {
    http->SetTimeout(timeout);
  }
}

Bytes Call(ClientChannel& channel, std::span<const std::uint8_t> request) {
  if (auto* tcp = dynamic_cast<TcpClientChannel*>(&channel)) {
    return tcp->Exchange(request);
  }
  if (auto* udp = dynamic_cast<UdpClientChannel*>(&channel)) {
    return udp->Exchange(request);
  }
  return dynamic_cast<HttpClientChannel&>(channel).Exchange(request);
}

std::uint16_t PortOf(const RemotingServer& server, Kind kind) {
  switch (kind) {
    case Kind::kTcp:
      return server.TcpPort();
    case Kind::kUdp:
      return server.UdpPort();
    case Kind::kHttp:
      return server.HttpPort();
  }
  return 0;
}

namespace {

int BoundSocket(bool tcp, std::uint16_t& port) {
  const int fd = ::socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
  if (fd < 0) {
    throw std::runtime_error("socket() failed");
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("bind() failed");
  }
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

SilentSocket::SilentSocket(bool tcp) {
  fd_ = BoundSocket(tcp, port_);
  if (tcp) {
    ::listen(fd_, 16);
  }
}

SilentSocket::~SilentSocket() {
  ::close(fd_);
}

void SilentSocket::Close() {
  ::shutdown(fd_, SHUT_RDWR);
}

std::uint16_t DeadPort(bool tcp) {
  std::uint16_t port = 0;
  ::close(BoundSocket(tcp, port));
  return port;
}

int ConnectedSocketTo(std::uint16_t port) {
  int found = -1;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    int fd = -1;
    try {
      fd = std::stoi(entry.path().filename().string());
    } catch (const std::exception&) {
      continue;
    }
    int type = 0;
    socklen_t type_length = sizeof type;
    sockaddr_in peer{};
    socklen_t peer_length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_length) != 0 || type != SOCK_STREAM ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_length) != 0 ||
        peer.sin_family != AF_INET || peer.sin_addr.s_addr != htonl(INADDR_LOOPBACK) ||
        ntohs(peer.sin_port) != port) {
      continue;
    }
    if (found >= 0) {
      return -1;
    }
    found = fd;
  }
  return found;
}

bool WaitForPeerClose(int fd, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLRDHUP, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    if (ready > 0) {
      return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
    }
    if (ready == 0 || errno != EINTR) {
      return false;
    }
  }
}

bool WaitForFileText(const std::filesystem::path& path, const std::string& text,
                     std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  const auto holds_text = [&] {
    std::ifstream file(path);
    const std::string content((std::istreambuf_iterator<char>(file)),
                              std::istreambuf_iterator<char>());
    return content.find(text) != std::string::npos;
  };
  // Watch the file before reading it, so that a line written in between is not missed.
  const int watch = ::inotify_init1(IN_CLOEXEC);
  if (watch < 0 || ::inotify_add_watch(watch, path.c_str(), IN_MODIFY) < 0) {
    if (watch >= 0) {
      ::close(watch);
    }
    throw std::runtime_error("cannot watch " + path.string());
  }
  bool seen = holds_text();
  while (!seen) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd modified{watch, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&modified, 1, static_cast<int>(left.count())) <= 0) {
      break;
    }
    char events[4096];
    [[maybe_unused]] const auto drained = ::read(watch, events, sizeof events);
    seen = holds_text();
  }
  ::close(watch);
  return seen || holds_text();
}

RawConnection::RawConnection(std::uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd_);
    throw std::runtime_error("connect() failed");
  }
}

RawConnection::~RawConnection() {
  ::close(fd_);
}

void RawConnection::Send(std::span<const std::uint8_t> bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      return;  // the peer may already have dropped us; that is what some tests look for
    }
    sent += static_cast<std::size_t>(n);
  }
}

void RawConnection::Send(const std::string& text) {
  Send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void RawConnection::ShutdownWrite() {
  ::shutdown(fd_, SHUT_WR);
}

std::string RawConnection::ReadUntilClosed(std::chrono::milliseconds bound) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return got;
    }
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      return got;
    }
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      closed_ = true;
      return got;
    }
    got.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string RawConnection::ReadExactly(std::size_t count, std::chrono::milliseconds bound) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (got.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      return got;
    }
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - got.size()), 0);
    if (n <= 0) {
      closed_ = true;
      return got;
    }
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

}  // namespace tovra::remoting::testing
