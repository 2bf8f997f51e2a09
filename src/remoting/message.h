#pragma once

// A message encodes one call with its named, typed values, and the answer to it. The BIN
// kind is protobuf (proto/remoting.proto), the POST kind URL-encoded UTF-8 text; both carry
// the same content and docs/protocol.md describes them.
//
// Client side: Initialize, Write* the parameters, Serialize the request; after the answer
// came back, ReadResponse and Read* the results. A fault in the answer raises ServerFault
// with the server's text.
//
// The client id belongs to the message object: every request it serialises carries it,
// with a request number that grows by one per request. Channels and dataset connections
// that share one message object therefore share one server session.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "remoting/envelope.h"

namespace tovra::remoting {

// One named value of a call or an answer. The order of the alternatives is ValueType's.
using Value = std::variant<std::string, std::int32_t, std::int64_t, bool, double, Bytes>;

enum class ValueType : std::uint8_t { kString, kInt32, kInt64, kBoolean, kFloat, kBinary };

inline ValueType TypeOf(const Value& value) {
  return static_cast<ValueType>(value.index());
}
std::string_view TypeName(ValueType type);

struct NamedValue {
  std::string name;
  Value value;

  bool operator==(const NamedValue&) const = default;
};

// The first value of that name in `values`, or nullptr.
const Value* FindValue(const std::vector<NamedValue>& values, std::string_view name);

// Everything a request carries, as the server decodes it.
struct Call {
  std::string client_id;  // a UUID in text form
  std::uint64_t request_number = 0;
  std::string library;
  std::string interface_name;
  std::string operation;
  std::vector<NamedValue> values;

  // The value of that name (exact, case-sensitive); ProtocolError when it is missing or of
  // another type.
  const std::string& String(std::string_view name) const;
  std::int32_t Int32(std::string_view name) const;
  std::int64_t Int64(std::string_view name) const;
  bool Boolean(std::string_view name) const;
  double Float(std::string_view name) const;
  const Bytes& Binary(std::string_view name) const;
  const Value* Find(std::string_view name) const;
};

// Everything an answer carries: values, or a fault text.
struct Answer {
  std::string client_id;
  std::uint64_t request_number = 0;
  std::vector<NamedValue> values;
  std::optional<std::string> fault;
};

class Message {
 public:
  virtual ~Message() = default;

  virtual MessageKind Kind() const = 0;
  const std::string& ClientId() const { return client_id_; }
  void SetClientId(std::string client_id) { client_id_ = std::move(client_id); }

  // Starts a request; forgets the values of an earlier one.
  void Initialize(std::string_view library, std::string_view interface_name,
                  std::string_view operation);
  void WriteString(std::string_view name, std::string_view value);
  void WriteInt32(std::string_view name, std::int32_t value);
  void WriteInt64(std::string_view name, std::int64_t value);
  void WriteBoolean(std::string_view name, bool value);
  void WriteFloat(std::string_view name, double value);
  void WriteBinary(std::string_view name, Bytes value);

  // Finalises the request (assigns its request number) and serialises it.
  Bytes Serialize();
  // The request as it was last serialised (or is being built).
  const Call& Request() const { return request_; }
  // The values of the last answer read.
  const std::vector<NamedValue>& Results() const { return answer_.values; }

  // Reads the answer to the last request; ServerFault when it is a fault, ProtocolError
  // when the bytes are not an answer of this kind or answer another request.
  void ReadResponse(std::span<const std::uint8_t> payload, const Limits& limits = {});
  const std::string& ReadString(std::string_view name) const;
  std::int32_t ReadInt32(std::string_view name) const;
  std::int64_t ReadInt64(std::string_view name) const;
  bool ReadBoolean(std::string_view name) const;
  double ReadFloat(std::string_view name) const;
  const Bytes& ReadBinary(std::string_view name) const;

  // Codec of this kind, used by the server too. Decoders throw ProtocolError on any
  // malformed input and keep to `limits`.
  virtual Bytes EncodeCall(const Call& call) const = 0;
  virtual Call DecodeCall(std::span<const std::uint8_t> bytes, const Limits& limits) const = 0;
  virtual Bytes EncodeAnswer(const Answer& answer) const = 0;
  virtual Answer DecodeAnswer(std::span<const std::uint8_t> bytes, const Limits& limits) const = 0;

 protected:
  Message();

 private:
  std::string client_id_;
  std::uint64_t next_request_number_ = 1;
  Call request_;
  Answer answer_;
};

class BinMessage final : public Message { /* protobuf; defined in bin_message.cpp */
 public:
  MessageKind Kind() const override { return MessageKind::kBin; }
  Bytes EncodeCall(const Call& call) const override;
  Call DecodeCall(std::span<const std::uint8_t> bytes, const Limits& limits) const override;
  Bytes EncodeAnswer(const Answer& answer) const override;
  Answer DecodeAnswer(std::span<const std::uint8_t> bytes, const Limits& limits) const override;
};

class PostMessage final : public Message { /* URL-encoded text; defined in post_message.cpp */
 public:
  MessageKind Kind() const override { return MessageKind::kPost; }
  Bytes EncodeCall(const Call& call) const override;
  Call DecodeCall(std::span<const std::uint8_t> bytes, const Limits& limits) const override;
  Bytes EncodeAnswer(const Answer& answer) const override;
  Answer DecodeAnswer(std::span<const std::uint8_t> bytes, const Limits& limits) const override;
};

// The codec for a kind (shared, stateless instances).
const Message& CodecFor(MessageKind kind);

}  // namespace tovra::remoting
