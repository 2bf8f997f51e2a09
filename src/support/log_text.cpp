#include "support/log_text.h"

#include <cstdint>

namespace tovra::support {

namespace {

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0 when it does not
// start with one (a stray continuation byte, an overlong form, a surrogate, a code point
// beyond U+10FFFF, or a sequence cut off). `code_point` receives its value.
std::size_t SequenceAt(std::string_view text, char32_t& code_point) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(0);
  std::size_t length = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    code_point = lead;
    return 1;
  } else if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    code_point = lead & 0x1f;
    minimum = 0x80;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    code_point = lead & 0x0f;
    minimum = 0x800;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    code_point = lead & 0x07;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xc0) != 0x80) {
      return 0;
    }
    code_point = (code_point << 6) | (byte(i) & 0x3f);
  }
  if (code_point < minimum || code_point > 0x10ffff ||
      (code_point >= 0xd800 && code_point <= 0xdfff)) {
    return 0;
  }
  return length;
}

bool MustEscape(char32_t code_point) {
  return code_point < 0x20 || (code_point >= 0x7f && code_point <= 0x9f) || code_point == 0x2028 ||
         code_point == 0x2029;
}

void AppendEscaped(std::string& out, std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (const char c : bytes) {
    const auto byte = static_cast<std::uint8_t>(c);
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xf];
  }
}

}  // namespace

std::string LogSafe(std::string_view text, std::size_t max_bytes) {
  std::string out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t code_point = 0;
    const std::size_t length = SequenceAt(text.substr(pos), code_point);
    const std::size_t taken = length == 0 ? 1 : length;
    if (pos + taken > max_bytes) {
      break;  // a character that does not fit whole is left out whole
    }
    const std::string_view unit = text.substr(pos, taken);
    if (length == 0 || MustEscape(code_point)) {
      AppendEscaped(out, unit);
    } else {
      out += unit;
    }
    pos += taken;
  }
  if (pos < text.size()) {
    out += "...";
  }
  return out;
}

}  // namespace tovra::support
