#pragma once

// A small directory on a fresh SQLite store, and the values the tests expect of it.

#include <chrono>
#include <string>

#include "contract/um_service.h"
#include "server_process.h"

namespace tovra::umserver::testing {

inline constexpr const char* kAdmin = "admin";
inline constexpr const char* kAdminPassword = "Adm1n-pass";
inline const std::string kAdminRole{contract::kAdministratorsRole};
// The hold-back after a failed login that test servers are started with (--login-delay,
// seconds): short, so that waiting it out costs the run little.
inline constexpr const char* kLoginDelaySeconds = "0.05";

// Databases 1 Archive, 2 Sales; roles 1 Readers, 2 Writers; users 1 alice, 2 bob, 3 carol
// (dropped); alice in Readers, bob in both, carol in Writers; Readers read-only, Writers
// read/write; Readers reach Archive, Writers Archive and Sales.
void FillDirectory(const std::string& store_description);

// An initialised and filled SQLite store in `dir`.
std::string MakeSqliteStore(const TempDir& dir);

// Logs the client in as the administrator; fails the test when that does not work.
void LogIn(Client& client);

// How long further logins of `user` are held back, as the server logged it with its latest
// answer to a login of that name; zero when that answer held nothing back.
std::chrono::milliseconds AnnouncedHoldBack(const ServerProcess& server, const std::string& user);

// Logs `user` in (role kAdminRole) after failed attempts: waits out the hold-back the server
// announced, then makes one attempt. Its result ("" on success) is returned.
std::string LogInAfterHoldBack(Client& client, const ServerProcess& server, const std::string& user,
                               const std::string& password);

// A delta over `fields` with one row per call of the helpers.
class DeltaBuilder {
 public:
  explicit DeltaBuilder(std::vector<dataset::FieldDef> fields) {
    delta_.fields = std::move(fields);
  }
  DeltaBuilder& Insert(std::vector<dataset::Value> values);
  // `changes`: field index and new value.
  DeltaBuilder& Modify(std::vector<dataset::Value> original,
                       std::vector<std::pair<std::size_t, dataset::Value>> changes);
  DeltaBuilder& Delete(std::vector<dataset::Value> original);
  const dataset::Delta& Get() const { return delta_; }

 private:
  dataset::Delta delta_;
  std::uint64_t next_row_id_ = 100;
};

}  // namespace tovra::umserver::testing
