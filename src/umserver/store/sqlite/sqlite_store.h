#pragma once

// The embedded store: one SQLite file in WAL mode, so readers never wait for the one
// writer, with a busy time-out for writers that meet each other. SQLite has no accounts of
// its own, so the login accounts live in a table of the file, with Argon2id hashes.

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "umserver/store/store.h"

struct sqlite3;

namespace tovra::umserver::store {

class SqliteStore : public Store {
 public:
  struct Options {
    std::string path;
    std::chrono::milliseconds busy_timeout{5000};
    // Argon2id cost of new password hashes; existing hashes keep the cost they were made
    // with. Tests lower it to keep the sanitizer build quick.
    std::size_t argon2_memory_kib = 19456;
    std::size_t argon2_iterations = 2;
    LoginThrottle::Options throttle;
  };

  explicit SqliteStore(Options options);
  ~SqliteStore() override;

  Dialect dialect() const override { return Dialect::kSQLite; }
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
  std::unique_ptr<Session> OpenSession(std::string user);

  Options options_;
};

// The Argon2id hash of `password` as a self-describing text (cost and salt included).
std::string HashPassword(std::string_view password, std::size_t memory_kib, std::size_t iterations);
// True when `password` matches `hash`; false for a hash that cannot be read.
bool CheckPassword(std::string_view password, const std::string& hash);

}  // namespace tovra::umserver::store
