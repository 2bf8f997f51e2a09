// Calls through real sockets on loopback: every channel with every message kind, cipher and
// compression setting, against the dispatcher behind the real listeners.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>

#include "remoting/dispatcher.h"
#include "remoting/errors.h"
#include "remoting/http_channel.h"
#include "remoting/server.h"
#include "remoting/session.h"
#include "remoting/tcp_channel.h"
#include "remoting/udp_channel.h"

namespace tovra::remoting {
namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kCallBound = 120s;

enum class Transport { kTcp, kUdp, kHttp };

Bytes Pattern(std::size_t size) {
  Bytes bytes(size);
  std::uint32_t x = 99;
  for (auto& b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return bytes;
}

// The test service: an echo operation that needs no session, and login and
// Whoami for the session checks.
class Server {
 public:
  Server() : dispatcher_(sessions_), server_(Options(), dispatcher_.Handler()) {
    dispatcher_.Register(
        "TestLibrary", "TestService", "Echo",
        [](CallContext& context) { context.Results() = context.GetCall().values; },
        SessionPolicy::kNone);
    dispatcher_.Register(
        "TestLibrary", "TestService", "login",
        [](CallContext& context) {
          if (context.GetCall().String("Password") != "secret") {
            throw std::runtime_error("Login refused: wrong password for " +
                                     context.GetCall().String("UserName") + ".");
          }
          context.GetSession().Open();
        },
        SessionPolicy::kNone);
    dispatcher_.Register("TestLibrary", "TestService", "Whoami", [](CallContext& context) {
      context.WriteString("Result", context.GetSession().ClientId());
    });
    server_.Start();
  }

  // A call carries several megabytes, encoded, ciphered and compressed on both sides: on a
  // busy machine that takes far longer than the channels' defaults allow. The bounds stay,
  // so a server that never answers still fails the test.
  std::unique_ptr<ClientChannel> Channel(Transport transport) {
    switch (transport) {
      case Transport::kTcp: {
        auto channel = std::make_unique<TcpClientChannel>();
        channel->SetHost("127.0.0.1");
        channel->SetPort(server_.TcpPort());
        channel->SetReadTimeout(kCallBound);
        return channel;
      }
      case Transport::kUdp: {
        auto channel = std::make_unique<UdpClientChannel>();
        channel->SetHost("127.0.0.1");
        channel->SetPort(server_.UdpPort());
        // Per attempt: a lost datagram costs one attempt, so it stays short; a repeated
        // request is answered once the first run has ended.
        channel->SetAsyncTimeOut(15s);
        return channel;
      }
      case Transport::kHttp: {
        auto channel = std::make_unique<HttpClientChannel>();
        channel->SetTargetUrl("http://127.0.0.1:" + std::to_string(server_.HttpPort()) + "/bin");
        channel->SetTimeout(kCallBound);
        return channel;
      }
    }
    return nullptr;
  }

 private:
  static ServerOptions Options() {
    ServerOptions options;
    options.address = "127.0.0.1";
    options.tcp_port = 0;
    options.udp_port = 0;
    options.http_port = 0;
    options.worker_threads = 2;
    return options;
  }

  SessionStore sessions_;
  Dispatcher dispatcher_;
  RemotingServer server_;
};

// One server for the whole suite, stopped before the program's static objects (the crypto
// library's among them) go away.
std::unique_ptr<Server> shared_server;

Server& SharedServer() {
  return *shared_server;
}

std::string TransportName(Transport transport) {
  switch (transport) {
    case Transport::kTcp:
      return "Tcp";
    case Transport::kUdp:
      return "Udp";
    case Transport::kHttp:
      return "Http";
  }
  return "?";
}

struct Combination {
  Transport transport;
  MessageKind kind;
  Cipher cipher;
  bool compressed;
};

std::unique_ptr<Message> NewMessage(MessageKind kind) {
  if (kind == MessageKind::kPost)
    return std::make_unique<PostMessage>();
  return std::make_unique<BinMessage>();
}

class RoundTrip : public ::testing::TestWithParam<Combination> {
 public:
  static void SetUpTestSuite() { shared_server = std::make_unique<Server>(); }
  static void TearDownTestSuite() { shared_server.reset(); }

 protected:
  void SetUp() override {
    channel_ = SharedServer().Channel(GetParam().transport);
    channel_->SetCipher(GetParam().cipher);
    channel_->SetCompression(GetParam().compressed);
    message_ = NewMessage(GetParam().kind);
  }

  std::unique_ptr<ClientChannel> channel_;
  std::unique_ptr<Message> message_;
};

TEST_P(RoundTrip, ValuesOfEveryTypeComeBackUnchanged) {
  const std::vector<NamedValue> values = {
      {"Empty", std::string()},
      {"Text", std::string("Grüße, 日本語 & a=b % + ?")},
      {"Int32", std::numeric_limits<std::int32_t>::min()},
      {"Int64", std::numeric_limits<std::int64_t>::max()},
      {"Boolean", true},
      {"Float", -0.1},
      {"EmptyBinary", Bytes()},
      {"Large", Pattern(5u << 20)},
  };
  message_->Initialize("TestLibrary", "TestService", "Echo");
  message_->WriteString("Empty", "");
  message_->WriteString("Text", std::get<std::string>(values[1].value));
  message_->WriteInt32("Int32", std::numeric_limits<std::int32_t>::min());
  message_->WriteInt64("Int64", std::numeric_limits<std::int64_t>::max());
  message_->WriteBoolean("Boolean", true);
  message_->WriteFloat("Float", -0.1);
  message_->WriteBinary("EmptyBinary", {});
  message_->WriteBinary("Large", std::get<Bytes>(values[7].value));
  channel_->Dispatch(*message_);
  EXPECT_EQ(message_->Results(), values);
}

TEST_P(RoundTrip, FaultsAndSessionsReachTheClient) {
  message_->Initialize("TestLibrary", "TestService", "Whoami");
  try {
    channel_->Dispatch(*message_);
    ADD_FAILURE() << "Whoami ran without a session";
  } catch (const ServerFault& fault) {
    EXPECT_EQ(fault.what(), Dispatcher::kNoSession);
  }

  message_->Initialize("TestLibrary", "TestService", "login");
  message_->WriteString("UserName", "admin");
  message_->WriteString("Password", "guess");
  try {
    channel_->Dispatch(*message_);
    ADD_FAILURE() << "a wrong password logged in";
  } catch (const ServerFault& fault) {
    EXPECT_STREQ(fault.what(), "Login refused: wrong password for admin.");
  }

  message_->Initialize("TestLibrary", "TestService", "login");
  message_->WriteString("UserName", "admin");
  message_->WriteString("Password", "secret");
  channel_->Dispatch(*message_);
  message_->Initialize("TestLibrary", "TestService", "Whoami");
  channel_->Dispatch(*message_);
  EXPECT_EQ(message_->ReadString("Result"), message_->ClientId());
}

std::vector<Combination> AllCombinations() {
  std::vector<Combination> all;
  for (Transport transport : {Transport::kTcp, Transport::kUdp, Transport::kHttp}) {
    for (MessageKind kind : {MessageKind::kBin, MessageKind::kPost}) {
      for (Cipher cipher : kAllCiphers) {
        all.push_back({transport, kind, cipher, false});
        all.push_back({transport, kind, cipher, true});
      }
    }
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(AllChannels, RoundTrip, ::testing::ValuesIn(AllCombinations()),
                         [](const ::testing::TestParamInfo<Combination>& param_info) {
                           const Combination& c = param_info.param;
                           return TransportName(c.transport) +
                                  (c.kind == MessageKind::kBin ? "Bin" : "Post") +
                                  std::string(CipherName(c.cipher)) +
                                  (c.compressed ? "Zlib" : "Plain");
                         });

}  // namespace
}  // namespace tovra::remoting
