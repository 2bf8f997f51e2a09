#include "umserver/providers/providers.h"

#include <spdlog/spdlog.h>

#include <charconv>
#include <climits>
#include <optional>

#include "contract/um_service.h"

namespace tovra::umserver::providers {

namespace provider = contract::provider;

using store::ChangeKind;
using store::ChangeRow;
using store::Column;
using store::Dialect;
using store::FieldType;
using store::FieldValue;
using store::ResultSet;
using store::StoreError;
using store::Value;

namespace {

enum class Source {
  kTable,          // SELECT of the table's own fields
  kQuery,          // a fixed query
  kLoginAccounts,  // the database server's accounts
};

struct Provider {
  Provider(std::string_view provider_name, std::string_view provider_table,
           std::vector<Column> provider_columns, Source provider_source = Source::kTable,
           std::string_view provider_query = {}, std::string_view provider_parameter = {})
      : name(provider_name),
        table(provider_table),
        columns(std::move(provider_columns)),
        source(provider_source),
        query(provider_query),
        parameter(provider_parameter) {}

  std::string_view name;
  std::string_view table;  // empty: read-only
  std::vector<Column> columns;
  Source source;
  std::string_view query;      // for kQuery
  std::string_view parameter;  // the one parameter a kQuery takes, if any
};

// A field that takes part in updates: written, compared when modified, ID keys the row.
Column Editable(std::string name, FieldType type, int size = 0, bool required = false) {
  Column column;
  column.name = std::move(name);
  column.type = type;
  column.size = size;
  column.required = required;
  column.in_update = true;
  column.in_where = true;
  column.in_key = column.name == "ID";
  return column;
}

// A field that is delivered only; it takes part in no update.
Column Shown(std::string name, FieldType type, int size = 0, bool required = false) {
  Column column;
  column.name = std::move(name);
  column.type = type;
  column.size = size;
  column.required = required;
  column.read_only = true;
  return column;
}

// A computed field: no flags at all.
Column Computed(std::string name, FieldType type, int size = 0) {
  Column column;
  column.name = std::move(name);
  column.type = type;
  column.size = size;
  return column;
}

constexpr auto kInt = FieldType::kInteger;
constexpr auto kText = FieldType::kString;

const std::vector<Provider>& Providers() {
  static const std::vector<Provider> providers = [] {
    std::vector<Provider> list;
    list.emplace_back(
        Provider{provider::kCatalogue,
                 "QVB",
                 {Editable("ID", kInt, 0, true), Editable("NAME", kText, 120, true),
                  Editable("COMMENT_", kText, 255), Editable("FILTER_SQL", kText, 2000)}});
    list.emplace_back(Provider{provider::kRole,
                               "ROLE",
                               {Editable("ID", kInt, 0, true), Editable("BEZ", kText, 40, true),
                                Editable("COMMENT_", kText, 255)}});
    list.push_back(
        {provider::kPrivileg,
         "",
         {Shown("ID", kInt, 0, true), Shown("BEZ", kText, 40, true), Shown("READ", kInt, 0, true),
          Shown("WRITE", kInt, 0, true), Shown("STRUC", kInt, 0, true)},
         Source::kQuery,
         "SELECT ID, BEZ, READ, WRITE, STRUC FROM PRIVILEG ORDER BY ID"});
    list.emplace_back(Provider{provider::kRoles,
                               "ROLES",
                               {Editable("ID", kInt, 0, true), Editable("ORIG_ID", kInt, 0, true),
                                Editable("ROLE_ID", kInt, 0, true)}});
    list.emplace_back(Provider{provider::kPrivilegs,
                               "PRIVILEGS",
                               {Editable("ID", kInt, 0, true), Editable("ROLE_ID", kInt, 0, true),
                                Editable("PRIVILEG_ID", kInt, 0, true)}});
    Column username = Editable("USERNAME", kText, 40, true);
    username.read_only = true;  // the client unlocks it for new rows; updates may set it
    list.emplace_back(
        Provider{provider::kUser,
                 "USERS",
                 {Editable("ID", kInt, 0, true), username, Editable("NAME", kText, 40),
                  Editable("COMMENT_", kText, 255), Editable("Flags", kInt, 0, true)}});
    list.emplace_back(Provider{provider::kRights,
                               "RIGHTS",
                               {Editable("ID", kInt, 0, true), Editable("QVB_ID", kInt, 0, true),
                                Editable("ROLE_ID", kInt, 0, true)}});
    // These four carry no flags at all: they are a computed view, never written.
    const Column rights_user = Computed("USERNAME", kText, 40);
    const Column rights_id = Computed("ID", kInt);
    const Column rights_name = Computed("NAME", kText, 120);
    const Column rights_level = Computed("MAX_OF_ID", kInt);
    list.emplace_back(Provider{provider::kUserRights,
                               "",
                               {rights_user, rights_id, rights_name, rights_level},
                               Source::kQuery,
                               "SELECT u.USERNAME, q.ID, q.NAME, MAX(p.PRIVILEG_ID) AS MAX_OF_ID"
                               " FROM USERS u"
                               " JOIN ROLES m ON m.ORIG_ID = u.ID"
                               " JOIN RIGHTS r ON r.ROLE_ID = m.ROLE_ID"
                               " JOIN QVB q ON q.ID = r.QVB_ID"
                               " JOIN PRIVILEGS p ON p.ROLE_ID = m.ROLE_ID"
                               " WHERE u.Flags = 0"
                               " GROUP BY u.ID, q.ID, u.USERNAME, q.NAME"
                               " ORDER BY u.ID, q.ID"});
    list.emplace_back(
        Provider{provider::kDBAUser,
                 "",
                 {Shown("USERNAME", kText, 63, true), Shown("USER_ID", kInt, 0, true)},
                 Source::kLoginAccounts});
    list.emplace_back(Provider{provider::kUser4Role,
                               "",
                               {Shown("USERNAME", kText, 40, true), Shown("NAME", kText, 40)},
                               Source::kQuery,
                               "SELECT u.USERNAME, u.NAME FROM USERS u"
                               " WHERE u.Flags = 0 AND EXISTS (SELECT 1 FROM ROLES m"
                               " WHERE m.ORIG_ID = u.ID AND m.ROLE_ID = ?)"
                               " ORDER BY u.ID",
                               provider::kRoleParameter});
    return list;
  }();
  return providers;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) {
      return false;
    }
  }
  return true;
}

const Provider& Find(std::string_view name) {
  for (const auto& provider : Providers()) {
    if (provider.name == name) {
      return provider;
    }
  }
  throw StoreError("There is no provider named \"" + std::string(name) + "\".");
}

std::string SelectOfTable(const Provider& provider) {
  std::string sql = "SELECT ";
  for (std::size_t i = 0; i < provider.columns.size(); ++i) {
    sql += (i == 0 ? "" : ", ") + provider.columns[i].name;
  }
  sql += " FROM " + std::string(provider.table) + " ORDER BY ID";
  return sql;
}

std::size_t Utf8Length(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) {
    count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }
  return count;
}

std::optional<std::int64_t> ParseInteger(std::string_view text) {
  std::int64_t number = 0;
  const auto* end = text.data() + text.size();
  const auto [ptr, error] = std::from_chars(text.data(), end, number);
  if (error != std::errc() || ptr != end || text.empty()) {
    return std::nullopt;
  }
  return number;
}

// The value as the field's type, or the reason it cannot be.
Value Convert(const Column& column, const Value& value) {
  if (store::IsNull(value)) {
    return value;
  }
  if (column.type == FieldType::kInteger) {
    std::int64_t number = 0;
    if (const auto* given = std::get_if<std::int64_t>(&value)) {
      number = *given;
    } else if (auto parsed = ParseInteger(std::get<std::string>(value))) {
      number = *parsed;
    } else {
      throw StoreError("The value of " + column.name + " is not a whole number.");
    }
    if (number < INT32_MIN || number > INT32_MAX) {
      throw StoreError("The value of " + column.name + " is out of range.");
    }
    return number;
  }
  std::string text = std::holds_alternative<std::string>(value)
                         ? std::get<std::string>(value)
                         : std::to_string(std::get<std::int64_t>(value));
  if (column.size > 0 && Utf8Length(text) > static_cast<std::size_t>(column.size)) {
    throw StoreError("The value of " + column.name + " is longer than " +
                     std::to_string(column.size) + " characters.");
  }
  return text;
}

const Column& FieldOf(const Provider& provider, std::string_view field) {
  for (const auto& column : provider.columns) {
    if (EqualsIgnoringCase(column.name, field)) {
      return column;
    }
  }
  throw StoreError("The provider " + std::string(provider.name) + " has no field \"" +
                   std::string(field) + "\".");
}

std::optional<Value> OriginalOf(const ChangeRow& row, std::string_view field) {
  for (const auto& original : row.original) {
    if (EqualsIgnoringCase(original.field, field)) {
      return original.value;
    }
  }
  return std::nullopt;
}

Value KeyOf(const Provider& provider, const ChangeRow& row) {
  auto key = OriginalOf(row, "ID");
  if (!key || store::IsNull(*key)) {
    throw StoreError("The row carries no original ID, so it cannot be found.");
  }
  return Convert(FieldOf(provider, "ID"), *key);
}

std::string_view NullSafeEquals(Dialect dialect) {
  return dialect == Dialect::kSQLite ? " IS ?" : " IS NOT DISTINCT FROM ?";
}

// Writes one change row in a savepoint of its own; throws StoreError with the reason when
// it is refused, and then nothing of it is left.
void ApplyRow(store::Session& session, const Provider& provider, const ChangeRow& row) {
  constexpr std::string_view kSavepoint = "tovra_row";
  const std::string table(provider.table);
  std::vector<Value> params;
  switch (row.kind) {
    case ChangeKind::kInsert: {
      if (row.changed.empty()) {
        throw StoreError("The new row holds no values.");
      }
      std::string names;
      std::string marks;
      for (const auto& field : row.changed) {
        const Column& column = FieldOf(provider, field.field);
        if (!column.in_update) {
          throw StoreError("The field " + column.name + " cannot be written.");
        }
        names += (names.empty() ? "" : ", ") + column.name;
        marks += marks.empty() ? "?" : ", ?";
        params.push_back(Convert(column, field.value));
      }
      session.ExecuteIsolated("INSERT INTO " + table + " (" + names + ") VALUES (" + marks + ")",
                              params, kSavepoint);
      return;
    }
    case ChangeKind::kModify: {
      if (row.changed.empty()) {
        return;
      }
      std::string assignments;
      std::string conditions = " WHERE ID = ?";
      std::vector<Value> compared;
      for (const auto& field : row.changed) {
        const Column& column = FieldOf(provider, field.field);
        if (!column.in_update) {
          throw StoreError("The field " + column.name + " cannot be changed.");
        }
        assignments += (assignments.empty() ? "" : ", ") + column.name + " = ?";
        params.push_back(Convert(column, field.value));
        if (column.in_where) {
          if (auto original = OriginalOf(row, column.name)) {
            conditions += " AND " + column.name + std::string(NullSafeEquals(session.dialect()));
            compared.push_back(Convert(column, *original));
          }
        }
      }
      params.push_back(KeyOf(provider, row));
      params.insert(params.end(), compared.begin(), compared.end());
      if (session.ExecuteIsolated("UPDATE " + table + " SET " + assignments + conditions, params,
                                  kSavepoint) == 0) {
        throw StoreError(
            "The row was changed or removed by another user since it was read; it was not "
            "saved. Refresh the data and make the change again.");
      }
      return;
    }
    case ChangeKind::kDelete: {
      params.push_back(KeyOf(provider, row));
      if (session.ExecuteIsolated("DELETE FROM " + table + " WHERE ID = ?", params, kSavepoint) ==
          0) {
        throw StoreError("The row was removed by another user since it was read.");
      }
      return;
    }
  }
}

}  // namespace

std::vector<std::string> ProviderNames() {
  std::vector<std::string> names;
  for (const auto& provider : Providers()) {
    names.emplace_back(provider.name);
  }
  return names;
}

bool IsReadOnly(std::string_view provider) {
  for (const auto& candidate : Providers()) {
    if (candidate.name == provider) {
      return candidate.table.empty();
    }
  }
  return false;
}

std::vector<Column> Columns(std::string_view provider) {
  return Find(provider).columns;
}

ResultSet GetRecords(store::Session& session, std::string_view name,
                     std::span<const Parameter> params) {
  const Provider& provider = Find(name);
  ResultSet result;
  result.columns = provider.columns;
  std::vector<store::Row> rows;
  switch (provider.source) {
    case Source::kTable:
      rows = session.Query(SelectOfTable(provider));
      break;
    case Source::kLoginAccounts:
      rows = session.LoginAccounts();
      break;
    case Source::kQuery: {
      std::vector<Value> values;
      if (!provider.parameter.empty()) {
        const Parameter* found = nullptr;
        for (const auto& param : params) {
          if (EqualsIgnoringCase(param.name, provider.parameter)) {
            found = &param;
          }
        }
        if (found == nullptr || store::IsNull(found->value)) {
          throw StoreError("The provider " + std::string(provider.name) + " needs the parameter " +
                           std::string(provider.parameter) + ".");
        }
        Column integer;
        integer.name = std::string(provider.parameter);
        values.push_back(Convert(integer, found->value));
      }
      rows = session.Query(provider.query, values);
      break;
    }
  }
  result.rows.reserve(rows.size());
  for (auto& row : rows) {
    if (row.size() != provider.columns.size()) {
      throw StoreError("The provider " + std::string(provider.name) +
                       " got rows of an unexpected shape from the database.");
    }
    for (std::size_t i = 0; i < row.size(); ++i) {
      // Stored values are in range by construction; only the type is evened out here
      // (SQLite hands back what was stored, not what was declared).
      const Column& column = provider.columns[i];
      if (column.type == FieldType::kString && std::holds_alternative<std::int64_t>(row[i])) {
        row[i] = std::to_string(std::get<std::int64_t>(row[i]));
      } else if (column.type == FieldType::kInteger &&
                 std::holds_alternative<std::string>(row[i])) {
        auto number = ParseInteger(std::get<std::string>(row[i]));
        row[i] = number ? Value(*number) : Value(std::monostate{});
      }
    }
    result.rows.push_back(std::move(row));
  }
  return result;
}

store::ApplyResult ApplyUpdates(store::Session& session, std::string_view name,
                                std::span<const ChangeRow> changes, int max_errors) {
  const Provider& provider = Find(name);
  if (provider.table.empty()) {
    throw StoreError("The provider " + std::string(provider.name) +
                     " is read-only; it accepts no updates.");
  }
  store::ApplyResult result;
  if (changes.empty()) {
    return result;
  }
  session.Begin();
  for (std::size_t index = 0; index < changes.size(); ++index) {
    try {
      ApplyRow(session, provider, changes[index]);
      ++result.applied;
      continue;
    } catch (const store::ConnectionLostError&) {
      throw;  // no row's fault: the whole send fails
    } catch (const StoreError& error) {
      result.refused.push_back({index, error.what()});
    }
    spdlog::info("{}: row {} refused: {}", provider.name, index, result.refused.back().reason);
    if (max_errors >= 0 && result.refused.size() > static_cast<std::size_t>(max_errors)) {
      result.stopped = index + 1 < changes.size();
      break;
    }
  }
  return result;
}

}  // namespace tovra::umserver::providers
