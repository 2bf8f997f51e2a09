#include "postgres_database.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>

#include "umserver/store/postgres/postgres_store.h"

namespace tovra::umserver::testing {

namespace {

std::string RandomSuffix() {
  std::random_device device;
  std::mt19937_64 random(device());
  static constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string suffix;
  for (int i = 0; i < 10; ++i) {
    suffix += kDigits[random() % (sizeof kDigits - 1)];
  }
  return suffix;
}

void Run(PGconn* conn, const std::string& sql) {
  PGresult* result = PQexec(conn, sql.c_str());
  const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
  std::string error = ok ? "" : PQresultErrorMessage(result);
  PQclear(result);
  if (!ok) {
    throw std::runtime_error(sql + ": " + error);
  }
}

class PostgresTestDatabase final : public TestDatabase {
 public:
  PostgresTestDatabase() : name_("tovra_test_" + RandomSuffix()) {
    auto admin = ConnectSuperuser(SuperuserConninfo());
    Run(admin.get(), "CREATE DATABASE " + name_);
  }

  ~PostgresTestDatabase() override {
    try {
      auto admin = ConnectSuperuser(SuperuserConninfo());
      Run(admin.get(), "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
      for (const auto& account : accounts_) {
        PGresult* result = PQexec(admin.get(), ("DROP ROLE IF EXISTS \"" + account + "\"").c_str());
        PQclear(result);
      }
    } catch (const std::exception&) {
      // The cluster goes away with the test run anyway.
    }
  }

  std::unique_ptr<store::Store> Open(store::LoginThrottle::Options throttle) override {
    return std::make_unique<store::PostgresStore>(Conninfo(), std::move(throttle));
  }

  std::string UniqueAccount(const std::string& stem) override {
    accounts_.push_back(stem + "_" + RandomSuffix());
    return accounts_.back();
  }

  std::string Conninfo() const { return SuperuserConninfo() + " dbname=" + name_; }

 private:
  std::string name_;
  std::vector<std::string> accounts_;
};

}  // namespace

std::string SuperuserConninfo() {
  const char* folder = std::getenv("TOVRA_PG_CLUSTER");
  if (folder == nullptr) {
    throw std::runtime_error(
        "TOVRA_PG_CLUSTER is not set: start a cluster with scripts/pg-test-cluster");
  }
  std::ifstream file(std::string(folder) + "/conninfo");
  std::string conninfo;
  std::getline(file, conninfo);
  if (conninfo.empty()) {
    throw std::runtime_error(std::string("no connection string in ") + folder + "/conninfo");
  }
  return conninfo;
}

std::unique_ptr<PGconn, void (*)(PGconn*)> ConnectSuperuser(const std::string& conninfo) {
  std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(conninfo.c_str()), PQfinish);
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    throw std::runtime_error(std::string("cannot reach the test cluster: ") +
                             PQerrorMessage(conn.get()));
  }
  return conn;
}

std::unique_ptr<TestDatabase> MakeTestDatabase() {
  return std::make_unique<PostgresTestDatabase>();
}

}  // namespace tovra::umserver::testing
