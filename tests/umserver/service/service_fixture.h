#pragma once

// A small directory on a fresh SQLite store, and the values the tests expect of it.

#include <string>

#include "server_process.h"

namespace tovra::umserver::testing {

inline constexpr const char* kAdmin = "admin";
inline constexpr const char* kAdminPassword = "Adm1n-pass";
inline constexpr const char* kAdminRole = "BEOGYLTDP";

// Databases 1 Archive, 2 Sales; roles 1 Readers, 2 Writers; users 1 alice, 2 bob, 3 carol
// (dropped); alice in Readers, bob in both, carol in Writers; Readers read-only, Writers
// read/write; Readers reach Archive, Writers Archive and Sales.
void FillDirectory(const std::string& store_description);

// An initialised and filled SQLite store in `dir`.
std::string MakeSqliteStore(const TempDir& dir);

// Logs the client in as the administrator; fails the test when that does not work.
void LogIn(Client& client);

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
