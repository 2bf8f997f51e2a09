// The hand-written data packet reader (DecodePacket) against the generated protobuf classes:
// on every input both must accept the same bytes and give the same values. The reader also
// applies the format's rules that protobuf's parser does not know; the reference below
// applies them explicitly, each written out from docs/protocol.md and proto/dataset.proto,
// so any other difference fails.

#include <google/protobuf/unknown_field_set.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "dataset.pb.h"
#include "dataset/packet.h"
#include "test_tables.h"

#ifndef TOVRA_DATASET_FUZZ_CORPUS
#error "TOVRA_DATASET_FUZZ_CORPUS must name the dataset fuzz target's committed corpus"
#endif

namespace tovra::dataset {
namespace {

using testing::Def;
using testing::I;
using testing::S;

// What the generated classes make of the bytes, with the format's rules applied.
struct Reference {
  bool parsed = false;     // protobuf's parser accepts the bytes
  std::string refused_by;  // the rule the content breaks; empty when none does
  DataPacket packet;       // when parsed and no rule is broken
};

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameIgnoringAsciiCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

// Rule: a field name is 1 to max_name_bytes bytes of UTF-8 without control characters
// (U+0000-U+001F, U+007F-U+009F), without ';', '[' or ']', and neither begins nor ends with
// a space; names are unique without regard to ASCII letter case.
bool NameAllowed(const std::string& name, const DecodeLimits& limits) {
  if (name.empty() || name.size() > limits.max_name_bytes || !IsValidUtf8(name))
    return false;
  if (name.front() == ' ' || name.back() == ' ')
    return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7F || c == ';' || c == '[' || c == ']')
      return false;
    if (c == 0xC2 && static_cast<unsigned char>(name[i + 1]) < 0xA0)  // U+0080-U+009F
      return false;
  }
  return true;
}

// Rule: the reader skips unknown fields of every wire type but the deprecated groups,
// which it refuses in a DataPacket, Row or Value (our encoders never write them; protobuf
// skips them). Inside a FieldDef, read by protobuf in both, they are skipped.
bool HasGroups(const google::protobuf::Message& message) {
  const auto& unknown = message.GetReflection()->GetUnknownFields(message);
  for (int i = 0; i < unknown.field_count(); ++i) {
    if (unknown.field(i).type() == google::protobuf::UnknownField::TYPE_GROUP)
      return true;
  }
  return false;
}

std::optional<FieldType> TypeOf(int wire_type) {
  switch (wire_type) {
    case wire::FIELD_TYPE_INT32:
      return FieldType::Int32;
    case wire::FIELD_TYPE_INT64:
      return FieldType::Int64;
    case wire::FIELD_TYPE_STRING:
      return FieldType::String;
    case wire::FIELD_TYPE_BOOLEAN:
      return FieldType::Boolean;
    case wire::FIELD_TYPE_FLOAT:
      return FieldType::Float;
    case wire::FIELD_TYPE_DATETIME:
      return FieldType::DateTime;
    case wire::FIELD_TYPE_BLOB:
      return FieldType::Blob;
  }
  return std::nullopt;  // Rule: an unknown field type is refused.
}

// Rule: a value's kind suits its field (int for INT32, INT64, DATETIME; float for FLOAT;
// bool for BOOLEAN; bytes for STRING and BLOB; none is null); INT32 values fit 32 bits,
// STRING values are UTF-8, and no bytes value is longer than max_value_bytes.
std::optional<Value> ValueFor(const wire::Value& w, FieldType type, const DecodeLimits& limits) {
  switch (w.kind_case()) {
    case wire::Value::KIND_NOT_SET:
      return Value{};
    case wire::Value::kIntValue:
      if (type == FieldType::Int64 || type == FieldType::DateTime ||
          (type == FieldType::Int32 && w.int_value() >= INT32_MIN && w.int_value() <= INT32_MAX))
        return Value{w.int_value()};
      return std::nullopt;
    case wire::Value::kFloatValue:
      if (type == FieldType::Float)
        return Value{w.float_value()};
      return std::nullopt;
    case wire::Value::kBoolValue:
      if (type == FieldType::Boolean)
        return Value{w.bool_value()};
      return std::nullopt;
    case wire::Value::kBytesValue:
      if ((type != FieldType::String && type != FieldType::Blob) ||
          w.bytes_value().size() > limits.max_value_bytes ||
          (type == FieldType::String && !IsValidUtf8(w.bytes_value())))
        return std::nullopt;
      return Value{w.bytes_value()};
  }
  return std::nullopt;
}

Reference ReadWithProtobuf(const std::string& bytes, const DecodeLimits& limits) {
  Reference ref;
  wire::DataPacket w;
  ref.parsed = w.ParseFromString(bytes);
  if (!ref.parsed)
    return ref;
  auto refuse = [&](std::string rule) {
    ref.refused_by = std::move(rule);
    return ref;
  };
  // Rule: the limits of DecodeLimits on the whole packet, fields and rows.
  if (bytes.size() > limits.max_bytes)
    return refuse("packet longer than max_bytes");
  if (static_cast<std::size_t>(w.fields_size()) > limits.max_fields)
    return refuse("more fields than max_fields");
  if (static_cast<std::size_t>(w.rows_size()) > limits.max_rows)
    return refuse("more rows than max_rows");
  if (HasGroups(w))
    return refuse("group in the packet");
  for (const wire::FieldDef& f : w.fields()) {
    if (!NameAllowed(f.name(), limits))
      return refuse("field name '" + f.name() + "'");
    for (const FieldDef& earlier : ref.packet.fields) {
      if (SameIgnoringAsciiCase(earlier.name, f.name()))
        return refuse("twin field name '" + f.name() + "'");
    }
    const std::optional<FieldType> type = TypeOf(f.type());
    if (!type)
      return refuse("unknown field type");
    // Rule: the size is not negative; flags hold only the five defined bits.
    if (f.size() < 0)
      return refuse("negative size");
    if (f.flags() & ~31u)
      return refuse("unknown flags");
    FieldDef def;
    def.name = f.name();
    def.type = *type;
    def.size = f.size();
    def.required = (f.flags() & wire::FIELD_FLAG_REQUIRED) != 0;
    def.read_only = (f.flags() & wire::FIELD_FLAG_READ_ONLY) != 0;
    def.provider_flags = ((f.flags() & wire::FIELD_FLAG_IN_KEY) ? kInKey : 0u) |
                         ((f.flags() & wire::FIELD_FLAG_IN_UPDATE) ? kInUpdate : 0u) |
                         ((f.flags() & wire::FIELD_FLAG_IN_WHERE) ? kInWhere : 0u);
    ref.packet.fields.push_back(def);
  }
  for (const wire::Row& row : w.rows()) {
    if (HasGroups(row))
      return refuse("group in a row");
    // Rule: exactly one value per field.
    if (static_cast<std::size_t>(row.values_size()) != ref.packet.fields.size())
      return refuse("row with " + std::to_string(row.values_size()) + " values");
    std::vector<Value> values;
    for (int i = 0; i < row.values_size(); ++i) {
      if (HasGroups(row.values(i)))
        return refuse("group in a value");
      const std::optional<Value> v = ValueFor(row.values(i), ref.packet.fields[i].type, limits);
      if (!v)
        return refuse("value that does not suit field '" + ref.packet.fields[i].name + "'");
      values.push_back(*v);
    }
    ref.packet.rows.push_back(std::move(values));
  }
  return ref;
}

// Values are the same when they have the same alternative and, for doubles, the same bits
// (so that NaN and -0.0 count).
bool SameValue(const Value& a, const Value& b) {
  const double* x = std::get_if<double>(&a);
  const double* y = std::get_if<double>(&b);
  if (x && y)
    return std::memcmp(x, y, sizeof(double)) == 0;
  return a == b;
}

bool SamePacket(const DataPacket& a, const DataPacket& b) {
  if (a.fields != b.fields || a.rows.size() != b.rows.size())
    return false;
  for (std::size_t r = 0; r < a.rows.size(); ++r) {
    if (!std::equal(a.rows[r].begin(), a.rows[r].end(), b.rows[r].begin(), b.rows[r].end(),
                    SameValue))
      return false;
  }
  return true;
}

enum class Outcome { Accepted, Refused };

// Checks that both readers agree on `bytes`; returns what they did.
Outcome ExpectAgreement(const std::string& bytes, const DecodeLimits& limits = {}) {
  const Reference ref = ReadWithProtobuf(bytes, limits);
  std::optional<DataPacket> mine;
  std::string error;
  try {
    mine = DecodePacket(bytes, limits);
  } catch (const PacketError& e) {
    error = e.what();
  }
  if (!ref.parsed) {
    EXPECT_FALSE(mine) << "the reader accepts bytes protobuf cannot parse";
    return Outcome::Refused;
  }
  if (!ref.refused_by.empty()) {
    EXPECT_FALSE(mine) << "the reader accepts a packet that breaks the rule: " << ref.refused_by;
    return Outcome::Refused;
  }
  EXPECT_TRUE(mine) << "the reader refuses a valid packet: " << error;
  if (mine) {
    EXPECT_TRUE(SamePacket(*mine, ref.packet)) << "the readers give different values";
  }
  return mine ? Outcome::Accepted : Outcome::Refused;
}

// Tags of dataset.proto, for hand-made bytes: (field << 3) | wire type.
std::string Varint(std::uint64_t v) {
  std::string out;
  while (v >= 0x80) {
    out.push_back(static_cast<char>((v & 0x7F) | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
  return out;
}
std::string Delimited(int field, const std::string& content) {
  return Varint(static_cast<std::uint64_t>(field) << 3 | 2) + Varint(content.size()) + content;
}

DataPacket Users() {
  DataPacket p;
  p.fields = {Def("ID", FieldType::Int32, 0, kInKey | kInUpdate | kInWhere),
              Def("USERNAME", FieldType::String, 40), Def("NAME", FieldType::String, 40),
              Def("Flags", FieldType::Int32)};
  p.fields[1].read_only = true;
  p.fields[1].required = true;
  p.rows = {{I(1), S("admin"), S("Administrator"), I(0)},
            {I(2), S("mueller"), S("Jörg Müller"), Value{}}};
  return p;
}

DataPacket AllTypes() {
  DataPacket p;
  p.fields = {Def("ID", FieldType::Int32),    Def("BIG", FieldType::Int64),
              Def("NAME", FieldType::String), Def("ACTIVE", FieldType::Boolean),
              Def("RATE", FieldType::Float),  Def("CREATED", FieldType::DateTime),
              Def("PICTURE", FieldType::Blob)};
  p.rows = {{I(INT32_MIN), I(INT64_MIN), S("☃"), Value{true}, Value{-0.0}, I(-1),
             S(std::string("\0\xff", 2))},
            {I(INT32_MAX), I(INT64_MAX), S(""), Value{false}, Value{std::nan("1")}, I(0), S("")},
            {Value{}, Value{}, Value{}, Value{}, Value{}, Value{}, Value{}}};
  return p;
}

std::string UsersWith(const std::function<void(wire::DataPacket&)>& change) {
  wire::DataPacket w;
  EXPECT_TRUE(w.ParseFromString(EncodePacket(Users())));
  change(w);
  return w.SerializeAsString();
}

struct Case {
  const char* what;
  std::string bytes;
  Outcome expected;
  DecodeLimits limits = {};
};

DecodeLimits Limit(std::size_t DecodeLimits::*which, std::size_t value) {
  DecodeLimits limits;
  limits.*which = value;
  return limits;
}

std::vector<Case> Cases() {
  using O = Outcome;
  const std::string users = EncodePacket(Users());
  const std::string row_of_users = UsersWith([](auto& w) { w.clear_fields(); });
  const std::string fields_of_users = UsersWith([](auto& w) { w.clear_rows(); });
  // One FieldDef and a row for it, with `extra` appended to the chosen part.
  auto one_field = [](const std::string& field_extra, const std::string& row_extra,
                      const std::string& value_extra) {
    const std::string def = Delimited(1, "X") + "\x10\x02" + field_extra;  // INT64
    const std::string value = std::string("\x08\x04") + value_extra;       // int 2
    return Delimited(1, def) + Delimited(2, Delimited(1, value) + row_extra);
  };
  return {
      {"users", users, O::Accepted},
      {"every type, extremes, NaN, -0.0, nulls", EncodePacket(AllTypes()), O::Accepted},
      {"no fields, no rows", "", O::Accepted},
      {"fields after the rows", row_of_users + fields_of_users, O::Accepted},
      {"fields on both sides of the rows",
       UsersWith([](auto& w) {
         w.clear_rows();
         w.mutable_fields()->DeleteSubrange(2, 2);
       }) + row_of_users +
           UsersWith([](auto& w) {
             w.clear_rows();
             w.mutable_fields()->DeleteSubrange(0, 2);
           }),
       O::Accepted},
      {"unknown varint, fixed32, fixed64 and bytes fields everywhere",
       one_field("\x48\x01", "\x4d\x01\x02\x03\x04", "\x49" + std::string(8, '\x07')) + "\x52\x01z",
       O::Accepted},
      {"a later oneof member replaces an earlier one", one_field("", "", "\x08\x06"), O::Accepted},
      {"a later float replaces an int, and does not suit INT64",
       one_field("", "", "\x11" + std::string(8, '\x01')), O::Refused},
      {"a later int replaces a float",
       one_field("", "", "\x11" + std::string(8, '\x01') + "\x08\x07"), O::Accepted},
      {"a later bytes value replaces an int", one_field("", "", "\x22\x01x"), O::Refused},
      {"a bool encoded as 2 is true",
       Delimited(1, Delimited(1, "B") + "\x10\x04") + Delimited(2, Delimited(1, "\x18\x02")) +
           Delimited(2, Delimited(1, std::string("\x18\x00", 2))),
       O::Accepted},
      {"a bool of ten bytes",
       Delimited(1, Delimited(1, "B") + "\x10\x04") +
           Delimited(2, Delimited(1, "\x18\x80\x80\x80\x80\x80\x80\x80\x80\x80\x01")),
       O::Accepted},
      {"a known field with another wire type is an unknown field",
       one_field("", "", "\x0d\x01\x02\x03\x04"), O::Accepted},
      {"overlong varint", one_field("", "", std::string("\x08\x86\x80\x80\x80\x00", 6)),
       O::Accepted},
      {"ten-byte varint", one_field("", "", "\x08\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01"),
       O::Accepted},
      {"ten-byte varint with bits beyond 64",
       one_field("", "", "\x08\xff\xff\xff\xff\xff\xff\xff\xff\xff\x7f"), O::Accepted},
      {"eleven-byte varint", one_field("", "", "\x08\xff\xff\xff\xff\xff\xff\xff\xff\xff\x81\x01"),
       O::Refused},
      {"group inside a FieldDef", one_field("\x4b\x50\x01\x4c", "", ""), O::Accepted},
      {"group in a row", one_field("", "\x4b\x4c", ""), O::Refused},
      {"group in a value", one_field("", "", "\x4b\x4c"), O::Refused},
      {"group in the packet", users + "\x4b\x4c", O::Refused},
      {"end of group alone", users + "\x4c", O::Refused},
      {"wire type 6", users + "\x4e", O::Refused},
      {"field number 0", users + std::string("\x02\x00", 2), O::Refused},
      {"length beyond the end", users + "\x12\x05\x0a", O::Refused},
      {"truncated", users.substr(0, users.size() - 1), O::Refused},
      {"row with too few values",
       UsersWith([](auto& w) { w.mutable_rows(0)->mutable_values()->RemoveLast(); }), O::Refused},
      {"row with too many values", UsersWith([](auto& w) { w.mutable_rows(1)->add_values(); }),
       O::Refused},
      {"text in an integer field",
       UsersWith([](auto& w) { w.mutable_rows(0)->mutable_values(0)->set_bytes_value("1"); }),
       O::Refused},
      {"bool in a string field",
       UsersWith([](auto& w) { w.mutable_rows(0)->mutable_values(1)->set_bool_value(true); }),
       O::Refused},
      {"integer beyond 32 bits",
       UsersWith([](auto& w) { w.mutable_rows(0)->mutable_values(0)->set_int_value(1LL << 31); }),
       O::Refused},
      {"broken UTF-8",
       UsersWith([](auto& w) { w.mutable_rows(0)->mutable_values(2)->set_bytes_value("\xc3"); }),
       O::Refused},
      {"unknown field type",
       UsersWith([](auto& w) { w.mutable_fields(3)->set_type(wire::FieldType(8)); }), O::Refused},
      {"unspecified field type",
       UsersWith([](auto& w) { w.mutable_fields(3)->set_type(wire::FIELD_TYPE_UNSPECIFIED); }),
       O::Refused},
      {"negative size", UsersWith([](auto& w) { w.mutable_fields(2)->set_size(-1); }), O::Refused},
      {"unknown flag", UsersWith([](auto& w) { w.mutable_fields(2)->set_flags(32); }), O::Refused},
      {"twin names", UsersWith([](auto& w) { w.mutable_fields(3)->set_name("username"); }),
       O::Refused},
      {"names differing beyond ASCII case", UsersWith([](auto& w) {
         w.mutable_fields(2)->set_name("É");
         w.mutable_fields(3)->set_name("é");
       }),
       O::Accepted},
      {"name with spaces inside and letters beyond ASCII",
       UsersWith([](auto& w) { w.mutable_fields(2)->set_name("FIRST NAME Ärger"); }), O::Accepted},
      {"empty name", UsersWith([](auto& w) { w.mutable_fields(2)->set_name(""); }), O::Refused},
      {"name of blanks", UsersWith([](auto& w) { w.mutable_fields(2)->set_name("  "); }),
       O::Refused},
      {"name ending in a space", UsersWith([](auto& w) { w.mutable_fields(2)->set_name("N "); }),
       O::Refused},
      {"name with ';'", UsersWith([](auto& w) { w.mutable_fields(2)->set_name("A;B"); }),
       O::Refused},
      {"name with ']'", UsersWith([](auto& w) { w.mutable_fields(2)->set_name("A]"); }),
       O::Refused},
      {"name with a tab", UsersWith([](auto& w) { w.mutable_fields(2)->set_name("A\tB"); }),
       O::Refused},
      {"name with a C1 control",
       UsersWith([](auto& w) { w.mutable_fields(2)->set_name("A\xc2\x85"); }), O::Refused},
      {"name with U+00A0", UsersWith([](auto& w) { w.mutable_fields(2)->set_name("A\xc2\xa0"); }),
       O::Accepted},
      {"name that is not UTF-8", UsersWith([](auto& w) { w.mutable_fields(2)->set_name("\xff"); }),
       O::Refused},
      {"name at the length limit",
       UsersWith([](auto& w) { w.mutable_fields(2)->set_name(std::string(256, 'N')); }),
       O::Accepted},
      {"name beyond the length limit",
       UsersWith([](auto& w) { w.mutable_fields(2)->set_name(std::string(257, 'N')); }),
       O::Refused},
      {"packet beyond max_bytes", users, O::Refused,
       Limit(&DecodeLimits::max_bytes, users.size() - 1)},
      {"packet at max_bytes", users, O::Accepted, Limit(&DecodeLimits::max_bytes, users.size())},
      {"rows beyond max_rows", users, O::Refused, Limit(&DecodeLimits::max_rows, 1)},
      {"fields beyond max_fields", users, O::Refused, Limit(&DecodeLimits::max_fields, 3)},
      {"value beyond max_value_bytes", users, O::Refused,
       Limit(&DecodeLimits::max_value_bytes, 12)},
      {"value at max_value_bytes", users, O::Accepted, Limit(&DecodeLimits::max_value_bytes, 13)},
  };
}

TEST(PacketReader, AgreesWithProtobufOnATableOfPackets) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ExpectAgreement(c.bytes, c.limits), c.expected);
  }
}

// Every prefix of a valid packet, and every byte of it changed in three ways: damage the
// table above does not name one by one.
TEST(PacketReader, AgreesWithProtobufOnDamagedPackets) {
  const std::string users = EncodePacket(Users());
  for (std::size_t n = 0; n < users.size(); ++n) {
    SCOPED_TRACE("prefix of " + std::to_string(n) + " bytes");
    ExpectAgreement(users.substr(0, n));
  }
  for (std::size_t i = 0; i < users.size(); ++i) {
    for (const unsigned char mask : {0x01, 0x80, 0xFF}) {
      std::string bytes = users;
      bytes[i] = static_cast<char>(bytes[i] ^ mask);
      SCOPED_TRACE("byte " + std::to_string(i) + " ^ " + std::to_string(mask));
      ExpectAgreement(bytes);
    }
  }
}

// The fuzz corpus holds inputs for several decoders, the first byte choosing one; as data
// packets, both the whole input and the rest after that byte are worth comparing.
TEST(PacketReader, AgreesWithProtobufOnTheFuzzCorpus) {
  const std::filesystem::path corpus = TOVRA_DATASET_FUZZ_CORPUS;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(corpus))
    files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty()) << "no corpus in " << corpus;
  bool some_packet_accepted = false;
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    SCOPED_TRACE(file.filename().string());
    ExpectAgreement(bytes);
    if (!bytes.empty()) {
      const bool packet = static_cast<unsigned char>(bytes[0]) % 5 == 0;
      const Outcome outcome = ExpectAgreement(bytes.substr(1));
      some_packet_accepted |= packet && outcome == Outcome::Accepted;
    }
  }
  EXPECT_TRUE(some_packet_accepted) << "the corpus holds no valid data packet";
}

}  // namespace
}  // namespace tovra::dataset
