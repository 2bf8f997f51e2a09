#include "support/text.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

using namespace std::string_literals;
using tovra::support::CharInString;
using tovra::support::ExtractWordN;
using tovra::support::LastPathComponent;
using tovra::support::WordStartPosition;

namespace {

struct WordCase {
  int n;
  std::string text;
  std::string delimiters;
  std::string word;
  std::size_t position;  // 0: not found
};

// Test names show the case with TAB and NUL spelled out.
std::string Visible(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c == '\t' ? "<TAB>" : c == '\0' ? "<NUL>" : std::string(1, c);
  }
  return out;
}

void PrintTo(const WordCase& c, std::ostream* os) {
  *os << "word " << c.n << " of '" << Visible(c.text) << "' by '" << Visible(c.delimiters) << "'";
}

class WordTest : public testing::TestWithParam<WordCase> {};

TEST_P(WordTest, FindsAndExtractsTheNthWord) {
  const WordCase& c = GetParam();
  const auto position = WordStartPosition(c.n, c.text, c.delimiters);
  if (c.position == 0) {
    EXPECT_FALSE(position.has_value());
  } else {
    ASSERT_TRUE(position.has_value());
    EXPECT_EQ(*position, c.position);
  }
  EXPECT_EQ(ExtractWordN(c.n, c.text, c.delimiters), c.word);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WordTest,
    testing::Values(
        // role lines: the role name before the TAB, the privilege after it
        WordCase{1, "Admin\tRW", "\t", "Admin", 1}, WordCase{2, "Admin\tRW", "\t", "RW", 7},
        WordCase{3, "Admin\tRW", "\t", "", 0},
        // leading and doubled delimiters are skipped
        WordCase{2, ",,a,,b", ",", "b", 6}, WordCase{1, ",,a,,b", ",", "a", 3},
        // the leading number of a cross-table heading
        WordCase{1, "12.5", " .,", "12", 1}, WordCase{2, "12 Sales, Berlin", " .,", "Sales", 4},
        // delimiters only, empty text, and word numbers below 1
        WordCase{1, ",,,", ",", "", 0}, WordCase{1, "", ",", "", 0},
        WordCase{0, "a b", " ", "", 0}, WordCase{-1, "a b", " ", "", 0},
        // no delimiters: the whole text is one word
        WordCase{1, "a b", "", "a b", 1}, WordCase{2, "a b", "", "", 0},
        // NUL is an ordinary character in texts and in delimiter sets
        WordCase{2, "ab\0cd"s, "\0"s, "cd", 4}, WordCase{1, "a\0b c"s, " ", "a\0b"s, 1},
        WordCase{2, "x\0\0y"s, "\0"s, "y", 4}));

TEST(CharInStringTest, MatchesAnyByteOfTheSet) {
  EXPECT_TRUE(CharInString(',', " .,"));
  EXPECT_FALSE(CharInString(';', " .,"));
  EXPECT_FALSE(CharInString('a', ""));
  EXPECT_FALSE(CharInString('\0', ""));
  EXPECT_TRUE(CharInString('\0', "a\0"s));
  EXPECT_TRUE(CharInString('\xff', "\xfe\xff"));
}

TEST(LastPathComponentTest, Table) {
  const struct {
    std::string path;
    std::string expected;
  } cases[] = {
      {"Software\\Dir\\Name", "Name"},
      {"C:Name", "Name"},
      {"Name", "Name"},
      {"Software\\Dir\\", ""},
      {"", ""},
      {"Software\\TOVRA\\2.0\\UserManagerClient\\host:8080", "8080"},
      {"a\0b"s, "b"},
      {"Dir\\with blank", "with blank"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LastPathComponent(c.path), c.expected) << "path: " << c.path;
  }
}

TEST(LastPathComponentTest, CutsLongComponentsTo260Characters) {
  std::string component;
  for (int i = 0; i < 300; ++i) {
    component += static_cast<char>('a' + i % 26);
  }
  EXPECT_EQ(LastPathComponent("Software\\" + component), component.substr(0, 260));
  EXPECT_EQ(LastPathComponent(component), component.substr(0, 260));
}

}  // namespace
