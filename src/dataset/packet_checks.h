#pragma once

// What every decoder of the data packet format checks, whichever way it reads the bytes:
// field definitions, names, and each value against its field. Shared by the hand-written
// data packet reader (packet_reader.cpp) and the protobuf-based decoders (packet.cpp).
// Internal to the dataset library.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dataset.pb.h"
#include "dataset/packet.h"

namespace tovra::dataset::packet_detail {

wire::FieldType ToWire(FieldType type);
FieldType FromWire(int type, std::string_view what);
std::uint32_t FlagsToWire(const FieldDef& def);

// Why `name` cannot name a field or a parameter, as the end of a sentence that starts with
// what carries it ("Field 3 has ..."); empty when it can. The rule is the one docs/protocol.md
// states: the dataset finds fields by name without regard to ASCII letter case, in lists
// separated by ';' whose items it trims of spaces (IndexFieldNames), and in filters inside
// '[' ']'; a name it could not address there would make a loaded dataset unusable.
std::string NameProblem(std::string_view name, std::size_t max_bytes);

// The name checked against the rule above; PacketError otherwise.
std::string CheckedName(const std::string& name, const DecodeLimits& limits, std::string_view what);

std::vector<FieldDef> FieldsFromWire(const google::protobuf::RepeatedPtrField<wire::FieldDef>& in,
                                     const DecodeLimits& limits);

// Where a value sits, for messages: built only when something is wrong.
struct Place {
  std::string_view what;  // "Row", "Delta row", "Parameter"
  std::size_t number;
  std::string Text() const { return std::string(what) + " " + std::to_string(number); }
};

// One decoded wire value before it meets its field: which member was set, and its content.
struct RawValue {
  enum class Kind { Null, Int, Float, Bool, Bytes } kind = Kind::Null;
  std::int64_t int_value = 0;
  double float_value = 0;
  bool bool_value = false;
  std::string_view bytes;
};

// The value `raw` stands for in a field `def`; PacketError when it does not suit the field.
Value MakeValue(const RawValue& raw, const FieldDef& def, const DecodeLimits& limits,
                const Place& place);

PacketError Malformed(std::string_view what);

}  // namespace tovra::dataset::packet_detail
