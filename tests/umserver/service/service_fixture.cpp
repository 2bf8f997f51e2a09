#include "service_fixture.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "umserver/store/store.h"

namespace tovra::umserver::testing {

void FillDirectory(const std::string& store_description) {
  auto store = store::OpenStore(store_description);
  auto session = store->OpenMaintenanceSession();
  session->Begin();
  for (const char* statement : {
           "INSERT INTO QVB (ID, NAME, COMMENT_, FILTER_SQL) VALUES (1, 'Archive', 'old files', "
           "'YEAR < 2000')",
           "INSERT INTO QVB (ID, NAME) VALUES (2, 'Sales')",
           "INSERT INTO ROLE (ID, BEZ) VALUES (1, 'Readers')",
           "INSERT INTO ROLE (ID, BEZ, COMMENT_) VALUES (2, 'Writers', 'may write')",
           "INSERT INTO USERS (ID, USERNAME, NAME, Flags) VALUES (1, 'alice', 'Alice A', 0)",
           "INSERT INTO USERS (ID, USERNAME, NAME, Flags) VALUES (2, 'bob', 'Bob B', 0)",
           "INSERT INTO USERS (ID, USERNAME, NAME, Flags) VALUES (3, 'carol', 'Carol C', -1)",
           "INSERT INTO ROLES (ID, ORIG_ID, ROLE_ID) VALUES (1, 1, 1)",
           "INSERT INTO ROLES (ID, ORIG_ID, ROLE_ID) VALUES (2, 2, 1)",
           "INSERT INTO ROLES (ID, ORIG_ID, ROLE_ID) VALUES (3, 2, 2)",
           "INSERT INTO ROLES (ID, ORIG_ID, ROLE_ID) VALUES (4, 3, 2)",
           "INSERT INTO PRIVILEGS (ID, ROLE_ID, PRIVILEG_ID) VALUES (1, 1, 2)",
           "INSERT INTO PRIVILEGS (ID, ROLE_ID, PRIVILEG_ID) VALUES (2, 2, 3)",
           "INSERT INTO RIGHTS (ID, QVB_ID, ROLE_ID) VALUES (1, 1, 1)",
           "INSERT INTO RIGHTS (ID, QVB_ID, ROLE_ID) VALUES (2, 1, 2)",
           "INSERT INTO RIGHTS (ID, QVB_ID, ROLE_ID) VALUES (3, 2, 2)",
       }) {
    session->Execute(statement);
  }
  session->Commit();
}

std::string MakeSqliteStore(const TempDir& dir) {
  const std::string description = "sqlite:" + (dir.Path() / "directory.sqlite").string();
  InitStore(description, kAdmin, kAdminPassword, dir);
  FillDirectory(description);
  return description;
}

void LogIn(Client& client) {
  ASSERT_EQ(client.server->login(kAdmin, kAdminPassword, kAdminRole), "");
}

std::chrono::milliseconds AnnouncedHoldBack(const ServerProcess& server, const std::string& user) {
  const std::string about = "login of " + user + " (role ";
  const std::string held_back = "further attempts for this name are refused for ";
  std::chrono::milliseconds announced{0};
  std::istringstream log(server.Log());
  for (std::string line; std::getline(log, line);) {
    if (line.find(about) == std::string::npos) {
      continue;
    }
    const auto at = line.find(held_back);
    announced = std::chrono::milliseconds(
        at == std::string::npos ? 0 : std::stoll(line.substr(at + held_back.size())));
  }
  return announced;
}

std::string LogInAfterHoldBack(Client& client, const ServerProcess& server, const std::string& user,
                               const std::string& password) {
  // The server logs the hold-back before it answers the refused attempt, counted from a
  // moment before this one; once that much time has passed the name is free again. The
  // hold-back is a span of time, so waiting it out is waiting for the event itself.
  std::this_thread::sleep_for(AnnouncedHoldBack(server, user));
  return client.server->login(user, password, kAdminRole);
}

DeltaBuilder& DeltaBuilder::Insert(std::vector<dataset::Value> values) {
  dataset::DeltaRow row;
  row.row_id = next_row_id_++;
  row.kind = dataset::UpdateKind::Insert;
  row.new_values = std::move(values);
  delta_.rows.push_back(std::move(row));
  return *this;
}

DeltaBuilder& DeltaBuilder::Modify(std::vector<dataset::Value> original,
                                   std::vector<std::pair<std::size_t, dataset::Value>> changes) {
  dataset::DeltaRow row;
  row.row_id = next_row_id_++;
  row.kind = dataset::UpdateKind::Modify;
  row.new_values = original;
  row.changed.assign(original.size(), false);
  for (auto& [index, value] : changes) {
    row.new_values.at(index) = std::move(value);
    row.changed.at(index) = true;
  }
  row.original = std::move(original);
  delta_.rows.push_back(std::move(row));
  return *this;
}

DeltaBuilder& DeltaBuilder::Delete(std::vector<dataset::Value> original) {
  dataset::DeltaRow row;
  row.row_id = next_row_id_++;
  row.kind = dataset::UpdateKind::Delete;
  row.original = std::move(original);
  delta_.rows.push_back(std::move(row));
  return *this;
}

}  // namespace tovra::umserver::testing
