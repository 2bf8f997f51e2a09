#include "remoting/transport_util.h"

#include <algorithm>

namespace tovra::remoting {

std::array<std::uint8_t, kFrameHeaderSize> FrameHeader(std::uint32_t length) {
  std::array<std::uint8_t, kFrameHeaderSize> header{};
  std::copy(kFrameMagic.begin(), kFrameMagic.end(), header.begin());
  for (int i = 7; i >= 4; --i) {
    header[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length);
    length >>= 8;
  }
  return header;
}

std::optional<std::uint32_t> FrameLength(std::span<const std::uint8_t, kFrameHeaderSize> header) {
  if (!std::equal(kFrameMagic.begin(), kFrameMagic.end(), header.begin())) {
    return std::nullopt;
  }
  std::uint32_t length = 0;
  for (std::size_t i = 4; i < kFrameHeaderSize; ++i) {
    length = (length << 8) | header[i];
  }
  return length;
}

std::string DurationText(std::chrono::milliseconds duration) {
  const auto ms = duration.count();
  if (ms % 1000 == 0) {
    return std::to_string(ms / 1000) + " s";
  }
  return std::to_string(ms) + " ms";
}

std::string HostPortText(const std::string& host, std::uint16_t port) {
  if (host.find(':') != std::string::npos) {
    return "[" + host + "]:" + std::to_string(port);
  }
  return host + ":" + std::to_string(port);
}

}  // namespace tovra::remoting
