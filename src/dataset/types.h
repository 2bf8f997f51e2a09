#pragma once

// Value types shared by the client dataset and the data packet codec.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tovra::dataset {

enum class FieldType {
  Int32,
  Int64,
  String,  // UTF-8 text; size = most characters, 0 = no limit
  Boolean,
  Float,     // double
  DateTime,  // milliseconds since 1970-01-01 00:00:00, no time zone
  Blob,      // binary or memo, raw bytes
};

// Bits of FieldDef::provider_flags: how the provider uses the field when it resolves a
// change (key of the row, written by the update, checked in the WHERE clause).
enum ProviderFlag : unsigned {
  kInKey = 1u << 0,
  kInUpdate = 1u << 1,
  kInWhere = 1u << 2,
};

// One cell. std::monostate is null. Int32, Int64 and DateTime fields hold std::int64_t;
// Float double; Boolean bool; String and Blob std::string.
using Value = std::variant<std::monostate, std::int64_t, double, bool, std::string>;

inline bool IsNull(const Value& v) {
  return std::holds_alternative<std::monostate>(v);
}

struct FieldDef {
  std::string name;
  FieldType type = FieldType::Int32;
  int size = 0;  // strings: most characters (0 = no limit); otherwise unused
  bool required = false;
  bool read_only = false;
  unsigned provider_flags = kInUpdate | kInWhere;

  bool operator==(const FieldDef&) const = default;
};

// A dataset operation that cannot be done; the message says what and why.
class DataSetError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Bytes that are not a well-formed data packet, delta, reconcile answer or parameter list.
class PacketError : public DataSetError {
 public:
  using DataSetError::DataSetError;
};

// A human-readable name of a field type, for messages.
std::string_view FieldTypeName(FieldType type);

// Whether `value` has the alternative that a field of `type` holds (null fits every type).
bool ValueFitsType(const Value& value, FieldType type);

// Field names are matched without regard to letter case (ASCII).
bool SameFieldName(std::string_view a, std::string_view b);

// `text` with letters folded to lower case for comparisons that ignore case: ASCII,
// Latin-1 and basic Cyrillic letters; everything else is kept as it is.
std::string FoldCase(std::string_view text);

// Whether `text` is well-formed UTF-8, and its length in characters (code points).
bool IsValidUtf8(std::string_view text);
std::size_t Utf8Length(std::string_view text);

}  // namespace tovra::dataset
