#include "client/server/dataset_connection.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>

#include "client/server/data_module.h"
#include "contract/um_service.h"
#include "dataset/client_dataset.h"
#include "memory_provider.h"
#include "remoting/dispatcher.h"
#include "remoting/errors.h"
#include "remoting/server.h"
#include "remoting/session.h"
#include "test_tables.h"

namespace {

using namespace tovra;
namespace op = contract::op;
namespace param = contract::param;
using client::server::CorodmKWVUMServer;
using client::server::TfrmDmUMClient;
using dataset::ClientDataSet;
using dataset::DeltaRow;
using dataset::FieldType;
using dataset::ReconcileAction;
using dataset::ReconcileError;
using dataset::UpdateKind;
using dataset::testing::I;
using dataset::testing::MemoryProvider;

remoting::Bytes ToBytes(const std::string& text) {
  return remoting::Bytes(text.begin(), text.end());
}
std::string ToText(const remoting::Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// A server on loopback with the service's login and provider operations over an in-memory
// provider: a login with the password "right" opens the caller's session, and the provider
// operations need one, as on the real server.
class ProviderServer {
 public:
  ProviderServer() : dispatcher_(sessions_) {
    dataset::testing::AddRoleTables(provider);
    // Rights are delivered per role: the AROLE parameter picks them.
    provider.table("dspRights").select = [](const std::vector<dataset::Value>& row,
                                            const std::vector<dataset::Param>& params) {
      for (const auto& p : params) {
        if (p.name == "AROLE") {
          return row[2] == p.value;
        }
      }
      return true;
    };
    provider.table("dspRights").refuse = [](const DeltaRow& row) -> std::optional<std::string> {
      if (row.kind != UpdateKind::Delete && row.NewValue(1) == I(99)) {
        return "insert or update on table \"RIGHTS\" violates foreign key: no database 99";
      }
      return std::nullopt;
    };

    const auto add = [&](std::string_view operation, remoting::Operation run,
                         remoting::SessionPolicy policy = remoting::SessionPolicy::kRequired) {
      dispatcher_.Register(
          contract::kLibraryName, contract::kServiceName, operation,
          [this, run = std::move(run)](remoting::CallContext& context) {
            Note(context.GetCall());
            run(context);
          },
          policy);
    };
    add(
        op::kLogin,
        [](remoting::CallContext& c) {
          if (c.GetCall().String(param::kPassword) != "right") {
            c.WriteString(contract::result::kResult, "Wrong user name or password.");
            return;
          }
          c.GetSession().Open();
          c.WriteString(contract::result::kResult, "");
        },
        remoting::SessionPolicy::kNone);
    add(op::kGetRecords, [this](remoting::CallContext& c) {
      const auto& call = c.GetCall();
      const auto params = dataset::DecodeParams(ToText(call.Binary(param::kParams)));
      c.WriteBinary(contract::result::kResult,
                    ToBytes(provider.GetRecords(call.String(param::kProviderName), params)));
      c.WriteInt32(contract::result::kRecsOut, -1);
    });
    add(op::kApplyUpdates, [this](remoting::CallContext& c) {
      const auto& call = c.GetCall();
      const auto result =
          provider.ApplyUpdates(call.String(param::kProviderName),
                                ToText(call.Binary(param::kDelta)), call.Int32(param::kMaxErrors));
      c.WriteBinary(contract::result::kResult, ToBytes(result.reconcile_answer));
      c.WriteInt32(contract::result::kErrorCount, result.error_count);
    });
    add(op::kGetParams, [](remoting::CallContext& c) {
      const std::vector<dataset::Param> params{
          {std::string(contract::provider::kRoleParameter), FieldType::Int32, I(0)}};
      c.WriteBinary(contract::result::kResult, ToBytes(c.GetCall().String(param::kProviderName) ==
                                                               contract::provider::kUser4Role
                                                           ? dataset::EncodeParams(params)
                                                           : std::string()));
    });
    add(op::kGetProviderNames, [](remoting::CallContext& c) {
      c.WriteString(contract::result::kResult,
                    remoting::JoinProviderNames({"dspRole", "dspRights"}));
    });

    remoting::ServerOptions options;
    options.address = "127.0.0.1";
    options.tcp_port = 0;
    options.worker_threads = 1;
    server_ = std::make_unique<remoting::RemotingServer>(options, dispatcher_.Handler());
    server_->Start();
  }
  ~ProviderServer() { server_->Stop(); }

  std::uint16_t Port() const { return server_->TcpPort(); }
  void Stop() { server_->Stop(); }

  // Client ids the operations saw, and the parameters of the last rows request.
  std::set<std::string> ClientIds() {
    std::lock_guard lock(mutex_);
    return client_ids_;
  }
  std::vector<std::string> Operations() {
    std::lock_guard lock(mutex_);
    return operations_;
  }

  // Touched by the operations only while the test waits for an answer.
  MemoryProvider provider;

 private:
  void Note(const remoting::Call& call) {
    std::lock_guard lock(mutex_);
    client_ids_.insert(call.client_id);
    operations_.push_back(call.operation);
  }

  remoting::SessionStore sessions_;
  remoting::Dispatcher dispatcher_;
  std::unique_ptr<remoting::RemotingServer> server_;
  std::mutex mutex_;
  std::set<std::string> client_ids_;
  std::vector<std::string> operations_;
};

class DatasetConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dm.roTCPChannel.SetHost("127.0.0.1");
    dm.roTCPChannel.SetPort(server.Port());
    dm.RODataSnapConnection.SetChannel(&dm.roTCPChannel);
    rights.SetRemoteServer(&dm.RODataSnapConnection);
    rights.SetProviderName("dspRights");
    rights.Params().CreateParam(FieldType::Int32, "AROLE", I(0));
  }

  void OpenRoles(ClientDataSet& roles) {
    roles.SetRemoteServer(&dm.RODataSnapConnection);
    roles.SetProviderName("dspRole");
    roles.Open();
  }

  void Login(remoting::Message& message) {
    dm.UMServer = CorodmKWVUMServer::Create(message, dm.roTCPChannel);
    ASSERT_EQ(dm.UMServer->login("SYSDBA", "right", "BEOGYLTDP"), "");
  }

  // The QVB_ID of each visible row, in order.
  std::vector<std::string> Databases() { return dataset::testing::Column(rights, "QVB_ID"); }
  std::vector<std::string> ServerDatabases(int role) {
    std::vector<std::string> out;
    for (const auto& row : server.provider.table("dspRights").rows) {
      if (row[2] == I(role)) {
        out.push_back(std::to_string(std::get<std::int64_t>(row[1])));
      }
    }
    return out;
  }

  ProviderServer server;
  TfrmDmUMClient dm;
  ClientDataSet rights;
};

TEST_F(DatasetConnectionTest, DatasetsShareTheSessionTheServiceClientLoggedIn) {
  // Before the login the server knows no session for this message's client id.
  try {
    rights.Open();
    ADD_FAILURE() << "opened without a session";
  } catch (const remoting::ServerFault& fault) {
    EXPECT_EQ(std::string(fault.what()), remoting::Dispatcher::kNoSession);
  }
  EXPECT_FALSE(rights.Active());

  Login(dm.roBinMessage);
  rights.Params().ParamByName("AROLE").SetAsInteger(3);
  rights.Open();
  EXPECT_TRUE(dm.RODataSnapConnection.Connected());
  EXPECT_EQ(Databases(), (std::vector<std::string>{"1", "2"}));
  // The parameter travelled with its type.
  ASSERT_EQ(server.provider.last_params.size(), 1u);
  EXPECT_EQ(server.provider.last_params[0].name, "AROLE");
  EXPECT_EQ(server.provider.last_params[0].type, FieldType::Int32);
  EXPECT_EQ(server.provider.last_params[0].value, I(3));
  EXPECT_EQ(server.ClientIds(), std::set<std::string>{dm.roBinMessage.ClientId()});
}

TEST_F(DatasetConnectionTest, EditApplyWithARefusedRowThenCancelAndRefresh) {
  Login(dm.roBinMessage);
  rights.Params().ParamByName("AROLE").SetAsInteger(3);
  rights.Open();

  // One accepted change, one the server refuses.
  ASSERT_TRUE(rights.Locate("ID", I(10)));
  rights.Edit();
  rights.FieldByName("QVB_ID").SetAsInteger(5);
  rights.Post();
  rights.Append();
  rights.FieldByName("ID").SetAsInteger(15);
  rights.FieldByName("QVB_ID").SetAsInteger(99);
  rights.FieldByName("ROLE_ID").SetAsInteger(3);
  rights.Post();

  std::vector<ReconcileError> seen;
  rights.SetOnReconcileError([&](ClientDataSet&, const ReconcileError& error, ReconcileAction&) {
    seen.push_back(error);
  });
  EXPECT_EQ(rights.ApplyUpdates(-1), 1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_NE(seen[0].message.find("no database 99"), std::string::npos) << seen[0].message;
  EXPECT_EQ(seen[0].kind, UpdateKind::Insert);
  EXPECT_EQ(rights.ChangeCount(), 1);
  EXPECT_EQ(ServerDatabases(3), (std::vector<std::string>{"5", "2"}));

  // Cancel drops the refused row; then a change made on the server shows after Refresh.
  rights.CancelUpdates();
  EXPECT_EQ(rights.ChangeCount(), 0);
  EXPECT_EQ(Databases(), (std::vector<std::string>{"5", "2"}));
  server.provider.table("dspRights").rows.push_back({I(16), I(7), I(3)});
  rights.Refresh();
  EXPECT_EQ(Databases(), (std::vector<std::string>{"5", "2", "7"}));

  // One session throughout: the login's.
  EXPECT_EQ(server.ClientIds(), std::set<std::string>{dm.roBinMessage.ClientId()});
}

TEST_F(DatasetConnectionTest, ReplacedMessageIsANewClientThatMustLogIn) {
  Login(dm.roBinMessage);
  ClientDataSet roles;
  OpenRoles(roles);
  ASSERT_TRUE(dm.RODataSnapConnection.Connected());
  roles.Close();

  dm.RODataSnapConnection.Disconnect();
  dm.RODataSnapConnection.SetMessage(&dm.roPostMessage);
  EXPECT_THROW(roles.Open(), remoting::ServerFault);

  // The POST message carries the same traffic once its client has logged in.
  Login(dm.roPostMessage);
  roles.Open();
  EXPECT_EQ(roles.RecordCount(), 4);
  EXPECT_EQ(server.ClientIds(),
            (std::set<std::string>{dm.roBinMessage.ClientId(), dm.roPostMessage.ClientId()}));
}

TEST_F(DatasetConnectionTest, ParamsAndProviderNamesComeFromTheServer) {
  Login(dm.roBinMessage);
  EXPECT_EQ(dm.RODataSnapConnection.GetProviderNames(),
            (std::vector<std::string>{"dspRole", "dspRights"}));
  const auto params = dm.RODataSnapConnection.GetParams("dspUser4Role");
  ASSERT_EQ(params.size(), 1u);
  EXPECT_EQ(params[0].name, "AROLE");
  EXPECT_TRUE(dm.RODataSnapConnection.GetParams("dspRole").empty());
}

TEST_F(DatasetConnectionTest, ALostServerIsAnErrorAndTheChangeLogStays) {
  Login(dm.roBinMessage);
  ClientDataSet roles;
  OpenRoles(roles);
  roles.First();
  roles.Edit();
  roles.FieldByName("BEZ").SetAsString("Auditor");
  roles.Post();

  server.Stop();
  EXPECT_THROW(roles.ApplyUpdates(-1), remoting::TransportError);
  EXPECT_EQ(roles.ChangeCount(), 1);
  EXPECT_THROW(rights.Open(), remoting::TransportError);
  EXPECT_FALSE(rights.Active());
}

}  // namespace
