#include "remoting/message.h"

#include <botan/system_rng.h>

#include <cstdio>

#include "remoting/errors.h"

namespace tovra::remoting {

namespace {

// A version 4 UUID from the system's random source. The client id is what ties a session to
// its client, so it must not be guessable.
std::string RandomUuid() {
  std::uint8_t bytes[16];
  Botan::system_rng().randomize(bytes, sizeof bytes);
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

template <typename T>
const T& Typed(const std::vector<NamedValue>& values, std::string_view name, ValueType wanted,
               std::string_view where) {
  const Value* value = FindValue(values, name);
  if (value == nullptr) {
    throw ProtocolError(std::string(where) + " has no value named \"" + std::string(name) + "\"");
  }
  if (TypeOf(*value) != wanted) {
    throw ProtocolError("the value \"" + std::string(name) + "\" of " + std::string(where) +
                        " is " + std::string(TypeName(TypeOf(*value))) + ", not " +
                        std::string(TypeName(wanted)));
  }
  return std::get<T>(*value);
}

}  // namespace

std::string_view TypeName(ValueType type) {
  switch (type) {
    case ValueType::kString:
      return "a string";
    case ValueType::kInt32:
      return "a 32-bit integer";
    case ValueType::kInt64:
      return "a 64-bit integer";
    case ValueType::kBoolean:
      return "a boolean";
    case ValueType::kFloat:
      return "a float";
    case ValueType::kBinary:
      return "binary";
  }
  return "unknown";
}

const Value* FindValue(const std::vector<NamedValue>& values, std::string_view name) {
  for (const NamedValue& named : values) {
    if (named.name == name) {
      return &named.value;
    }
  }
  return nullptr;
}

const Value* Call::Find(std::string_view name) const {
  return FindValue(values, name);
}
const std::string& Call::String(std::string_view name) const {
  return Typed<std::string>(values, name, ValueType::kString, "the call");
}
std::int32_t Call::Int32(std::string_view name) const {
  return Typed<std::int32_t>(values, name, ValueType::kInt32, "the call");
}
std::int64_t Call::Int64(std::string_view name) const {
  return Typed<std::int64_t>(values, name, ValueType::kInt64, "the call");
}
bool Call::Boolean(std::string_view name) const {
  return Typed<bool>(values, name, ValueType::kBoolean, "the call");
}
double Call::Float(std::string_view name) const {
  return Typed<double>(values, name, ValueType::kFloat, "the call");
}
const Bytes& Call::Binary(std::string_view name) const {
  return Typed<Bytes>(values, name, ValueType::kBinary, "the call");
}

Message::Message() : client_id_(RandomUuid()) {}

void Message::Initialize(std::string_view library, std::string_view interface_name,
                         std::string_view operation) {
  request_ = Call{};
  request_.library = library;
  request_.interface_name = interface_name;
  request_.operation = operation;
  answer_ = Answer{};
}

void Message::WriteString(std::string_view name, std::string_view value) {
  request_.values.push_back({std::string(name), std::string(value)});
}
void Message::WriteInt32(std::string_view name, std::int32_t value) {
  request_.values.push_back({std::string(name), value});
}
void Message::WriteInt64(std::string_view name, std::int64_t value) {
  request_.values.push_back({std::string(name), value});
}
void Message::WriteBoolean(std::string_view name, bool value) {
  request_.values.push_back({std::string(name), value});
}
void Message::WriteFloat(std::string_view name, double value) {
  request_.values.push_back({std::string(name), value});
}
void Message::WriteBinary(std::string_view name, Bytes value) {
  request_.values.push_back({std::string(name), std::move(value)});
}

Bytes Message::Serialize() {
  request_.client_id = client_id_;
  request_.request_number = next_request_number_++;
  return EncodeCall(request_);
}

void Message::ReadResponse(std::span<const std::uint8_t> payload, const Limits& limits) {
  Answer answer = DecodeAnswer(payload, limits);
  // A server that could not read the request at all cannot name it; its fault still says
  // why.
  if (answer.fault && answer.request_number == 0) {
    throw ServerFault(*answer.fault);
  }
  if (answer.client_id != request_.client_id || answer.request_number != request_.request_number) {
    throw ProtocolError("the server's answer belongs to another request (request " +
                        std::to_string(answer.request_number) + " instead of " +
                        std::to_string(request_.request_number) + ")");
  }
  answer_ = std::move(answer);
  if (answer_.fault) {
    throw ServerFault(*answer_.fault);
  }
}

const std::string& Message::ReadString(std::string_view name) const {
  return Typed<std::string>(answer_.values, name, ValueType::kString, "the answer");
}
std::int32_t Message::ReadInt32(std::string_view name) const {
  return Typed<std::int32_t>(answer_.values, name, ValueType::kInt32, "the answer");
}
std::int64_t Message::ReadInt64(std::string_view name) const {
  return Typed<std::int64_t>(answer_.values, name, ValueType::kInt64, "the answer");
}
bool Message::ReadBoolean(std::string_view name) const {
  return Typed<bool>(answer_.values, name, ValueType::kBoolean, "the answer");
}
double Message::ReadFloat(std::string_view name) const {
  return Typed<double>(answer_.values, name, ValueType::kFloat, "the answer");
}
const Bytes& Message::ReadBinary(std::string_view name) const {
  return Typed<Bytes>(answer_.values, name, ValueType::kBinary, "the answer");
}

const Message& CodecFor(MessageKind kind) {
  static const BinMessage bin;
  static const PostMessage post;
  if (kind == MessageKind::kPost) {
    return post;
  }
  return bin;
}

}  // namespace tovra::remoting
