#include "remoting/udp_datagram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "remoting/errors.h"

namespace tovra::remoting::datagram {
namespace {

Bytes Pattern(std::size_t size) {
  Bytes bytes(size);
  std::iota(bytes.begin(), bytes.end(), std::uint8_t{7});
  return bytes;
}

struct Split {
  Header header;
  std::span<const std::uint8_t> payload;
};

Split Parse(const Bytes& datagram) {
  auto header = ParseHeader(datagram);
  EXPECT_TRUE(header.has_value());
  return {*header, std::span<const std::uint8_t>(datagram).subspan(kHeaderSize)};
}

// Feeds datagrams in the given order; returns the message once complete.
std::optional<Bytes> Feed(const std::vector<Bytes>& datagrams,
                          const std::vector<std::size_t>& order, const Limits& limits = {}) {
  std::optional<Reassembly> reassembly;
  for (std::size_t i : order) {
    const Split split = Parse(datagrams[i]);
    if (!reassembly) {
      reassembly.emplace(split.header, limits);
    }
    const auto result = reassembly->Add(split.header, split.payload);
    if (result == Reassembly::Result::kComplete) {
      return reassembly->Take();
    }
    if (result == Reassembly::Result::kBroken) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

TEST(Datagram, MessagesOfEverySizeSurviveAnyOrderAndDuplicates) {
  struct Case {
    std::size_t size;
    std::size_t fragment;
  };
  for (const Case c : {Case{0, 100}, Case{1, 100}, Case{100, 100}, Case{101, 100}, Case{5000, 333},
                       Case{70000, 8192}}) {
    SCOPED_TRACE(::testing::Message() << "size " << c.size << " fragment " << c.fragment);
    const Bytes message = Pattern(c.size);
    const auto datagrams =
        Fragment(message, Direction::kAnswer, 0xfeedfacecafebeefULL, c.fragment, Limits{});
    ASSERT_EQ(datagrams.size(), std::max<std::size_t>(1, (c.size + c.fragment - 1) / c.fragment));
    for (const auto& d : datagrams) {
      EXPECT_LE(d.size(), kHeaderSize + c.fragment);
      const Split split = Parse(d);
      EXPECT_EQ(split.header.call_id, 0xfeedfacecafebeefULL);
      EXPECT_EQ(split.header.direction, Direction::kAnswer);
      EXPECT_EQ(split.header.total_length, c.size);
    }
    // Reversed, shuffled, and with every datagram delivered twice.
    std::vector<std::size_t> order(datagrams.size());
    std::iota(order.begin(), order.end(), 0);
    std::reverse(order.begin(), order.end());
    EXPECT_EQ(Feed(datagrams, order), message);
    std::shuffle(order.begin(), order.end(), std::mt19937(42));
    std::vector<std::size_t> twice;
    for (std::size_t i : order) {
      twice.push_back(i);
      twice.push_back(i);
    }
    EXPECT_EQ(Feed(datagrams, twice), message);
  }
}

TEST(Datagram, DuplicateIsReportedAndNotCountedTwice) {
  const auto datagrams = Fragment(Pattern(300), Direction::kRequest, 1, 100, Limits{});
  const Split first = Parse(datagrams[0]);
  Reassembly reassembly(first.header, Limits{});
  EXPECT_EQ(reassembly.Add(first.header, first.payload), Reassembly::Result::kPending);
  const std::size_t held = reassembly.HeldBytes();
  EXPECT_EQ(reassembly.Add(first.header, first.payload), Reassembly::Result::kDuplicate);
  EXPECT_EQ(reassembly.HeldBytes(), held);
}

TEST(Datagram, FragmentsThatContradictTheFirstBreakTheMessage) {
  const auto datagrams = Fragment(Pattern(300), Direction::kRequest, 1, 100, Limits{});
  const Split first = Parse(datagrams[0]);
  struct Case {
    const char* what;
    Header header;
    std::size_t payload;
  };
  Header other_count = Parse(datagrams[1]).header;
  other_count.count = 4;
  Header other_total = Parse(datagrams[1]).header;
  other_total.total_length = 301;
  const Header second = Parse(datagrams[1]).header;
  for (const Case& c :
       {Case{"count differs", other_count, 100}, Case{"total differs", other_total, 100},
        Case{"more bytes than announced", second, 250}}) {
    SCOPED_TRACE(c.what);
    Reassembly reassembly(first.header, Limits{});
    ASSERT_EQ(reassembly.Add(first.header, first.payload), Reassembly::Result::kPending);
    const Bytes payload(c.payload, 1);
    EXPECT_EQ(reassembly.Add(c.header, payload), Reassembly::Result::kBroken);
  }
  // All fragments present but short of the announced total.
  Header short_last = Parse(datagrams[2]).header;
  Reassembly reassembly(first.header, Limits{});
  reassembly.Add(first.header, first.payload);
  reassembly.Add(Parse(datagrams[1]).header, Parse(datagrams[1]).payload);
  EXPECT_EQ(reassembly.Add(short_last, Bytes(10, 1)), Reassembly::Result::kBroken);
}

TEST(Datagram, LimitsBoundBothEnds) {
  Limits limits;
  limits.max_message_size = 1000;
  limits.max_fragments = 4;
  EXPECT_THROW(Fragment(Pattern(1001), Direction::kRequest, 1, 1000, limits), ProtocolError);
  EXPECT_THROW(Fragment(Pattern(500), Direction::kRequest, 1, 100, limits), ProtocolError);
  EXPECT_NO_THROW(Fragment(Pattern(400), Direction::kRequest, 1, 100, limits));

  // A receiver refuses an announcement beyond its limits before holding anything.
  const auto big = Fragment(Pattern(2000), Direction::kRequest, 1, 100, Limits{});
  EXPECT_THROW(Reassembly(Parse(big[0]).header, limits), ProtocolError);
}

TEST(Datagram, HeaderParsingRefusesForeignBytes) {
  const Bytes good = Fragment(Pattern(10), Direction::kRequest, 9, 100, Limits{})[0];
  ASSERT_TRUE(ParseHeader(good));
  struct Case {
    const char* what;
    std::size_t at;
    std::uint8_t value;
  };
  for (const Case& c : {Case{"magic", 0, 'X'}, Case{"version", 4, 2}, Case{"direction", 5, 9},
                        Case{"index not below count", 19, 5}, Case{"no fragments", 23, 0}}) {
    SCOPED_TRACE(c.what);
    Bytes bad = good;
    bad[c.at] = c.value;
    EXPECT_FALSE(ParseHeader(bad));
  }
  EXPECT_FALSE(ParseHeader(std::span<const std::uint8_t>(good).first(kHeaderSize - 1)));

  // The attempt travels in its own field and leaves the others alone.
  Bytes retried = good;
  SetAttempt(retried, 0x0102);
  const auto header = ParseHeader(retried);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->attempt, 0x0102);
  EXPECT_EQ(header->call_id, 9u);
  EXPECT_EQ(header->count, 1u);
}

}  // namespace
}  // namespace tovra::remoting::datagram
