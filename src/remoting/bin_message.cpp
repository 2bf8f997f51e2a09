// The BIN message: protobuf (proto/remoting.proto).

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

#include "remoting.pb.h"
#include "remoting/codec_util.h"
#include "remoting/errors.h"
#include "remoting/message.h"

namespace tovra::remoting {

namespace {

namespace pb = ::google::protobuf;

void ToWire(const NamedValue& from, wire::Value& to) {
  to.set_name(from.name);
  std::visit(
      [&to](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) {
          to.set_string_value(v);
        } else if constexpr (std::is_same_v<T, std::int32_t>) {
          to.set_int32_value(v);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          to.set_int64_value(v);
        } else if constexpr (std::is_same_v<T, bool>) {
          to.set_boolean_value(v);
        } else if constexpr (std::is_same_v<T, double>) {
          to.set_float_value(v);
        } else {
          to.set_binary_value(v.data(), v.size());
        }
      },
      from.value);
}

NamedValue FromWire(const wire::Value& from) {
  NamedValue to{from.name(), {}};
  switch (from.value_case()) {
    case wire::Value::kStringValue:
      to.value = from.string_value();
      break;
    case wire::Value::kInt32Value:
      to.value = from.int32_value();
      break;
    case wire::Value::kInt64Value:
      to.value = from.int64_value();
      break;
    case wire::Value::kBooleanValue:
      to.value = from.boolean_value();
      break;
    case wire::Value::kFloatValue:
      to.value = from.float_value();
      break;
    case wire::Value::kBinaryValue:
      to.value = Bytes(from.binary_value().begin(), from.binary_value().end());
      break;
    case wire::Value::VALUE_NOT_SET:
      throw ProtocolError("the value \"" + to.name + "\" has no type");
  }
  return to;
}

// Counts the occurrences of one top-level field without building anything, so that a small
// message cannot make the parser allocate an object for each of millions of empty values.
void CheckValueCount(std::span<const std::uint8_t> bytes, int field, const Limits& limits) {
  pb::io::CodedInputStream input(bytes.data(), static_cast<int>(bytes.size()));
  std::size_t count = 0;
  while (const std::uint32_t tag = input.ReadTag()) {
    if (pb::internal::WireFormatLite::GetTagFieldNumber(tag) == field &&
        ++count > limits.max_values) {
      throw ProtocolError("the message has more than " + std::to_string(limits.max_values) +
                          " values");
    }
    if (!pb::internal::WireFormatLite::SkipField(&input, tag)) {
      throw ProtocolError("the BIN message is malformed or truncated");
    }
  }
  if (!input.ConsumedEntireMessage() || input.CurrentPosition() != static_cast<int>(bytes.size())) {
    throw ProtocolError("the BIN message is malformed or truncated");
  }
}

template <typename Proto>
void Parse(Proto& proto, std::span<const std::uint8_t> bytes, int values_field,
           const Limits& limits) {
  if (bytes.size() > limits.max_message_size || bytes.size() > 0x7FFFFFFFu) {
    throw ProtocolError("the BIN message is larger than the limit of " +
                        std::to_string(limits.max_message_size) + " bytes");
  }
  CheckValueCount(bytes, values_field, limits);
  if (!proto.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
    throw ProtocolError("the BIN message is malformed or truncated");
  }
}

Bytes ToBytes(const pb::MessageLite& proto) {
  const std::size_t size = proto.ByteSizeLong();
  if (size > 0x7FFFFFFFu) {
    throw ProtocolError("the message is larger than a BIN message can carry");
  }
  Bytes out(size);
  proto.SerializeWithCachedSizesToArray(out.data());
  return out;
}

}  // namespace

Bytes BinMessage::EncodeCall(const Call& call) const {
  wire::Call proto;
  proto.set_client_id(call.client_id);
  proto.set_request_number(call.request_number);
  proto.set_library(call.library);
  proto.set_interface_name(call.interface_name);
  proto.set_operation(call.operation);
  proto.mutable_values()->Reserve(static_cast<int>(call.values.size()));
  for (const NamedValue& value : call.values) {
    ToWire(value, *proto.add_values());
  }
  return ToBytes(proto);
}

Call BinMessage::DecodeCall(std::span<const std::uint8_t> bytes, const Limits& limits) const {
  wire::Call proto;
  Parse(proto, bytes, wire::Call::kValuesFieldNumber, limits);
  Call call;
  call.client_id = proto.client_id();
  call.request_number = proto.request_number();
  call.library = proto.library();
  call.interface_name = proto.interface_name();
  call.operation = proto.operation();
  call.values.reserve(static_cast<std::size_t>(proto.values_size()));
  for (const wire::Value& value : proto.values()) {
    call.values.push_back(FromWire(value));
  }
  detail::CheckValues(call.values, limits);
  return call;
}

Bytes BinMessage::EncodeAnswer(const Answer& answer) const {
  wire::Answer proto;
  proto.set_client_id(answer.client_id);
  proto.set_request_number(answer.request_number);
  if (answer.fault) {
    proto.set_fault(*answer.fault);
  } else {
    proto.mutable_values()->Reserve(static_cast<int>(answer.values.size()));
    for (const NamedValue& value : answer.values) {
      ToWire(value, *proto.add_values());
    }
  }
  return ToBytes(proto);
}

Answer BinMessage::DecodeAnswer(std::span<const std::uint8_t> bytes, const Limits& limits) const {
  wire::Answer proto;
  Parse(proto, bytes, wire::Answer::kValuesFieldNumber, limits);
  Answer answer;
  answer.client_id = proto.client_id();
  answer.request_number = proto.request_number();
  if (proto.has_fault()) {
    answer.fault = proto.fault();
  }
  answer.values.reserve(static_cast<std::size_t>(proto.values_size()));
  for (const wire::Value& value : proto.values()) {
    answer.values.push_back(FromWire(value));
  }
  detail::CheckValues(answer.values, limits);
  return answer;
}

}  // namespace tovra::remoting
