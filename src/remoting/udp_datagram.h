#pragma once

// UDP datagrams of the remoting channels: the header every datagram carries and the
// reassembly of a message cut into fragments. docs/protocol-channels.md gives the layout.
//
// A message travels as `count` datagrams; each carries the call id, its index, the count and
// the message's total length, so the receiver can bound what it holds before the message
// is complete. Fragments may arrive in any order and more than once.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "remoting/envelope.h"
#include "remoting/limits.h"

namespace tovra::remoting::datagram {

inline constexpr std::size_t kHeaderSize = 28;
// Payload bytes per datagram unless the channel is told otherwise. Larger datagrams are
// cut by IP on the way; this size keeps the count of fragments of a large call moderate.
inline constexpr std::size_t kDefaultFragmentPayload = 8192;
// Largest UDP payload IPv4 can carry.
inline constexpr std::size_t kMaxDatagram = 65507;

enum class Direction : std::uint8_t { kRequest = 0, kAnswer = 1 };

struct Header {
  Direction direction = Direction::kRequest;
  // Which sending of the message this is: 0 first, 1 the first retry, and so on. Lets the
  // server re-send an answer once per retry, not once per repeated fragment.
  std::uint16_t attempt = 0;
  std::uint64_t call_id = 0;
  std::uint32_t index = 0;
  std::uint32_t count = 0;
  std::uint32_t total_length = 0;
};

// Marks a datagram made by Fragment as belonging to the given attempt.
void SetAttempt(Bytes& datagram, std::uint16_t attempt);

// Reads a header; nullopt when the datagram is too short, carries the wrong magic or
// version, or its fields contradict each other (index beyond count, no fragments).
std::optional<Header> ParseHeader(std::span<const std::uint8_t> datagram);

// Cuts a message into datagrams, header included. Throws ProtocolError when the message
// would need more than limits.max_fragments datagrams or exceeds limits.max_message_size.
std::vector<Bytes> Fragment(std::span<const std::uint8_t> message, Direction direction,
                            std::uint64_t call_id, std::size_t fragment_payload,
                            const Limits& limits);

// Collects the fragments of one message. Duplicates are ignored; a fragment whose count or
// total length differs from the first one seen marks the message as broken.
class Reassembly {
 public:
  enum class Result { kPending, kComplete, kDuplicate, kBroken };

  Reassembly(const Header& first, const Limits& limits);

  Result Add(const Header& header, std::span<const std::uint8_t> payload);
  // The message once Add has returned kComplete; leaves this object empty.
  Bytes Take();
  // Bytes held now, bookkeeping included, for the receiver's memory budget.
  std::size_t HeldBytes() const { return held_ + fragments_.size() * kPerFragmentOverhead; }

  static constexpr std::size_t kPerFragmentOverhead = 64;

 private:
  std::uint32_t count_;
  std::uint32_t total_length_;
  std::size_t held_ = 0;
  std::map<std::uint32_t, Bytes> fragments_;
};

}  // namespace tovra::remoting::datagram
