#include "dataset/value_text.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace tovra::dataset {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
    s.remove_suffix(1);
  return s;
}

DataSetError NotA(std::string_view kind, std::string_view text, std::string_view name) {
  return DataSetError("'" + std::string(text) + "' is not a valid " + std::string(kind) +
                      " value for field '" + std::string(name) + "'");
}

bool ParseInteger(std::string_view text, std::int64_t& out) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+')
    text.remove_prefix(1);
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc{} && end == text.data() + text.size() && !text.empty();
}

bool ParseFloat(std::string_view text, double& out) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+')
    text.remove_prefix(1);
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc{} && end == text.data() + text.size() && !text.empty() &&
         std::isfinite(out);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return SameFieldName(a, b);
}

bool ParseBoolean(std::string_view text, bool& out) {
  text = Trim(text);
  if (EqualsNoCase(text, "true") || text == "1") {
    out = true;
    return true;
  }
  if (EqualsNoCase(text, "false") || text == "0") {
    out = false;
    return true;
  }
  return false;
}

std::string FormatDateTime(std::int64_t ms) {
  using namespace std::chrono;
  const sys_time<milliseconds> t{milliseconds{ms}};
  const sys_days day = floor<days>(t);
  const year_month_day ymd{day};
  const auto rest = t - day;
  const hh_mm_ss<milliseconds> hms{duration_cast<milliseconds>(rest)};
  char buf[64];
  int n = std::snprintf(
      buf, sizeof buf, "%04d-%02u-%02u %02d:%02d:%02d", int(ymd.year()), unsigned(ymd.month()),
      unsigned(ymd.day()), static_cast<int>(hms.hours().count()),
      static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count()));
  if (hms.subseconds().count() != 0) {
    std::snprintf(buf + n, sizeof buf - static_cast<std::size_t>(n), ".%03d",
                  static_cast<int>(hms.subseconds().count()));
  }
  return buf;
}

bool ParseDateTime(std::string_view text, std::int64_t& out) {
  text = Trim(text);
  int y = 0;
  unsigned mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
  auto number = [&](std::size_t& pos, std::size_t digits, auto& value) {
    if (pos + digits > text.size())
      return false;
    auto [end, ec] = std::from_chars(text.data() + pos, text.data() + pos + digits, value);
    if (ec != std::errc{} || end != text.data() + pos + digits)
      return false;
    pos += digits;
    return true;
  };
  auto sep = [&](std::size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c)
      return false;
    ++pos;
    return true;
  };
  std::size_t pos = 0;
  if (!number(pos, 4, y) || !sep(pos, '-') || !number(pos, 2, mo) || !sep(pos, '-') ||
      !number(pos, 2, d)) {
    return false;
  }
  if (pos < text.size()) {
    if (text[pos] != ' ' && text[pos] != 'T')
      return false;
    ++pos;
    if (!number(pos, 2, h) || !sep(pos, ':') || !number(pos, 2, mi))
      return false;
    if (pos < text.size() && (!sep(pos, ':') || !number(pos, 2, s)))
      return false;
    if (pos < text.size() && (!sep(pos, '.') || !number(pos, 3, ms)))
      return false;
    if (pos != text.size())
      return false;
  }
  const std::chrono::year_month_day ymd{std::chrono::year{y}, std::chrono::month{mo},
                                        std::chrono::day{d}};
  if (!ymd.ok() || h > 23 || mi > 59 || s > 59)
    return false;
  out = MakeDateTime(y, mo, d, h, mi, s, ms);
  return true;
}

}  // namespace

std::int64_t MakeDateTime(int year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                          unsigned second, unsigned millisecond) {
  using namespace std::chrono;
  const sys_days date{
      year_month_day{std::chrono::year{year}, std::chrono::month{month}, std::chrono::day{day}}};
  const auto t = date + hours{hour} + minutes{minute} + seconds{second} + milliseconds{millisecond};
  return duration_cast<milliseconds>(t.time_since_epoch()).count();
}

std::int64_t ValueToInteger(const Value& value, FieldType type, std::string_view name) {
  if (IsNull(value))
    return 0;
  if (const auto* i = std::get_if<std::int64_t>(&value))
    return *i;
  if (const auto* b = std::get_if<bool>(&value))
    return *b ? 1 : 0;
  if (const auto* d = std::get_if<double>(&value)) {
    if (!(std::fabs(*d) < 9.2e18))
      throw NotA("integer", ValueToText(value, type), name);
    return std::llround(*d);
  }
  const auto& s = std::get<std::string>(value);
  if (Trim(s).empty())
    return 0;
  std::int64_t out = 0;
  if (!ParseInteger(s, out))
    throw NotA("integer", s, name);
  return out;
}

std::string ValueToText(const Value& value, FieldType type) {
  if (IsNull(value))
    return {};
  if (const auto* s = std::get_if<std::string>(&value))
    return *s;
  if (const auto* b = std::get_if<bool>(&value))
    return *b ? "True" : "False";
  if (const auto* d = std::get_if<double>(&value)) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, *d);
    return std::string(buf, ec == std::errc{} ? end : buf);
  }
  const auto i = std::get<std::int64_t>(value);
  if (type == FieldType::DateTime)
    return FormatDateTime(i);
  return std::to_string(i);
}

double ValueToFloat(const Value& value, FieldType type, std::string_view name) {
  if (IsNull(value))
    return 0.0;
  if (const auto* d = std::get_if<double>(&value))
    return *d;
  if (const auto* i = std::get_if<std::int64_t>(&value))
    return static_cast<double>(*i);
  if (const auto* b = std::get_if<bool>(&value))
    return *b ? 1.0 : 0.0;
  const auto& s = std::get<std::string>(value);
  if (Trim(s).empty())
    return 0.0;
  double out = 0;
  if (!ParseFloat(s, out))
    throw NotA(FieldTypeName(FieldType::Float), s, name);
  (void)type;
  return out;
}

bool ValueToBoolean(const Value& value, FieldType type, std::string_view name) {
  if (IsNull(value))
    return false;
  if (const auto* b = std::get_if<bool>(&value))
    return *b;
  if (const auto* i = std::get_if<std::int64_t>(&value))
    return *i != 0;
  if (const auto* d = std::get_if<double>(&value))
    return *d != 0.0;
  const auto& s = std::get<std::string>(value);
  bool out = false;
  if (!ParseBoolean(s, out))
    throw NotA(FieldTypeName(FieldType::Boolean), s, name);
  (void)type;
  return out;
}

Value ValueFromInteger(std::int64_t number, FieldType type, std::string_view name) {
  switch (type) {
    case FieldType::Int32:
      if (number < INT32_MIN || number > INT32_MAX) {
        throw DataSetError(std::to_string(number) + " is out of range for field '" +
                           std::string(name) + "'");
      }
      return Value{number};
    case FieldType::Int64:
    case FieldType::DateTime:
      return Value{number};
    case FieldType::Float:
      return Value{static_cast<double>(number)};
    case FieldType::Boolean:
      return Value{number != 0};
    case FieldType::String:
    case FieldType::Blob:
      return Value{std::to_string(number)};
  }
  return Value{};
}

Value ValueFromText(std::string_view text, FieldType type, std::string_view name) {
  if (type == FieldType::String || type == FieldType::Blob)
    return Value{std::string(text)};
  if (Trim(text).empty())
    return Value{};
  switch (type) {
    case FieldType::Int32:
    case FieldType::Int64: {
      std::int64_t n = 0;
      if (!ParseInteger(text, n))
        throw NotA("integer", text, name);
      return ValueFromInteger(n, type, name);
    }
    case FieldType::Float: {
      double d = 0;
      if (!ParseFloat(text, d))
        throw NotA(FieldTypeName(type), text, name);
      return Value{d};
    }
    case FieldType::Boolean: {
      bool b = false;
      if (!ParseBoolean(text, b))
        throw NotA(FieldTypeName(type), text, name);
      return Value{b};
    }
    case FieldType::DateTime: {
      std::int64_t ms = 0;
      if (!ParseDateTime(text, ms))
        throw NotA(FieldTypeName(type), text, name);
      return Value{ms};
    }
    default:
      break;
  }
  return Value{};
}

bool ConvertValue(const Value& in, FieldType type, Value& out) {
  if (IsNull(in)) {
    out = Value{};
    return true;
  }
  try {
    if (const auto* s = std::get_if<std::string>(&in)) {
      out = ValueFromText(*s, type, {});
    } else if (std::holds_alternative<double>(in)) {
      if (type == FieldType::Float) {
        out = in;
      } else if (type == FieldType::String) {
        out = Value{ValueToText(in, FieldType::Float)};
      } else {
        const double d = std::get<double>(in);
        if (d != std::trunc(d))
          return false;
        out = ValueFromInteger(ValueToInteger(in, FieldType::Float, {}), type, {});
      }
    } else if (const auto* b = std::get_if<bool>(&in)) {
      out = type == FieldType::String ? Value{ValueToText(in, FieldType::Boolean)}
                                      : ValueFromInteger(*b ? 1 : 0, type, {});
    } else {
      out = ValueFromInteger(std::get<std::int64_t>(in), type, {});
    }
  } catch (const DataSetError&) {
    return false;
  }
  return ValueFitsType(out, type);
}

}  // namespace tovra::dataset
