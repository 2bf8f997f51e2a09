// The POST message: URL-encoded UTF-8 text, binary values in base64. docs/protocol.md gives
// the grammar. Every field is a key=value pair joined by '&'; header keys are plain words,
// value keys are a one-letter type, a dot and the value's name.

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <string>
#include <system_error>

#include "remoting/codec_util.h"
#include "remoting/errors.h"
#include "remoting/message.h"

namespace tovra::remoting {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool Unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

void AppendEncoded(std::string& out, std::string_view text) {
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (Unreserved(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

std::string Decoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%') {
      const int high = i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
      const int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
      if (high < 0 || low < 0) {
        throw ProtocolError("the POST message has a bad %-escape");
      }
      out.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

void AppendBase64(std::string& out, const Bytes& bytes) {
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n =
        (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out.push_back(kBase64[n >> 18]);
    out.push_back(kBase64[(n >> 12) & 63]);
    out.push_back(kBase64[(n >> 6) & 63]);
    out.push_back(kBase64[n & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t n = std::uint32_t{bytes[i]} << 16;
    if (rest == 2)
      n |= std::uint32_t{bytes[i + 1]} << 8;
    out.push_back(kBase64[n >> 18]);
    out.push_back(kBase64[(n >> 12) & 63]);
    out.push_back(rest == 2 ? kBase64[(n >> 6) & 63] : '=');
    out.push_back('=');
  }
}

int Base64Digit(char c) {
  if (c >= 'A' && c <= 'Z')
    return c - 'A';
  if (c >= 'a' && c <= 'z')
    return c - 'a' + 26;
  if (c >= '0' && c <= '9')
    return c - '0' + 52;
  if (c == '+')
    return 62;
  if (c == '/')
    return 63;
  return -1;
}

Bytes Base64Decoded(std::string_view text, std::string_view name) {
  auto bad = [&] {
    return ProtocolError("the binary value \"" + std::string(name) + "\" is not valid base64");
  };
  if (text.size() % 4 != 0)
    throw bad();
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int d[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + static_cast<std::size_t>(k)];
      if (c == '=' && last && k >= 2) {
        d[k] = 0;
        ++padding;
      } else {
        d[k] = Base64Digit(c);
        if (d[k] < 0 || padding > 0)
          throw bad();
      }
    }
    const std::uint32_t n =
        (static_cast<std::uint32_t>(d[0]) << 18) | (static_cast<std::uint32_t>(d[1]) << 12) |
        (static_cast<std::uint32_t>(d[2]) << 6) | static_cast<std::uint32_t>(d[3]);
    out.push_back(static_cast<std::uint8_t>(n >> 16));
    if (padding < 2)
      out.push_back(static_cast<std::uint8_t>(n >> 8));
    if (padding < 1)
      out.push_back(static_cast<std::uint8_t>(n));
  }
  return out;
}

template <typename T>
T Number(std::string_view text, std::string_view what) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
    throw ProtocolError("the POST message has a bad number for " + std::string(what) + ": \"" +
                        std::string(text.substr(0, 40)) + "\"");
  }
  return value;
}

double FloatNumber(std::string_view text, std::string_view what) {
  // from_chars does not take the sign of an infinity or NaN in every library; spell them out.
  if (text == "inf")
    return std::numeric_limits<double>::infinity();
  if (text == "-inf")
    return -std::numeric_limits<double>::infinity();
  if (text == "nan")
    return std::numeric_limits<double>::quiet_NaN();
  return Number<double>(text, what);
}

void AppendField(std::string& out, std::string_view key, std::string_view value) {
  if (!out.empty())
    out.push_back('&');
  AppendEncoded(out, key);
  out.push_back('=');
  AppendEncoded(out, value);
}

void AppendValue(std::string& out, const NamedValue& named) {
  if (!out.empty())
    out.push_back('&');
  static constexpr char kTypes[] = {'s', 'i', 'l', 'b', 'f', 'x'};
  out.push_back(kTypes[named.value.index()]);
  out.push_back('.');
  AppendEncoded(out, named.name);
  out.push_back('=');
  std::visit(
      [&out](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) {
          AppendEncoded(out, v);
        } else if constexpr (std::is_same_v<T, bool>) {
          out += v ? "true" : "false";
        } else if constexpr (std::is_same_v<T, double>) {
          if (v != v) {
            out += "nan";
          } else {
            char buffer[64];
            const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
            out.append(buffer, result.ptr);
          }
        } else if constexpr (std::is_same_v<T, Bytes>) {
          // The base64 alphabet's '+' and '/' need escaping; '=' is unambiguous after the key.
          std::string base64;
          AppendBase64(base64, v);
          AppendEncoded(out, base64);
        } else {
          out += std::to_string(v);
        }
      },
      named.value);
}

NamedValue ParseValue(char type, std::string name, std::string_view raw) {
  const std::string what = "\"" + name + "\"";
  switch (type) {
    case 's':
      return {std::move(name), Decoded(raw)};
    case 'i':
      return {std::move(name), Number<std::int32_t>(raw, what)};
    case 'l':
      return {std::move(name), Number<std::int64_t>(raw, what)};
    case 'b':
      if (raw == "true")
        return {std::move(name), true};
      if (raw == "false")
        return {std::move(name), false};
      throw ProtocolError("the boolean value " + what + " is neither true nor false");
    case 'f':
      return {std::move(name), FloatNumber(raw, what)};
    case 'x': {
      Bytes bytes = Base64Decoded(Decoded(raw), name);
      return {std::move(name), std::move(bytes)};
    }
    default:
      throw ProtocolError("the POST message has a value of unknown type '" + std::string(1, type) +
                          "'");
  }
}

struct Header {
  std::string_view key;
  std::string* target;
  bool seen = false;
};

// Splits the text into fields; header keys go to their targets (each at most once), value
// fields into `values`. Unknown header keys are refused.
void Parse(std::span<const std::uint8_t> bytes, std::span<Header> headers,
           std::vector<NamedValue>& values, const Limits& limits) {
  if (bytes.size() > limits.max_message_size) {
    throw ProtocolError("the POST message is larger than the limit of " +
                        std::to_string(limits.max_message_size) + " bytes");
  }
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('&', start);
    if (end == std::string_view::npos)
      end = text.size();
    const std::string_view field = text.substr(start, end - start);
    start = end + 1;
    if (field.empty()) {
      throw ProtocolError("the POST message has an empty field");
    }
    const std::size_t equals = field.find('=');
    if (equals == std::string_view::npos) {
      throw ProtocolError("the POST message has a field without '='");
    }
    const std::string_view raw_key = field.substr(0, equals);
    const std::string_view raw_value = field.substr(equals + 1);
    if (raw_key.size() >= 2 && raw_key[1] == '.') {
      if (values.size() >= limits.max_values) {
        throw ProtocolError("the message has more than " + std::to_string(limits.max_values) +
                            " values");
      }
      values.push_back(ParseValue(raw_key[0], Decoded(raw_key.substr(2)), raw_value));
      continue;
    }
    auto header = std::find_if(headers.begin(), headers.end(),
                               [&](const Header& h) { return h.key == raw_key; });
    if (header == headers.end()) {
      throw ProtocolError("the POST message has an unknown field \"" +
                          std::string(raw_key.substr(0, 40)) + "\"");
    }
    if (header->seen) {
      throw ProtocolError("the POST message has the field \"" + std::string(raw_key) + "\" twice");
    }
    header->seen = true;
    *header->target = Decoded(raw_value);
  }
  detail::CheckValues(values, limits);
}

std::uint64_t RequestNumber(const std::string& text) {
  return Number<std::uint64_t>(text, "the request number");
}

}  // namespace

Bytes PostMessage::EncodeCall(const Call& call) const {
  std::string out;
  AppendField(out, "client", call.client_id);
  AppendField(out, "number", std::to_string(call.request_number));
  AppendField(out, "library", call.library);
  AppendField(out, "interface", call.interface_name);
  AppendField(out, "operation", call.operation);
  for (const NamedValue& value : call.values) {
    AppendValue(out, value);
  }
  return Bytes(out.begin(), out.end());
}

Call PostMessage::DecodeCall(std::span<const std::uint8_t> bytes, const Limits& limits) const {
  Call call;
  std::string number;
  Header headers[] = {{"client", &call.client_id},
                      {"number", &number},
                      {"library", &call.library},
                      {"interface", &call.interface_name},
                      {"operation", &call.operation}};
  Parse(bytes, headers, call.values, limits);
  for (const Header& header : headers) {
    if (!header.seen) {
      throw ProtocolError("the POST call has no field \"" + std::string(header.key) + "\"");
    }
  }
  call.request_number = RequestNumber(number);
  return call;
}

Bytes PostMessage::EncodeAnswer(const Answer& answer) const {
  std::string out;
  AppendField(out, "client", answer.client_id);
  AppendField(out, "number", std::to_string(answer.request_number));
  if (answer.fault) {
    AppendField(out, "fault", *answer.fault);
  } else {
    for (const NamedValue& value : answer.values) {
      AppendValue(out, value);
    }
  }
  return Bytes(out.begin(), out.end());
}

Answer PostMessage::DecodeAnswer(std::span<const std::uint8_t> bytes, const Limits& limits) const {
  Answer answer;
  std::string number;
  std::string fault;
  Header headers[] = {{"client", &answer.client_id}, {"number", &number}, {"fault", &fault}};
  Parse(bytes, headers, answer.values, limits);
  if (!headers[0].seen || !headers[1].seen) {
    throw ProtocolError("the POST answer has no client id or request number");
  }
  answer.request_number = RequestNumber(number);
  if (headers[2].seen) {
    answer.fault = std::move(fault);
  }
  return answer;
}

}  // namespace tovra::remoting
