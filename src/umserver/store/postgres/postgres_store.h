#pragma once

// The PostgreSQL store. The server keeps only a connection string for its own maintenance
// work; every administrator's session connects with the administrator's own name and
// password, so the database server authenticates them and its grants decide what they may
// do. Administrators are login roles that belong to the role "BEOGYLTDP" and may create
// roles (for the accounts of TOVRA users).

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "umserver/store/store.h"

namespace tovra::umserver::store {

class PostgresStore : public Store {
 public:
  // `conninfo`: a libpq connection string (key=value pairs or a URI) for a role that may
  // create tables and roles; its own user and password are used only for maintenance.
  // `lock_timeout`: how long a session waits for a row another session's open transaction
  // holds before the statement fails (and the row is refused) instead of waiting on.
  explicit PostgresStore(std::string conninfo, LoginThrottle::Options throttle = {},
                         std::chrono::milliseconds lock_timeout = std::chrono::seconds(5));
  ~PostgresStore() override;

  Dialect dialect() const override { return Dialect::kPostgreSQL; }
  std::string DBType() override;
  std::string DBServer() override;
  std::string DBName() override;
  void Initialise(std::string_view admin_user, std::string_view admin_password) override;
  bool HasSchema() override;
  std::unique_ptr<Session> OpenMaintenanceSession() override;

 protected:
  std::unique_ptr<Session> Authenticate(std::string_view user, std::string_view password,
                                        std::string_view role) override;

 private:
  struct ServerFacts {
    std::string version;
    std::string host;
    std::string port;
    std::string database;
  };
  const ServerFacts& Facts();

  // The connection string's settings, with user and password taken out.
  std::vector<std::pair<std::string, std::string>> settings_;
  std::string conninfo_;
  std::chrono::milliseconds lock_timeout_;
  std::mutex facts_mutex_;
  std::optional<ServerFacts> facts_;
};

}  // namespace tovra::umserver::store
