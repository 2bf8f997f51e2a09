#include "support/log_text.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

using namespace std::string_literals;
using tovra::support::LogSafe;

namespace {

struct LogSafeCase {
  const char* what;
  std::string text;
  std::size_t max_bytes;
  std::string shown;
};

void PrintTo(const LogSafeCase& c, std::ostream* out) {
  *out << c.what;
}

class LogSafeTest : public ::testing::TestWithParam<LogSafeCase> {};

TEST_P(LogSafeTest, ShowsTheTextAsALogLineMayHoldIt) {
  const LogSafeCase& c = GetParam();
  EXPECT_EQ(LogSafe(c.text, c.max_bytes), c.shown);
}

// Every output must itself be one harmless line: checked on each case's result.
TEST_P(LogSafeTest, ResultHoldsNoControlByte) {
  const std::string shown = LogSafe(GetParam().text, GetParam().max_bytes);
  for (const char c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_FALSE(byte < 0x20 || byte == 0x7f) << "byte " << int(byte) << " in " << shown;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogSafeTest,
    ::testing::Values(
        LogSafeCase{"plain", "admin", 80, "admin"}, LogSafeCase{"empty", "", 80, ""},
        LogSafeCase{"line feed forges no line", "forged\nline", 80, "forged\\x0aline"},
        LogSafeCase{"carriage return, tab, escape, DEL", "a\r\t\x1b[2J\x7f", 80,
                    "a\\x0d\\x09\\x1b[2J\\x7f"},
        LogSafeCase{"NUL inside", "a\0b"s, 80, "a\\x00b"},
        LogSafeCase{"UTF-8 letters pass", "J\xc3\xbcrgen \xe2\x82\xac \xf0\x9f\x98\x80", 80,
                    "J\xc3\xbcrgen \xe2\x82\xac \xf0\x9f\x98\x80"},
        LogSafeCase{"C1 control (CSI) escaped",
                    "a\xc2\x9b"
                    "2J",
                    80, "a\\xc2\\x9b2J"},
        LogSafeCase{"line separator escaped",
                    "a\xe2\x80\xa8"
                    "b",
                    80, "a\\xe2\\x80\\xa8b"},
        LogSafeCase{"stray continuation byte", "a\x80z", 80, "a\\x80z"},
        LogSafeCase{"Latin-1 byte, not UTF-8", "J\xfcrgen", 80, "J\\xfcrgen"},
        LogSafeCase{"overlong slash", "\xc0\xaf", 80, "\\xc0\\xaf"},
        LogSafeCase{"surrogate", "\xed\xa0\x80", 80, "\\xed\\xa0\\x80"},
        LogSafeCase{"beyond U+10FFFF", "\xf4\x90\x80\x80", 80, "\\xf4\\x90\\x80\\x80"},
        LogSafeCase{"sequence cut off at the end", "ab\xe2\x82", 80, "ab\\xe2\\x82"},
        LogSafeCase{"exactly the limit", "abcd", 4, "abcd"},
        LogSafeCase{"one byte over the limit", "abcde", 4, "abcd..."},
        LogSafeCase{"cut never splits a character", "abc\xe2\x82\xac", 4, "abc..."},
        LogSafeCase{"cut before a four-byte character", "a\xf0\x9f\x98\x80", 4, "a..."},
        LogSafeCase{"character ending on the limit stays",
                    "a\xe2\x82\xac"
                    "b",
                    4, "a\xe2\x82\xac..."},
        LogSafeCase{"limit counts the text, not the escapes", "\n\n\n", 2, "\\x0a\\x0a..."},
        LogSafeCase{"nothing shown at limit 0", "abc", 0, "..."}));

TEST(LogSafe, FloodIsCutToTheDefaultLimit) {
  const std::string flood(100000, 'x');
  const std::string shown = LogSafe(flood);
  EXPECT_EQ(shown, std::string(tovra::support::kLogSafeMaxBytes, 'x') + "...");
}

}  // namespace
