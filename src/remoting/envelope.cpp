#include "remoting/envelope.h"

#include <botan/cipher_mode.h>
#include <botan/exceptn.h>
#include <botan/system_rng.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "remoting/errors.h"

namespace tovra::remoting {

namespace {

constexpr std::array<std::uint8_t, 4> kMagic = {'T', 'V', 'R', 'E'};
constexpr std::uint8_t kVersion = 1;
constexpr std::uint8_t kFlagCompressed = 0x01;
constexpr std::size_t kCipherCount = std::size(kAllCiphers);

// The framework's default keys. They are public (docs/protocol.md lists them): they keep
// traffic from being read at a glance, nothing more.
constexpr std::uint8_t kDesKey[8] = {0x54, 0x6F, 0x56, 0x72, 0x41, 0x2D, 0x44, 0x31};
constexpr std::uint8_t kBlowfishKey[16] = {0x54, 0x4F, 0x56, 0x52, 0x41, 0x2D, 0x42, 0x46,
                                           0x2D, 0x64, 0x65, 0x66, 0x61, 0x75, 0x6C, 0x74};
constexpr std::uint8_t kTwofishKey[16] = {0x54, 0x4F, 0x56, 0x52, 0x41, 0x2D, 0x54, 0x46,
                                          0x2D, 0x64, 0x65, 0x66, 0x61, 0x75, 0x6C, 0x74};
constexpr std::uint8_t kRijndaelKey[16] = {0x54, 0x4F, 0x56, 0x52, 0x41, 0x2D, 0x41, 0x45,
                                           0x53, 0x2D, 0x64, 0x65, 0x66, 0x61, 0x75, 0x6C};

struct CipherInfo {
  std::string_view name;   // as error texts and docs name it
  const char* botan_mode;  // Botan's name of the mode
  std::size_t block_size;  // also the IV size
  std::span<const std::uint8_t> default_key;
};

const CipherInfo& Info(Cipher cipher) {
  static const CipherInfo infos[kCipherCount] = {
      {"none", nullptr, 0, {}},
      {"DES", "DES/CBC/PKCS7", 8, kDesKey},
      {"Blowfish", "Blowfish/CBC/PKCS7", 8, kBlowfishKey},
      {"TwoFish", "Twofish/CBC/PKCS7", 16, kTwofishKey},
      {"Rijndael", "AES-128/CBC/PKCS7", 16, kRijndaelKey},
  };
  return infos[static_cast<std::size_t>(cipher)];
}

void PutU32(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value >> 24);
  out[1] = static_cast<std::uint8_t>(value >> 16);
  out[2] = static_cast<std::uint8_t>(value >> 8);
  out[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t GetU32(const std::uint8_t* in) {
  return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) | (std::uint32_t{in[2]} << 8) |
         std::uint32_t{in[3]};
}

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib takes uInt lengths; feed large payloads in slices.
  const std::uint8_t* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const uInt slice = static_cast<uInt>(std::min<std::size_t>(left, 1u << 30));
    crc = crc32(crc, data, slice);
    data += slice;
    left -= slice;
  }
  return static_cast<std::uint32_t>(crc);
}

// Key schedules are costly (Blowfish's most of all), so every thread keeps one keyed
// encryptor and decryptor per cipher for the default keys and only restarts them per
// message with the new IV.
std::unique_ptr<Botan::Cipher_Mode> MakeMode(Cipher cipher, Botan::Cipher_Dir direction,
                                             std::span<const std::uint8_t> key) {
  auto mode = Botan::Cipher_Mode::create_or_throw(Info(cipher).botan_mode, direction);
  if (!mode->valid_keylength(key.size())) {
    throw ProtocolError("a key of " + std::to_string(key.size()) + " bytes does not suit the " +
                        std::string(Info(cipher).name) + " cipher");
  }
  mode->set_key(key.data(), key.size());
  return mode;
}

Botan::Cipher_Mode& DefaultMode(Cipher cipher, Botan::Cipher_Dir direction) {
  thread_local std::array<std::unique_ptr<Botan::Cipher_Mode>, kCipherCount> encryptors;
  thread_local std::array<std::unique_ptr<Botan::Cipher_Mode>, kCipherCount> decryptors;
  auto& slot =
      (direction == Botan::ENCRYPTION ? encryptors : decryptors)[static_cast<std::size_t>(cipher)];
  if (!slot) {
    slot = MakeMode(cipher, direction, Info(cipher).default_key);
  }
  return *slot;
}

// The operating system's generator: thread-safe and without state of ours to tear down.
Botan::RandomNumberGenerator& Rng() {
  return Botan::system_rng();
}

bool KnownCipher(std::uint8_t id) {
  return id < kCipherCount;
}
bool KnownKind(std::uint8_t id) {
  return id == 1 || id == 2;
}

std::string Size(std::size_t bytes) {
  return std::to_string(bytes) + " bytes";
}

// deflate writes into `out` from `offset` on; returns the compressed size.
std::size_t Deflate(std::span<const std::uint8_t> plain, Bytes& out, std::size_t offset) {
  uLongf bound = compressBound(static_cast<uLong>(plain.size()));
  out.resize(offset + bound);
  // The fastest level: on data packets it gives up about a tenth of the size for four times
  // the speed, and the network between client and server is rarely slower than deflate.
  const int rc = compress2(out.data() + offset, &bound, plain.data(),
                           static_cast<uLong>(plain.size()), Z_BEST_SPEED);
  if (rc != Z_OK) {
    throw ProtocolError("the message could not be compressed (zlib error " + std::to_string(rc) +
                        ")");
  }
  out.resize(offset + bound);
  return bound;
}

// Inflates exactly `expected` bytes, never more: a stream that would grow beyond that is
// refused as soon as it does, so a small hostile message cannot make us allocate much.
Bytes Inflate(std::span<const std::uint8_t> compressed, std::size_t expected) {
  // zlib cannot expand more than about 1032:1; no honest stream needs more room than this.
  const std::size_t most = compressed.size() * 1032 + 1024;
  Bytes out(std::min(expected, most) + 1);  // one spare byte detects a longer stream
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) {
    throw ProtocolError("the message could not be decompressed (zlib could not start)");
  }
  struct End {
    z_stream* s;
    ~End() { inflateEnd(s); }
  } end{&stream};
  stream.next_in = const_cast<Bytef*>(compressed.data());
  stream.avail_in = static_cast<uInt>(compressed.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&stream, Z_FINISH);
  if (rc == Z_STREAM_END) {
    if (stream.total_out != expected) {
      throw ProtocolError("the message inflates to " + Size(stream.total_out) + ", not the " +
                          Size(expected) + " its envelope declares");
    }
    if (stream.avail_in != 0) {
      throw ProtocolError("the compressed message has " + Size(stream.avail_in) + " after its end");
    }
    out.resize(expected);
    return out;
  }
  if ((rc == Z_BUF_ERROR || rc == Z_OK) && stream.avail_out == 0) {
    throw ProtocolError("the message inflates to more than the " + Size(expected) +
                        " its envelope declares");
  }
  if (rc == Z_BUF_ERROR) {
    throw ProtocolError("the compressed message is truncated");
  }
  throw ProtocolError(std::string("the compressed message is damaged (zlib: ") +
                      (stream.msg ? stream.msg : "error " + std::to_string(rc)) + ")");
}

std::span<const std::uint8_t> KeyFor(Cipher cipher, std::span<const std::uint8_t> key) {
  return key.empty() ? Info(cipher).default_key : key;
}

}  // namespace

std::string_view CipherName(Cipher cipher) {
  return KnownCipher(static_cast<std::uint8_t>(cipher)) ? Info(cipher).name : "unknown";
}

std::span<const std::uint8_t> DefaultKey(Cipher cipher) {
  return Info(cipher).default_key;
}

Bytes Seal(std::span<const std::uint8_t> payload, const EnvelopeSettings& settings,
           std::span<const std::uint8_t> key) {
  if (payload.size() > 0xFFFFFFFFu) {
    throw ProtocolError("a message of " + Size(payload.size()) +
                        " is larger than an envelope can carry");
  }
  if (!KnownCipher(static_cast<std::uint8_t>(settings.cipher)) ||
      !KnownKind(static_cast<std::uint8_t>(settings.kind))) {
    throw ProtocolError("unknown envelope settings");
  }
  const CipherInfo& info = Info(settings.cipher);
  const std::size_t body_offset = kEnvelopeHeaderSize + info.block_size;

  Bytes out;
  std::size_t body_size = 0;
  if (settings.compressed) {
    body_size = Deflate(payload, out, body_offset);
  } else {
    // Room for the padding too, so that encryption does not reallocate.
    out.reserve(body_offset + payload.size() + info.block_size);
    out.resize(body_offset);
    out.insert(out.end(), payload.begin(), payload.end());
    body_size = payload.size();
  }

  if (settings.cipher != Cipher::kNone) {
    std::uint8_t* iv = out.data() + kEnvelopeHeaderSize;
    Rng().randomize(iv, info.block_size);
    std::unique_ptr<Botan::Cipher_Mode> own;
    Botan::Cipher_Mode* mode = nullptr;
    if (key.empty()) {
      mode = &DefaultMode(settings.cipher, Botan::ENCRYPTION);
    } else {
      own = MakeMode(settings.cipher, Botan::ENCRYPTION, key);
      mode = own.get();
    }
    mode->start(iv, info.block_size);
    const std::size_t whole = body_size - body_size % info.block_size;
    mode->process(out.data() + body_offset, whole);
    Botan::secure_vector<std::uint8_t> tail(
        out.begin() + static_cast<std::ptrdiff_t>(body_offset + whole), out.end());
    mode->finish(tail);
    out.resize(body_offset + whole);
    out.insert(out.end(), tail.begin(), tail.end());
    body_size = whole + tail.size();
  }

  std::uint8_t* header = out.data();
  std::memcpy(header, kMagic.data(), kMagic.size());
  header[4] = kVersion;
  header[5] = static_cast<std::uint8_t>(settings.kind);
  header[6] = settings.compressed ? kFlagCompressed : 0;
  header[7] = static_cast<std::uint8_t>(settings.cipher);
  PutU32(header + 8, static_cast<std::uint32_t>(payload.size()));
  PutU32(header + 12, static_cast<std::uint32_t>(body_size));
  PutU32(header + 16, Crc32(payload));
  return out;
}

std::optional<EnvelopeSettings> PeekSettings(std::span<const std::uint8_t> envelope) {
  if (envelope.size() < kEnvelopeHeaderSize ||
      !std::equal(kMagic.begin(), kMagic.end(), envelope.begin()) || envelope[4] != kVersion ||
      !KnownKind(envelope[5]) || (envelope[6] & ~kFlagCompressed) != 0 ||
      !KnownCipher(envelope[7])) {
    return std::nullopt;
  }
  return EnvelopeSettings{static_cast<MessageKind>(envelope[5]),
                          (envelope[6] & kFlagCompressed) != 0, static_cast<Cipher>(envelope[7])};
}

Opened Open(std::span<const std::uint8_t> envelope, const Limits& limits,
            std::span<const std::uint8_t> key) {
  if (envelope.size() < kEnvelopeHeaderSize) {
    throw ProtocolError("truncated envelope: " + Size(envelope.size()) + ", the header alone has " +
                        std::to_string(kEnvelopeHeaderSize));
  }
  if (!std::equal(kMagic.begin(), kMagic.end(), envelope.begin())) {
    throw ProtocolError("not a message of this protocol (bad magic)");
  }
  if (envelope[4] != kVersion) {
    throw ProtocolError("unsupported envelope version " + std::to_string(envelope[4]) +
                        " (this program speaks version " + std::to_string(kVersion) + ")");
  }
  if (!KnownKind(envelope[5])) {
    throw ProtocolError("unknown message kind " + std::to_string(envelope[5]));
  }
  if ((envelope[6] & ~kFlagCompressed) != 0) {
    throw ProtocolError("unknown envelope flags " + std::to_string(envelope[6]));
  }
  if (!KnownCipher(envelope[7])) {
    throw ProtocolError("unknown cipher " + std::to_string(envelope[7]));
  }
  Opened opened;
  opened.settings = *PeekSettings(envelope);
  const Cipher cipher = opened.settings.cipher;
  const CipherInfo& info = Info(cipher);
  const std::size_t plain_size = GetU32(envelope.data() + 8);
  const std::size_t body_size = GetU32(envelope.data() + 12);
  const std::uint32_t crc = GetU32(envelope.data() + 16);

  if (plain_size > limits.max_message_size) {
    throw ProtocolError("the message declares " + Size(plain_size) + ", more than the limit of " +
                        Size(limits.max_message_size));
  }
  const std::size_t body_offset = kEnvelopeHeaderSize + info.block_size;
  const std::size_t present = envelope.size() - std::min(envelope.size(), body_offset);
  if (envelope.size() < body_offset || present < body_size) {
    throw ProtocolError("truncated envelope: the body has " + Size(present) + " of " +
                        Size(body_size));
  }
  if (present > body_size) {
    throw ProtocolError("the envelope has " + Size(present - body_size) + " after its body");
  }
  auto padded = [&](std::size_t n) {
    return info.block_size == 0 ? n : (n / info.block_size + 1) * info.block_size;
  };
  if (!opened.settings.compressed && body_size != padded(plain_size)) {
    throw ProtocolError("the envelope's lengths disagree: a body of " + Size(body_size) +
                        " cannot hold " + Size(plain_size));
  }
  if (opened.settings.compressed && body_size > padded(compressBound(plain_size))) {
    throw ProtocolError("the envelope's compressed body of " + Size(body_size) +
                        " is larger than any compression of " + Size(plain_size));
  }

  Bytes body(envelope.begin() + static_cast<std::ptrdiff_t>(body_offset), envelope.end());
  if (cipher != Cipher::kNone) {
    if (body.empty() || body.size() % info.block_size != 0) {
      throw ProtocolError("the encrypted body of " + Size(body.size()) + " is not whole " +
                          std::string(info.name) + " blocks");
    }
    try {
      std::unique_ptr<Botan::Cipher_Mode> own;
      Botan::Cipher_Mode* mode = nullptr;
      if (key.empty()) {
        mode = &DefaultMode(cipher, Botan::DECRYPTION);
      } else {
        own = MakeMode(cipher, Botan::DECRYPTION, KeyFor(cipher, key));
        mode = own.get();
      }
      mode->start(envelope.data() + kEnvelopeHeaderSize, info.block_size);
      const std::size_t leading = body.size() - info.block_size;
      mode->process(body.data(), leading);
      Botan::secure_vector<std::uint8_t> last(body.begin() + static_cast<std::ptrdiff_t>(leading),
                                              body.end());
      mode->finish(last);
      body.resize(leading);
      body.insert(body.end(), last.begin(), last.end());
    } catch (const Botan::Exception&) {
      throw ProtocolError("the message could not be decrypted with the " + std::string(info.name) +
                          " key: the sender uses another key or cipher, or the bytes are damaged");
    }
  }

  if (opened.settings.compressed) {
    try {
      opened.payload = Inflate(body, plain_size);
    } catch (const ProtocolError& error) {
      if (cipher == Cipher::kNone)
        throw;
      // Garbage out of the decryption usually means the sender's key differs.
      throw ProtocolError(std::string(error.what()) + ": damaged, or sealed with another key");
    }
  } else {
    if (body.size() != plain_size) {
      throw ProtocolError("the decrypted message has " + Size(body.size()) + ", not the " +
                          Size(plain_size) +
                          " its envelope declares: damaged, or sealed with another key");
    }
    opened.payload = std::move(body);
  }
  if (Crc32(opened.payload) != crc) {
    throw ProtocolError("CRC mismatch: the message was damaged or sealed with another key");
  }
  return opened;
}

}  // namespace tovra::remoting
