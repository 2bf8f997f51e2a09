// tovra-umserver as a client meets it: the real program on loopback ports, the real service
// client over TCP, UDP and HTTP, an SQLite store in a temporary folder.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>

#include "remoting/dispatcher.h"
#include "remoting/errors.h"
#include "remoting/tcp_channel.h"
#include "server_process.h"
#include "service_fixture.h"

namespace tovra::umserver::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Table = std::vector<std::vector<std::string>>;
using dataset::FieldType;
using dataset::Value;

std::string AsText(const Value& value) {
  if (dataset::IsNull(value)) {
    return "<null>";
  }
  if (const auto* number = std::get_if<std::int64_t>(&value)) {
    return std::to_string(*number);
  }
  if (const auto* text = std::get_if<std::string>(&value)) {
    return *text;
  }
  return "<other>";
}

Table AsTable(const dataset::DataPacket& packet) {
  Table table;
  for (const auto& row : packet.rows) {
    auto& out = table.emplace_back();
    for (const auto& value : row) {
      out.push_back(AsText(value));
    }
  }
  return table;
}

Value I(std::int64_t number) {
  return Value{number};
}
Value S(std::string text) {
  return Value{std::move(text)};
}
const Value kNull{};

// The fault text of `call`, or "<no fault>".
template <typename Call>
std::string FaultOf(Call&& call) {
  try {
    call();
  } catch (const remoting::ServerFault& fault) {
    return fault.what();
  }
  return "<no fault>";
}

// The seven datasets a session start opens, in that order.
const char* const kSessionStartProviders[] = {
    "dspUser", "dspRights", "dspRole", "dspPrivileg", "dspPrivilegs", "dspCatalogue", "dspRoles"};

std::vector<Table> SessionStartData(Client& client) {
  std::vector<Table> data;
  for (const char* provider : kSessionStartProviders) {
    data.push_back(AsTable(client.Records(provider)));
  }
  return data;
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { store_ = MakeSqliteStore(dir_); }

  ServerProcess& Start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--store", store_, "--login-delay", kLoginDelaySeconds};
    args.insert(args.end(), extra.begin(), extra.end());
    server_ = std::make_unique<ServerProcess>(args, dir_.Path() / "server.log");
    return *server_;
  }

  TempDir dir_;
  std::string store_;
  std::unique_ptr<ServerProcess> server_;
};

// --- sessions and login, over every transport and message kind -------------------------

struct Way {
  Transport transport;
  remoting::MessageKind kind;
};

void PrintTo(const Way& way, std::ostream* out) {
  *out << TransportName(way.transport)
       << (way.kind == remoting::MessageKind::kBin ? " BIN" : " POST");
}

class TransportTest : public ServiceTest, public ::testing::WithParamInterface<Way> {};

TEST_P(TransportTest, EveryOperationButLoginNeedsASessionAndLoginFailuresLookAlike) {
  auto& server = Start();
  Client client(server, GetParam().transport, GetParam().kind);
  auto& service = *client.server;
  const std::string no_session(remoting::Dispatcher::kNoSession);

  const std::vector<std::pair<std::string, std::function<void()>>> calls = {
      {"CreateRDBMSUser", [&] { service.CreateRDBMSUser("mallory", "pw"); }},
      {"ChangePassword", [&] { service.ChangePassword(kAdmin, "", "taken-over"); }},
      {"DBType", [&] { service.DBType(); }},
      {"commit", [&] { service.commit(); }},
      {"DBServer", [&] { service.DBServer(); }},
      {"DBName", [&] { service.DBName(); }},
      {"DestroyDataModule", [&] { service.DestroyDataModule(); }},
      {"KeepAlive", [&] { service.KeepAlive(); }},
      {"AS_GetRecords", [&] { client.Records("dspUser"); }},
      {"AS_ApplyUpdates", [&] { client.Apply("dspRole", DeltaBuilder({}).Get()); }},
      {"AS_GetParams", [&] { service.AS_GetParams("dspUser4Role", {}); }},
      {"AS_GetProviderNames", [&] { service.AS_GetProviderNames(); }},
  };
  const auto all_refused = [&](const std::string& when) {
    for (const auto& [name, call] : calls) {
      EXPECT_EQ(FaultOf(call), no_session) << name << " " << when;
    }
  };
  all_refused("before any login");

  const std::string wrong_password = service.login(kAdmin, "wrong", kAdminRole);
  const std::string wrong_role = service.login(kAdmin, kAdminPassword, "SOMEONE");
  const std::string unknown_user = service.login("nobody", kAdminPassword, kAdminRole);
  EXPECT_THAT(wrong_password, Not(IsEmpty()));
  EXPECT_EQ(wrong_role, wrong_password);
  EXPECT_EQ(unknown_user, wrong_password);
  all_refused("after failed logins");

  ASSERT_EQ(LogInAfterHoldBack(client, server, kAdmin, kAdminPassword), "");
  EXPECT_THAT(service.DBType(), HasSubstr("SQLite 3."));
  EXPECT_EQ(service.DBName(), "directory.sqlite");
  EXPECT_THAT(service.DBServer(), Not(IsEmpty()));
  EXPECT_NO_THROW(service.KeepAlive());
  EXPECT_EQ(client.Records("dspUser").rows.size(), 3u);

  service.DestroyDataModule();
  all_refused("after DestroyDataModule");
  EXPECT_THAT(server.Log(), Not(HasSubstr(kAdminPassword)));
}

INSTANTIATE_TEST_SUITE_P(Ways, TransportTest,
                         ::testing::Values(Way{Transport::kHttp, remoting::MessageKind::kBin},
                                           Way{Transport::kTcp, remoting::MessageKind::kBin},
                                           Way{Transport::kUdp, remoting::MessageKind::kBin},
                                           Way{Transport::kHttp, remoting::MessageKind::kPost}),
                         [](const ::testing::TestParamInfo<Way>& way) {
                           return TransportName(way.param.transport) +
                                  (way.param.kind == remoting::MessageKind::kBin ? "Bin" : "Post");
                         });

TEST_F(ServiceTest, ADroppedConnectionKeepsTheSessionAndItsTransaction) {
  auto& server = Start();
  Client client(server, Transport::kTcp);
  LogIn(client);
  const auto role_fields = client.Records("dspRole").fields;
  ASSERT_EQ(
      client.Apply("dspRole", DeltaBuilder(role_fields).Insert({I(7), S("Temp"), kNull}).Get())
          .error_count,
      0);
  static_cast<remoting::TcpClientChannel&>(*client.channel).Disconnect();

  // Same client id on a new connection: still logged in, the change still pending.
  EXPECT_THAT(AsTable(client.Records("dspRole")).back(), ElementsAre("7", "Temp", "<null>"));
  client.server->commit();
  Client other(server, Transport::kTcp);
  LogIn(other);
  EXPECT_THAT(AsTable(other.Records("dspRole")).back(), ElementsAre("7", "Temp", "<null>"));
}

TEST_F(ServiceTest, FailedLoginsHoldBackOnlyTheirOwnName) {
  InitStore(store_, "second", "Second-pw", dir_);  // another administrator
  auto& server = Start();
  Client guesser(server, Transport::kTcp);
  for (const char* guess : {"guess1", "guess2", "guess3", "guess4"}) {
    EXPECT_THAT(guesser.server->login(kAdmin, guess, kAdminRole), Not(IsEmpty()));
  }
  // Another name is not held up, on another connection or on the guesser's own.
  Client other(server, Transport::kUdp);
  EXPECT_EQ(other.server->login("second", "Second-pw", kAdminRole), "");
  EXPECT_EQ(guesser.server->login("second", "Second-pw", kAdminRole), "");
  EXPECT_EQ(AsTable(other.Records("dspRole")).size(), 2u);
  // The guessed name gets in once its delay has passed.
  Client owner(server, Transport::kHttp);
  EXPECT_EQ(LogInAfterHoldBack(owner, server, kAdmin, kAdminPassword), "");
}

TEST_F(ServiceTest, OversizedRequestsAreRefusedAndTheServerGoesOn) {
  auto& server = Start({"--max-message-size", "65536"});
  for (const Transport transport : {Transport::kTcp, Transport::kHttp}) {
    SCOPED_TRACE(TransportName(transport));
    Client client(server, transport);
    LogIn(client);
    const auto role = client.Records("dspRole").fields;
    DeltaBuilder big(role);
    for (int id = 100; id < 1100; ++id) {
      big.Insert({I(id), S("Role " + std::to_string(id)), S(std::string(200, 'c'))});
    }
    // TCP drops the connection of an oversized frame, HTTP answers 413.
    EXPECT_THROW(client.Apply("dspRole", big.Get()), remoting::RemotingError);
    // Nothing of it arrived, and the same client goes on.
    EXPECT_EQ(AsTable(client.Records("dspRole")).size(), 2u);
    client.server->commit();
  }
}

// --- providers --------------------------------------------------------------------------

struct FieldShape {
  std::string name;
  FieldType type;
  int size;
};

TEST_F(ServiceTest, ProvidersDeliverTheirFieldsInOrderWithTypesAndSizes) {
  auto& server = Start();
  Client client(server, Transport::kTcp);
  LogIn(client);
  const std::vector<dataset::Param> arole = {{"AROLE", FieldType::Int32, I(2)}};

  const struct {
    std::string provider;
    std::vector<FieldShape> fields;
    std::vector<dataset::Param> params;
  } cases[] = {
      {"dspCatalogue",
       {{"ID", FieldType::Int32, 0},
        {"NAME", FieldType::String, 120},
        {"COMMENT_", FieldType::String, 255},
        {"FILTER_SQL", FieldType::String, 2000}},
       {}},
      {"dspRole",
       {{"ID", FieldType::Int32, 0},
        {"BEZ", FieldType::String, 40},
        {"COMMENT_", FieldType::String, 255}},
       {}},
      {"dspPrivileg",
       {{"ID", FieldType::Int32, 0},
        {"BEZ", FieldType::String, 40},
        {"READ", FieldType::Int32, 0},
        {"WRITE", FieldType::Int32, 0},
        {"STRUC", FieldType::Int32, 0}},
       {}},
      {"dspRoles",
       {{"ID", FieldType::Int32, 0},
        {"ORIG_ID", FieldType::Int32, 0},
        {"ROLE_ID", FieldType::Int32, 0}},
       {}},
      {"dspPrivilegs",
       {{"ID", FieldType::Int32, 0},
        {"ROLE_ID", FieldType::Int32, 0},
        {"PRIVILEG_ID", FieldType::Int32, 0}},
       {}},
      {"dspUser",
       {{"ID", FieldType::Int32, 0},
        {"USERNAME", FieldType::String, 40},
        {"NAME", FieldType::String, 40},
        {"COMMENT_", FieldType::String, 255},
        {"Flags", FieldType::Int32, 0}},
       {}},
      {"dspRights",
       {{"ID", FieldType::Int32, 0},
        {"QVB_ID", FieldType::Int32, 0},
        {"ROLE_ID", FieldType::Int32, 0}},
       {}},
      {"dspUserRights",
       {{"USERNAME", FieldType::String, 40},
        {"ID", FieldType::Int32, 0},
        {"NAME", FieldType::String, 120},
        {"MAX_OF_ID", FieldType::Int32, 0}},
       {}},
      {"dspDBA_USER", {{"USERNAME", FieldType::String, 63}, {"USER_ID", FieldType::Int32, 0}}, {}},
      {"dspUser4Role",
       {{"USERNAME", FieldType::String, 40}, {"NAME", FieldType::String, 40}},
       arole},
  };
  for (const auto& expected : cases) {
    SCOPED_TRACE(expected.provider);
    const auto packet = client.Records(expected.provider, expected.params);
    ASSERT_EQ(packet.fields.size(), expected.fields.size());
    for (std::size_t i = 0; i < expected.fields.size(); ++i) {
      EXPECT_EQ(packet.fields[i].name, expected.fields[i].name);
      EXPECT_EQ(packet.fields[i].type, expected.fields[i].type) << expected.fields[i].name;
      EXPECT_EQ(packet.fields[i].size, expected.fields[i].size) << expected.fields[i].name;
    }
  }

  // The client finds its rows by position and by ID order.
  EXPECT_EQ(AsTable(client.Records("dspUser")), (Table{{"1", "alice", "Alice A", "<null>", "0"},
                                                       {"2", "bob", "Bob B", "<null>", "0"},
                                                       {"3", "carol", "Carol C", "<null>", "-1"}}));
  EXPECT_EQ(
      AsTable(client.Records("dspCatalogue")),
      (Table{{"1", "Archive", "old files", "YEAR < 2000"}, {"2", "Sales", "<null>", "<null>"}}));
  EXPECT_EQ(AsTable(client.Records("dspPrivileg")),
            (Table{{"1", "Deny", "0", "0", "0"},
                   {"2", "ReadOnly", "1", "0", "0"},
                   {"3", "ReadWrite", "1", "1", "0"},
                   {"4", "ReadWriteStructure", "1", "1", "1"}}));
  EXPECT_EQ(AsTable(client.Records("dspRoles")),
            (Table{{"1", "1", "1"}, {"2", "2", "1"}, {"3", "2", "2"}, {"4", "3", "2"}}));
  // Highest level over the user's roles with access; the dropped carol is left out.
  EXPECT_EQ(AsTable(client.Records("dspUserRights")), (Table{{"alice", "1", "Archive", "2"},
                                                             {"bob", "1", "Archive", "3"},
                                                             {"bob", "2", "Sales", "3"}}));
  EXPECT_EQ(AsTable(client.Records("dspUser4Role", arole)), (Table{{"bob", "Bob B"}}));
  EXPECT_EQ(AsTable(client.Records("dspUser4Role", {{"AROLE", FieldType::Int32, I(1)}})),
            (Table{{"alice", "Alice A"}, {"bob", "Bob B"}}));
  EXPECT_THAT(AsTable(client.Records("dspDBA_USER")),
              ::testing::Contains(ElementsAre(kAdmin, ::testing::_)));

  // USERNAME goes out read-only, yet dspUser takes it in updates (below, in the apply test).
  const auto user_fields = client.Records("dspUser").fields;
  EXPECT_TRUE(user_fields[1].read_only);
  EXPECT_TRUE(user_fields[0].provider_flags & dataset::kInKey);
}

TEST_F(ServiceTest, ProviderOperationsAnswerOrRefuseClearly) {
  auto& server = Start();
  Client client(server, Transport::kHttp);
  LogIn(client);
  auto& service = *client.server;

  EXPECT_THAT(service.AS_GetProviderNames(),
              ElementsAre("dspCatalogue", "dspRole", "dspPrivileg", "dspRoles", "dspPrivilegs",
                          "dspUser", "dspRights", "dspUserRights", "dspDBA_USER", "dspUser4Role"));
  const auto params = service.AS_GetParams("dspUser4Role", {});
  const auto decoded = dataset::DecodeParams(
      std::string_view(reinterpret_cast<const char*>(params.result.data()), params.result.size()));
  ASSERT_EQ(decoded.size(), 1u);
  EXPECT_EQ(decoded[0].name, "AROLE");
  EXPECT_THAT(dataset::DecodeParams(std::string_view(
                  reinterpret_cast<const char*>(service.AS_GetParams("dspUser", {}).result.data()),
                  service.AS_GetParams("dspUser", {}).result.size())),
              IsEmpty());

  // Read-only providers take no changes, whatever the change is.
  for (const char* provider : {"dspPrivileg", "dspUserRights", "dspDBA_USER", "dspUser4Role"}) {
    const auto fields = client.Records(provider, {{"AROLE", FieldType::Int32, I(1)}}).fields;
    std::vector<Value> row(fields.size(), kNull);
    EXPECT_THAT(FaultOf([&] { client.Apply(provider, DeltaBuilder(fields).Insert(row).Get()); }),
                HasSubstr("read-only"))
        << provider;
  }
  EXPECT_EQ(AsTable(client.Records("dspPrivileg")).size(), 4u);

  const std::string nothing;
  const std::vector<std::pair<std::string, std::function<void()>>> refused = {
      {"unknown provider", [&] { client.Records("dspNoSuch"); }},
      {"AROLE missing", [&] { client.Records("dspUser4Role"); }},
      {"bad delta bytes",
       [&] {
         service.AS_ApplyUpdates("dspRole", remoting::Bytes{1, 2, 3, 4}, 0, {});
       }},
      {"bad parameter bytes",
       [&] {
         service.AS_GetRecords("dspUser4Role", -1, 0, "", remoting::Bytes{9, 9, 9}, {});
       }},
      {"AS_DataRequest", [&] { service.AS_DataRequest("dspUser", {}); }},
      {"AS_RowRequest", [&] { service.AS_RowRequest("dspUser", {}, 0, {}); }},
      {"AS_Execute", [&] { service.AS_Execute("dspUser", "DROP TABLE USERS", {}, {}); }},
  };
  for (const auto& [what, call] : refused) {
    const std::string fault = FaultOf(call);
    EXPECT_NE(fault, "<no fault>") << what;
    EXPECT_THAT(fault, Not(IsEmpty())) << what;
  }
  // Still serving, nothing lost.
  EXPECT_EQ(AsTable(client.Records("dspUser")).size(), 3u);
}

// --- apply and commit ------------------------------------------------------------------

TEST_F(ServiceTest, AnApplySequenceAsTheClientSendsItIsCommittedWhole) {
  auto& server = Start();
  Client client(server, Transport::kTcp);
  LogIn(client);
  const auto fields = [&](const char* provider) { return client.Records(provider).fields; };
  const auto users = fields("dspUser");
  const auto roles = fields("dspRoles");
  const auto privilegs = fields("dspPrivilegs");
  const auto rights = fields("dspRights");
  const auto role = fields("dspRole");

  // Links come before the user and role rows they point to; the checks wait for commit.
  const std::vector<std::pair<std::string, dataset::Delta>> sends = {
      {"dspRights", DeltaBuilder(rights).Insert({I(4), I(2), I(5)}).Get()},
      {"dspRoles",
       DeltaBuilder(roles).Insert({I(5), I(10), I(5)}).Delete({I(1), I(1), I(1)}).Get()},
      {"dspUser", DeltaBuilder(users)
                      .Insert({I(10), S("dave"), S("Dave D"), kNull, I(0)})
                      .Modify({I(2), S("bob"), S("Bob B"), kNull, I(0)}, {{2, S("Robert B")}})
                      .Get()},
      {"dspPrivilegs", DeltaBuilder(privilegs).Insert({I(3), I(5), I(2)}).Get()},
      {"dspRole", DeltaBuilder(role).Insert({I(5), S("Auditors"), S("new")}).Get()},
  };
  for (const auto& [provider, delta] : sends) {
    const auto applied = client.Apply(provider, delta);
    EXPECT_EQ(applied.error_count, 0) << provider;
    EXPECT_THAT(applied.answer.refused, IsEmpty()) << provider;
  }
  client.server->commit();

  Client other(server, Transport::kUdp);
  LogIn(other);
  EXPECT_EQ(AsTable(other.Records("dspUser"))[1],
            (std::vector<std::string>{"2", "bob", "Robert B", "<null>", "0"}));
  EXPECT_EQ(AsTable(other.Records("dspUser")).back(),
            (std::vector<std::string>{"10", "dave", "Dave D", "<null>", "0"}));
  EXPECT_EQ(AsTable(other.Records("dspRoles")),
            (Table{{"2", "2", "1"}, {"3", "2", "2"}, {"4", "3", "2"}, {"5", "10", "5"}}));
  EXPECT_THAT(AsTable(other.Records("dspUserRights")),
              ::testing::Contains(ElementsAre("dave", "2", "Sales", "2")));
  EXPECT_THAT(
      AsTable(other.Records("dspUserRights")),
      Not(::testing::Contains(ElementsAre("alice", ::testing::_, ::testing::_, ::testing::_))));
  EXPECT_THAT(server.Log(), HasSubstr("commit of admin"));
}

TEST_F(ServiceTest, AFailingDeferredCheckCommitsNothingAndTellsWhy) {
  auto& server = Start();
  Client client(server, Transport::kHttp);
  LogIn(client);
  const auto before = SessionStartData(client);
  const auto roles = client.Records("dspRoles").fields;
  const auto users = client.Records("dspUser").fields;

  // A link to a user that never arrives, next to a change that would be fine on its own.
  EXPECT_EQ(
      client.Apply("dspRoles", DeltaBuilder(roles).Insert({I(9), I(999), I(1)}).Get()).error_count,
      0);
  EXPECT_EQ(client
                .Apply("dspUser", DeltaBuilder(users)
                                      .Modify({I(1), S("alice"), S("Alice A"), kNull, I(0)},
                                              {{2, S("Alice Changed")}})
                                      .Get())
                .error_count,
            0);
  const std::string fault = FaultOf([&] { client.server->commit(); });
  EXPECT_THAT(fault, HasSubstr("could not be saved"));
  EXPECT_THAT(fault, ::testing::AnyOf(HasSubstr("FOREIGN KEY"), HasSubstr("ROLES")));

  Client other(server, Transport::kTcp);
  LogIn(other);
  EXPECT_EQ(SessionStartData(other), before);
  // The session goes on and can save again.
  EXPECT_EQ(client
                .Apply("dspUser", DeltaBuilder(users)
                                      .Modify({I(1), S("alice"), S("Alice A"), kNull, I(0)},
                                              {{2, S("Alice Again")}})
                                      .Get())
                .error_count,
            0);
  client.server->commit();
  EXPECT_EQ(AsTable(other.Records("dspUser"))[0][2], "Alice Again");
}

TEST_F(ServiceTest, ARowChangedBySomeoneElseIsRefusedNotOverwritten) {
  auto& server = Start();
  Client first(server, Transport::kTcp);
  Client second(server, Transport::kHttp);
  LogIn(first);
  LogIn(second);
  const auto users = first.Records("dspUser").fields;
  const auto roles = first.Records("dspRoles").fields;
  (void)second.Records("dspUser");  // both have read the same rows

  ASSERT_EQ(first
                .Apply("dspUser", DeltaBuilder(users)
                                      .Modify({I(1), S("alice"), S("Alice A"), kNull, I(0)},
                                              {{2, S("Alice First")}})
                                      .Get())
                .error_count,
            0);
  ASSERT_EQ(
      first.Apply("dspRoles", DeltaBuilder(roles).Delete({I(4), I(3), I(2)}).Get()).error_count, 0);
  first.server->commit();

  // The second client still holds the old values; with no error limit every row is tried.
  const auto delta =
      DeltaBuilder(users)
          .Modify({I(1), S("alice"), S("Alice A"), kNull, I(0)}, {{2, S("Alice Second")}})
          .Modify({I(2), S("bob"), S("Bob B"), kNull, I(0)}, {{3, S("fine")}})
          .Get();
  const auto applied = second.Apply("dspUser", delta, -1);
  EXPECT_EQ(applied.error_count, 1);
  ASSERT_EQ(applied.answer.refused.size(), 1u);
  EXPECT_EQ(applied.answer.refused[0].row_id, delta.rows[0].row_id);
  EXPECT_THAT(applied.answer.refused[0].reason, HasSubstr("changed or removed by another user"));
  const auto gone = second.Apply("dspRoles", DeltaBuilder(roles).Delete({I(4), I(3), I(2)}).Get());
  EXPECT_EQ(gone.error_count, 1);
  second.server->commit();

  EXPECT_EQ(AsTable(first.Records("dspUser"))[0][2], "Alice First");
  EXPECT_EQ(AsTable(first.Records("dspUser"))[1][3], "fine");
}

TEST_F(ServiceTest, WithAnErrorLimitOfZeroTheFirstRefusedRowStopsTheRest) {
  auto& server = Start();
  Client client(server, Transport::kUdp);
  LogIn(client);
  const auto role = client.Records("dspRole").fields;
  const auto delta = DeltaBuilder(role)
                         .Insert({I(20), S("Fine"), kNull})
                         .Insert({I(1), S("Duplicate key"), kNull})
                         .Insert({I(21), S("Never tried"), kNull})
                         .Insert({I(22), S("Never tried either"), kNull})
                         .Get();
  const auto applied = client.Apply("dspRole", delta, 0);
  EXPECT_EQ(applied.error_count, 1);
  ASSERT_EQ(applied.answer.refused.size(), 1u);
  EXPECT_EQ(applied.answer.refused[0].row_id, delta.rows[1].row_id);
  EXPECT_THAT(applied.answer.not_applied, ElementsAre(delta.rows[2].row_id, delta.rows[3].row_id));
  client.server->commit();
  EXPECT_EQ(
      AsTable(client.Records("dspRole")),
      (Table{{"1", "Readers", "<null>"}, {"2", "Writers", "may write"}, {"20", "Fine", "<null>"}}));
}

// --- sessions ending: what was not committed is gone ----------------------------------------

TEST_F(ServiceTest, DestroyDataModuleAndExpiryRollBack) {
  auto& server = Start({"--session-timeout", "2"});
  for (const std::string ending : {"DestroyDataModule", "expiry"}) {
    SCOPED_TRACE(ending);
    Client client(server, Transport::kTcp);
    LogIn(client);
    const auto role = client.Records("dspRole").fields;
    ASSERT_EQ(client.Apply("dspRole", DeltaBuilder(role).Insert({I(30), S("Pending"), kNull}).Get())
                  .error_count,
              0);
    if (ending == "DestroyDataModule") {
      client.server->DestroyDataModule();
    } else {
      ASSERT_TRUE(server.WaitForLog("expired after being idle")) << server.Log();
    }
    EXPECT_EQ(FaultOf([&] { client.server->KeepAlive(); }), remoting::Dispatcher::kNoSession);

    // Nothing of it is left, and its lock is gone: another session can write the same row.
    Client other(server, Transport::kTcp);
    LogIn(other);
    EXPECT_EQ(AsTable(other.Records("dspRole")).size(), 2u);
    ASSERT_EQ(other.Apply("dspRole", DeltaBuilder(role).Insert({I(30), S("Other"), kNull}).Get())
                  .error_count,
              0);
    other.server->DestroyDataModule();
  }
}

TEST_F(ServiceTest, AServerThatDiesOrStopsMidTransactionKeepsNothingOfIt) {
  for (const int signal : {SIGKILL, SIGTERM}) {
    SCOPED_TRACE(signal == SIGKILL ? "kill -9" : "SIGTERM");
    auto& server = Start();
    Client client(server, Transport::kTcp);
    LogIn(client);
    const auto before = SessionStartData(client);
    const auto role = client.Records("dspRole").fields;
    const auto users = client.Records("dspUser").fields;
    ASSERT_EQ(client.Apply("dspRole", DeltaBuilder(role).Insert({I(40), S("Lost"), kNull}).Get())
                  .error_count,
              0);
    ASSERT_EQ(
        client
            .Apply("dspUser", DeltaBuilder(users)
                                  .Modify({I(2), S("bob"), S("Bob B"), kNull, I(0)}, {{4, I(-1)}})
                                  .Get())
            .error_count,
        0);
    const int status = server.Stop(signal);
    EXPECT_EQ(status, signal == SIGKILL ? -SIGKILL : 0) << server.Log();

    auto& restarted = Start();
    Client again(restarted, Transport::kTcp);
    LogIn(again);
    EXPECT_EQ(SessionStartData(again), before);
  }
}

// --- accounts ------------------------------------------------------------------------------

TEST_F(ServiceTest, AccountsAreCreatedOnceAndPasswordsChangeForTheNextLogin) {
  auto& server = Start();
  Client client(server, Transport::kHttp);
  LogIn(client);
  auto& service = *client.server;
  EXPECT_EQ(service.CreateRDBMSUser("dave", "dave-pw-1"), "");
  EXPECT_THAT(service.CreateRDBMSUser("dave", "other"), Not(IsEmpty()));
  for (const char* hostile : {"x\"; DROP TABLE USERS; --", "", "with blank", "pg_admin"}) {
    EXPECT_THAT(service.CreateRDBMSUser(hostile, "pw"), Not(IsEmpty())) << hostile;
  }
  EXPECT_THAT(AsTable(client.Records("dspDBA_USER")),
              ::testing::Contains(ElementsAre("dave", ::testing::_)));

  EXPECT_EQ(service.ChangePassword(kAdmin, "", "new-admin-pw"), "");
  EXPECT_THAT(service.ChangePassword("nobody-here", "", "x"), Not(IsEmpty()));
  Client next(server, Transport::kTcp);
  EXPECT_THAT(next.server->login(kAdmin, kAdminPassword, kAdminRole), Not(IsEmpty()));
  EXPECT_EQ(LogInAfterHoldBack(next, server, kAdmin, "new-admin-pw"), "");
  EXPECT_EQ(AsTable(next.Records("dspUser")).size(), 3u);  // USERS survived the hostile name
  const std::string log = server.Log();
  for (const char* secret : {"dave-pw-1", "new-admin-pw", kAdminPassword}) {
    EXPECT_THAT(log, Not(HasSubstr(secret)));
  }
}

TEST(DemoTest, TheFirstStartCreatesTheDemoAndShowsItsPasswordOnce) {
  TempDir dir;
  const std::string store = "sqlite:" + (dir.Path() / "demo.sqlite").string();
  std::string password;
  {
    ServerProcess server({"--store", store, "--demo"}, dir.Path() / "first.log");
    ASSERT_EQ(server.Lines().size(), 1u);
    const std::string& line = server.Lines()[0];
    const auto start = line.find("password \"");
    ASSERT_NE(start, std::string::npos) << line;
    password = line.substr(start + 10, line.find('"', start + 10) - start - 10);
    Client client(server, Transport::kHttp);
    ASSERT_EQ(client.server->login("admin", password, kAdminRole), "");
    EXPECT_GT(client.Records("dspUser").rows.size(), 3u);
    EXPECT_EQ(server.Stop(SIGTERM), 0);
  }
  ServerProcess again({"--store", store, "--demo"}, dir.Path() / "second.log");
  EXPECT_THAT(again.Lines(), IsEmpty());
  Client client(again, Transport::kTcp);
  EXPECT_EQ(client.server->login("admin", password, kAdminRole), "");
}

TEST(ProgramTest, RefusesAStoreWithoutDirectoryAndAnArgumentPassword) {
  TempDir dir;
  const std::string store = "sqlite:" + (dir.Path() / "empty.sqlite").string();
  EXPECT_EQ(RunProgram({"--store", store, "--http", "0", "--tcp", "off", "--udp", "off"},
                       dir.Path() / "serve.log"),
            2);
  // init takes no password on the command line, and no empty one on standard input.
  EXPECT_NE(RunProgram({"--store", store, "init", "--password", "x"}, dir.Path() / "a.log"), 0);
  EXPECT_NE(
      RunProgram({"--store", store, "init"}, dir.Path() / "b.log", std::chrono::seconds(30), "\n"),
      0);
  EXPECT_EQ(RunProgram({"--store", store, "init", "--admin", "root"}, dir.Path() / "c.log",
                       std::chrono::seconds(30), "from-stdin\n"),
            0);
  ServerProcess server({"--store", store}, dir.Path() / "server.log");
  Client client(server, Transport::kTcp);
  EXPECT_EQ(client.server->login("root", "from-stdin", kAdminRole), "");
}

}  // namespace
}  // namespace tovra::umserver::testing
