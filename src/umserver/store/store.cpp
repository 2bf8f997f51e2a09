#include "umserver/store/store.h"

#include <spdlog/spdlog.h>

#include "support/log_text.h"
#include "umserver/store/postgres/postgres_store.h"
#include "umserver/store/sqlite/sqlite_store.h"

namespace tovra::umserver::store {

namespace {

bool IsAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::string CheckAccountName(std::string_view name) {
  if (name.empty()) {
    return "The account name is empty.";
  }
  if (name.size() > kMaxAccountNameBytes) {
    return "The account name is longer than 63 characters.";
  }
  if (!IsAsciiLetter(name.front()) && name.front() != '_') {
    return "The account name must begin with a letter or '_'.";
  }
  for (const char c : name) {
    if (!IsAsciiLetter(c) && !IsAsciiDigit(c) && c != '_' && c != '.' && c != '-' && c != '@') {
      return "The account name may hold only letters, digits and the characters _ . - @.";
    }
  }
  if (name.size() >= 3 && (name[0] == 'p' || name[0] == 'P') &&
      (name[1] == 'g' || name[1] == 'G') && name[2] == '_') {
    return "Account names beginning with \"pg_\" are reserved by the database server.";
  }
  return {};
}

Session::~Session() = default;

void Session::Begin() {
  if (in_transaction_) {
    return;
  }
  Execute(BeginStatement());
  in_transaction_ = true;
}

void Session::Commit() {
  if (!in_transaction_) {
    return;
  }
  try {
    ExecuteCommit();
    in_transaction_ = false;
  } catch (const StoreError& error) {
    // SQLite keeps the transaction open after a failed COMMIT; PostgreSQL has already
    // ended it. Either way nothing of it may survive.
    std::string reason = error.what();
    try {
      if (auto detail = DescribeCommitFailure(); !detail.empty()) {
        reason += ": " + detail;
      }
    } catch (const std::exception&) {
      // The plain reason will do.
    }
    Rollback();
    throw StoreError(reason);
  }
}

void Session::Rollback() noexcept {
  if (!in_transaction_) {
    return;
  }
  in_transaction_ = false;
  try {
    Execute("ROLLBACK");
  } catch (const std::exception& error) {
    spdlog::debug("rollback: {}", error.what());
  }
}

void Session::Savepoint(std::string_view name) {
  Execute("SAVEPOINT " + std::string(name));
}

void Session::ReleaseSavepoint(std::string_view name) {
  Execute("RELEASE SAVEPOINT " + std::string(name));
}

void Session::RollbackToSavepoint(std::string_view name) {
  Execute("ROLLBACK TO SAVEPOINT " + std::string(name));
}

std::int64_t Session::ExecuteIsolated(std::string_view sql, std::span<const Value> params,
                                      std::string_view savepoint) {
  Savepoint(savepoint);
  std::int64_t changed = 0;
  try {
    changed = Execute(sql, params);
  } catch (const StoreError&) {
    RollbackToSavepoint(savepoint);
    ReleaseSavepoint(savepoint);
    throw;
  }
  ReleaseSavepoint(savepoint);
  return changed;
}

Store::Store(LoginThrottle::Options throttle) : throttle_(std::move(throttle)) {}

Store::~Store() = default;

LoginOutcome Store::Login(std::string_view user, std::string_view password, std::string_view role) {
  LoginOutcome outcome;
  if (throttle_.RetryAfter(user).count() > 0) {
    spdlog::warn("login of \"{}\" refused: too many failed attempts, held back",
                 support::LogSafe(user));
    outcome.error = std::string(kLoginFailedText);
    return outcome;
  }
  try {
    outcome.session = Authenticate(user, password, role);
  } catch (const std::exception& error) {
    // The reason stays in the log; the caller learns only that it failed.
    spdlog::warn("login of \"{}\" failed: {}", support::LogSafe(user),
                 support::LogSafe(error.what(), 400));
  }
  if (outcome.session) {
    throttle_.RecordSuccess(user);
    spdlog::info("login of \"{}\" as {}", support::LogSafe(user), support::LogSafe(role));
  } else {
    throttle_.RecordFailure(user);
    spdlog::warn("login of \"{}\" as {} refused", support::LogSafe(user), support::LogSafe(role));
    outcome.error = std::string(kLoginFailedText);
  }
  return outcome;
}

std::chrono::milliseconds Store::LoginRetryAfter(std::string_view user) const {
  return throttle_.RetryAfter(user);
}

std::unique_ptr<Store> OpenStore(std::string_view description, LoginThrottle::Options throttle) {
  constexpr std::string_view kSqlitePrefix = "sqlite:";
  if (description.starts_with(kSqlitePrefix)) {
    SqliteStore::Options options;
    options.path = std::string(description.substr(kSqlitePrefix.size()));
    options.throttle = std::move(throttle);
    return std::make_unique<SqliteStore>(std::move(options));
  }
  return std::make_unique<PostgresStore>(std::string(description), std::move(throttle));
}

}  // namespace tovra::umserver::store
