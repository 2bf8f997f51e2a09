// tovra-umserver on PostgreSQL: the throw-away cluster of the test run, a database of its
// own per test, the real program and the real service client.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>

#include "remoting/errors.h"
#include "server_process.h"
#include "service_fixture.h"

namespace tovra::umserver::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Connection = std::unique_ptr<PGconn, void (*)(PGconn*)>;

std::string SuperuserConninfo() {
  const char* folder = std::getenv("TOVRA_PG_CLUSTER");
  if (folder == nullptr) {
    throw std::runtime_error("TOVRA_PG_CLUSTER is not set");
  }
  std::ifstream file(std::string(folder) + "/conninfo");
  std::string conninfo;
  std::getline(file, conninfo);
  return conninfo;
}

std::string Suffix() {
  std::random_device random;
  std::string suffix;
  for (int i = 0; i < 8; ++i) {
    suffix += "abcdefghijklmnopqrstuvwxyz0123456789"[random() % 36];
  }
  return suffix;
}

Connection Connect(const std::string& conninfo) {
  return Connection(PQconnectdb(conninfo.c_str()), PQfinish);
}

void Exec(PGconn* conn, const std::string& sql) {
  PGresult* result = PQexec(conn, sql.c_str());
  PQclear(result);
}

// libpq connection strings quote values with single quotes.
std::string Quoted(const std::string& value) {
  std::string quoted = "'";
  for (char c : value) {
    if (c == '\'' || c == '\\') {
      quoted += '\\';
    }
    quoted += c;
  }
  return quoted + "'";
}

bool CanConnectAs(const std::string& user, const std::string& password) {
  // The superuser's host and port, with another account.
  const std::string conninfo = SuperuserConninfo() + " user=" + Quoted(user) +
                               " password=" + Quoted(password) + " connect_timeout=10";
  auto conn = Connect(conninfo);
  return PQstatus(conn.get()) == CONNECTION_OK;
}

class PostgresServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto admin = Connect(SuperuserConninfo());
    ASSERT_EQ(PQstatus(admin.get()), CONNECTION_OK) << PQerrorMessage(admin.get());
    Exec(admin.get(), "CREATE DATABASE " + database_);
    store_ = SuperuserConninfo() + " dbname=" + database_;
    InitStore(store_, admin_, kAdminPassword, dir_);
    FillDirectory(store_);
  }

  void TearDown() override {
    server_.reset();
    auto admin = Connect(SuperuserConninfo());
    Exec(admin.get(), "DROP DATABASE IF EXISTS " + database_ + " WITH (FORCE)");
    for (const auto& role : {admin_, account_}) {
      Exec(admin.get(), "DROP ROLE IF EXISTS \"" + role + "\"");
    }
  }

  TempDir dir_;
  const std::string database_ = "tovra_sv_" + Suffix();
  const std::string admin_ = "umadmin_" + Suffix();
  const std::string account_ = "umuser_" + Suffix();
  std::string store_;
  std::unique_ptr<ServerProcess> server_;
};

TEST_F(PostgresServiceTest, ServesTheDirectoryAndMakesRealAccounts) {
  server_ = std::make_unique<ServerProcess>(
      std::vector<std::string>{"--store", store_, "--login-delay", kLoginDelaySeconds},
      dir_.Path() / "server.log");
  Client client(*server_, Transport::kTcp);
  EXPECT_THAT(client.server->login(admin_, "wrong", kAdminRole), Not(IsEmpty()));
  Client right(*server_, Transport::kHttp);
  // A wrong attempt holds the name back for a moment.
  ASSERT_EQ(LogInAfterHoldBack(right, *server_, admin_, kAdminPassword), "");
  auto& service = *right.server;
  EXPECT_THAT(service.DBType(), HasSubstr("PostgreSQL 15"));
  EXPECT_EQ(service.DBName(), database_);
  EXPECT_EQ(right.Records("dspUser").rows.size(), 3u);
  EXPECT_EQ(right.Records("dspUserRights").rows.size(), 3u);

  EXPECT_EQ(service.CreateRDBMSUser(account_, "first-pw"), "");
  EXPECT_THAT(service.CreateRDBMSUser(account_, "again"), Not(IsEmpty()));
  EXPECT_THAT(service.CreateRDBMSUser("x\"; DROP TABLE USERS; --", "pw"), Not(IsEmpty()));
  service.commit();
  EXPECT_TRUE(CanConnectAs(account_, "first-pw"));

  EXPECT_EQ(service.ChangePassword(account_, "", "second-pw"), "");
  service.commit();
  EXPECT_TRUE(CanConnectAs(account_, "second-pw"));
  EXPECT_FALSE(CanConnectAs(account_, "first-pw"));
  EXPECT_EQ(right.Records("dspUser").rows.size(), 3u);

  EXPECT_EQ(server_->Stop(SIGTERM), 0);
  const std::string log = server_->Log();
  for (const char* secret : {"first-pw", "second-pw", kAdminPassword}) {
    EXPECT_THAT(log, Not(HasSubstr(secret)));
  }
}

}  // namespace
}  // namespace tovra::umserver::testing
