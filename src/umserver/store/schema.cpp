#include "umserver/store/schema.h"

#include <string>
#include <vector>

namespace tovra::umserver::store {

namespace {

// Version 1: the directory. Links that the client sends before the rows they point to
// (memberships before users, all links before roles) are checked at commit; owned
// documents hold their owner at once, so removing a user who owns records fails there and
// then with the database's reason.
std::vector<std::string> VersionOneStatements() {
  return {
      "CREATE TABLE IF NOT EXISTS QVB ("
      " ID INTEGER NOT NULL PRIMARY KEY,"
      " NAME VARCHAR(120) NOT NULL,"
      " COMMENT_ VARCHAR(255),"
      " FILTER_SQL VARCHAR(2000))",

      "CREATE TABLE IF NOT EXISTS ROLE ("
      " ID INTEGER NOT NULL PRIMARY KEY,"
      " BEZ VARCHAR(40) NOT NULL,"
      " COMMENT_ VARCHAR(255))",

      "CREATE TABLE IF NOT EXISTS PRIVILEG ("
      " ID INTEGER NOT NULL PRIMARY KEY,"
      " BEZ VARCHAR(40) NOT NULL,"
      " READ INTEGER NOT NULL,"
      " WRITE INTEGER NOT NULL,"
      " STRUC INTEGER NOT NULL)",

      "CREATE TABLE IF NOT EXISTS USERS ("
      " ID INTEGER NOT NULL PRIMARY KEY,"
      " USERNAME VARCHAR(40) NOT NULL,"
      " NAME VARCHAR(40),"
      " COMMENT_ VARCHAR(255),"
      " Flags INTEGER NOT NULL DEFAULT 0)",

      "CREATE TABLE IF NOT EXISTS ROLES ("
      " ID INTEGER NOT NULL PRIMARY KEY,"
      " ORIG_ID INTEGER NOT NULL REFERENCES USERS (ID) ON DELETE CASCADE"
      "   DEFERRABLE INITIALLY DEFERRED,"
      " ROLE_ID INTEGER NOT NULL REFERENCES ROLE (ID) DEFERRABLE INITIALLY DEFERRED)",

      "CREATE TABLE IF NOT EXISTS PRIVILEGS ("
      " ID INTEGER NOT NULL PRIMARY KEY,"
      " ROLE_ID INTEGER NOT NULL REFERENCES ROLE (ID) ON DELETE CASCADE"
      "   DEFERRABLE INITIALLY DEFERRED,"
      " PRIVILEG_ID INTEGER NOT NULL REFERENCES PRIVILEG (ID) DEFERRABLE INITIALLY DEFERRED)",

      "CREATE TABLE IF NOT EXISTS RIGHTS ("
      " ID INTEGER NOT NULL PRIMARY KEY,"
      " QVB_ID INTEGER NOT NULL REFERENCES QVB (ID) ON DELETE CASCADE"
      "   DEFERRABLE INITIALLY DEFERRED,"
      " ROLE_ID INTEGER NOT NULL REFERENCES ROLE (ID) DEFERRABLE INITIALLY DEFERRED)",

      "CREATE TABLE IF NOT EXISTS DOCUMENTS ("
      " ID INTEGER NOT NULL PRIMARY KEY,"
      " TITLE VARCHAR(120) NOT NULL,"
      " OWNER_ID INTEGER NOT NULL REFERENCES USERS (ID) ON DELETE RESTRICT,"
      " CREATED VARCHAR(30))",

      // The joins of the effective-rights query and the cascades walk these.
      "CREATE INDEX IF NOT EXISTS ROLES_ORIG_ID ON ROLES (ORIG_ID)",
      "CREATE INDEX IF NOT EXISTS ROLES_ROLE_ID ON ROLES (ROLE_ID)",
      "CREATE INDEX IF NOT EXISTS PRIVILEGS_ROLE_ID ON PRIVILEGS (ROLE_ID)",
      "CREATE INDEX IF NOT EXISTS RIGHTS_QVB_ID ON RIGHTS (QVB_ID)",
      "CREATE INDEX IF NOT EXISTS RIGHTS_ROLE_ID ON RIGHTS (ROLE_ID)",
      "CREATE INDEX IF NOT EXISTS DOCUMENTS_OWNER_ID ON DOCUMENTS (OWNER_ID)",
  };
}

struct PrivilegeLevel {
  int id;
  const char* name;
  int read;
  int write;
  int structure;
};

constexpr PrivilegeLevel kPrivilegeLevels[] = {
    {1, "Deny", 0, 0, 0},
    {2, "ReadOnly", 1, 0, 0},
    {3, "ReadWrite", 1, 1, 0},
    {4, "ReadWriteStructure", 1, 1, 1},
};

bool HasVersionTable(Session& session) {
  const auto rows =
      session.dialect() == Dialect::kSQLite
          ? session.Query(
                "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'TOVRA_SCHEMA'")
          : session.Query(
                "SELECT 1 FROM pg_tables WHERE schemaname = current_schema()"
                " AND tablename = 'tovra_schema'");
  return !rows.empty();
}

}  // namespace

int SchemaVersion(Session& session) {
  if (!HasVersionTable(session)) {
    return 0;
  }
  const auto rows = session.Query("SELECT MAX(VERSION) FROM TOVRA_SCHEMA");
  if (rows.empty() || rows[0].empty() || IsNull(rows[0][0])) {
    return 0;
  }
  return static_cast<int>(std::get<std::int64_t>(rows[0][0]));
}

int EnsureSchema(Session& session) {
  session.Begin();
  try {
    if (session.dialect() == Dialect::kPostgreSQL) {
      // Two servers initialising the same database at once take turns here.
      session.Query("SELECT pg_advisory_xact_lock(7461726)");
    }
    session.Execute("CREATE TABLE IF NOT EXISTS TOVRA_SCHEMA (VERSION INTEGER NOT NULL)");
    const int found = SchemaVersion(session);
    if (found > kSchemaVersion) {
      throw StoreError("The store was made by a newer version of this server (schema " +
                       std::to_string(found) + "); this server knows up to " +
                       std::to_string(kSchemaVersion) + ".");
    }
    if (found < 1) {
      for (const auto& statement : VersionOneStatements()) {
        session.Execute(statement);
      }
      for (const auto& level : kPrivilegeLevels) {
        const Value values[] = {std::int64_t{level.id}, std::string(level.name),
                                std::int64_t{level.read}, std::int64_t{level.write},
                                std::int64_t{level.structure}};
        session.Execute(
            "INSERT INTO PRIVILEG (ID, BEZ, READ, WRITE, STRUC) VALUES (?, ?, ?, ?, ?)"
            " ON CONFLICT (ID) DO NOTHING",
            values);
      }
      const Value version[] = {std::int64_t{1}};
      session.Execute("INSERT INTO TOVRA_SCHEMA (VERSION) VALUES (?)", version);
    }
    session.Commit();
    return found;
  } catch (...) {
    session.Rollback();
    throw;
  }
}

}  // namespace tovra::umserver::store
