#pragma once

// Small text helpers shared by the whole program.
//
// Texts are byte strings with a known length: they may hold NUL characters, and nothing
// here stops at one. Positions are 1-based, as the callers count them.

#include <optional>
#include <string>
#include <string_view>

namespace tovra::support {

// True when `c` occurs in `delimiters`; an empty delimiter string holds nothing.
bool CharInString(char c, std::string_view delimiters);

// The 1-based position of the first character of the n-th word of `text`, or nothing when
// there is no such word (n < 1 included). A word is a maximal run of characters none of
// which is a delimiter; words are counted from 1, left to right.
std::optional<std::size_t> WordStartPosition(int n, std::string_view text,
                                             std::string_view delimiters);

// The n-th word of `text`, or an empty string when there is none.
std::string ExtractWordN(int n, std::string_view text, std::string_view delimiters);

// The longest last path component LastPathComponent returns.
inline constexpr std::size_t kMaxPathComponent = 260;

// The part of `path` after its last backslash, colon or NUL character, cut to at most
// kMaxPathComponent characters. A path ending in a separator gives an empty string.
std::string LastPathComponent(std::string_view path);

}  // namespace tovra::support
