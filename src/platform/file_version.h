#pragma once

// The product version that the build writes into every program file of ours.

#include <cstdint>
#include <filesystem>

namespace tovra::platform {

// The product version of the file at `path` as one number whose four 16-bit groups are,
// from the top, major, minor, release and build. 0 when the file carries no version or
// cannot be read.
std::uint64_t ReadProductVersion(const std::filesystem::path& path);

// The product version of the running program file; 0 when it carries none.
std::uint64_t GetProductVersion();

}  // namespace tovra::platform
