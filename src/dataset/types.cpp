#include "dataset/types.h"

namespace tovra::dataset {

std::string_view FieldTypeName(FieldType type) {
  switch (type) {
    case FieldType::Int32:
      return "integer";
    case FieldType::Int64:
      return "large integer";
    case FieldType::String:
      return "string";
    case FieldType::Boolean:
      return "boolean";
    case FieldType::Float:
      return "float";
    case FieldType::DateTime:
      return "date-time";
    case FieldType::Blob:
      return "binary";
  }
  return "unknown";
}

bool ValueFitsType(const Value& value, FieldType type) {
  switch (type) {
    case FieldType::Int32:
      if (const auto* i = std::get_if<std::int64_t>(&value)) {
        return *i >= INT32_MIN && *i <= INT32_MAX;
      }
      break;
    case FieldType::Int64:
    case FieldType::DateTime:
      if (std::holds_alternative<std::int64_t>(value))
        return true;
      break;
    case FieldType::Float:
      if (std::holds_alternative<double>(value))
        return true;
      break;
    case FieldType::Boolean:
      if (std::holds_alternative<bool>(value))
        return true;
      break;
    case FieldType::String:
      if (const auto* s = std::get_if<std::string>(&value))
        return IsValidUtf8(*s);
      break;
    case FieldType::Blob:
      if (std::holds_alternative<std::string>(value))
        return true;
      break;
  }
  return IsNull(value);
}

bool SameFieldName(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z')
      x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z')
      y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y)
      return false;
  }
  return true;
}

std::string FoldCase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 'A' && c <= 'Z') {
      out.push_back(static_cast<char>(c - 'A' + 'a'));
      continue;
    }
    if (i + 1 < text.size()) {
      const auto n = static_cast<unsigned char>(text[i + 1]);
      // U+00C0..U+00DE without U+00D7 (multiplication sign): add 0x20.
      if (c == 0xC3 && n >= 0x80 && n <= 0x9E && n != 0x97) {
        out.push_back(static_cast<char>(c));
        out.push_back(static_cast<char>(n + 0x20));
        ++i;
        continue;
      }
      // U+0410..U+042F to U+0430..U+044F; U+0400..U+040F to U+0450..U+045F.
      if (c == 0xD0 && n >= 0x90 && n <= 0x9F) {
        out.push_back(static_cast<char>(0xD0));
        out.push_back(static_cast<char>(n + 0x20));
        ++i;
        continue;
      }
      if (c == 0xD0 && n >= 0xA0 && n <= 0xAF) {
        out.push_back(static_cast<char>(0xD1));
        out.push_back(static_cast<char>(n - 0x20));
        ++i;
        continue;
      }
      if (c == 0xD0 && n >= 0x80 && n <= 0x8F) {
        out.push_back(static_cast<char>(0xD1));
        out.push_back(static_cast<char>(n + 0x10));
        ++i;
        continue;
      }
    }
    out.push_back(static_cast<char>(c));
  }
  return out;
}

bool IsValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    // Fast path for runs of ASCII, which is nearly all of the data.
    if (*p < 0x80) {
      ++p;
      continue;
    }
    unsigned c = *p;
    std::size_t extra;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= extra)
      return false;
    for (std::size_t i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80)
        return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and code points beyond U+10FFFF are not UTF-8.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    p += extra + 1;
  }
  return true;
}

std::size_t Utf8Length(std::string_view text) {
  std::size_t n = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
      ++n;
  }
  return n;
}

}  // namespace tovra::dataset
