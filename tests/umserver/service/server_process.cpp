#include "server_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>

#include "remoting/http_channel.h"
#include "remoting/tcp_channel.h"
#include "remoting/udp_channel.h"

namespace tovra::umserver::testing {

namespace {

using Clock = std::chrono::steady_clock;

// Bounds a call: a login hashes a password and a provider reads a whole table, which on a
// busy machine takes many times as long as on an idle one. A dead server still fails a test.
constexpr std::chrono::milliseconds kCallBound = std::chrono::seconds(60);

pid_t Spawn(const std::vector<std::string>& args, const std::filesystem::path& log, int out_fd,
            int in_fd) {
  std::vector<char*> argv;
  std::string program = TOVRA_UMSERVER;
  argv.push_back(program.data());
  std::vector<std::string> copy = args;
  for (auto& arg : copy) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  const int log_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (log_fd < 0) {
    throw std::runtime_error("cannot open " + log.string());
  }
  const pid_t pid = fork();
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    dup2(log_fd, STDERR_FILENO);
    dup2(out_fd >= 0 ? out_fd : log_fd, STDOUT_FILENO);
    if (in_fd >= 0) {
      dup2(in_fd, STDIN_FILENO);
    }
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(log_fd);
  return pid;
}

// Milliseconds from now until `deadline`, as poll() takes them.
int MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<std::int64_t>(left, 0, std::numeric_limits<int>::max()));
}

// Waits for `pid` until `deadline`; the exit status, -signal, or nullopt on time-out. A
// process descriptor becomes readable when the child ends, so poll() waits for exactly that.
std::optional<int> WaitUntil(pid_t pid, Clock::time_point deadline) {
  const int process = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (process < 0) {
    throw std::runtime_error(std::string("pidfd_open failed: ") + std::strerror(errno));
  }
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      close(process);
      return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    pollfd ended{process, POLLIN, 0};
    if (poll(&ended, 1, MillisecondsUntil(deadline)) == 0) {
      close(process);
      return std::nullopt;
    }
  }
}

}  // namespace

TempDir::TempDir() {
  std::random_device random;
  path_ = std::filesystem::temp_directory_path() /
          ("tovra-sv-" + std::to_string(getpid()) + "-" + std::to_string(random()));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

int RunProgram(const std::vector<std::string>& args, const std::filesystem::path& log,
               std::chrono::seconds limit, const std::string& standard_input) {
  int in[2] = {-1, -1};
  if (pipe2(in, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t pid = Spawn(args, log, -1, in[0]);
  close(in[0]);
  if (!standard_input.empty()) {
    [[maybe_unused]] auto written = write(in[1], standard_input.data(), standard_input.size());
  }
  close(in[1]);
  const auto status = WaitUntil(pid, Clock::now() + limit);
  if (!status) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  return *status;
}

void InitStore(const std::string& store, const std::string& admin, const std::string& password,
               const TempDir& dir) {
  const auto file = dir.Path() / "admin-password";
  std::ofstream(file) << password << "\n";
  const int status =
      RunProgram({"--store", store, "init", "--admin", admin, "--password-file", file.string()},
                 dir.Path() / "init.log");
  if (status != 0) {
    std::ifstream log(dir.Path() / "init.log");
    std::stringstream text;
    text << log.rdbuf();
    throw std::runtime_error("init failed (" + std::to_string(status) + "): " + text.str());
  }
}

ServerProcess::ServerProcess(std::vector<std::string> args, const std::filesystem::path& log)
    : log_(log) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  for (const char* listener : {"--http", "--tcp", "--udp"}) {
    args.push_back(listener);
    args.push_back("127.0.0.1:0");
  }
  pid_ = Spawn(args, log, out[1], -1);
  close(out[1]);

  const auto deadline = Clock::now() + std::chrono::seconds(30);
  std::string pending;
  bool listening = false;
  while (!listening && Clock::now() < deadline) {
    pollfd wait{out[0], POLLIN, 0};
    if (poll(&wait, 1, 100) <= 0) {
      continue;
    }
    char buffer[512];
    const ssize_t got = read(out[0], buffer, sizeof buffer);
    if (got <= 0) {
      break;  // the server ended before it listened
    }
    pending.append(buffer, static_cast<std::size_t>(got));
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      unsigned http = 0, tcp = 0, udp = 0;
      if (std::sscanf(line.c_str(), "LISTENING http=%u tcp=%u udp=%u", &http, &tcp, &udp) == 3) {
        http_ = static_cast<std::uint16_t>(http);
        tcp_ = static_cast<std::uint16_t>(tcp);
        udp_ = static_cast<std::uint16_t>(udp);
        listening = true;
        break;
      }
      lines_.push_back(std::move(line));
    }
  }
  close(out[0]);
  if (!listening) {
    Stop(SIGKILL);
    throw std::runtime_error("tovra-umserver did not start listening: " + Log());
  }
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    try {
      Stop(SIGKILL);
    } catch (const std::exception&) {
      kill(pid_, SIGKILL);  // cannot be ignored: the blocking wait ends
      waitpid(pid_, nullptr, 0);
    }
  }
}

int ServerProcess::Stop(int signal, std::chrono::seconds limit) {
  if (pid_ <= 0) {
    return -1;
  }
  kill(pid_, signal);
  auto status = WaitUntil(pid_, Clock::now() + limit);
  if (!status) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    status = -1000;  // did not stop in time
  }
  pid_ = -1;
  return *status;
}

bool ServerProcess::WaitForLog(const std::string& text, std::chrono::milliseconds bound) const {
  const auto deadline = Clock::now() + bound;
  // Watch the file before reading it, so that a line written in between is not missed.
  const int watch = inotify_init1(IN_CLOEXEC);
  if (watch < 0 || inotify_add_watch(watch, log_.c_str(), IN_MODIFY) < 0) {
    if (watch >= 0) {
      close(watch);
    }
    throw std::runtime_error("cannot watch " + log_.string());
  }
  bool seen = false;
  for (;;) {
    seen = Log().find(text) != std::string::npos;
    pollfd modified{watch, POLLIN, 0};
    if (seen || poll(&modified, 1, MillisecondsUntil(deadline)) <= 0) {
      break;
    }
    char events[4096];
    [[maybe_unused]] const auto drained = read(watch, events, sizeof events);
  }
  close(watch);
  return seen || Log().find(text) != std::string::npos;
}

std::string ServerProcess::Log() const {
  std::ifstream file(log_);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string TransportName(Transport transport) {
  switch (transport) {
    case Transport::kHttp:
      return "Http";
    case Transport::kTcp:
      return "Tcp";
    case Transport::kUdp:
      return "Udp";
  }
  return "?";
}

Client::Client(const ServerProcess& server_process, Transport transport,
               remoting::MessageKind kind) {
  if (kind == remoting::MessageKind::kBin) {
    message = std::make_unique<remoting::BinMessage>();
  } else {
    message = std::make_unique<remoting::PostMessage>();
  }
  switch (transport) {
    case Transport::kHttp: {
      auto http = std::make_unique<remoting::HttpClientChannel>();
      http->SetTargetUrl("http://127.0.0.1:" + std::to_string(server_process.HttpPort()) + "/bin");
      http->SetTimeout(kCallBound);
      channel = std::move(http);
      break;
    }
    case Transport::kTcp: {
      auto tcp = std::make_unique<remoting::TcpClientChannel>();
      tcp->SetHost("127.0.0.1");
      tcp->SetPort(server_process.TcpPort());
      tcp->SetReadTimeout(kCallBound);
      channel = std::move(tcp);
      break;
    }
    case Transport::kUdp: {
      auto udp = std::make_unique<remoting::UdpClientChannel>();
      udp->SetHost("127.0.0.1");
      udp->SetPort(server_process.UdpPort());
      udp->SetAsyncTimeOut(kCallBound / 4);
      udp->SetRetrys(3);
      channel = std::move(udp);
      break;
    }
  }
  server = client::server::CorodmKWVUMServer::Create(*message, *channel);
}

dataset::DataPacket Client::Records(const std::string& provider,
                                    const std::vector<dataset::Param>& params) {
  const std::string encoded = params.empty() ? std::string() : dataset::EncodeParams(params);
  const auto result = server->AS_GetRecords(provider, -1, 0, "",
                                            remoting::Bytes(encoded.begin(), encoded.end()), {});
  const auto packet = dataset::DecodePacket(
      std::string_view(reinterpret_cast<const char*>(result.result.data()), result.result.size()));
  if (static_cast<std::size_t>(result.records_out) != packet.rows.size()) {
    throw std::runtime_error("RecsOut does not match the rows of the packet");
  }
  return packet;
}

Client::Applied Client::Apply(const std::string& provider, const dataset::Delta& delta,
                              int max_errors) {
  const std::string encoded = dataset::EncodeDelta(delta);
  const auto result = server->AS_ApplyUpdates(
      provider, remoting::Bytes(encoded.begin(), encoded.end()), max_errors, {});
  Applied applied;
  applied.error_count = result.error_count;
  applied.answer = dataset::DecodeReconcileAnswer(
      std::string_view(reinterpret_cast<const char*>(result.result.data()), result.result.size()));
  return applied;
}

}  // namespace tovra::umserver::testing
