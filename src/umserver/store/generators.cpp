#include "umserver/store/generators.h"

#include <botan/system_rng.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <random>
#include <vector>

#include "umserver/store/schema.h"

namespace tovra::umserver::store {

namespace {

// Collects rows for one table and writes them as multi-row INSERTs with bound values:
// a few hundred rows per statement keeps both back ends fast without long statements.
class BulkInsert {
 public:
  BulkInsert(Session& session, std::string table, std::vector<std::string> columns)
      : session_(session), table_(std::move(table)), columns_(std::move(columns)) {}
  ~BulkInsert() = default;

  void Add(std::vector<Value> row) {
    for (auto& value : row) {
      pending_.push_back(std::move(value));
    }
    if (++rows_ == kRowsPerStatement) {
      Flush();
    }
  }

  void Flush() {
    if (rows_ == 0) {
      return;
    }
    std::string tuple = "(";
    for (std::size_t i = 0; i < columns_.size(); ++i) {
      tuple += i == 0 ? "?" : ", ?";
    }
    tuple += ")";
    std::string sql = "INSERT INTO " + table_ + " (";
    for (std::size_t i = 0; i < columns_.size(); ++i) {
      sql += (i == 0 ? "" : ", ") + columns_[i];
    }
    sql += ") VALUES ";
    for (std::size_t i = 0; i < rows_; ++i) {
      sql += (i == 0 ? "" : ", ") + tuple;
    }
    session_.Execute(sql, pending_);
    pending_.clear();
    rows_ = 0;
  }

 private:
  static constexpr std::size_t kRowsPerStatement = 500;
  Session& session_;
  std::string table_;
  std::vector<std::string> columns_;
  std::vector<Value> pending_;
  std::size_t rows_ = 0;
};

bool HasUsers(Session& session) {
  return SchemaVersion(session) > 0 && !session.Query("SELECT 1 FROM USERS LIMIT 1").empty();
}

struct DemoUser {
  int id;
  const char* username;
  const char* name;
  const char* comment;
  int flags;
  std::vector<int> roles;
};

}  // namespace

std::string GeneratePassword(std::size_t length) {
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789";
  std::string password;
  password.reserve(length);
  auto& rng = Botan::system_rng();
  while (password.size() < length) {
    std::uint8_t byte = 0;
    rng.randomize(&byte, 1);
    // Rejection keeps every character equally likely.
    if (byte < 256 - 256 % kAlphabet.size()) {
      password += kAlphabet[byte % kAlphabet.size()];
    }
  }
  return password;
}

std::optional<DemoAccount> CreateDemo(Store& store, std::string_view admin_user) {
  {
    auto session = store.OpenMaintenanceSession();
    if (HasUsers(*session)) {
      return std::nullopt;
    }
  }
  DemoAccount account{std::string(admin_user), GeneratePassword()};
  store.Initialise(account.user, account.password);

  auto session = store.OpenMaintenanceSession();
  session->Begin();
  try {
    if (HasUsers(*session)) {  // someone else was quicker
      session->Rollback();
      return std::nullopt;
    }
    BulkInsert databases(*session, "QVB", {"ID", "NAME", "COMMENT_", "FILTER_SQL"});
    databases.Add({std::int64_t{1}, "Contracts", "Customer and supplier contracts", Value{}});
    databases.Add({std::int64_t{2}, "Invoices", "Incoming and outgoing invoices",
                   "DOCTYPE IN ('INVOICE', 'CREDIT')"});
    databases.Add({std::int64_t{3}, "Personnel Files", "Staff records, confidential", Value{}});
    databases.Add({std::int64_t{4}, "Projects", "Project documentation", Value{}});
    databases.Add(
        {std::int64_t{5}, "Archive", "Closed matters, kept for ten years", "YEAR < 2020"});
    databases.Flush();

    BulkInsert roles(*session, "ROLE", {"ID", "BEZ", "COMMENT_"});
    roles.Add({std::int64_t{1}, "Management", "Board and department heads"});
    roles.Add({std::int64_t{2}, "Accounting", "Bookkeeping and payments"});
    roles.Add({std::int64_t{3}, "Sales", "Sales office"});
    roles.Add({std::int64_t{4}, "Human Resources", "Personnel department"});
    roles.Add({std::int64_t{5}, "IT Operations", "Keeps the document system running"});
    roles.Add({std::int64_t{6}, "Auditors", "Internal and external audit"});
    roles.Flush();

    // Privilege level each role gives: 1 deny, 2 read-only, 3 read/write, 4 structure.
    const std::pair<int, int> levels[] = {{1, 3}, {2, 3}, {3, 3}, {4, 3}, {5, 4}, {6, 2}};
    BulkInsert privileges(*session, "PRIVILEGS", {"ID", "ROLE_ID", "PRIVILEG_ID"});
    int privilege_id = 0;
    for (const auto& [role, level] : levels) {
      privileges.Add({std::int64_t{++privilege_id}, std::int64_t{role}, std::int64_t{level}});
    }
    privileges.Flush();

    const std::pair<int, int> access[] = {{1, 1}, {1, 3}, {1, 6}, {2, 1}, {2, 2}, {2, 6}, {3, 1},
                                          {3, 4}, {4, 1}, {4, 3}, {4, 5}, {5, 5}, {5, 6}};
    BulkInsert rights(*session, "RIGHTS", {"ID", "QVB_ID", "ROLE_ID"});
    int right_id = 0;
    for (const auto& [database, role] : access) {
      rights.Add({std::int64_t{++right_id}, std::int64_t{database}, std::int64_t{role}});
    }
    rights.Flush();

    const DemoUser users[] = {
        {1, "hmeier", "Hanna Meier", "Managing director", 0, {1}},
        {2, "tkrause", "Tobias Krause", "Head of accounting", 0, {1, 2}},
        {3, "lweber", "Lena Weber", "", 0, {2}},
        {4, "jfischer", "Jonas Fischer", "Key accounts", 0, {3}},
        {5, "mschulz", "Mia Schulz", "", 0, {3}},
        {6, "pbecker", "Paul Becker", "Payroll", 0, {4}},
        {7, "shoffmann", "Sophie Hoffmann", "System administrator", 0, {5}},
        {8, "fwagner", "Felix Wagner", "Left the company", -1, {3}},
        {9, "akoch", "Anna Koch", "External auditor", 0, {6}},
        {10, "dschmidt", "David Schmidt", "Trainee", 0, {3, 5}},
    };
    BulkInsert user_rows(*session, "USERS", {"ID", "USERNAME", "NAME", "COMMENT_", "Flags"});
    BulkInsert memberships(*session, "ROLES", {"ID", "ORIG_ID", "ROLE_ID"});
    int membership_id = 0;
    for (const auto& user : users) {
      user_rows.Add({std::int64_t{user.id}, user.username, user.name,
                     *user.comment ? Value(user.comment) : Value{}, std::int64_t{user.flags}});
      for (const int role : user.roles) {
        memberships.Add({std::int64_t{++membership_id}, std::int64_t{user.id}, std::int64_t{role}});
      }
    }
    user_rows.Flush();
    memberships.Flush();

    BulkInsert documents(*session, "DOCUMENTS", {"ID", "TITLE", "OWNER_ID", "CREATED"});
    documents.Add(
        {std::int64_t{1}, "Framework agreement Nordlicht GmbH", std::int64_t{1}, "2024-03-14"});
    documents.Add({std::int64_t{2}, "Annual accounts 2024", std::int64_t{2}, "2025-02-28"});
    documents.Add({std::int64_t{3}, "Quotation 2025-117", std::int64_t{4}, "2025-06-02"});
    documents.Add({std::int64_t{4}, "Backup concept", std::int64_t{7}, "2025-01-20"});
    documents.Add({std::int64_t{5}, "Quotation 2023-044", std::int64_t{8}, "2023-04-11"});
    documents.Flush();
    session->Commit();
  } catch (...) {
    session->Rollback();
    throw;
  }
  spdlog::info("demo directory created");
  return account;
}

void Seed(Store& store, const SeedSize& size, std::uint32_t random_seed) {
  if (size.users < 1 || size.roles < 1 || size.databases < 1 || size.memberships < 0 ||
      size.rights < 0 || size.documents < 0) {
    throw StoreError("A seed needs at least one user, role and database.");
  }
  auto session = store.OpenMaintenanceSession();
  EnsureSchema(*session);
  session->Begin();
  try {
    if (HasUsers(*session)) {
      throw StoreError("The store already holds users; only an empty directory can be seeded.");
    }
    std::mt19937 random(random_seed);
    const auto pick = [&random](int count) {
      return static_cast<int>(random() % static_cast<std::uint32_t>(count));
    };

    BulkInsert databases(*session, "QVB", {"ID", "NAME", "COMMENT_", "FILTER_SQL"});
    for (int id = 1; id <= size.databases; ++id) {
      databases.Add({std::int64_t{id}, fmt::format("Database {:04}", id),
                     fmt::format("Generated database {}", id), Value{}});
    }
    databases.Flush();

    BulkInsert roles(*session, "ROLE", {"ID", "BEZ", "COMMENT_"});
    BulkInsert privileges(*session, "PRIVILEGS", {"ID", "ROLE_ID", "PRIVILEG_ID"});
    for (int id = 1; id <= size.roles; ++id) {
      roles.Add({std::int64_t{id}, fmt::format("Role {:04}", id), Value{}});
      privileges.Add({std::int64_t{id}, std::int64_t{id}, std::int64_t{1 + pick(4)}});
    }
    roles.Flush();
    privileges.Flush();

    BulkInsert users(*session, "USERS", {"ID", "USERNAME", "NAME", "COMMENT_", "Flags"});
    for (int id = 1; id <= size.users; ++id) {
      users.Add({std::int64_t{id}, fmt::format("user{:05}", id), fmt::format("Person {:05}", id),
                 Value{}, std::int64_t{pick(20) == 0 ? -1 : 0}});
    }
    users.Flush();

    // Membership k belongs to user k mod U; its role steps by a number prime to typical
    // role counts, so one user's roles differ while there are fewer of them than roles.
    BulkInsert memberships(*session, "ROLES", {"ID", "ORIG_ID", "ROLE_ID"});
    for (int k = 0; k < size.memberships; ++k) {
      const int user = k % size.users + 1;
      const int round = k / size.users;
      const int role =
          static_cast<int>((static_cast<long long>(user) * 31 + round * 337L) % size.roles) + 1;
      memberships.Add({std::int64_t{k + 1}, std::int64_t{user}, std::int64_t{role}});
    }
    memberships.Flush();

    BulkInsert rights(*session, "RIGHTS", {"ID", "QVB_ID", "ROLE_ID"});
    for (int k = 0; k < size.rights; ++k) {
      const int database = k % size.databases + 1;
      const int round = k / size.databases;
      const int role =
          static_cast<int>((static_cast<long long>(database) * 13 + round * 97L) % size.roles) + 1;
      rights.Add({std::int64_t{k + 1}, std::int64_t{database}, std::int64_t{role}});
    }
    rights.Flush();

    BulkInsert documents(*session, "DOCUMENTS", {"ID", "TITLE", "OWNER_ID", "CREATED"});
    for (int k = 1; k <= size.documents; ++k) {
      documents.Add({std::int64_t{k}, fmt::format("Document {:06}", k),
                     std::int64_t{1 + pick(size.users)}, "2025-01-01"});
    }
    documents.Flush();
    session->Commit();
  } catch (...) {
    session->Rollback();
    throw;
  }
  spdlog::info("seeded {} users, {} roles, {} databases, {} memberships, {} rights", size.users,
               size.roles, size.databases, size.memberships, size.rights);
}

}  // namespace tovra::umserver::store
