#include "dataset/packet_checks.h"

namespace tovra::dataset::packet_detail {

wire::FieldType ToWire(FieldType type) {
  switch (type) {
    case FieldType::Int32:
      return wire::FIELD_TYPE_INT32;
    case FieldType::Int64:
      return wire::FIELD_TYPE_INT64;
    case FieldType::String:
      return wire::FIELD_TYPE_STRING;
    case FieldType::Boolean:
      return wire::FIELD_TYPE_BOOLEAN;
    case FieldType::Float:
      return wire::FIELD_TYPE_FLOAT;
    case FieldType::DateTime:
      return wire::FIELD_TYPE_DATETIME;
    case FieldType::Blob:
      return wire::FIELD_TYPE_BLOB;
  }
  return wire::FIELD_TYPE_UNSPECIFIED;
}

FieldType FromWire(int type, std::string_view what) {
  switch (type) {
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
    default:
      throw PacketError(std::string(what) + " has an unknown field type " + std::to_string(type));
  }
}

std::uint32_t FlagsToWire(const FieldDef& def) {
  std::uint32_t flags = 0;
  if (def.required)
    flags |= wire::FIELD_FLAG_REQUIRED;
  if (def.read_only)
    flags |= wire::FIELD_FLAG_READ_ONLY;
  if (def.provider_flags & kInKey)
    flags |= wire::FIELD_FLAG_IN_KEY;
  if (def.provider_flags & kInUpdate)
    flags |= wire::FIELD_FLAG_IN_UPDATE;
  if (def.provider_flags & kInWhere)
    flags |= wire::FIELD_FLAG_IN_WHERE;
  return flags;
}

std::string NameProblem(std::string_view name, std::size_t max_bytes) {
  if (name.empty())
    return "an empty name";
  if (name.size() > max_bytes)
    return "a name longer than " + std::to_string(max_bytes) + " bytes";
  if (!IsValidUtf8(name))
    return "a name that is not UTF-8";
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    // C0 controls, DEL, and C1 controls (U+0080 to U+009F, 0xC2 0x80 to 0xC2 0x9F in UTF-8).
    const bool c1 =
        c == 0xC2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) <= 0x9F;
    if (c < 0x20 || c == 0x7F || c1)
      return "a name with a control character";
  }
  const std::string quoted = "the name '" + std::string(name) + "'";
  if (name.find_first_not_of(' ') == std::string_view::npos)
    return quoted + ", which has nothing but spaces";
  if (name.front() == ' ' || name.back() == ' ')
    return quoted + ", which begins or ends with a space";
  if (name.find_first_of(";[]") != std::string_view::npos)
    return quoted +
           ", which holds one of the characters ';', '[' and ']' that separate and "
           "enclose field names";
  return {};
}

std::string CheckedName(const std::string& name, const DecodeLimits& limits,
                        std::string_view what) {
  const std::string problem = NameProblem(name, limits.max_name_bytes);
  if (!problem.empty())
    throw PacketError(std::string(what) + " has " + problem);
  return name;
}

std::vector<FieldDef> FieldsFromWire(const google::protobuf::RepeatedPtrField<wire::FieldDef>& in,
                                     const DecodeLimits& limits) {
  if (static_cast<std::size_t>(in.size()) > limits.max_fields) {
    throw PacketError("The packet has " + std::to_string(in.size()) +
                      " fields, more than the limit of " + std::to_string(limits.max_fields));
  }
  std::vector<FieldDef> fields;
  fields.reserve(static_cast<std::size_t>(in.size()));
  for (int i = 0; i < in.size(); ++i) {
    const wire::FieldDef& w = in.Get(i);
    std::string what = "Field " + std::to_string(i + 1);
    FieldDef def;
    def.name = CheckedName(w.name(), limits, what);
    what = "Field '" + def.name + "'";
    def.type = FromWire(w.type(), what);
    if (w.size() < 0)
      throw PacketError(what + " has a negative size");
    def.size = w.size();
    const std::uint32_t known = wire::FIELD_FLAG_REQUIRED | wire::FIELD_FLAG_READ_ONLY |
                                wire::FIELD_FLAG_IN_KEY | wire::FIELD_FLAG_IN_UPDATE |
                                wire::FIELD_FLAG_IN_WHERE;
    if (w.flags() & ~known)
      throw PacketError(what + " has unknown flags");
    def.required = (w.flags() & wire::FIELD_FLAG_REQUIRED) != 0;
    def.read_only = (w.flags() & wire::FIELD_FLAG_READ_ONLY) != 0;
    def.provider_flags = 0;
    if (w.flags() & wire::FIELD_FLAG_IN_KEY)
      def.provider_flags |= kInKey;
    if (w.flags() & wire::FIELD_FLAG_IN_UPDATE)
      def.provider_flags |= kInUpdate;
    if (w.flags() & wire::FIELD_FLAG_IN_WHERE)
      def.provider_flags |= kInWhere;
    for (const FieldDef& earlier : fields) {
      if (SameFieldName(earlier.name, def.name)) {
        throw PacketError("The field name '" + def.name + "' occurs twice");
      }
    }
    fields.push_back(std::move(def));
  }
  return fields;
}

Value MakeValue(const RawValue& raw, const FieldDef& def, const DecodeLimits& limits,
                const Place& place) {
  auto wrong = [&]() -> PacketError {
    return PacketError(place.Text() + ", field '" + def.name + "': not a valid " +
                       std::string(FieldTypeName(def.type)) + " value");
  };
  switch (raw.kind) {
    case RawValue::Kind::Null:
      return Value{};
    case RawValue::Kind::Int:
      if (def.type == FieldType::Int64 || def.type == FieldType::DateTime) {
        return Value{raw.int_value};
      }
      if (def.type == FieldType::Int32 && raw.int_value >= INT32_MIN &&
          raw.int_value <= INT32_MAX) {
        return Value{raw.int_value};
      }
      throw wrong();
    case RawValue::Kind::Float:
      if (def.type != FieldType::Float)
        throw wrong();
      return Value{raw.float_value};
    case RawValue::Kind::Bool:
      if (def.type != FieldType::Boolean)
        throw wrong();
      return Value{raw.bool_value};
    case RawValue::Kind::Bytes:
      if (def.type != FieldType::String && def.type != FieldType::Blob)
        throw wrong();
      if (raw.bytes.size() > limits.max_value_bytes) {
        throw PacketError(place.Text() + ", field '" + def.name + "': the value is longer than " +
                          std::to_string(limits.max_value_bytes) + " bytes");
      }
      if (def.type == FieldType::String && !IsValidUtf8(raw.bytes)) {
        throw PacketError(place.Text() + ", field '" + def.name + "': the text is not UTF-8");
      }
      return Value{std::string(raw.bytes)};
  }
  throw wrong();
}

PacketError Malformed(std::string_view what) {
  return PacketError("The " + std::string(what) + " is malformed");
}

}  // namespace tovra::dataset::packet_detail
