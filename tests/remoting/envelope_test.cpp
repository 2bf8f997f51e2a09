#include "remoting/envelope.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "remoting/errors.h"

namespace tovra::remoting {
namespace {

using ::testing::HasSubstr;

Bytes Pattern(std::size_t size, std::uint32_t seed = 1) {
  Bytes bytes(size);
  std::uint32_t x = seed;
  for (auto& b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return bytes;
}

void PutU32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
  }
}

// An envelope without cipher put together by hand, so that lengths and CRC can lie.
Bytes Craft(bool compressed, std::uint32_t plain_size, const Bytes& body, std::uint32_t crc) {
  Bytes out = {'T', 'V', 'R', 'E', 1, 1, static_cast<std::uint8_t>(compressed ? 1 : 0), 0};
  out.resize(kEnvelopeHeaderSize);
  PutU32(out, 8, plain_size);
  PutU32(out, 12, static_cast<std::uint32_t>(body.size()));
  PutU32(out, 16, crc);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes Deflated(const Bytes& plain) {
  uLongf size = compressBound(static_cast<uLong>(plain.size()));
  Bytes out(size);
  EXPECT_EQ(compress2(out.data(), &size, plain.data(), static_cast<uLong>(plain.size()), 9), Z_OK);
  out.resize(size);
  return out;
}

std::uint32_t Crc(const Bytes& bytes) {
  return static_cast<std::uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}

struct RoundTrip {
  Cipher cipher;
  bool compressed;
};

class EnvelopeRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(EnvelopeRoundTrip, PayloadsOfEverySizeAroundTheBlockComeBackUnchanged) {
  const EnvelopeSettings settings{MessageKind::kPost, GetParam().compressed, GetParam().cipher};
  for (std::size_t size : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 100000u}) {
    const Bytes payload = Pattern(size, static_cast<std::uint32_t>(size));
    const Opened opened = Open(Seal(payload, settings));
    EXPECT_EQ(opened.payload, payload) << "size " << size;
    EXPECT_EQ(opened.settings, settings);
  }
}

std::vector<RoundTrip> AllSettings() {
  std::vector<RoundTrip> all;
  for (Cipher cipher : kAllCiphers) {
    all.push_back({cipher, false});
    all.push_back({cipher, true});
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(AllCiphers, EnvelopeRoundTrip, ::testing::ValuesIn(AllSettings()),
                         [](const ::testing::TestParamInfo<RoundTrip>& param_info) {
                           return std::string(CipherName(param_info.param.cipher)) +
                                  (param_info.param.compressed ? "Zlib" : "Plain");
                         });

TEST(Envelope, RefusesBadInputWithAClearError) {
  const Bytes plain = Pattern(2000);
  const Bytes sealed = Seal(plain, {MessageKind::kBin, false, Cipher::kNone});
  const Bytes sealed_des = Seal(plain, {MessageKind::kBin, false, Cipher::kDES});
  const Bytes zeros(16u << 20, 0);  // 16 MiB of zeros deflate to about 16 KiB
  const Bytes bomb = Deflated(zeros);

  auto with = [](Bytes bytes, auto change) {
    change(bytes);
    return bytes;
  };
  Limits small;
  small.max_message_size = 1u << 20;

  struct Case {
    const char* what;
    Bytes bytes;
    Limits limits;
    const char* error;
  };
  const Case cases[] = {
      {"empty input", {}, {}, "truncated envelope"},
      {"header cut short", Bytes(sealed.begin(), sealed.begin() + 12), {}, "truncated envelope"},
      {"bad magic", with(sealed, [](Bytes& b) { b[0] = 'X'; }), {}, "bad magic"},
      {"newer version", with(sealed, [](Bytes& b) { b[4] = 2; }), {}, "version 2"},
      {"unknown kind", with(sealed, [](Bytes& b) { b[5] = 7; }), {}, "unknown message kind"},
      {"unknown flag", with(sealed, [](Bytes& b) { b[6] = 0x80; }), {}, "unknown envelope flags"},
      {"unknown cipher", with(sealed, [](Bytes& b) { b[7] = 9; }), {}, "unknown cipher"},
      {"body cut short", Bytes(sealed.begin(), sealed.end() - 1), {}, "truncated envelope"},
      {"bytes after the body",
       with(sealed, [](Bytes& b) { b.push_back(0); }),
       {},
       "after its body"},
      {"payload damaged", with(sealed, [](Bytes& b) { b[100] ^= 1; }), {}, "CRC mismatch"},
      {"CRC damaged", with(sealed, [](Bytes& b) { b[19] ^= 1; }), {}, "CRC mismatch"},
      {"lengths disagree", with(sealed, [](Bytes& b) { PutU32(b, 8, 1999); }), {}, "disagree"},
      {"declared size beyond the limit", sealed,
       [] {
         Limits l;
         l.max_message_size = 1000;
         return l;
       }(),
       "more than the limit"},
      {"encrypted body not whole blocks",
       with(sealed_des,
            [](Bytes& b) {
              b.pop_back();
              PutU32(b, 12, static_cast<std::uint32_t>(b.size() - kEnvelopeHeaderSize - 8));
            }),
       {},
       "disagree"},
      {"sealed with DES, labelled Blowfish",
       with(sealed_des, [](Bytes& b) { b[7] = 2; }),
       {},
       "key"},
      {"zlib bomb declaring a small size", Craft(true, 65536, bomb, Crc(Bytes(65536, 0))), small,
       "inflates to more than the 65536 bytes"},
      {"zlib bomb declaring a size it cannot have", Craft(true, 1000, bomb, Crc(Bytes(1000, 0))),
       small, "larger than any compression"},
      {"zlib bomb declaring a size beyond the limit",
       Craft(true, 2u << 20, bomb, Crc(Bytes(2u << 20, 0))), small, "more than the limit"},
      {"compressed stream shorter than declared",
       Craft(true, 5000, Deflated(plain), Crc(plain)),
       {},
       "not the 5000 bytes"},
      {"compressed stream cut short",
       [&] {
         Bytes body = Deflated(plain);
         body.resize(body.size() / 2);
         return Craft(true, 2000, body, Crc(plain));
       }(),
       {},
       "truncated"},
      {"not a zlib stream", Craft(true, 2000, Pattern(64), Crc(plain)), {}, "damaged"},
  };
  for (const Case& c : cases) {
    try {
      Open(c.bytes, c.limits);
      ADD_FAILURE() << c.what << ": opened";
    } catch (const ProtocolError& error) {
      EXPECT_THAT(error.what(), HasSubstr(c.error)) << c.what;
    }
  }
}

TEST(Envelope, EachSealHasAFreshIv) {
  for (Cipher cipher : {Cipher::kDES, Cipher::kBlowfish, Cipher::kTwoFish, Cipher::kRijndael}) {
    const EnvelopeSettings settings{MessageKind::kBin, false, cipher};
    const Bytes payload = Pattern(64);
    const Bytes first = Seal(payload, settings);
    const Bytes second = Seal(payload, settings);
    EXPECT_NE(first, second) << CipherName(cipher);
    EXPECT_EQ(Open(first).payload, Open(second).payload) << CipherName(cipher);
  }
}

TEST(Envelope, AnotherKeyDoesNotOpen) {
  for (const RoundTrip& setting : AllSettings()) {
    if (setting.cipher == Cipher::kNone)
      continue;
    const EnvelopeSettings settings{MessageKind::kBin, setting.compressed, setting.cipher};
    const Bytes other_key(DefaultKey(setting.cipher).size(), 0x5A);
    // A wrong key can by chance yield valid padding; the lengths, zlib and the CRC catch
    // those, and every such error names the key as a likely cause.
    for (std::uint32_t seed = 0; seed < 32; ++seed) {
      const Bytes sealed = Seal(Pattern(100, seed), settings, other_key);
      try {
        Open(sealed);
        ADD_FAILURE() << CipherName(setting.cipher) << ": opened with the wrong key";
      } catch (const ProtocolError& error) {
        EXPECT_THAT(error.what(), HasSubstr("key")) << CipherName(setting.cipher);
      }
      EXPECT_EQ(Open(sealed, {}, other_key).payload, Pattern(100, seed));
    }
  }
}

TEST(Envelope, PeekReadsOnlyAValidHeader) {
  const Bytes sealed = Seal(Pattern(10), {MessageKind::kPost, true, Cipher::kTwoFish});
  Bytes damaged = sealed;
  damaged.back() ^= 1;
  EXPECT_EQ(PeekSettings(damaged), (EnvelopeSettings{MessageKind::kPost, true, Cipher::kTwoFish}));
  damaged[0] = 0;
  EXPECT_EQ(PeekSettings(damaged), std::nullopt);
  EXPECT_EQ(PeekSettings(Bytes(sealed.begin(), sealed.begin() + 19)), std::nullopt);
}

TEST(Envelope, KeyOfTheWrongSizeIsRefused) {
  const Bytes key(5, 1);
  EXPECT_THROW(Seal(Pattern(10), {MessageKind::kBin, false, Cipher::kRijndael}, key),
               ProtocolError);
}

}  // namespace
}  // namespace tovra::remoting
