// The hand-written reader of data packets (DecodePacket). Data packets are by far the
// largest messages; reading the protobuf wire format directly, rows straight into values
// without building protobuf's own objects first, is several times faster than protobuf's
// parser and needs half the memory. tests/dataset/packet_reader_test.cpp holds it to what
// the generated classes read from the same bytes.

#include <bit>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/packet.h"
#include "dataset/packet_checks.h"

namespace tovra::dataset {

using namespace packet_detail;

namespace {

// Reads the protobuf wire format; every read is checked against the end of the input.
class WireReader {
  static_assert(std::endian::native == std::endian::little,
                "fixed-width wire values are read as little-endian");

 public:
  explicit WireReader(std::string_view data)
      : p_(reinterpret_cast<const unsigned char*>(data.data())), end_(p_ + data.size()) {}

  bool AtEnd() const { return p_ == end_; }

  bool Varint(std::uint64_t& out) {
    out = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (p_ == end_)
        return false;
      const unsigned char byte = *p_++;
      out |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
      if ((byte & 0x80) == 0)
        return true;
    }
    return false;  // longer than ten bytes
  }

  bool Tag(std::uint32_t& field, int& wire_type) {
    std::uint64_t tag = 0;
    if (!Varint(tag) || tag > 0xFFFFFFFFu)
      return false;
    field = static_cast<std::uint32_t>(tag >> 3);
    wire_type = static_cast<int>(tag & 7);
    return field != 0;
  }

  bool Fixed64(std::uint64_t& out) {
    if (end_ - p_ < 8)
      return false;
    std::memcpy(&out, p_, 8);
    p_ += 8;
    return true;
  }

  bool Bytes(std::string_view& out) {
    std::uint64_t size = 0;
    if (!Varint(size) || size > static_cast<std::uint64_t>(end_ - p_))
      return false;
    out = std::string_view(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(size));
    p_ += size;
    return true;
  }

  bool Skip(int wire_type) {
    std::uint64_t ignored = 0;
    std::string_view span;
    switch (wire_type) {
      case 0:
        return Varint(ignored);
      case 1:
        return Fixed64(ignored);
      case 2:
        return Bytes(span);
      case 5:
        if (end_ - p_ < 4)
          return false;
        p_ += 4;
        return true;
      default:
        return false;  // groups and unknown wire types
    }
  }

 private:
  const unsigned char* p_;
  const unsigned char* end_;
};

// A Value message; a later member replaces an earlier one, as protobuf does for a oneof.
RawValue ReadRawValue(std::string_view bytes) {
  WireReader in(bytes);
  RawValue raw;
  while (!in.AtEnd()) {
    std::uint32_t field = 0;
    int type = 0;
    if (!in.Tag(field, type))
      throw Malformed("data packet");
    std::uint64_t n = 0;
    if (field == 1 && type == 0) {
      if (!in.Varint(n))
        throw Malformed("data packet");
      raw.kind = RawValue::Kind::Int;
      raw.int_value = static_cast<std::int64_t>(n >> 1) ^ -static_cast<std::int64_t>(n & 1);
    } else if (field == 2 && type == 1) {
      if (!in.Fixed64(n))
        throw Malformed("data packet");
      raw.kind = RawValue::Kind::Float;
      std::memcpy(&raw.float_value, &n, sizeof n);
    } else if (field == 3 && type == 0) {
      if (!in.Varint(n))
        throw Malformed("data packet");
      raw.kind = RawValue::Kind::Bool;
      raw.bool_value = n != 0;
    } else if (field == 4 && type == 2) {
      if (!in.Bytes(raw.bytes))
        throw Malformed("data packet");
      raw.kind = RawValue::Kind::Bytes;
    } else if (!in.Skip(type)) {
      throw Malformed("data packet");
    }
  }
  return raw;
}

std::vector<Value> ReadRow(std::string_view bytes, const std::vector<FieldDef>& fields,
                           const DecodeLimits& limits, std::size_t number) {
  WireReader in(bytes);
  std::vector<Value> values;
  values.reserve(fields.size());
  while (!in.AtEnd()) {
    std::uint32_t field = 0;
    int type = 0;
    if (!in.Tag(field, type))
      throw Malformed("data packet");
    if (field == 1 && type == 2) {
      std::string_view value;
      if (!in.Bytes(value))
        throw Malformed("data packet");
      if (values.size() == fields.size()) {
        throw PacketError("Row " + std::to_string(number) + " has more values than the " +
                          std::to_string(fields.size()) + " fields");
      }
      values.push_back(
          MakeValue(ReadRawValue(value), fields[values.size()], limits, Place{"Row", number}));
    } else if (!in.Skip(type)) {
      throw Malformed("data packet");
    }
  }
  if (values.size() != fields.size()) {
    throw PacketError("Row " + std::to_string(number) + " has " + std::to_string(values.size()) +
                      " values for " + std::to_string(fields.size()) + " fields");
  }
  return values;
}

}  // namespace

DataPacket DecodePacket(std::string_view bytes, const DecodeLimits& limits) {
  if (bytes.size() > limits.max_bytes) {
    throw PacketError("The data packet is " + std::to_string(bytes.size()) +
                      " bytes long, more than the limit of " + std::to_string(limits.max_bytes));
  }
  // First pass: the field definitions (which may come after the rows) and where each row
  // lies; second pass: the rows, checked against the fields.
  wire::DataPacket definitions;
  std::vector<std::string_view> rows;
  WireReader in(bytes);
  while (!in.AtEnd()) {
    std::uint32_t field = 0;
    int type = 0;
    if (!in.Tag(field, type))
      throw Malformed("data packet");
    std::string_view span;
    if (field == 1 && type == 2) {
      if (!in.Bytes(span))
        throw Malformed("data packet");
      if (static_cast<std::size_t>(definitions.fields_size()) >= limits.max_fields) {
        throw PacketError("The packet has more fields than the limit of " +
                          std::to_string(limits.max_fields));
      }
      if (!definitions.add_fields()->ParseFromArray(span.data(), static_cast<int>(span.size()))) {
        throw Malformed("data packet");
      }
    } else if (field == 2 && type == 2) {
      if (!in.Bytes(span))
        throw Malformed("data packet");
      if (rows.size() >= limits.max_rows) {
        throw PacketError("The packet has more rows than the limit of " +
                          std::to_string(limits.max_rows));
      }
      rows.push_back(span);
    } else if (!in.Skip(type)) {
      throw Malformed("data packet");
    }
  }
  DataPacket packet;
  packet.fields = FieldsFromWire(definitions.fields(), limits);
  packet.rows.reserve(rows.size());
  for (std::size_t r = 0; r < rows.size(); ++r) {
    packet.rows.push_back(ReadRow(rows[r], packet.fields, limits, r + 1));
  }
  return packet;
}

}  // namespace tovra::dataset
