#pragma once

// Small pieces the channels and listeners share: the TCP frame header and the wording of
// endpoints and durations in error texts.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tovra::remoting {

// A TCP frame: the magic "TVRF", the payload length as a 32-bit big-endian number, then the
// payload. The same frame carries requests and answers.
inline constexpr std::size_t kFrameHeaderSize = 8;
inline constexpr std::array<std::uint8_t, 4> kFrameMagic = {'T', 'V', 'R', 'F'};

std::array<std::uint8_t, kFrameHeaderSize> FrameHeader(std::uint32_t length);
// The payload length, or nullopt when the magic is wrong.
std::optional<std::uint32_t> FrameLength(std::span<const std::uint8_t, kFrameHeaderSize> header);

// "30 s" for whole seconds, "250 ms" otherwise.
std::string DurationText(std::chrono::milliseconds duration);

// "127.0.0.1:6000", "[::1]:6000".
std::string HostPortText(const std::string& host, std::uint16_t port);

}  // namespace tovra::remoting
