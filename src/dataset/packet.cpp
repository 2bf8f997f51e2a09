#include "dataset/packet.h"

#include <google/protobuf/arena.h>

#include <cstring>
#include <unordered_set>

#include "dataset.pb.h"
#include "dataset/packet_checks.h"

// The encoders, the packet builder, and the decoders of deltas, reconcile answers and
// parameter lists, which read through the generated protobuf classes. The data packet's
// own reader is in packet_reader.cpp.

namespace tovra::dataset {

using namespace packet_detail;

namespace {

void ValueToWire(const Value& value, wire::Value* out) {
  if (const auto* i = std::get_if<std::int64_t>(&value)) {
    out->set_int_value(*i);
  } else if (const auto* d = std::get_if<double>(&value)) {
    out->set_float_value(*d);
  } else if (const auto* b = std::get_if<bool>(&value)) {
    out->set_bool_value(*b);
  } else if (const auto* s = std::get_if<std::string>(&value)) {
    out->set_bytes_value(*s);
  }
}

void RowToWire(std::span<const Value> values, wire::Row* out) {
  out->mutable_values()->Reserve(static_cast<int>(values.size()));
  for (const Value& v : values)
    ValueToWire(v, out->add_values());
}

void FieldsToWire(const std::vector<FieldDef>& fields,
                  google::protobuf::RepeatedPtrField<wire::FieldDef>* out) {
  for (const FieldDef& def : fields) {
    wire::FieldDef* w = out->Add();
    w->set_name(def.name);
    w->set_type(ToWire(def.type));
    w->set_size(def.size);
    w->set_flags(FlagsToWire(def));
  }
}

void CheckRowFits(std::span<const Value> values, const std::vector<FieldDef>& fields) {
  if (values.size() != fields.size()) {
    throw DataSetError("A row has " + std::to_string(values.size()) + " values for " +
                       std::to_string(fields.size()) + " fields");
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!ValueFitsType(values[i], fields[i].type)) {
      throw DataSetError("The value for field '" + fields[i].name + "' is not a valid " +
                         std::string(FieldTypeName(fields[i].type)) + " value");
    }
  }
}

// Encoders refuse the names their decoders would refuse, so that a provider (or a client
// sending a delta) learns of a bad name where it makes it.
void CheckNames(const std::vector<FieldDef>& fields) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string problem = NameProblem(fields[i].name, DecodeLimits{}.max_name_bytes);
    if (!problem.empty())
      throw DataSetError("Field " + std::to_string(i + 1) + " has " + problem);
    for (std::size_t j = 0; j < i; ++j) {
      if (SameFieldName(fields[j].name, fields[i].name))
        throw DataSetError("The field name '" + fields[i].name + "' occurs twice");
    }
  }
}

// Parses `bytes` into a message on `arena`, after the size check.
template <typename Message>
Message* Parse(std::string_view bytes, const DecodeLimits& limits, google::protobuf::Arena* arena,
               std::string_view what) {
  if (bytes.size() > limits.max_bytes) {
    throw PacketError("The " + std::string(what) + " is " + std::to_string(bytes.size()) +
                      " bytes long, more than the limit of " + std::to_string(limits.max_bytes));
  }
  auto* message = google::protobuf::Arena::CreateMessage<Message>(arena);
  if (bytes.size() > static_cast<std::size_t>(INT32_MAX) ||
      !message->ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
    throw PacketError("The " + std::string(what) + " is malformed");
  }
  return message;
}

Value ValueFromWire(const wire::Value& w, const FieldDef& def, const DecodeLimits& limits,
                    const Place& place) {
  RawValue raw;
  switch (w.kind_case()) {
    case wire::Value::KIND_NOT_SET:
      break;
    case wire::Value::kIntValue:
      raw.kind = RawValue::Kind::Int;
      raw.int_value = w.int_value();
      break;
    case wire::Value::kFloatValue:
      raw.kind = RawValue::Kind::Float;
      raw.float_value = w.float_value();
      break;
    case wire::Value::kBoolValue:
      raw.kind = RawValue::Kind::Bool;
      raw.bool_value = w.bool_value();
      break;
    case wire::Value::kBytesValue:
      raw.kind = RawValue::Kind::Bytes;
      raw.bytes = w.bytes_value();
      break;
  }
  return MakeValue(raw, def, limits, place);
}

std::vector<Value> RowFromWire(const wire::Row& row, const std::vector<FieldDef>& fields,
                               const DecodeLimits& limits, const Place& place) {
  if (static_cast<std::size_t>(row.values_size()) != fields.size()) {
    throw PacketError(place.Text() + " has " + std::to_string(row.values_size()) + " values for " +
                      std::to_string(fields.size()) + " fields");
  }
  std::vector<Value> values;
  values.reserve(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    values.push_back(ValueFromWire(row.values(static_cast<int>(i)), fields[i], limits, place));
  }
  return values;
}

void CheckRowCount(int count, const DecodeLimits& limits) {
  if (static_cast<std::size_t>(count) > limits.max_rows) {
    throw PacketError("The packet has " + std::to_string(count) + " rows, more than the limit of " +
                      std::to_string(limits.max_rows));
  }
}

}  // namespace

const Value& DeltaRow::NewValue(std::size_t field) const {
  if (kind == UpdateKind::Modify && !IsChanged(field))
    return original.at(field);
  return new_values.at(field);
}

// Wire-format writing for the packet builder: rows are encoded as they are added, so a
// provider holds only the encoded bytes, never a message object per value.
namespace {

void PutVarint(std::string& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>((v & 0x7F) | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

void PutBytes(std::string& out, char tag, std::string_view bytes) {
  out.push_back(tag);
  PutVarint(out, bytes.size());
  out.append(bytes);
}

// Tags of the messages in dataset.proto: (field number << 3) | wire type.
constexpr char kFieldsTag = 0x0A;  // DataPacket.fields, length-delimited
constexpr char kRowsTag = 0x12;    // DataPacket.rows, length-delimited
constexpr char kValuesTag = 0x0A;  // Row.values, length-delimited
constexpr char kIntTag = 0x08;     // Value.int_value, varint (zigzag)
constexpr char kFloatTag = 0x11;   // Value.float_value, 64-bit
constexpr char kBoolTag = 0x18;    // Value.bool_value, varint
constexpr char kBytesTag = 0x22;   // Value.bytes_value, length-delimited

void PutValue(std::string& out, std::string& scratch, const Value& v) {
  scratch.clear();
  if (const auto* i = std::get_if<std::int64_t>(&v)) {
    scratch.push_back(kIntTag);
    PutVarint(scratch,
              (static_cast<std::uint64_t>(*i) << 1) ^ static_cast<std::uint64_t>(*i >> 63));
  } else if (const auto* d = std::get_if<double>(&v)) {
    scratch.push_back(kFloatTag);
    char buf[8];
    std::memcpy(buf, d, 8);
    scratch.append(buf, 8);
  } else if (const auto* b = std::get_if<bool>(&v)) {
    scratch.push_back(kBoolTag);
    scratch.push_back(*b ? 1 : 0);
  } else if (const auto* s = std::get_if<std::string>(&v)) {
    PutBytes(scratch, kBytesTag, *s);
  }
  PutBytes(out, kValuesTag, scratch);
}

}  // namespace

struct PacketBuilder::Impl {
  std::string bytes;
  std::string row;
  std::string value;
  std::size_t rows = 0;
};

PacketBuilder::PacketBuilder(std::vector<FieldDef> fields)
    : fields_(std::move(fields)), impl_(std::make_unique<Impl>()) {
  CheckNames(fields_);
  wire::DataPacket header;
  FieldsToWire(fields_, header.mutable_fields());
  for (const wire::FieldDef& def : header.fields()) {
    PutBytes(impl_->bytes, kFieldsTag, def.SerializeAsString());
  }
}
PacketBuilder::~PacketBuilder() = default;
PacketBuilder::PacketBuilder(PacketBuilder&&) noexcept = default;
PacketBuilder& PacketBuilder::operator=(PacketBuilder&&) noexcept = default;

std::size_t PacketBuilder::row_count() const {
  return impl_->rows;
}

void PacketBuilder::AddRow(std::span<const Value> values) {
  CheckRowFits(values, fields_);
  impl_->row.clear();
  for (const Value& v : values)
    PutValue(impl_->row, impl_->value, v);
  PutBytes(impl_->bytes, kRowsTag, impl_->row);
  ++impl_->rows;
}

std::string PacketBuilder::Encode() const {
  return impl_->bytes;
}

std::string EncodePacket(const DataPacket& packet) {
  PacketBuilder builder(packet.fields);
  for (const auto& row : packet.rows)
    builder.AddRow(row);
  return builder.Encode();
}

std::string EncodeDelta(const Delta& delta) {
  CheckNames(delta.fields);
  wire::Delta w;
  FieldsToWire(delta.fields, w.mutable_fields());
  w.mutable_rows()->Reserve(static_cast<int>(delta.rows.size()));
  for (const DeltaRow& row : delta.rows) {
    wire::DeltaRow* out = w.add_rows();
    out->set_row_id(row.row_id);
    switch (row.kind) {
      case UpdateKind::Insert:
        out->set_kind(wire::UPDATE_KIND_INSERT);
        CheckRowFits(row.new_values, delta.fields);
        RowToWire(row.new_values, out->mutable_new_values());
        break;
      case UpdateKind::Modify:
        out->set_kind(wire::UPDATE_KIND_MODIFY);
        CheckRowFits(row.original, delta.fields);
        CheckRowFits(row.new_values, delta.fields);
        RowToWire(row.original, out->mutable_original());
        RowToWire(row.new_values, out->mutable_new_values());
        for (std::size_t i = 0; i < row.changed.size() && i < delta.fields.size(); ++i) {
          if (row.changed[i])
            out->add_changed(static_cast<std::uint32_t>(i));
        }
        break;
      case UpdateKind::Delete:
        out->set_kind(wire::UPDATE_KIND_DELETE);
        CheckRowFits(row.original, delta.fields);
        RowToWire(row.original, out->mutable_original());
        break;
    }
  }
  return w.SerializeAsString();
}

Delta DecodeDelta(std::string_view bytes, const DecodeLimits& limits) {
  google::protobuf::Arena arena;
  const auto* w = Parse<wire::Delta>(bytes, limits, &arena, "delta");
  Delta delta;
  delta.fields = FieldsFromWire(w->fields(), limits);
  CheckRowCount(w->rows_size(), limits);
  delta.rows.reserve(static_cast<std::size_t>(w->rows_size()));
  std::unordered_set<std::uint64_t> ids;
  for (int r = 0; r < w->rows_size(); ++r) {
    const wire::DeltaRow& in = w->rows(r);
    const Place place{"Delta row", static_cast<std::size_t>(r) + 1};
    DeltaRow row;
    row.row_id = in.row_id();
    if (!ids.insert(row.row_id).second) {
      throw PacketError(place.Text() + " repeats the row reference " + std::to_string(row.row_id));
    }
    const bool has_original = in.has_original();
    const bool has_new = in.has_new_values();
    switch (in.kind()) {
      case wire::UPDATE_KIND_INSERT:
        row.kind = UpdateKind::Insert;
        if (has_original || !has_new || in.changed_size() != 0) {
          throw PacketError(place.Text() + ": an insert carries exactly the new values");
        }
        break;
      case wire::UPDATE_KIND_MODIFY:
        row.kind = UpdateKind::Modify;
        if (!has_original || !has_new) {
          throw PacketError(place.Text() + ": a change carries the original and the new values");
        }
        break;
      case wire::UPDATE_KIND_DELETE:
        row.kind = UpdateKind::Delete;
        if (!has_original || has_new || in.changed_size() != 0) {
          throw PacketError(place.Text() + ": a deletion carries exactly the original values");
        }
        break;
      default:
        throw PacketError(place.Text() + " has an unknown kind " + std::to_string(in.kind()));
    }
    if (has_original)
      row.original = RowFromWire(in.original(), delta.fields, limits, place);
    if (has_new)
      row.new_values = RowFromWire(in.new_values(), delta.fields, limits, place);
    if (row.kind == UpdateKind::Modify) {
      row.changed.assign(delta.fields.size(), false);
      std::int64_t previous = -1;
      for (std::uint32_t position : in.changed()) {
        if (position >= delta.fields.size() || static_cast<std::int64_t>(position) <= previous) {
          throw PacketError(place.Text() +
                            " names the changed fields out of order or out of range");
        }
        previous = position;
        row.changed[position] = true;
      }
    }
    delta.rows.push_back(std::move(row));
  }
  return delta;
}

std::string EncodeReconcileAnswer(const ReconcileAnswer& answer) {
  wire::ReconcileAnswer w;
  for (const RefusedRow& r : answer.refused) {
    wire::RefusedRow* out = w.add_refused();
    out->set_row_id(r.row_id);
    out->set_reason(r.reason);
  }
  for (std::uint64_t id : answer.not_applied)
    w.add_not_applied(id);
  return w.SerializeAsString();
}

ReconcileAnswer DecodeReconcileAnswer(std::string_view bytes, const DecodeLimits& limits) {
  google::protobuf::Arena arena;
  const auto* w = Parse<wire::ReconcileAnswer>(bytes, limits, &arena, "reconcile answer");
  CheckRowCount(w->refused_size(), limits);
  CheckRowCount(w->not_applied_size(), limits);
  ReconcileAnswer answer;
  answer.refused.reserve(static_cast<std::size_t>(w->refused_size()));
  for (const wire::RefusedRow& r : w->refused()) {
    if (r.reason().size() > limits.max_value_bytes || !IsValidUtf8(r.reason())) {
      throw PacketError("The reconcile answer holds a reason that is too long or not UTF-8");
    }
    answer.refused.push_back({r.row_id(), r.reason()});
  }
  answer.not_applied.assign(w->not_applied().begin(), w->not_applied().end());
  return answer;
}

std::string EncodeParams(const std::vector<Param>& params) {
  wire::ParamList w;
  for (std::size_t i = 0; i < params.size(); ++i) {
    const Param& p = params[i];
    const std::string problem = NameProblem(p.name, DecodeLimits{}.max_name_bytes);
    if (!problem.empty())
      throw DataSetError("Parameter " + std::to_string(i + 1) + " has " + problem);
    for (std::size_t j = 0; j < i; ++j) {
      if (SameFieldName(params[j].name, p.name))
        throw DataSetError("The parameter name '" + p.name + "' occurs twice");
    }
    if (!ValueFitsType(p.value, p.type)) {
      throw DataSetError("The value of parameter '" + p.name + "' is not a valid " +
                         std::string(FieldTypeName(p.type)) + " value");
    }
    wire::Param* out = w.add_params();
    out->set_name(p.name);
    out->set_type(ToWire(p.type));
    ValueToWire(p.value, out->mutable_value());
  }
  return w.SerializeAsString();
}

std::vector<Param> DecodeParams(std::string_view bytes, const DecodeLimits& limits) {
  google::protobuf::Arena arena;
  const auto* w = Parse<wire::ParamList>(bytes, limits, &arena, "parameter list");
  if (static_cast<std::size_t>(w->params_size()) > limits.max_params) {
    throw PacketError("The parameter list has more than " + std::to_string(limits.max_params) +
                      " parameters");
  }
  std::vector<Param> params;
  for (int i = 0; i < w->params_size(); ++i) {
    const wire::Param& in = w->params(i);
    Param p;
    p.name = CheckedName(in.name(), limits, "Parameter " + std::to_string(i + 1));
    p.type = FromWire(in.type(), "Parameter '" + p.name + "'");
    FieldDef def{p.name, p.type};
    p.value =
        ValueFromWire(in.value(), def, limits, Place{"Parameter", static_cast<std::size_t>(i) + 1});
    for (const Param& earlier : params) {
      if (SameFieldName(earlier.name, p.name)) {
        throw PacketError("The parameter name '" + p.name + "' occurs twice");
      }
    }
    params.push_back(std::move(p));
  }
  return params;
}

}  // namespace tovra::dataset
