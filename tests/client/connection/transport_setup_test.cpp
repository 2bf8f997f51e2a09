#include "client/connection/transport_setup.h"

#include <gtest/gtest.h>

#include "client/connection/data_module_connector.h"
#include "client/server/data_module.h"
#include "remoting/service_proxy.h"

namespace {

using namespace tovra::client;
using tovra::client::server::TfrmDmUMClient;
using tovra::remoting::Cipher;
using tovra::remoting::ClientChannel;
using tovra::remoting::Message;

TClientConfig Profile(const QString& protocol, const QString& server = "127.0.0.1",
                      std::int32_t port = 6000) {
  TClientConfig config;
  SetDefaultConfig(config);
  config.ServerProtocol = protocol;
  config.ServerName = server;
  config.Port = port;
  return config;
}

// The channel and message the service client was built on.
const tovra::remoting::ServiceProxy& ServiceClientOf(const TfrmDmUMClient& dm) {
  auto* proxy = dynamic_cast<const tovra::remoting::ServiceProxy*>(dm.UMServer.get());
  if (proxy == nullptr) {
    throw std::runtime_error("UMServer is not a service proxy");
  }
  return *proxy;
}

class TransportSetupTest : public ::testing::Test {
 protected:
  // One login attempt's transport work, as the login dialog does it.
  void Attempt(const TClientConfig& config) {
    connector.SetupChannel(config);
    connector.CreateServiceProxy(config);
  }

  TfrmDmUMClient dm;
  DataModuleConnector connector{dm};
};

TEST(EncryptionMethodOf, MatchesTheFourCipherNamesInAnyCaseAndNothingElse) {
  const struct {
    const char* name;
    Cipher cipher;
  } cases[] = {
      {"BLOWFISH", Cipher::kBlowfish},
      {"blowfish", Cipher::kBlowfish},
      {"Blowfish", Cipher::kBlowfish},
      {"DES", Cipher::kDES},
      {"des", Cipher::kDES},
      {"RIJNDAEL", Cipher::kRijndael},
      {"TWOFISH", Cipher::kTwoFish},
      {"twofish", Cipher::kTwoFish},
      {"None", Cipher::kNone},
      {"AES", Cipher::kNone},
      {"", Cipher::kNone},
      {"Blowfish ", Cipher::kNone},
      {"3DES", Cipher::kNone},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncryptionMethodOf(QString::fromUtf8(c.name)), c.cipher) << '"' << c.name << '"';
  }
}

TEST_F(TransportSetupTest, MessageOfPicksTheSetsEntryByExactName) {
  const TMessageSet& set = connector.MessageSet();
  EXPECT_EQ(set.Bin, &dm.roBinMessage);
  EXPECT_EQ(set.Soap, nullptr);
  EXPECT_EQ(set.Post, &dm.roPostMessage);
  EXPECT_EQ(MessageOf("BIN", set), &dm.roBinMessage);
  EXPECT_EQ(MessageOf("POST", set), &dm.roPostMessage);
  for (const char* other : {"SOAP", "bin", "", "XML"}) {
    EXPECT_EQ(MessageOf(other, set), nullptr) << other;
  }
}

TEST_F(TransportSetupTest, DesignSettingsHoldUntilAProfileIsSetUp) {
  EXPECT_EQ(dm.roHTTPChannel.TargetUrl(), "none");
  EXPECT_EQ(dm.roHTTPChannel.Port(), 8099);
  EXPECT_EQ(dm.roTCPChannel.Port(), 8030);
  EXPECT_EQ(dm.roUDPChannel.Port(), 8090);
  EXPECT_EQ(dm.roUDPChannel.AsyncTimeOut().count(), 1000);
  EXPECT_EQ(dm.roUDPChannel.Retrys(), 5);
  // A read time-out of 0 is the channel's bound, not an endless wait.
  EXPECT_GT(dm.roTCPChannel.EffectiveTimeout().count(), 0);
  EXPECT_EQ(dm.RODataSnapConnection.ServerName(), "rodmKWVUMServer");
  EXPECT_EQ(dm.RODataSnapConnection.Channel(), &dm.roHTTPChannel);
  EXPECT_EQ(dm.RODataSnapConnection.GetMessage(), &dm.roBinMessage);
  EXPECT_FALSE(dm.RODataSnapConnection.Connected());
  EXPECT_EQ(dm.UMServer, nullptr);
}

TEST_F(TransportSetupTest, HttpProfileSetsAddressAndEnvelopeAndLeavesTheProfileAlone) {
  TClientConfig config = Profile("HTTP");
  config.UseCompression = 1;
  config.EncryptionMethod = "BLOWFISH";
  const TClientConfig before = config;
  Attempt(config);
  EXPECT_EQ(config, before);

  EXPECT_EQ(dm.roHTTPChannel.TargetUrl(), "http://127.0.0.1:6000/bin");
  // The channel's own port is not the address's.
  EXPECT_EQ(dm.roHTTPChannel.Port(), 8099);
  EXPECT_TRUE(dm.roHTTPChannel.Compression());
  EXPECT_EQ(dm.roHTTPChannel.GetCipher(), Cipher::kBlowfish);
  EXPECT_EQ(dm.RODataSnapConnection.Channel(), &dm.roHTTPChannel);
  EXPECT_EQ(dm.RODataSnapConnection.GetMessage(), &dm.roBinMessage);
  EXPECT_EQ(&ServiceClientOf(dm).GetChannel(), &dm.roHTTPChannel);
  EXPECT_EQ(&ServiceClientOf(dm).GetMessage(), &dm.roBinMessage);

  // Every attempt sets compression and cipher in full: 2 is not 1, and "None" clears.
  config.UseCompression = 2;
  config.EncryptionMethod = "None";
  config.MessageProtocol = "POST";
  Attempt(config);
  EXPECT_FALSE(dm.roHTTPChannel.Compression());
  EXPECT_EQ(dm.roHTTPChannel.GetCipher(), Cipher::kNone);
  EXPECT_EQ(dm.RODataSnapConnection.GetMessage(), &dm.roPostMessage);
  EXPECT_EQ(&ServiceClientOf(dm).GetMessage(), &dm.roPostMessage);
}

TEST_F(TransportSetupTest, ProxyOfOneAttemptDoesNotSurviveIntoTheNext) {
  TClientConfig config = Profile("HTTP");
  config.UseProxy = 1;
  config.ProxyServer = "proxy.example";
  config.ProxyPort = 3128;
  config.ProxyUser = "alice";
  config.ProxyPassword = "secret";
  Attempt(config);
  EXPECT_EQ(dm.roHTTPChannel.ProxyServer(), "proxy.example");
  EXPECT_EQ(dm.roHTTPChannel.ProxyPort(), 3128);
  EXPECT_EQ(dm.roHTTPChannel.ProxyUser(), "alice");
  EXPECT_EQ(dm.roHTTPChannel.ProxyPassword(), "secret");

  // The proxy fields stay filled in the profile; only UseProxy decides.
  config.UseProxy = 0;
  Attempt(config);
  EXPECT_EQ(dm.roHTTPChannel.ProxyServer(), "");
  EXPECT_EQ(dm.roHTTPChannel.ProxyPort(), 0);
  EXPECT_EQ(dm.roHTTPChannel.ProxyUser(), "");
  EXPECT_EQ(dm.roHTTPChannel.ProxyPassword(), "");
}

TEST_F(TransportSetupTest, SocketProtocolsMoveTheConnectionAndTheServiceClientTogether) {
  const struct {
    const char* protocol;
    ClientChannel* channel;
  } cases[] = {{"TCP", &dm.roTCPChannel}, {"UDP", &dm.roUDPChannel}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.protocol);
    Attempt(Profile("HTTP", "10.0.0.1", 6000));
    // A connected dataset connection is disconnected and re-targeted by the next set-up.
    dm.RODataSnapConnection.Connect();

    TClientConfig config = Profile(c.protocol, "10.0.0.2", 7001);
    config.EncryptionMethod = "twofish";
    config.UseCompression = 1;
    config.UseProxy = 1;  // no part in socket channels
    config.ProxyServer = "proxy.example";
    config.ProxyPort = 3128;
    Attempt(config);

    EXPECT_FALSE(dm.RODataSnapConnection.Connected());
    EXPECT_EQ(dm.RODataSnapConnection.Channel(), c.channel);
    EXPECT_EQ(&ServiceClientOf(dm).GetChannel(), c.channel);
    EXPECT_EQ(&ServiceClientOf(dm).GetMessage(), dm.RODataSnapConnection.GetMessage());
    EXPECT_EQ(c.channel->Target(), "10.0.0.2:7001");
    EXPECT_EQ(c.channel->GetCipher(), Cipher::kTwoFish);
    EXPECT_TRUE(c.channel->Compression());
    // The HTTP channel keeps its address, unused.
    EXPECT_EQ(dm.roHTTPChannel.TargetUrl(), "http://10.0.0.1:6000/bin");
  }
}

TEST_F(TransportSetupTest, ProfilesNothingHereServesAreRefusedWithTheirValue) {
  const struct {
    const char* what;
    const char* protocol;
    const char* message;
    std::int32_t port;
    const char* named;  // the value the error names
  } cases[] = {
      {"SOAP over HTTP", "HTTP", "SOAP", 6000, "\"SOAP\""},
      {"hand-edited message over TCP", "TCP", "XML", 6000, "\"XML\""},
      {"port beyond 16 bits", "TCP", "BIN", 70000, "70000"},
      {"negative port", "UDP", "BIN", -1, "-1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Attempt(Profile("HTTP"));
    TClientConfig config = Profile(c.protocol, "127.0.0.1", c.port);
    config.MessageProtocol = c.message;
    try {
      connector.SetupChannel(config);
      ADD_FAILURE() << "set-up accepted the profile";
    } catch (const TransportSetupError& error) {
      EXPECT_NE(std::string(error.what()).find(c.named), std::string::npos) << error.what();
    }
    // The attempt goes on from here, but no service client is built on a channel that
    // still points where the earlier profile sent it.
    try {
      connector.CreateServiceProxy(config);
      ADD_FAILURE() << "service client built";
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find(c.named), std::string::npos) << error.what();
    }
    EXPECT_EQ(dm.UMServer, nullptr);
    if (std::string_view(c.message) != "BIN") {
      // A dataset that opened now would get an error instead of a call over nothing.
      EXPECT_THROW(dm.RODataSnapConnection.GetRecords("dspUser", {}), std::runtime_error);
    }
    // The next attempt with a sound profile is not held back by this one.
    EXPECT_NO_THROW(Attempt(Profile(c.protocol)));
    EXPECT_NE(dm.UMServer, nullptr);
  }
}

TEST_F(TransportSetupTest, UnknownProtocolConfiguresNothingAndGetsNoServiceClient) {
  Attempt(Profile("TCP", "10.0.0.3", 7002));
  const TClientConfig config = Profile("SPX");
  EXPECT_NO_THROW(connector.SetupChannel(config));
  EXPECT_EQ(dm.RODataSnapConnection.Channel(), &dm.roTCPChannel);
  EXPECT_EQ(dm.roTCPChannel.Target(), "10.0.0.3:7002");
  EXPECT_THROW(connector.CreateServiceProxy(config), std::runtime_error);
  EXPECT_EQ(dm.UMServer, nullptr);
  EXPECT_THROW(connector.login("SYSDBA", "x", "BEOGYLTDP"), std::logic_error);
}

// The login's first check, the channel set-up and the building of the service client must
// agree on every profile: one that passes the check gets a service client on its own
// channel, one refused by it gets none.
TEST_F(TransportSetupTest, TheLoginCheckAndTheSetUpAgreeOnWhatIsServed) {
  for (const char* protocol : {"HTTP", "TCP", "UDP", "http", "SOAP", "SPX", ""}) {
    for (const char* kind : {"BIN", "POST", "SOAP", "bin", "XML", ""}) {
      SCOPED_TRACE(std::string(protocol) + " / " + kind);
      TClientConfig config = Profile(protocol);
      config.MessageProtocol = kind;
      const bool accepted = UnsupportedTransportReason(config).isEmpty();
      bool built = false;
      try {
        Attempt(config);
        built = dm.UMServer != nullptr;
      } catch (const std::exception&) {
      }
      EXPECT_EQ(built, accepted);
      if (built) {
        EXPECT_EQ(&ServiceClientOf(dm).GetChannel(), dm.RODataSnapConnection.Channel());
        EXPECT_EQ(&ServiceClientOf(dm).GetMessage(), dm.RODataSnapConnection.GetMessage());
      }
    }
  }
}

TEST_F(TransportSetupTest, ReplacingTheChannelOfAConnectedConnectionIsRefused) {
  dm.RODataSnapConnection.Connect();
  EXPECT_THROW(dm.RODataSnapConnection.SetChannel(&dm.roTCPChannel), std::logic_error);
  EXPECT_THROW(dm.RODataSnapConnection.SetMessage(&dm.roPostMessage), std::logic_error);
  EXPECT_EQ(dm.RODataSnapConnection.Channel(), &dm.roHTTPChannel);
  dm.RODataSnapConnection.Disconnect();
  dm.RODataSnapConnection.SetMessage(&dm.roPostMessage);
  EXPECT_EQ(dm.RODataSnapConnection.GetMessage(), &dm.roPostMessage);
}

}  // namespace
