#pragma once

// Text from outside (a request, a file, a command line) as it may appear in a log line.

#include <cstddef>
#include <string>
#include <string_view>

namespace tovra::support {

// How much of an outside text a log line shows by default, in bytes of the text.
inline constexpr std::size_t kLogSafeMaxBytes = 80;

// `text` made harmless for a log line: nothing in it can end the line, start a terminal
// control sequence or make the line invalid UTF-8, and it cannot flood the log.
//  - Well-formed UTF-8 passes unchanged, except control characters (C0, DEL, C1) and the
//    Unicode line and paragraph separators: each of their bytes becomes \xNN.
//  - A byte that is not part of a well-formed UTF-8 sequence becomes \xNN.
//  - At most `max_bytes` bytes of `text` are shown, never part of a character; "..." marks
//    a text cut short.
std::string LogSafe(std::string_view text, std::size_t max_bytes = kLogSafeMaxBytes);

}  // namespace tovra::support
