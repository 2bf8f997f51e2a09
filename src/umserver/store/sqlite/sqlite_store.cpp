#include "umserver/store/sqlite/sqlite_store.h"

#include <botan/argon2.h>
#include <botan/system_rng.h>
#include <spdlog/spdlog.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <unordered_map>

#include "support/log_text.h"
#include "umserver/store/schema.h"

namespace tovra::umserver::store {

namespace {

struct DatabaseCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinaliser {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using DatabaseHandle = std::unique_ptr<sqlite3, DatabaseCloser>;
using StatementHandle = std::unique_ptr<sqlite3_stmt, StatementFinaliser>;

// A hash to check unknown names against, so that a missing account costs as much time as
// a wrong password and the answer's delay does not tell which it was.
const std::string& DummyHash(std::size_t memory_kib, std::size_t iterations) {
  static const std::string hash = HashPassword("no such account", memory_kib, iterations);
  return hash;
}

class SqliteSession final : public Session {
 public:
  SqliteSession(std::string user, DatabaseHandle db, const SqliteStore::Options& options)
      : Session(std::move(user)),
        db_(std::move(db)),
        memory_kib_(options.argon2_memory_kib),
        iterations_(options.argon2_iterations) {}

  ~SqliteSession() override {
    // An unfinished transaction never outlives its session.
    Rollback();
    cache_.clear();
  }

  Dialect dialect() const override { return Dialect::kSQLite; }

  std::vector<Row> Query(std::string_view sql, std::span<const Value> params = {}) override {
    sqlite3_stmt* statement = Prepare(sql, params);
    std::vector<Row> rows;
    const int columns = sqlite3_column_count(statement);
    for (;;) {
      const int status = sqlite3_step(statement);
      if (status == SQLITE_DONE) {
        break;
      }
      if (status != SQLITE_ROW) {
        Fail(statement);
      }
      Row row;
      row.reserve(static_cast<std::size_t>(columns));
      for (int i = 0; i < columns; ++i) {
        switch (sqlite3_column_type(statement, i)) {
          case SQLITE_NULL:
            row.emplace_back(std::monostate{});
            break;
          case SQLITE_INTEGER:
            row.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(statement, i)));
            break;
          default: {
            const auto* text = sqlite3_column_text(statement, i);
            const int bytes = sqlite3_column_bytes(statement, i);
            row.emplace_back(
                std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(bytes)));
          }
        }
      }
      rows.push_back(std::move(row));
    }
    sqlite3_reset(statement);
    return rows;
  }

  std::int64_t Execute(std::string_view sql, std::span<const Value> params = {}) override {
    sqlite3_stmt* statement = Prepare(sql, params);
    int status;
    while ((status = sqlite3_step(statement)) == SQLITE_ROW) {
    }
    if (status != SQLITE_DONE) {
      Fail(statement);
    }
    sqlite3_reset(statement);
    return sqlite3_changes64(db_.get());
  }

  std::string CreateRDBMSUser(std::string_view user, std::string_view password) override {
    if (auto reason = CheckAccountName(user); !reason.empty()) {
      return reason;
    }
    if (password.empty()) {
      return "The password is empty.";
    }
    try {
      const Value name[] = {std::string(user)};
      if (!Query("SELECT 1 FROM TOVRA_ACCOUNT WHERE NAME = ?", name).empty()) {
        return "The account " + std::string(user) + " exists already.";
      }
      const Value values[] = {std::string(user), HashPassword(password, memory_kib_, iterations_)};
      Guarded([&] {
        Execute("INSERT INTO TOVRA_ACCOUNT (NAME, PASSWORD_HASH) VALUES (?, ?)", values);
      });
      spdlog::info("account \"{}\" created", support::LogSafe(user));
      return {};
    } catch (const StoreError& error) {
      return error.what();
    }
  }

  std::string ChangePassword(std::string_view user, std::string_view old_password,
                             std::string_view new_password) override {
    if (new_password.empty()) {
      return "The new password is empty.";
    }
    try {
      const Value name[] = {std::string(user)};
      const auto rows = Query("SELECT PASSWORD_HASH FROM TOVRA_ACCOUNT WHERE NAME = ?", name);
      if (rows.empty()) {
        return "There is no account " + std::string(user) + ".";
      }
      if (!old_password.empty() &&
          !CheckPassword(old_password, std::get<std::string>(rows[0][0]))) {
        return "The old password is not right.";
      }
      const Value values[] = {HashPassword(new_password, memory_kib_, iterations_),
                              std::string(user)};
      Guarded(
          [&] { Execute("UPDATE TOVRA_ACCOUNT SET PASSWORD_HASH = ? WHERE NAME = ?", values); });
      spdlog::info("password of account \"{}\" changed", support::LogSafe(user));
      return {};
    } catch (const StoreError& error) {
      return error.what();
    }
  }

  std::vector<Row> LoginAccounts() override {
    return Query("SELECT NAME, ID FROM TOVRA_ACCOUNT ORDER BY ID");
  }

 protected:
  // Takes the write lock at once: a transaction that starts by reading and later writes
  // could otherwise fail on a snapshot another session has moved past.
  std::string_view BeginStatement() const override { return "BEGIN IMMEDIATE"; }

  // SQLite's own message names no row; the check below finds the first few links that
  // point nowhere, as PostgreSQL's message would.
  std::string DescribeCommitFailure() override {
    if ((sqlite3_extended_errcode(db_.get()) & 0xff) != SQLITE_CONSTRAINT) {
      return {};
    }
    std::string detail;
    int shown = 0;
    for (const auto& row : Query("PRAGMA foreign_key_check")) {
      if (row.size() < 3 || shown == 3) {
        break;
      }
      const auto* table = std::get_if<std::string>(&row[0]);
      const auto* id = std::get_if<std::int64_t>(&row[1]);
      const auto* parent = std::get_if<std::string>(&row[2]);
      if (table == nullptr || id == nullptr || parent == nullptr) {
        continue;
      }
      detail += (shown++ == 0 ? "" : "; ") + std::string("row ID ") + std::to_string(*id) + " of " +
                *table + " points to a missing row of " + *parent;
    }
    return detail;
  }

 private:
  [[noreturn]] void Fail(sqlite3_stmt* statement) {
    std::string reason = sqlite3_errmsg(db_.get());
    if (statement != nullptr) {
      sqlite3_reset(statement);
    }
    throw StoreError(reason);
  }

  sqlite3_stmt* Prepare(std::string_view sql, std::span<const Value> params) {
    std::string key(sql);
    auto found = cache_.find(key);
    if (found == cache_.end()) {
      sqlite3_stmt* raw = nullptr;
      if (sqlite3_prepare_v2(db_.get(), key.c_str(), static_cast<int>(key.size()), &raw, nullptr) !=
          SQLITE_OK) {
        Fail(nullptr);
      }
      found = cache_.emplace(std::move(key), StatementHandle(raw)).first;
    }
    sqlite3_stmt* statement = found->second.get();
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    if (static_cast<std::size_t>(sqlite3_bind_parameter_count(statement)) != params.size()) {
      throw StoreError("Statement expects " +
                       std::to_string(sqlite3_bind_parameter_count(statement)) +
                       " parameters, got " + std::to_string(params.size()) + ".");
    }
    for (std::size_t i = 0; i < params.size(); ++i) {
      const int index = static_cast<int>(i) + 1;
      int status = SQLITE_OK;
      if (const auto* number = std::get_if<std::int64_t>(&params[i])) {
        status = sqlite3_bind_int64(statement, index, *number);
      } else if (const auto* text = std::get_if<std::string>(&params[i])) {
        status = sqlite3_bind_text64(statement, index, text->data(), text->size(), SQLITE_TRANSIENT,
                                     SQLITE_UTF8);
      } else {
        status = sqlite3_bind_null(statement, index);
      }
      if (status != SQLITE_OK) {
        Fail(statement);
      }
    }
    return statement;
  }

  DatabaseHandle db_;
  std::size_t memory_kib_;
  std::size_t iterations_;
  std::unordered_map<std::string, StatementHandle> cache_;
};

constexpr const char* kAccountTables[] = {
    "CREATE TABLE IF NOT EXISTS TOVRA_ACCOUNT ("
    " ID INTEGER PRIMARY KEY,"
    " NAME TEXT NOT NULL UNIQUE,"
    " PASSWORD_HASH TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS TOVRA_ACCOUNT_ROLE ("
    " ACCOUNT_ID INTEGER NOT NULL REFERENCES TOVRA_ACCOUNT (ID) ON DELETE CASCADE,"
    " ROLE_NAME TEXT NOT NULL,"
    " PRIMARY KEY (ACCOUNT_ID, ROLE_NAME))",
};

}  // namespace

std::string HashPassword(std::string_view password, std::size_t memory_kib,
                         std::size_t iterations) {
  return Botan::argon2_generate_pwhash(password.data(), password.size(), Botan::system_rng(),
                                       /*p=*/1, memory_kib, iterations);
}

bool CheckPassword(std::string_view password, const std::string& hash) {
  try {
    return Botan::argon2_check_pwhash(password.data(), password.size(), hash);
  } catch (const std::exception&) {
    return false;
  }
}

SqliteStore::SqliteStore(Options options) : Store(options.throttle), options_(std::move(options)) {}

SqliteStore::~SqliteStore() = default;

std::unique_ptr<Session> SqliteStore::OpenSession(std::string user) {
  sqlite3* raw = nullptr;
  const int status =
      sqlite3_open_v2(options_.path.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  DatabaseHandle db(raw);
  if (status != SQLITE_OK) {
    throw StoreError("Cannot open the store file " + options_.path + ": " +
                     (raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(status)));
  }
  sqlite3_busy_timeout(db.get(), static_cast<int>(options_.busy_timeout.count()));
  sqlite3_extended_result_codes(db.get(), 1);
  auto session = std::make_unique<SqliteSession>(std::move(user), std::move(db), options_);
  session->Query("PRAGMA journal_mode = WAL");
  // In WAL mode NORMAL loses nothing when the process dies; only a power cut can cost
  // the last commits.
  session->Execute("PRAGMA synchronous = NORMAL");
  session->Execute("PRAGMA foreign_keys = ON");
  return session;
}

std::unique_ptr<Session> SqliteStore::OpenMaintenanceSession() {
  return OpenSession({});
}

std::string SqliteStore::DBType() {
  return std::string("SQLite ") + sqlite3_libversion();
}

std::string SqliteStore::DBServer() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) {
    return "localhost";
  }
  return name;
}

std::string SqliteStore::DBName() {
  return std::filesystem::path(options_.path).filename().string();
}

bool SqliteStore::HasSchema() {
  auto session = OpenMaintenanceSession();
  return SchemaVersion(*session) > 0;
}

void SqliteStore::Initialise(std::string_view admin_user, std::string_view admin_password) {
  if (auto reason = CheckAccountName(admin_user); !reason.empty()) {
    throw StoreError(reason);
  }
  if (admin_password.empty()) {
    throw StoreError("The administrator's password is empty.");
  }
  auto session = OpenMaintenanceSession();
  EnsureSchema(*session);
  session->Begin();
  try {
    for (const char* statement : kAccountTables) {
      session->Execute(statement);
    }
    const Value account[] = {
        std::string(admin_user),
        HashPassword(admin_password, options_.argon2_memory_kib, options_.argon2_iterations)};
    session->Execute(
        "INSERT INTO TOVRA_ACCOUNT (NAME, PASSWORD_HASH) VALUES (?, ?)"
        " ON CONFLICT (NAME) DO UPDATE SET PASSWORD_HASH = excluded.PASSWORD_HASH",
        account);
    const Value grant[] = {std::string(kAdministratorsRole), std::string(admin_user)};
    session->Execute(
        "INSERT OR IGNORE INTO TOVRA_ACCOUNT_ROLE (ACCOUNT_ID, ROLE_NAME)"
        " SELECT ID, ? FROM TOVRA_ACCOUNT WHERE NAME = ?",
        grant);
    session->Commit();
  } catch (...) {
    session->Rollback();
    throw;
  }
  spdlog::info("store {} initialised; administrator \"{}\"", DBName(), admin_user);
}

std::unique_ptr<Session> SqliteStore::Authenticate(std::string_view user, std::string_view password,
                                                   std::string_view role) {
  auto session = OpenSession(std::string(user));
  const Value name[] = {std::string(user)};
  const auto rows =
      session->Query("SELECT ID, PASSWORD_HASH FROM TOVRA_ACCOUNT WHERE NAME = ?", name);
  if (rows.empty()) {
    CheckPassword(password, DummyHash(options_.argon2_memory_kib, options_.argon2_iterations));
    return nullptr;
  }
  if (!CheckPassword(password, std::get<std::string>(rows[0][1]))) {
    return nullptr;
  }
  const Value membership[] = {rows[0][0], std::string(role)};
  if (session
          ->Query("SELECT 1 FROM TOVRA_ACCOUNT_ROLE WHERE ACCOUNT_ID = ? AND ROLE_NAME = ?",
                  membership)
          .empty()) {
    return nullptr;
  }
  return session;
}

}  // namespace tovra::umserver::store
