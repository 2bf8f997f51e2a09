// The HTTP channel through a real tinyproxy on loopback that asks for Basic credentials.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "remoting/errors.h"
#include "test_threads.h"
#include "transport_test_support.h"

extern char** environ;

namespace tovra::remoting::testing {
namespace {

using std::chrono::milliseconds;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

constexpr const char* kUser = "umtest";
constexpr const char* kPassword = "pr0xy-secret";

class Tinyproxy {
 public:
  Tinyproxy() {
    char pattern[] = "/tmp/tovra-tinyproxy.XXXXXX";
    if (!::mkdtemp(pattern)) {
      throw std::runtime_error("mkdtemp failed");
    }
    dir_ = pattern;
    // tinyproxy started as root drops to nobody, who must reach the folder and its log.
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    const fs::path log = dir_ / "tinyproxy.log";
    std::ofstream(log).flush();
    const bool root = ::geteuid() == 0;
    if (root) {
      if (::chown(log.c_str(), 65534, 65534) != 0) {
        throw std::runtime_error("chown of the tinyproxy log failed");
      }
    }
    port_ = DeadPort(true);
    std::ofstream conf(dir_ / "tinyproxy.conf");
    if (root) {
      conf << "User nobody\nGroup nogroup\n";
    }
    conf << "Port " << port_ << "\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 30\n"
         << "BasicAuth " << kUser << " " << kPassword << "\n"
         << "LogFile \"" << log.string() << "\"\nDisableViaHeader Yes\n";
    conf.close();

    const std::string conf_path = (dir_ / "tinyproxy.conf").string();
    std::vector<std::string> args = {"tinyproxy", "-d", "-c", conf_path};
    std::vector<char*> argv;
    for (auto& a : args) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    if (::posix_spawnp(&pid_, "tinyproxy", nullptr, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
      throw std::runtime_error("tinyproxy could not be started; is it installed?");
    }
    // Ready once its log says so: it binds its port before it starts accepting.
    if (!WaitForFileText(log, "Accepting connections", kEventBound)) {
      std::ifstream text(log);
      throw std::runtime_error(
          "tinyproxy did not start listening: " +
          std::string((std::istreambuf_iterator<char>(text)), std::istreambuf_iterator<char>()));
    }
  }

  ~Tinyproxy() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::uint16_t Port() const { return port_; }

 private:
  fs::path dir_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
};

class HttpThroughProxy : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { proxy_ = std::make_unique<Tinyproxy>(); }
  static void TearDownTestSuite() { proxy_.reset(); }

  HttpThroughProxy() : server_(LoopbackOptions(), std::ref(handler_)) { server_.Start(); }

  std::unique_ptr<HttpClientChannel> Channel() {
    auto channel = std::make_unique<HttpClientChannel>();
    channel->SetTargetUrl("http://127.0.0.1:" + std::to_string(server_.HttpPort()) + "/bin");
    channel->SetTimeout(milliseconds(5000));
    return channel;
  }

  static void UseProxy(HttpClientChannel& channel, const std::string& user,
                       const std::string& password) {
    channel.SetProxyPort(proxy_->Port());
    channel.SetProxyServer("127.0.0.1");
    channel.SetProxyPassword(password);
    channel.SetProxyUser(user);
  }

  static std::unique_ptr<Tinyproxy> proxy_;
  ReversingHandler handler_;
  RemotingServer server_;
};

std::unique_ptr<Tinyproxy> HttpThroughProxy::proxy_;

TEST_F(HttpThroughProxy, RightCredentialsPass) {
  auto owner = Channel();
  auto& channel = *owner;
  UseProxy(channel, kUser, kPassword);
  for (std::size_t size : {std::size_t{0}, std::size_t{1000}, std::size_t{2} << 20}) {
    const Bytes request = Pattern(size, static_cast<std::uint32_t>(size));
    EXPECT_EQ(channel.Exchange(request), Reversed(request));
  }
  EXPECT_EQ(handler_.Calls(), 3);
}

TEST_F(HttpThroughProxy, MissingOrWrongCredentialsNameTheProxysRefusal) {
  struct Case {
    const char* what;
    const char* user;
    const char* password;
  };
  for (const Case& c : {Case{"none", "", ""}, Case{"wrong password", kUser, "guess"},
                        Case{"unknown user", "mallory", kPassword}}) {
    SCOPED_TRACE(c.what);
    auto owner = Channel();
    auto& channel = *owner;
    UseProxy(channel, c.user, c.password);
    try {
      channel.Exchange(Pattern(100));
      FAIL() << "the proxy let the call through";
    } catch (const TransportError& e) {
      EXPECT_THAT(e.what(), HasSubstr("the proxy 127.0.0.1:" + std::to_string(proxy_->Port()) +
                                      " refused the request"));
    }
  }
  EXPECT_EQ(handler_.Calls(), 0);
}

TEST_F(HttpThroughProxy, ClearingTheProxyGoesDirectEvenWithAProxyInTheEnvironment) {
  auto owner = Channel();
  auto& channel = *owner;
  UseProxy(channel, kUser, "guess");
  EXPECT_THROW(channel.Exchange(Pattern(10)), TransportError);

  // A proxy in the environment that refuses everything must not be picked up.
  ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(proxy_->Port())).c_str(), 1);
  ::setenv("HTTP_PROXY", ("http://127.0.0.1:" + std::to_string(proxy_->Port())).c_str(), 1);
  ::unsetenv("no_proxy");
  ::unsetenv("NO_PROXY");
  channel.ClearProxy();
  EXPECT_EQ(channel.ProxyServer(), "");
  EXPECT_EQ(channel.ProxyPort(), 0);
  EXPECT_EQ(channel.ProxyUser(), "");
  EXPECT_EQ(channel.ProxyPassword(), "");
  EXPECT_EQ(channel.Exchange(Pattern(10)), Reversed(Pattern(10)));
  ::unsetenv("http_proxy");
  ::unsetenv("HTTP_PROXY");

  // And back through the proxy with the right credentials on the same channel.
  UseProxy(channel, kUser, kPassword);
  EXPECT_EQ(channel.Exchange(Pattern(11)), Reversed(Pattern(11)));
  EXPECT_EQ(handler_.Calls(), 2);
}

}  // namespace
}  // namespace tovra::remoting::testing
