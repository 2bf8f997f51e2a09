#include "remoting/udp_datagram.h"

#include <algorithm>
#include <string>

#include "remoting/errors.h"

namespace tovra::remoting::datagram {

namespace {

constexpr std::uint8_t kMagic[4] = {'T', 'V', 'R', 'D'};
constexpr std::uint8_t kVersion = 1;

void Put32(std::uint8_t* out, std::uint32_t value) {
  for (int i = 3; i >= 0; --i) {
    out[i] = static_cast<std::uint8_t>(value);
    value >>= 8;
  }
}

void Put64(std::uint8_t* out, std::uint64_t value) {
  for (int i = 7; i >= 0; --i) {
    out[i] = static_cast<std::uint8_t>(value);
    value >>= 8;
  }
}

std::uint64_t Get(const std::uint8_t* in, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    value = (value << 8) | in[i];
  }
  return value;
}

}  // namespace

std::optional<Header> ParseHeader(std::span<const std::uint8_t> datagram) {
  if (datagram.size() < kHeaderSize || !std::equal(kMagic, kMagic + 4, datagram.begin()) ||
      datagram[4] != kVersion || datagram[5] > 1) {
    return std::nullopt;
  }
  Header header;
  header.direction = static_cast<Direction>(datagram[5]);
  header.attempt = static_cast<std::uint16_t>(Get(&datagram[6], 2));
  header.call_id = Get(&datagram[8], 8);
  header.index = static_cast<std::uint32_t>(Get(&datagram[16], 4));
  header.count = static_cast<std::uint32_t>(Get(&datagram[20], 4));
  header.total_length = static_cast<std::uint32_t>(Get(&datagram[24], 4));
  if (header.count == 0 || header.index >= header.count) {
    return std::nullopt;
  }
  return header;
}

void SetAttempt(Bytes& datagram, std::uint16_t attempt) {
  if (datagram.size() >= kHeaderSize) {
    datagram[6] = static_cast<std::uint8_t>(attempt >> 8);
    datagram[7] = static_cast<std::uint8_t>(attempt);
  }
}

std::vector<Bytes> Fragment(std::span<const std::uint8_t> message, Direction direction,
                            std::uint64_t call_id, std::size_t fragment_payload,
                            const Limits& limits) {
  fragment_payload = std::clamp<std::size_t>(fragment_payload, 1, kMaxDatagram - kHeaderSize);
  const std::size_t count =
      message.empty() ? 1 : (message.size() + fragment_payload - 1) / fragment_payload;
  if (message.size() > limits.max_message_size || message.size() > UINT32_MAX ||
      count > limits.max_fragments) {
    throw ProtocolError(
        "a message of " + std::to_string(message.size()) + " bytes is too large for UDP: at most " +
        std::to_string(std::min(limits.max_message_size, limits.max_fragments * fragment_payload)) +
        " bytes fit");
  }
  std::vector<Bytes> datagrams;
  datagrams.reserve(count);
  for (std::size_t index = 0; index < count; ++index) {
    const std::size_t offset = index * fragment_payload;
    const std::size_t length = std::min(fragment_payload, message.size() - offset);
    Bytes datagram(kHeaderSize + length);
    std::copy(kMagic, kMagic + 4, datagram.begin());
    datagram[4] = kVersion;
    datagram[5] = static_cast<std::uint8_t>(direction);
    Put64(&datagram[8], call_id);
    Put32(&datagram[16], static_cast<std::uint32_t>(index));
    Put32(&datagram[20], static_cast<std::uint32_t>(count));
    Put32(&datagram[24], static_cast<std::uint32_t>(message.size()));
    std::copy_n(message.begin() + static_cast<std::ptrdiff_t>(offset), length,
                datagram.begin() + kHeaderSize);
    datagrams.push_back(std::move(datagram));
  }
  return datagrams;
}

Reassembly::Reassembly(const Header& first, const Limits& limits)
    : count_(first.count), total_length_(first.total_length) {
  if (first.count > limits.max_fragments || first.total_length > limits.max_message_size) {
    throw ProtocolError("a UDP message announced " + std::to_string(first.count) +
                        " fragments and " + std::to_string(first.total_length) +
                        " bytes, beyond the limits");
  }
}

Reassembly::Result Reassembly::Add(const Header& header, std::span<const std::uint8_t> payload) {
  if (header.count != count_ || header.total_length != total_length_) {
    return Result::kBroken;
  }
  if (fragments_.contains(header.index)) {
    return Result::kDuplicate;
  }
  if (held_ + payload.size() > total_length_) {
    return Result::kBroken;
  }
  fragments_.emplace(header.index, Bytes(payload.begin(), payload.end()));
  held_ += payload.size();
  if (fragments_.size() < count_) {
    return Result::kPending;
  }
  return held_ == total_length_ ? Result::kComplete : Result::kBroken;
}

Bytes Reassembly::Take() {
  Bytes message;
  message.reserve(held_);
  for (auto& [index, fragment] : fragments_) {
    message.insert(message.end(), fragment.begin(), fragment.end());
  }
  fragments_.clear();
  held_ = 0;
  return message;
}

}  // namespace tovra::remoting::datagram
