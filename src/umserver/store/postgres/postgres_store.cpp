#include "umserver/store/postgres/postgres_store.h"

#include <libpq-fe.h>
#include <spdlog/spdlog.h>

#include <cstdlib>

#include "support/log_text.h"
#include "umserver/store/schema.h"

namespace tovra::umserver::store {

namespace {

struct ConnectionCloser {
  void operator()(PGconn* conn) const { PQfinish(conn); }
};
struct ResultClearer {
  void operator()(PGresult* result) const { PQclear(result); }
};
struct LibpqFree {
  void operator()(char* text) const { PQfreemem(text); }
};
using ConnectionHandle = std::unique_ptr<PGconn, ConnectionCloser>;
using ResultHandle = std::unique_ptr<PGresult, ResultClearer>;
using LibpqText = std::unique_ptr<char, LibpqFree>;

constexpr Oid kInt8Oid = 20;
constexpr Oid kInt2Oid = 21;
constexpr Oid kInt4Oid = 23;
constexpr Oid kOidOid = 26;
constexpr Oid kBoolOid = 16;

// Notices (such as "there is no transaction in progress") go to the debug log, not stderr.
void NoticeToLog(void*, const char* message) {
  spdlog::debug("database: {}", message);
}

// Rewrites '?' placeholders as $1, $2, ... outside quoted texts and names.
std::string NumberPlaceholders(std::string_view sql) {
  std::string out;
  out.reserve(sql.size() + 16);
  int next = 1;
  char quote = 0;
  for (const char c : sql) {
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
      }
      out += c;
    } else if (c == '\'' || c == '"') {
      quote = c;
      out += c;
    } else if (c == '?') {
      out += '$';
      out += std::to_string(next++);
    } else {
      out += c;
    }
  }
  return out;
}

std::string ErrorText(const PGresult* result, PGconn* conn) {
  if (result != nullptr) {
    const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
    if (primary != nullptr) {
      std::string text = primary;
      if (const char* detail = PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL)) {
        text += " ";
        text += detail;
      }
      return text;
    }
  }
  std::string text = PQerrorMessage(conn);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text.empty() ? "The database server did not answer." : text;
}

ConnectionHandle Connect(const std::vector<std::pair<std::string, std::string>>& settings) {
  std::vector<const char*> keys;
  std::vector<const char*> values;
  for (const auto& [key, value] : settings) {
    keys.push_back(key.c_str());
    values.push_back(value.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  ConnectionHandle conn(PQconnectdbParams(keys.data(), values.data(), 0));
  if (!conn) {
    throw StoreError("Out of memory while connecting to the database server.");
  }
  PQsetNoticeProcessor(conn.get(), NoticeToLog, nullptr);
  return conn;
}

class PostgresSession final : public Session {
 public:
  PostgresSession(std::string user, ConnectionHandle conn,
                  std::vector<std::pair<std::string, std::string>> settings)
      : Session(std::move(user)), conn_(std::move(conn)), settings_(std::move(settings)) {}

  ~PostgresSession() override { Rollback(); }

  Dialect dialect() const override { return Dialect::kPostgreSQL; }

  std::vector<Row> Query(std::string_view sql, std::span<const Value> params = {}) override {
    ResultHandle result = Run(sql, params);
    const int rows = PQntuples(result.get());
    const int columns = PQnfields(result.get());
    std::vector<Row> out;
    out.reserve(static_cast<std::size_t>(rows));
    for (int r = 0; r < rows; ++r) {
      Row row;
      row.reserve(static_cast<std::size_t>(columns));
      for (int c = 0; c < columns; ++c) {
        if (PQgetisnull(result.get(), r, c)) {
          row.emplace_back(std::monostate{});
          continue;
        }
        const char* text = PQgetvalue(result.get(), r, c);
        switch (PQftype(result.get(), c)) {
          case kInt2Oid:
          case kInt4Oid:
          case kInt8Oid:
          case kOidOid:
            row.emplace_back(static_cast<std::int64_t>(std::strtoll(text, nullptr, 10)));
            break;
          case kBoolOid:
            row.emplace_back(std::int64_t{text[0] == 't' ? 1 : 0});
            break;
          default:
            row.emplace_back(
                std::string(text, static_cast<std::size_t>(PQgetlength(result.get(), r, c))));
        }
      }
      out.push_back(std::move(row));
    }
    return out;
  }

  std::int64_t Execute(std::string_view sql, std::span<const Value> params = {}) override {
    ResultHandle result = Run(sql, params);
    const char* count = PQcmdTuples(result.get());
    return count[0] == '\0' ? 0 : std::strtoll(count, nullptr, 10);
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
      if (!Query("SELECT 1 FROM pg_roles WHERE rolname = ?", name).empty()) {
        return "The account " + std::string(user) + " exists already.";
      }
      const std::string sql = "CREATE ROLE " + Identifier(user) + " LOGIN PASSWORD " +
                              Literal(Verifier(user, password));
      Guarded([&] { Execute(sql, {}); });
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
      if (Query("SELECT 1 FROM pg_roles WHERE rolname = ? AND rolcanlogin", name).empty()) {
        return "There is no account " + std::string(user) + ".";
      }
      if (!old_password.empty() && !CanConnectAs(user, old_password)) {
        return "The old password is not right.";
      }
      const std::string sql =
          "ALTER ROLE " + Identifier(user) + " PASSWORD " + Literal(Verifier(user, new_password));
      Guarded([&] { Execute(sql, {}); });
      spdlog::info("password of account \"{}\" changed", support::LogSafe(user));
      return {};
    } catch (const StoreError& error) {
      return error.what();
    }
  }

  std::vector<Row> LoginAccounts() override {
    return Query("SELECT rolname, oid::int8 FROM pg_roles WHERE rolcanlogin ORDER BY oid");
  }

 protected:
  // PostgreSQL answers COMMIT of a transaction that an earlier error spoiled with a quiet
  // ROLLBACK; that must reach the caller as the failure it is.
  void ExecuteCommit() override {
    ResultHandle result = Run("COMMIT", {});
    if (std::string_view(PQcmdStatus(result.get())) != "COMMIT") {
      throw StoreError(
          "The transaction was rolled back: an earlier statement in it failed. Nothing was "
          "saved.");
    }
  }

 public:
  std::string Identifier(std::string_view name) {
    LibpqText quoted(PQescapeIdentifier(conn_.get(), name.data(), name.size()));
    if (!quoted) {
      throw StoreError(ErrorText(nullptr, conn_.get()));
    }
    return quoted.get();
  }

  std::string Literal(std::string_view text) {
    LibpqText quoted(PQescapeLiteral(conn_.get(), text.data(), text.size()));
    if (!quoted) {
      throw StoreError(ErrorText(nullptr, conn_.get()));
    }
    return quoted.get();
  }

  // The password as the server stores it (a SCRAM verifier), so the clear text never
  // travels in a statement the server might log.
  std::string Verifier(std::string_view user, std::string_view password) {
    const std::string user_text(user);
    const std::string password_text(password);
    LibpqText verifier(
        PQencryptPasswordConn(conn_.get(), password_text.c_str(), user_text.c_str(), nullptr));
    if (!verifier) {
      throw StoreError(ErrorText(nullptr, conn_.get()));
    }
    return verifier.get();
  }

 private:
  // Parameters as libpq takes them: text, with whole numbers typed as int8 and everything
  // else left for the server to type from its use.
  struct Bound {
    std::string sql;
    std::vector<std::string> storage;
    std::vector<const char*> values;
    std::vector<Oid> types;
  };

  static Bound Bind(std::string_view sql, std::span<const Value> params) {
    Bound bound;
    bound.sql = params.empty() ? std::string(sql) : NumberPlaceholders(sql);
    bound.storage.resize(params.size());
    bound.values.assign(params.size(), nullptr);
    bound.types.assign(params.size(), 0);
    for (std::size_t i = 0; i < params.size(); ++i) {
      if (const auto* number = std::get_if<std::int64_t>(&params[i])) {
        bound.storage[i] = std::to_string(*number);
        bound.values[i] = bound.storage[i].c_str();
        bound.types[i] = kInt8Oid;
      } else if (const auto* string = std::get_if<std::string>(&params[i])) {
        if (string->find('\0') != std::string::npos) {
          throw StoreError("A text value holds a NUL character, which the database cannot store.");
        }
        bound.values[i] = string->c_str();
      }
    }
    return bound;
  }

  [[noreturn]] void Fail(const PGresult* result) {
    if (PQstatus(conn_.get()) != CONNECTION_OK) {
      throw ConnectionLostError("The connection to the database server was lost: " +
                                ErrorText(result, conn_.get()));
    }
    throw StoreError(ErrorText(result, conn_.get()));
  }

  ResultHandle Run(std::string_view sql, std::span<const Value> params) {
    Bound bound = Bind(sql, params);
    const std::string& text = bound.sql;
    auto& types = bound.types;
    auto& values = bound.values;
    ResultHandle result(PQexecParams(conn_.get(), text.c_str(), static_cast<int>(params.size()),
                                     types.data(), values.data(), nullptr, nullptr, 0));
    const auto status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      Fail(result.get());
    }
    return result;
  }

 public:
  // One round trip instead of three: savepoint, statement and release go out together in
  // a pipeline. When the statement fails the server skips the release, and a second
  // round trip rolls back to the savepoint.
  std::int64_t ExecuteIsolated(std::string_view sql, std::span<const Value> params,
                               std::string_view savepoint) override {
    Bound bound = Bind(sql, params);
    const std::string set = "SAVEPOINT " + std::string(savepoint);
    const std::string release = "RELEASE SAVEPOINT " + std::string(savepoint);
    PGconn* conn = conn_.get();
    if (PQenterPipelineMode(conn) != 1) {
      return Session::ExecuteIsolated(sql, params, savepoint);
    }
    const bool sent =
        PQsendQueryParams(conn, set.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) == 1 &&
        PQsendQueryParams(conn, bound.sql.c_str(), static_cast<int>(params.size()),
                          bound.types.data(), bound.values.data(), nullptr, nullptr, 0) == 1 &&
        PQsendQueryParams(conn, release.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) == 1 &&
        PQpipelineSync(conn) == 1;
    // Collect every result up to the sync point, whatever happened, so the connection
    // leaves pipeline mode clean.
    ResultHandle failure;
    std::int64_t changed = 0;
    bool statement_failed = false;
    for (int query = 0; query < 3 && sent; ++query) {
      while (PGresult* raw = PQgetResult(conn)) {
        ResultHandle result(raw);
        const auto status = PQresultStatus(raw);
        if (status == PGRES_FATAL_ERROR) {
          statement_failed = statement_failed || query == 1;
          if (!failure) {
            failure = std::move(result);
          }
        } else if (query == 1 && status == PGRES_COMMAND_OK) {
          const char* count = PQcmdTuples(raw);
          changed = count[0] == '\0' ? 0 : std::strtoll(count, nullptr, 10);
        }
      }
    }
    bool synced = false;
    if (sent) {
      while (PGresult* raw = PQgetResult(conn)) {
        ResultHandle result(raw);
        if (PQresultStatus(raw) == PGRES_PIPELINE_SYNC) {
          synced = true;
          break;
        }
      }
    }
    if (PQexitPipelineMode(conn) != 1) {
      // Results the loop above did not expect are still pending; the connection cannot be
      // trusted with another statement.
      throw ConnectionLostError("The database connection was left in an unusable state: " +
                                ErrorText(failure.get(), conn));
    }
    if (!sent || !synced) {
      Fail(failure.get());
    }
    if (PQstatus(conn) != CONNECTION_OK) {
      Fail(failure.get());
    }
    if (failure) {
      std::string reason = ErrorText(failure.get(), conn);
      if (statement_failed) {
        ResultHandle undo(PQexec(
            conn, ("ROLLBACK TO SAVEPOINT " + std::string(savepoint) + "; " + release).c_str()));
        if (!undo || PQresultStatus(undo.get()) != PGRES_COMMAND_OK) {
          Fail(undo.get());
        }
      }
      throw StoreError(reason);
    }
    return changed;
  }

 private:
  bool CanConnectAs(std::string_view user, std::string_view password) {
    auto settings = settings_;
    settings.emplace_back("user", std::string(user));
    settings.emplace_back("password", std::string(password));
    auto conn = Connect(settings);
    return PQstatus(conn.get()) == CONNECTION_OK;
  }

  ConnectionHandle conn_;
  std::vector<std::pair<std::string, std::string>> settings_;
};

}  // namespace

PostgresStore::PostgresStore(std::string conninfo, LoginThrottle::Options throttle,
                             std::chrono::milliseconds lock_timeout)
    : Store(std::move(throttle)), conninfo_(std::move(conninfo)), lock_timeout_(lock_timeout) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo_.c_str(), &error);
  if (options == nullptr) {
    std::string reason = error != nullptr ? error : "cannot be read";
    PQfreemem(error);
    throw StoreError("The database connection string is not valid: " + reason);
  }
  bool has_timeout = false;
  for (PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
    if (option->val == nullptr) {
      continue;
    }
    const std::string key = option->keyword;
    if (key == "user" || key == "password" || key == "passfile") {
      continue;
    }
    has_timeout = has_timeout || key == "connect_timeout";
    settings_.emplace_back(key, option->val);
  }
  PQconninfoFree(options);
  if (!has_timeout) {
    settings_.emplace_back("connect_timeout", "10");
  }
  // Administrators give their password themselves; a password file of the server's own
  // account must never stand in for it.
  settings_.emplace_back("passfile", "/dev/null");
  settings_.emplace_back("application_name", "tovra-umserver");
}

PostgresStore::~PostgresStore() = default;

std::unique_ptr<Session> PostgresStore::OpenMaintenanceSession() {
  ConnectionHandle conn(PQconnectdb(conninfo_.c_str()));
  if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
    throw StoreError("Cannot connect to the database server: " +
                     (conn ? ErrorText(nullptr, conn.get()) : std::string("out of memory")));
  }
  PQsetNoticeProcessor(conn.get(), NoticeToLog, nullptr);
  const std::string user = PQuser(conn.get());
  return std::make_unique<PostgresSession>(user, std::move(conn), settings_);
}

const PostgresStore::ServerFacts& PostgresStore::Facts() {
  std::lock_guard lock(facts_mutex_);
  if (!facts_) {
    ConnectionHandle conn(PQconnectdb(conninfo_.c_str()));
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
      throw StoreError("Cannot connect to the database server: " +
                       (conn ? ErrorText(nullptr, conn.get()) : std::string("out of memory")));
    }
    ServerFacts facts;
    const char* version = PQparameterStatus(conn.get(), "server_version");
    facts.version = version != nullptr ? version : "";
    // "15.4 (Debian 15.4-1)" shows as "15.4".
    facts.version = facts.version.substr(0, facts.version.find(' '));
    facts.host = PQhost(conn.get());
    facts.port = PQport(conn.get());
    facts.database = PQdb(conn.get());
    facts_ = std::move(facts);
  }
  return *facts_;
}

std::string PostgresStore::DBType() {
  return "PostgreSQL " + Facts().version;
}

std::string PostgresStore::DBServer() {
  const auto& facts = Facts();
  // A Unix socket directory is no host name a person can use; show where it is anyway.
  return facts.host + ":" + facts.port;
}

std::string PostgresStore::DBName() {
  return Facts().database;
}

bool PostgresStore::HasSchema() {
  auto session = OpenMaintenanceSession();
  return SchemaVersion(*session) > 0;
}

void PostgresStore::Initialise(std::string_view admin_user, std::string_view admin_password) {
  if (auto reason = CheckAccountName(admin_user); !reason.empty()) {
    throw StoreError(reason);
  }
  if (admin_password.empty()) {
    throw StoreError("The administrator's password is empty.");
  }
  auto maintenance = OpenMaintenanceSession();
  auto& session = static_cast<PostgresSession&>(*maintenance);
  EnsureSchema(session);

  // Roles belong to the whole cluster, so another database's server may create the
  // administrators' role at the same moment; losing that race is fine.
  const Value role_name[] = {std::string(kAdministratorsRole)};
  const auto has_role = [&] {
    return !session.Query("SELECT 1 FROM pg_roles WHERE rolname = ?", role_name).empty();
  };
  if (!has_role()) {
    try {
      session.Execute("CREATE ROLE " + session.Identifier(kAdministratorsRole) + " NOLOGIN");
    } catch (const StoreError&) {
      if (!has_role()) {
        throw;
      }
    }
  }
  const std::string role = session.Identifier(kAdministratorsRole);
  session.Begin();
  try {
    for (const char* table : kDirectoryTables) {
      const std::string rights =
          std::string_view(table) == "PRIVILEG" ? "SELECT" : "SELECT, INSERT, UPDATE, DELETE";
      session.Execute("GRANT " + rights + " ON " + table + " TO " + role);
    }
    session.Execute("GRANT SELECT ON TOVRA_SCHEMA TO " + role);
    const auto database = session.Query("SELECT current_database()");
    session.Execute("GRANT CONNECT ON DATABASE " +
                    session.Identifier(std::get<std::string>(database.at(0).at(0))) + " TO " +
                    role);

    const std::string admin = session.Identifier(admin_user);
    const std::string password = session.Literal(session.Verifier(admin_user, admin_password));
    const Value admin_name[] = {std::string(admin_user)};
    if (session.Query("SELECT 1 FROM pg_roles WHERE rolname = ?", admin_name).empty()) {
      session.Execute("CREATE ROLE " + admin + " LOGIN CREATEROLE PASSWORD " + password);
    } else {
      session.Execute("ALTER ROLE " + admin + " LOGIN CREATEROLE PASSWORD " + password);
    }
    session.Execute("GRANT " + role + " TO " + admin);
    session.Commit();
  } catch (...) {
    session.Rollback();
    throw;
  }
  spdlog::info("database {} initialised; administrator \"{}\"", DBName(), admin_user);
}

std::unique_ptr<Session> PostgresStore::Authenticate(std::string_view user,
                                                     std::string_view password,
                                                     std::string_view role) {
  // An empty password would let libpq look for one elsewhere (environment, service
  // files); a login always brings its own.
  if (user.empty() || password.empty() || user.find('\0') != std::string_view::npos ||
      password.find('\0') != std::string_view::npos) {
    return nullptr;
  }
  auto settings = settings_;
  settings.emplace_back("user", std::string(user));
  settings.emplace_back("password", std::string(password));
  auto conn = Connect(settings);
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    throw StoreError(ErrorText(nullptr, conn.get()));
  }
  auto session = std::make_unique<PostgresSession>(std::string(user), std::move(conn), settings_);
  session->Execute("SET lock_timeout = " + std::to_string(lock_timeout_.count()));
  const Value role_name[] = {std::string(role)};
  if (session
          ->Query("SELECT 1 FROM pg_roles r WHERE r.rolname = ?"
                  " AND pg_has_role(session_user, r.oid, 'MEMBER')",
                  role_name)
          .empty()) {
    return nullptr;
  }
  return session;
}

}  // namespace tovra::umserver::store
