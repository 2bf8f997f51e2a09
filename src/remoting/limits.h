#pragma once

// Bounds that every decoder and buffer of the remoting layer keeps to, on both ends.

#include <chrono>
#include <cstddef>

namespace tovra::remoting {

struct Limits {
  // Largest message, after inflating, and largest frame or reassembled datagram sequence.
  std::size_t max_message_size = 64u << 20;
  // Most named values in one call or answer.
  std::size_t max_values = 65536;
  // Most fragments one UDP message may be cut into.
  std::size_t max_fragments = 4096;
  // A server connection that sends nothing for this long is closed.
  std::chrono::milliseconds idle_timeout{std::chrono::minutes(5)};
};

}  // namespace tovra::remoting
