#pragma once

// Plain values that cross the line between the store and the service layer: the rows a
// provider delivers and the changes a client sends back. They carry no behaviour, so the
// service layer can convert its wire packets to and from them one field at a time.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace tovra::umserver::store {

// One field value: NULL, a whole number or a text (UTF-8).
using Value = std::variant<std::monostate, std::int64_t, std::string>;

inline bool IsNull(const Value& value) {
  return std::holds_alternative<std::monostate>(value);
}

enum class FieldType {
  kInteger,  // 32-bit on the wire; held as 64-bit here
  kString,   // sized in characters
};

// What a provider says about one of its fields. The update flags follow the usual provider
// semantics: in_update = written by updates, in_where = compared with the original value
// when a row is modified, in_key = identifies the row. A field with none of the three
// takes no part in updates.
struct Column {
  std::string name;
  FieldType type = FieldType::kInteger;
  int size = 0;  // maximum characters of a string field; 0 for integers
  bool required = false;
  bool read_only = false;  // delivered read-only to the client (it may still accept updates)
  bool in_update = false;
  bool in_where = false;
  bool in_key = false;
};

// A provider's answer: its fields in order, and rows of values in the same order.
struct ResultSet {
  std::vector<Column> columns;
  std::vector<std::vector<Value>> rows;
};

enum class ChangeKind { kInsert, kModify, kDelete };

// A named value inside a change row. Names are matched without regard to case.
struct FieldValue {
  std::string field;
  Value value;
};

// One row of a client's change log.
//  - kInsert: `changed` holds the new row's values; `original` is empty.
//  - kModify: `original` holds the row as the client read it (at least its key), `changed`
//    only the fields the client changed, with their new values.
//  - kDelete: `original` holds the row as read (at least its key); `changed` is empty.
struct ChangeRow {
  ChangeKind kind = ChangeKind::kModify;
  std::vector<FieldValue> original;
  std::vector<FieldValue> changed;
};

// A change row the store did not write: its position in the sent list and the reason.
struct RefusedRow {
  std::size_t index = 0;
  std::string reason;
};

struct ApplyResult {
  std::size_t applied = 0;
  std::vector<RefusedRow> refused;
  // True when the error limit stopped the work before every row was tried.
  bool stopped = false;
};

// Every failure of the store (connection, statement, commit) surfaces as this error; its
// text is the database's reason and never contains a password.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The connection to the database server is gone: the session cannot go on and its open
// transaction is lost (the server rolls it back).
class ConnectionLostError : public StoreError {
 public:
  using StoreError::StoreError;
};

}  // namespace tovra::umserver::store
