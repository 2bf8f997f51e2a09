#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "client/server/kwvum_server_intf.h"
#include "in_process_channel.h"
#include "remoting/dispatcher.h"
#include "remoting/errors.h"
#include "remoting/session.h"

namespace tovra::client::server {
namespace {

using remoting::Bytes;
using remoting::CallContext;
using remoting::NamedValue;
using remoting::testing::InProcessChannel;

// The names a call is expected to carry are written out here rather than taken from the
// contract: they pin the wire text, so a misspelt contract name fails these tests.

// A stand-in service that records every call it gets and answers with canned results.
struct RecordingService {
  remoting::SessionStore sessions;
  remoting::Dispatcher dispatcher{sessions};
  std::vector<remoting::Call> calls;

  void Answer(const char* operation, std::vector<NamedValue> results) {
    dispatcher.Register(
        contract::kLibraryName, contract::kServiceName, operation,
        [this, results](CallContext& context) {
          calls.push_back(context.GetCall());
          context.Results() = results;
        },
        remoting::SessionPolicy::kNone);
  }
};

std::vector<NamedValue> Strings(std::initializer_list<std::pair<const char*, const char*>> values) {
  std::vector<NamedValue> out;
  for (const auto& [name, value] : values)
    out.push_back({name, std::string(value)});
  return out;
}

TEST(TrodmKWVUMServer_Proxy, SendsEachOperationWithItsExactNamesAndReadsResult) {
  struct Case {
    const char* operation;
    std::function<std::string(IrodmKWVUMServer&)> invoke;
    std::vector<NamedValue> sent;
    bool returns_text;
  };
  const Case cases[] = {
      {"login", [](IrodmKWVUMServer& s) { return s.login("admin", "pw", "BEOGYLTDP"); },
       Strings({{"UserName", "admin"}, {"Password", "pw"}, {"Role", "BEOGYLTDP"}}), true},
      {"CreateRDBMSUser", [](IrodmKWVUMServer& s) { return s.CreateRDBMSUser("jo", "pw"); },
       Strings({{"Username", "jo"}, {"Password", "pw"}}), true},
      // The old password always goes out empty, and still as a named value.
      {"ChangePassword", [](IrodmKWVUMServer& s) { return s.ChangePassword("jo", "", "new"); },
       Strings({{"UserName", "jo"}, {"oldPassword", ""}, {"newPassword", "new"}}), true},
      {"DBType", [](IrodmKWVUMServer& s) { return s.DBType(); }, {}, true},
      {"commit",
       [](IrodmKWVUMServer& s) {
         s.commit();
         return std::string();
       },
       {},
       false},
      {"DBServer", [](IrodmKWVUMServer& s) { return s.DBServer(); }, {}, true},
      {"DBName", [](IrodmKWVUMServer& s) { return s.DBName(); }, {}, true},
      {"DestroyDataModule",
       [](IrodmKWVUMServer& s) {
         s.DestroyDataModule();
         return std::string();
       },
       {},
       false},
      {"KeepAlive",
       [](IrodmKWVUMServer& s) {
         s.KeepAlive();
         return std::string();
       },
       {},
       false},
  };
  for (remoting::MessageKind kind : {remoting::MessageKind::kBin, remoting::MessageKind::kPost}) {
    RecordingService service;
    for (const Case& c : cases) {
      service.Answer(c.operation, Strings({{"Result", c.returns_text ? " answer" : ""}}));
    }
    InProcessChannel channel(service.dispatcher.Handler());
    remoting::BinMessage bin;
    remoting::PostMessage post;
    remoting::Message& message =
        kind == remoting::MessageKind::kBin ? static_cast<remoting::Message&>(bin) : post;
    std::shared_ptr<IrodmKWVUMServer> server = CorodmKWVUMServer::Create(message, channel);

    for (const Case& c : cases) {
      const std::string result = c.invoke(*server);
      // A blank is a result like any other: it comes back unchanged.
      EXPECT_EQ(result, c.returns_text ? " answer" : "") << c.operation;
      ASSERT_FALSE(service.calls.empty());
      const remoting::Call& call = service.calls.back();
      EXPECT_EQ(call.operation, c.operation);
      EXPECT_EQ(call.library, "roKWVUMServerLibrary");
      EXPECT_EQ(call.interface_name, "rodmKWVUMServer");
      EXPECT_EQ(call.client_id, message.ClientId());
      EXPECT_EQ(call.values, c.sent) << c.operation;
    }
    EXPECT_EQ(service.calls.size(), std::size(cases));
  }
}

TEST(TrodmKWVUMServer_Proxy, FaultsAndMissingResultsReachTheCaller) {
  RecordingService service;
  service.dispatcher.Register(
      contract::kLibraryName, contract::kServiceName, "login",
      [](CallContext&) -> void { throw std::runtime_error("The database server is not running."); },
      remoting::SessionPolicy::kNone);
  service.Answer("DBName", {});  // answers without "Result"
  service.dispatcher.Register(contract::kLibraryName, contract::kServiceName, "KeepAlive",
                              [](CallContext&) {});
  InProcessChannel channel(service.dispatcher.Handler());
  remoting::BinMessage message;
  auto server = CorodmKWVUMServer::Create(message, channel);
  try {
    server->login("a", "b", "c");
    ADD_FAILURE() << "no fault";
  } catch (const remoting::ServerFault& fault) {
    EXPECT_STREQ(fault.what(), "The database server is not running.");
  }
  EXPECT_THROW(server->DBName(), remoting::ProtocolError);
  // KeepAlive needs a session that nobody opened.
  try {
    server->KeepAlive();
    ADD_FAILURE() << "no fault";
  } catch (const remoting::ServerFault& fault) {
    EXPECT_THAT(fault.what(), ::testing::HasSubstr("no session"));
  }
}

TEST(TrodmKWVUMServer_Proxy, ProviderOperationsTravelWithTheirValues) {
  RecordingService service;
  const Bytes packet = {1, 2, 3, 0, 255};
  service.Answer("AS_GetRecords",
                 {{"Result", packet}, {"RecsOut", std::int32_t{17}}, {"OwnerData", Bytes{9}}});
  service.Answer("AS_ApplyUpdates", {{"Result", Bytes{}}, {"ErrorCount", std::int32_t{2}}});
  service.Answer("AS_GetProviderNames", Strings({{"Result", "dspUser\ndspRole\ndspRights"}}));
  service.Answer("AS_GetParams", {{"Result", packet}});
  InProcessChannel channel(service.dispatcher.Handler());
  remoting::PostMessage message;
  auto server = CorodmKWVUMServer::Create(message, channel);

  const remoting::GetRecordsResult records =
      server->AS_GetRecords("dspUser4Role", -1, 0, "", Bytes{7, 7}, Bytes{});
  EXPECT_EQ(records.result, packet);
  EXPECT_EQ(records.records_out, 17);
  EXPECT_EQ(records.owner_data, Bytes{9});
  EXPECT_EQ(service.calls.back().values,
            (std::vector<NamedValue>{{"ProviderName", std::string("dspUser4Role")},
                                     {"Count", std::int32_t{-1}},
                                     {"Options", std::int32_t{0}},
                                     {"CommandText", std::string()},
                                     {"Params", Bytes{7, 7}},
                                     {"OwnerData", Bytes{}}}));

  const remoting::ApplyUpdatesResult applied =
      server->AS_ApplyUpdates("dspUser", packet, -1, Bytes{});
  EXPECT_EQ(applied.error_count, 2);
  EXPECT_TRUE(applied.owner_data.empty());
  EXPECT_EQ(service.calls.back().Binary("Delta"), packet);
  EXPECT_EQ(service.calls.back().Int32("MaxErrors"), -1);

  EXPECT_EQ(server->AS_GetProviderNames(),
            (std::vector<std::string>{"dspUser", "dspRole", "dspRights"}));
  EXPECT_EQ(server->AS_GetParams("dspUser4Role", Bytes{}).result, packet);

  // Operations this service does not offer come back as a fault naming them.
  try {
    server->AS_Execute("dspUser", "DELETE FROM users", Bytes{}, Bytes{});
    ADD_FAILURE() << "no fault";
  } catch (const remoting::ServerFault& fault) {
    EXPECT_THAT(fault.what(), ::testing::HasSubstr("AS_Execute"));
  }
}

TEST(RegisterrodmKWVUMServerProxy, RegistersTheProxyClassForItsLifetime) {
  remoting::SessionStore sessions;
  remoting::Dispatcher dispatcher(sessions);
  InProcessChannel channel(dispatcher.Handler());
  remoting::BinMessage message;
  auto& registry = remoting::ProxyRegistry::Instance();
  {
    RegisterrodmKWVUMServerProxy registration;
    // GUIDs compare without regard to letter case.
    EXPECT_TRUE(registry.IsRegistered("{ded1765d-84b4-44f9-ae3d-0e5295340ffc}"));
    auto server = registry.CreateAs<IrodmKWVUMServer>(contract::kInterfaceId, message, channel);
    ASSERT_TRUE(server);
    auto proxy = std::dynamic_pointer_cast<remoting::ServiceProxy>(server);
    ASSERT_TRUE(proxy);
    EXPECT_EQ(proxy->InterfaceName(), "rodmKWVUMServer");
    EXPECT_EQ(&proxy->GetMessage(), &message);
  }
  EXPECT_FALSE(registry.IsRegistered(contract::kInterfaceId));
  EXPECT_THROW(registry.Create(contract::kInterfaceId, message, channel), remoting::RemotingError);
}

}  // namespace
}  // namespace tovra::client::server
