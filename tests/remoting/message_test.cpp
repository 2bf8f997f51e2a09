#include "remoting/message.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>
#include <string>

#include "in_process_channel.h"
#include "remoting/dispatcher.h"
#include "remoting/errors.h"
#include "remoting/session.h"

namespace tovra::remoting {
namespace {

using ::testing::HasSubstr;
using testing::InProcessChannel;

Bytes Pattern(std::size_t size) {
  Bytes bytes(size);
  std::uint32_t x = 7;
  for (auto& b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return bytes;
}

Bytes AsBytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

std::unique_ptr<Message> NewMessage(MessageKind kind) {
  if (kind == MessageKind::kPost)
    return std::make_unique<PostMessage>();
  return std::make_unique<BinMessage>();
}

// Values of every type, with the awkward ones: empty, non-ASCII, the separators of the POST
// form, extremes and a 5 MB binary.
std::vector<NamedValue> AwkwardValues() {
  return {
      {"Empty", std::string()},
      {"Text", std::string("Grüße, 日本語 & a=b % + ? \r\n\t end")},
      {"Nul", std::string("a\0b", 3)},
      {"Int32Min", std::numeric_limits<std::int32_t>::min()},
      {"Int32Max", std::numeric_limits<std::int32_t>::max()},
      {"Int64Min", std::numeric_limits<std::int64_t>::min()},
      {"Int64Max", std::numeric_limits<std::int64_t>::max()},
      {"True", true},
      {"False", false},
      {"Tenth", 0.1},
      {"Tiny", 5e-324},
      {"Huge", -1.7976931348623157e308},
      {"Infinite", std::numeric_limits<double>::infinity()},
      {"EmptyBinary", Bytes()},
      {"OneByte", Bytes{0xFF}},
      {"Large", Pattern(5u << 20)},
      {"name with spaces & = %", std::string("v")},
      {"Ünïcödé", std::int32_t{1}},
  };
}

void Write(Message& message, const NamedValue& named) {
  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>)
          message.WriteString(named.name, v);
        if constexpr (std::is_same_v<T, std::int32_t>)
          message.WriteInt32(named.name, v);
        if constexpr (std::is_same_v<T, std::int64_t>)
          message.WriteInt64(named.name, v);
        if constexpr (std::is_same_v<T, bool>)
          message.WriteBoolean(named.name, v);
        if constexpr (std::is_same_v<T, double>)
          message.WriteFloat(named.name, v);
        if constexpr (std::is_same_v<T, Bytes>)
          message.WriteBinary(named.name, v);
      },
      named.value);
}

// The server echoes every value of the call back as a result of the same name.
void RegisterEcho(Dispatcher& dispatcher) {
  dispatcher.Register(
      "TestLibrary", "EchoService", "Echo",
      [](CallContext& context) { context.Results() = context.GetCall().values; },
      SessionPolicy::kNone);
}

struct Combination {
  MessageKind kind;
  Cipher cipher;
  bool compressed;
};

class MessageRoundTrip : public ::testing::TestWithParam<Combination> {};

TEST_P(MessageRoundTrip, EveryValueTypeComesBackUnchanged) {
  SessionStore sessions;
  Dispatcher dispatcher(sessions);
  RegisterEcho(dispatcher);
  InProcessChannel channel(dispatcher.Handler());
  channel.SetCipher(GetParam().cipher);
  channel.SetCompression(GetParam().compressed);
  auto message = NewMessage(GetParam().kind);

  const std::vector<NamedValue> values = AwkwardValues();
  message->Initialize("TestLibrary", "EchoService", "Echo");
  for (const NamedValue& value : values)
    Write(*message, value);
  channel.Dispatch(*message);

  EXPECT_EQ(message->Results(), values);
  EXPECT_EQ(message->ReadString("Text"), std::get<std::string>(values[1].value));
  EXPECT_EQ(message->ReadInt64("Int64Min"), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(message->ReadBinary("Large").size(), 5u << 20);

  // NaN compares unequal to itself, so it gets a check of its own; and a second call on the
  // same message object works as the first did.
  message->Initialize("TestLibrary", "EchoService", "Echo");
  message->WriteFloat("NaN", std::numeric_limits<double>::quiet_NaN());
  channel.Dispatch(*message);
  EXPECT_TRUE(std::isnan(message->ReadFloat("NaN")));
}

std::vector<Combination> AllCombinations() {
  std::vector<Combination> all;
  for (MessageKind kind : {MessageKind::kBin, MessageKind::kPost}) {
    for (Cipher cipher : kAllCiphers) {
      all.push_back({kind, cipher, false});
      all.push_back({kind, cipher, true});
    }
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(AllKindsAndCiphers, MessageRoundTrip,
                         ::testing::ValuesIn(AllCombinations()),
                         [](const ::testing::TestParamInfo<Combination>& param_info) {
                           return std::string(param_info.param.kind == MessageKind::kBin ? "Bin"
                                                                                         : "Post") +
                                  std::string(CipherName(param_info.param.cipher)) +
                                  (param_info.param.compressed ? "Zlib" : "Plain");
                         });

TEST(Message, RequestsCarryTheObjectsClientIdAndAGrowingNumber) {
  BinMessage first;
  PostMessage second;
  const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  EXPECT_TRUE(std::regex_match(first.ClientId(), uuid)) << first.ClientId();
  EXPECT_NE(first.ClientId(), second.ClientId());

  for (std::uint64_t expected : {1u, 2u, 3u}) {
    first.Initialize("L", "I", "Op");
    const Call call = first.DecodeCall(first.Serialize(), {});
    EXPECT_EQ(call.client_id, first.ClientId());
    EXPECT_EQ(call.request_number, expected);
  }
}

TEST(Message, AnswerChecks) {
  for (MessageKind kind : {MessageKind::kBin, MessageKind::kPost}) {
    auto message = NewMessage(kind);
    message->Initialize("L", "I", "Op");
    const Call call = message->DecodeCall(message->Serialize(), {});

    Answer fault{call.client_id, call.request_number, {}, "Row refused: ID 7 already exists"};
    try {
      message->ReadResponse(message->EncodeAnswer(fault));
      ADD_FAILURE() << "a fault was read as an answer";
    } catch (const ServerFault& error) {
      EXPECT_STREQ(error.what(), "Row refused: ID 7 already exists");
    }

    Answer stale{call.client_id, call.request_number + 1, {{"Result", std::string()}}, {}};
    EXPECT_THROW(message->ReadResponse(message->EncodeAnswer(stale)), ProtocolError);
    Answer foreign{"someone else", call.request_number, {{"Result", std::string()}}, {}};
    EXPECT_THROW(message->ReadResponse(message->EncodeAnswer(foreign)), ProtocolError);

    Answer good{call.client_id, call.request_number, {{"Result", std::int32_t{4}}}, {}};
    message->ReadResponse(message->EncodeAnswer(good));
    EXPECT_EQ(message->ReadInt32("Result"), 4);
    try {
      message->ReadString("Result");
      ADD_FAILURE() << "read an integer as a string";
    } catch (const ProtocolError& error) {
      EXPECT_THAT(error.what(), HasSubstr("\"Result\""));
      EXPECT_THAT(error.what(), HasSubstr("32-bit integer"));
    }
    EXPECT_THROW(message->ReadInt32("result"), ProtocolError) << "names are case-sensitive";
  }
}

TEST(PostMessage, RefusesMalformedText) {
  const PostMessage post;
  Limits few;
  few.max_values = 2;
  const std::string head = "client=c&number=1&library=L&interface=I&operation=O";
  const struct {
    std::string text;
    Limits limits;
    const char* error;
  } cases[] = {
      {"", {}, "no field \"client\""},
      {"client=c&number=1&library=L&interface=I", {}, "no field \"operation\""},
      {head + "&client=d", {}, "twice"},
      {head + "&s.A=1&s.A=2", {}, "\"A\" twice"},
      {head + "&bogus=1", {}, "unknown field"},
      {head + "&novalue", {}, "without '='"},
      {head + "&&s.A=1", {}, "empty field"},
      {head + "&s.A=%4", {}, "%-escape"},
      {head + "&s.A=%zz", {}, "%-escape"},
      {head + "&i.A=12x", {}, "bad number"},
      {head + "&i.A=4294967296", {}, "bad number"},
      {head + "&i.A=", {}, "bad number"},
      {head + "&l.A=-", {}, "bad number"},
      {head + "&f.A=1e", {}, "bad number"},
      {head + "&b.A=yes", {}, "neither true nor false"},
      {head + "&x.A=abc", {}, "base64"},
      {head + "&x.A=ab%3D%3Dcd", {}, "base64"},
      {head + "&x.A=a%3D%3D%3D", {}, "base64"},
      {head + "&q.A=1", {}, "unknown type"},
      {"client=c&number=-1&library=L&interface=I&operation=O", {}, "bad number"},
      {head + "&s.A=1&s.B=2&s.C=3", few, "more than 2 values"},
  };
  for (const auto& c : cases) {
    try {
      post.DecodeCall(AsBytes(c.text), c.limits);
      ADD_FAILURE() << c.text << ": decoded";
    } catch (const ProtocolError& error) {
      EXPECT_THAT(error.what(), HasSubstr(c.error)) << c.text;
    }
  }
  // An answer is not a call, nor the other way round.
  EXPECT_THROW(post.DecodeAnswer(AsBytes(head), {}), ProtocolError);
  EXPECT_THROW(post.DecodeCall(AsBytes("client=c&number=1&fault=x"), {}), ProtocolError);
}

TEST(PostMessage, ReadsWhatOtherEncodersWrite) {
  // '+' for a space and lower-case escapes are common in URL-encoded forms.
  const Call call = PostMessage().DecodeCall(
      AsBytes("operation=Op&interface=I&library=L&number=9&client=c"
              "&s.Who=J%c3%bcrgen+M&x.Data=AAEC%2f%2b8%3d&b.On=true&f.Pi=3.25&l.Big=-9000000000"),
      {});
  EXPECT_EQ(call.request_number, 9u);
  EXPECT_EQ(call.String("Who"), "Jürgen M");
  EXPECT_EQ(call.Binary("Data"), (Bytes{0x00, 0x01, 0x02, 0xFF, 0xEF}));
  EXPECT_TRUE(call.Boolean("On"));
  EXPECT_EQ(call.Float("Pi"), 3.25);
  EXPECT_EQ(call.Int64("Big"), -9000000000);
}

TEST(BinMessage, RefusesMalformedBytes) {
  const BinMessage bin;
  Call call{"c", 1, "L", "I", "O", {{"A", std::string("x")}, {"B", std::int32_t{2}}}};
  const Bytes good = bin.EncodeCall(call);
  Limits few;
  few.max_values = 1;

  // A Value of field 6 with only a name: the parser would accept it, the type check not.
  Bytes untyped = good;
  untyped.insert(untyped.end(), {0x32, 0x03, 0x0A, 0x01, 'C'});
  // Ten thousand empty values in 20 kB: refused before any of them is built.
  Bytes many_values = good;
  for (int i = 0; i < 10000; ++i)
    many_values.insert(many_values.end(), {0x32, 0x00});
  Call twice = call;
  twice.values.push_back({"A", true});

  const struct {
    const char* what;
    Bytes bytes;
    Limits limits;
    const char* error;
  } cases[] = {
      {"garbage", AsBytes("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"), {}, "malformed"},
      {"cut short", Bytes(good.begin(), good.end() - 3), {}, "malformed"},
      {"a value without type", untyped, {}, "\"C\" has no type"},
      {"more values than allowed", good, few, "more than 1 values"},
      {"many empty values", many_values, {}, "no type"},
      {"a name given twice", bin.EncodeCall(twice), {}, "\"A\" twice"},
      {"an end-group tag", Bytes{0x0C}, {}, "malformed"},
  };
  for (const auto& c : cases) {
    try {
      bin.DecodeCall(c.bytes, c.limits);
      ADD_FAILURE() << c.what << ": decoded";
    } catch (const ProtocolError& error) {
      EXPECT_THAT(error.what(), HasSubstr(c.error)) << c.what;
    }
  }
  Limits thousand;
  thousand.max_values = 1000;
  EXPECT_THROW(bin.DecodeCall(many_values, thousand), ProtocolError);
}

}  // namespace
}  // namespace tovra::remoting
