#include "support/text.h"

#include <algorithm>

namespace tovra::support {

bool CharInString(char c, std::string_view delimiters) {
  // string_view::find compares bytes, so a NUL delimiter is found like any other.
  return delimiters.find(c) != std::string_view::npos;
}

std::optional<std::size_t> WordStartPosition(int n, std::string_view text,
                                             std::string_view delimiters) {
  if (n < 1) {
    return std::nullopt;
  }
  std::size_t i = 0;  // 0-based here; reported 1-based
  int count = 0;
  while (i < text.size()) {
    while (i < text.size() && CharInString(text[i], delimiters)) {
      ++i;
    }
    if (i == text.size()) {
      break;
    }
    if (++count == n) {
      return i + 1;
    }
    while (i < text.size() && !CharInString(text[i], delimiters)) {
      ++i;
    }
  }
  return std::nullopt;
}

std::string ExtractWordN(int n, std::string_view text, std::string_view delimiters) {
  const auto start = WordStartPosition(n, text, delimiters);
  if (!start) {
    return {};
  }
  const std::size_t first = *start - 1;
  std::size_t last = first;
  while (last < text.size() && !CharInString(text[last], delimiters)) {
    ++last;
  }
  return std::string(text.substr(first, last - first));
}

std::string LastPathComponent(std::string_view path) {
  using namespace std::string_view_literals;
  const std::size_t separator = path.find_last_of("\\:\0"sv);
  const std::string_view tail =
      separator == std::string_view::npos ? path : path.substr(separator + 1);
  return std::string(tail.substr(0, std::min(tail.size(), kMaxPathComponent)));
}

}  // namespace tovra::support
