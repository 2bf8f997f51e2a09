// On PostgreSQL the accounts are the database server's own: they must work with any
// PostgreSQL client, and the server's grants, not ours, decide what a session may do.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include "postgres_database.h"
#include "umserver/providers/providers.h"
#include "umserver/store/generators.h"
#include "umserver/store/postgres/postgres_store.h"

namespace tovra::umserver {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// The cluster's connection string with another account and password.
std::string ConninfoAs(const std::string& user, const std::string& password) {
  std::string conninfo = testing::SuperuserConninfo();
  // Later settings win in a libpq connection string.
  return conninfo + " user='" + user + "' password='" + password + "'";
}

bool CanConnect(const std::string& user, const std::string& password) {
  std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(ConninfoAs(user, password).c_str()),
                                                  PQfinish);
  return PQstatus(conn.get()) == CONNECTION_OK;
}

std::string QueryAs(const std::string& conninfo, const std::string& sql) {
  std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(conninfo.c_str()), PQfinish);
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    return std::string("connect: ") + PQerrorMessage(conn.get());
  }
  PGresult* result = PQexec(conn.get(), sql.c_str());
  std::string answer = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) > 0
                           ? PQgetvalue(result, 0, 0)
                           : std::string("error: ") + PQresultErrorMessage(result);
  PQclear(result);
  return answer;
}

class PostgresAccountsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    database_ = testing::MakeTestDatabase();
    store_ = database_->Open(testing::NoThrottle());
    admin_ = database_->UniqueAccount("admin");
    password_ = store::GeneratePassword();
    store_->Initialise(admin_, password_);
    session_ = store_->Login(admin_, password_, store::kAdministratorsRole).session;
    ASSERT_TRUE(session_);
  }

  std::unique_ptr<testing::TestDatabase> database_;
  std::unique_ptr<store::Store> store_;
  std::string admin_;
  std::string password_;
  std::unique_ptr<store::Session> session_;
};

TEST_F(PostgresAccountsTest, SessionRunsAsTheAdministrator) {
  const auto rows = session_->Query("SELECT session_user::text");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(std::get<std::string>(rows[0][0]), admin_);
  // The administrators' role is a real role of the cluster, held by the administrator.
  const store::Value role[] = {std::string(store::kAdministratorsRole)};
  EXPECT_FALSE(session_
                   ->Query("SELECT 1 FROM pg_roles WHERE rolname = ? AND pg_has_role(session_user, "
                           "oid, 'MEMBER')",
                           role)
                   .empty());
}

TEST_F(PostgresAccountsTest, CreatedAccountLogsInWithLibpqAndItsPasswordChanges) {
  const auto clerk = database_->UniqueAccount("clerk");
  ASSERT_EQ(session_->CreateRDBMSUser(clerk, "first secret"), "");
  EXPECT_TRUE(CanConnect(clerk, "first secret"));
  EXPECT_FALSE(CanConnect(clerk, "wrong"));

  ASSERT_EQ(session_->ChangePassword(clerk, "", "second secret"), "");
  EXPECT_FALSE(CanConnect(clerk, "first secret"));
  EXPECT_TRUE(CanConnect(clerk, "second secret"));

  // A plain account is no administrator: the database itself keeps it out of the tables.
  EXPECT_THAT(QueryAs(ConninfoAs(clerk, "second secret") + " dbname=" + store_->DBName(),
                      "SELECT count(*) FROM USERS"),
              HasSubstr("permission denied"));
  EXPECT_EQ(store_->Login(clerk, "second secret", store::kAdministratorsRole).error,
            store::kLoginFailedText);
}

TEST_F(PostgresAccountsTest, PasswordsWithQuotesAreStoredAsGiven) {
  const auto clerk = database_->UniqueAccount("quoted");
  const std::string password = "it's a \"test\"; DROP TABLE USERS; --\\";
  ASSERT_EQ(session_->CreateRDBMSUser(clerk, password), "");
  std::unique_ptr<PGconn, void (*)(PGconn*)> conn(nullptr, PQfinish);
  const char* keys[] = {"host", "port", "dbname", "user", "password", nullptr};
  const std::string port = QueryAs(testing::SuperuserConninfo(), "SHOW port");
  const char* values[] = {"127.0.0.1",   port.c_str(),     "postgres",
                          clerk.c_str(), password.c_str(), nullptr};
  conn.reset(PQconnectdbParams(keys, values, 0));
  EXPECT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
}

TEST_F(PostgresAccountsTest, HostileNamesLeaveTheDatabaseAlone) {
  const std::string hostile[] = {"x\"; DROP TABLE USERS; --", "x'; DROP TABLE USERS; --",
                                 "\"; ALTER ROLE postgres PASSWORD 'x'; --"};
  for (const auto& name : hostile) {
    EXPECT_THAT(session_->CreateRDBMSUser(name, "password"), Not(IsEmpty()));
    EXPECT_THAT(session_->ChangePassword(name, "", "password"), Not(IsEmpty()));
    EXPECT_THAT(session_->ChangePassword(name, "old", "password"), Not(IsEmpty()));
    EXPECT_FALSE(store_->Login(name, "password", store::kAdministratorsRole).session);
  }
  EXPECT_NO_THROW(providers::GetRecords(*session_, "dspUser"));
  const store::Value name[] = {std::string("x\"; DROP TABLE USERS; --")};
  EXPECT_TRUE(session_->Query("SELECT 1 FROM pg_roles WHERE rolname = ?", name).empty());
  // The superuser's password is untouched.
  EXPECT_EQ(QueryAs(testing::SuperuserConninfo(), "SELECT 1"), "1");
}

TEST_F(PostgresAccountsTest, ConnectionStringWithoutPasswordCannotBeBorrowed) {
  // A login with an empty password must not fall back on anything the server knows.
  EXPECT_FALSE(store_->Login("postgres", "", store::kAdministratorsRole).session);
  EXPECT_FALSE(store_->Login(admin_, "", store::kAdministratorsRole).session);
}

TEST_F(PostgresAccountsTest, ALostConnectionFailsTheWholeSendAndCommitsNothing) {
  const std::vector<store::ChangeRow> first = {
      {store::ChangeKind::kInsert, {}, {{"ID", std::int64_t{1}}, {"NAME", std::string("One")}}}};
  ASSERT_THAT(providers::ApplyUpdates(*session_, "dspCatalogue", first, -1).refused, IsEmpty());
  const auto pid = std::get<std::int64_t>(session_->Query("SELECT pg_backend_pid()").at(0).at(0));
  // The database server ends the administrator's connection in the middle of the work.
  ASSERT_EQ(QueryAs(testing::SuperuserConninfo(),
                    "SELECT pg_terminate_backend(" + std::to_string(pid) + ", 5000)"),
            "t");
  const std::vector<store::ChangeRow> more = {
      {store::ChangeKind::kInsert, {}, {{"ID", std::int64_t{2}}, {"NAME", std::string("Two")}}},
      {store::ChangeKind::kInsert, {}, {{"ID", std::int64_t{3}}, {"NAME", std::string("Three")}}}};
  EXPECT_THROW(providers::ApplyUpdates(*session_, "dspCatalogue", more, -1),
               store::ConnectionLostError);
  EXPECT_THROW(providers::GetRecords(*session_, "dspCatalogue"), store::ConnectionLostError);
  EXPECT_THROW(session_->Commit(), store::StoreError);
  session_.reset();
  auto fresh = store_->Login(admin_, password_, store::kAdministratorsRole).session;
  ASSERT_TRUE(fresh);
  EXPECT_TRUE(providers::GetRecords(*fresh, "dspCatalogue").rows.empty());
}

TEST_F(PostgresAccountsTest, CommitOfASpoiledTransactionFailsAndSavesNothing) {
  const std::vector<store::ChangeRow> rows = {
      {store::ChangeKind::kInsert, {}, {{"ID", std::int64_t{1}}, {"NAME", std::string("One")}}}};
  ASSERT_THAT(providers::ApplyUpdates(*session_, "dspCatalogue", rows, 0).refused, IsEmpty());
  // A failure outside any savepoint spoils the whole transaction on PostgreSQL.
  EXPECT_THROW(session_->Query("SELECT 1 / 0"), store::StoreError);
  EXPECT_THROW(session_->Commit(), store::StoreError);
  EXPECT_FALSE(session_->InTransaction());
  EXPECT_TRUE(providers::GetRecords(*session_, "dspCatalogue").rows.empty());
}

TEST_F(PostgresAccountsTest, DescribesTheServer) {
  EXPECT_THAT(store_->DBType(), ::testing::StartsWith("PostgreSQL 15."));
  EXPECT_THAT(store_->DBServer(), ::testing::MatchesRegex("127\\.0\\.0\\.1:[0-9]+"));
  EXPECT_THAT(store_->DBName(), ::testing::StartsWith("tovra_test_"));
}

}  // namespace
}  // namespace tovra::umserver
