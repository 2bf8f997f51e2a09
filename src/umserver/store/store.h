#pragma once

// The store: where the user manager keeps its directory, and who may work on it.
//
// A Store stands for one database (an SQLite file or a PostgreSQL database). Each logged-in
// administrator gets a Session of their own: one database connection that holds at most one
// open transaction, begun by the first change and ended by Commit or Rollback. A Session is
// used by one thread at a time; different Sessions may be used from different threads.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "contract/um_service.h"
#include "umserver/store/login_throttle.h"
#include "umserver/store/types.h"

namespace tovra::umserver::store {

// The database role every administrator of the user manager holds; the store creates it and
// grants it to the administrators.
using contract::kAdministratorsRole;

// The one answer to every failed login: it must not tell a guesser which part was wrong.
inline constexpr std::string_view kLoginFailedText =
    "Login failed: the user name, password or role is not valid.";

enum class Dialect { kSQLite, kPostgreSQL };

// The longest account name either back end accepts (PostgreSQL's identifier limit).
inline constexpr std::size_t kMaxAccountNameBytes = 63;

// Empty when `name` is acceptable as a database account name, else the reason. Accepted:
// 1 to 63 bytes of ASCII letters, digits, '_', '.', '-' and '@', starting with a letter or
// '_', and not in the "pg_" name space PostgreSQL keeps for itself. Names are still escaped
// wherever they reach SQL; this check keeps quotes, blanks and control characters out of
// account names altogether.
std::string CheckAccountName(std::string_view name);

using Row = std::vector<Value>;

class Session {
 public:
  virtual ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  virtual Dialect dialect() const = 0;
  // The account this session works as (empty for the store's own maintenance session).
  const std::string& user() const { return user_; }

  // Statements use '?' for parameters in both dialects. Integers come back as int64, NULL
  // as monostate, everything else as text. Failures throw StoreError with the database's
  // reason.
  virtual std::vector<Row> Query(std::string_view sql, std::span<const Value> params = {}) = 0;
  // Returns the number of rows the statement changed.
  virtual std::int64_t Execute(std::string_view sql, std::span<const Value> params = {}) = 0;

  // The session's one transaction. Begin does nothing when it is already open.
  void Begin();
  bool InTransaction() const { return in_transaction_; }
  // Commits; deferred checks run here. On failure everything is rolled back and the
  // database's reason is thrown.
  void Commit();
  // Rolls back an open transaction; does nothing without one. Never throws.
  void Rollback() noexcept;

  // Savepoints nest inside the open transaction.
  void Savepoint(std::string_view name);
  void ReleaseSavepoint(std::string_view name);
  void RollbackToSavepoint(std::string_view name);

  // Runs one statement inside the savepoint `savepoint`: when it fails it leaves no trace
  // and the open transaction stays usable. Returns the number of rows it changed.
  virtual std::int64_t ExecuteIsolated(std::string_view sql, std::span<const Value> params,
                                       std::string_view savepoint);

  // Creates the database server's login account `user`; empty on success, else what went
  // wrong (exists already, name not allowed, no right to do so). Inside an open
  // transaction the account belongs to it and lasts only if it commits.
  virtual std::string CreateRDBMSUser(std::string_view user, std::string_view password) = 0;
  // Changes an account's password. With an empty `old_password` this is an
  // administrator's reset; otherwise the old password must be right. Empty on success.
  virtual std::string ChangePassword(std::string_view user, std::string_view old_password,
                                     std::string_view new_password) = 0;

  // The database server's login accounts: (name, number) ordered by number.
  virtual std::vector<Row> LoginAccounts() = 0;

 protected:
  explicit Session(std::string user) : user_(std::move(user)) {}
  virtual std::string_view BeginStatement() const { return "BEGIN"; }
  // Runs COMMIT; throws StoreError when the database did not commit.
  virtual void ExecuteCommit() { Execute("COMMIT"); }
  // Called after a failed COMMIT, before the rollback: more about why, if the back end
  // can tell (empty otherwise).
  virtual std::string DescribeCommitFailure() { return {}; }

  // Runs `work` inside a savepoint when a transaction is open, so that a failure leaves
  // the transaction usable; without one the statement commits on its own.
  template <typename Work>
  void Guarded(Work&& work) {
    if (!in_transaction_) {
      work();
      return;
    }
    Savepoint("tovra_account");
    try {
      work();
    } catch (...) {
      RollbackToSavepoint("tovra_account");
      ReleaseSavepoint("tovra_account");
      throw;
    }
    ReleaseSavepoint("tovra_account");
  }

 private:
  std::string user_;
  bool in_transaction_ = false;
};

struct LoginOutcome {
  std::unique_ptr<Session> session;  // set on success
  std::string error;                 // kLoginFailedText on failure
};

class Store {
 public:
  explicit Store(LoginThrottle::Options throttle = {});
  virtual ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  virtual Dialect dialect() const = 0;

  // Opens a session for an account that authenticates and holds the database role `role`.
  // Every failure, whatever its cause, gives kLoginFailedText. While a user name is held
  // back after failures, attempts for it fail at once without being looked at.
  LoginOutcome Login(std::string_view user, std::string_view password, std::string_view role);
  // How long attempts for `user` are still held back; the service layer may wait this long
  // (without blocking) before it answers.
  std::chrono::milliseconds LoginRetryAfter(std::string_view user) const;

  // The kind of database server with its version, e.g. "SQLite 3.40.1".
  virtual std::string DBType() = 0;
  // Where it runs: host and port, or this machine's name for the embedded file.
  virtual std::string DBServer() = 0;
  // Which database: its name or the file's name.
  virtual std::string DBName() = 0;

  // Creates or upgrades the schema, the administrators' role and the account `admin_user`
  // holding it. Idempotent: an existing account gets the new password.
  virtual void Initialise(std::string_view admin_user, std::string_view admin_password) = 0;
  // True once the schema exists.
  virtual bool HasSchema() = 0;

  // A session as the store's own maintenance account (the bootstrap connection), for the
  // data generators. Not for clients.
  virtual std::unique_ptr<Session> OpenMaintenanceSession() = 0;

 protected:
  // Returns a session when the account authenticates and holds `role`, else nullptr.
  // May throw StoreError; Login turns that into the common failure text.
  virtual std::unique_ptr<Session> Authenticate(std::string_view user, std::string_view password,
                                                std::string_view role) = 0;

 private:
  LoginThrottle throttle_;
};

// Opens a store from its description: "sqlite:PATH" for the embedded file, anything else
// is taken as a PostgreSQL connection string (key=value pairs or a postgresql:// URI).
std::unique_ptr<Store> OpenStore(std::string_view description,
                                 LoginThrottle::Options throttle = {});

}  // namespace tovra::umserver::store
