#pragma once

// The envelope around every request and answer on every channel: magic, version, message
// kind, compression flag, cipher, IV, payload lengths and CRC of the plain payload.
// docs/protocol.md gives the byte layout.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "remoting/limits.h"

namespace tovra::remoting {

using Bytes = std::vector<std::uint8_t>;

// How the payload is encoded (see message.h).
enum class MessageKind : std::uint8_t { kBin = 1, kPost = 2 };

// The ciphers of the envelope, each in CBC mode with PKCS#7 padding and the framework's
// default key. The default keys obscure traffic; they do not secure it.
enum class Cipher : std::uint8_t {
  kNone = 0,
  kDES = 1,
  kBlowfish = 2,
  kTwoFish = 3,
  kRijndael = 4
};

inline constexpr Cipher kAllCiphers[] = {Cipher::kNone, Cipher::kDES, Cipher::kBlowfish,
                                         Cipher::kTwoFish, Cipher::kRijndael};

std::string_view CipherName(Cipher cipher);

// The default key of a cipher (empty for kNone). Both ends use these unless told otherwise.
std::span<const std::uint8_t> DefaultKey(Cipher cipher);

struct EnvelopeSettings {
  MessageKind kind = MessageKind::kBin;
  bool compressed = false;
  Cipher cipher = Cipher::kNone;

  bool operator==(const EnvelopeSettings&) const = default;
};

struct Opened {
  EnvelopeSettings settings;  // as the sender chose them; the answer repeats them
  Bytes payload;              // plain: inflated and decrypted
};

// Bytes before the IV: magic, version, kind, flags, cipher, plain length, body length, CRC.
inline constexpr std::size_t kEnvelopeHeaderSize = 20;

// Wraps a plain payload: deflates it when asked, encrypts it with a fresh random IV. `key`
// replaces the cipher's default key when it is not empty. Throws ProtocolError when the
// payload is larger than the envelope can describe (4 GiB) or the key does not suit the
// cipher.
Bytes Seal(std::span<const std::uint8_t> payload, const EnvelopeSettings& settings,
           std::span<const std::uint8_t> key = {});

// Checks and unwraps an envelope. Throws ProtocolError for bad magic or version, an unknown
// kind or cipher, truncation or trailing bytes, a length beyond limits.max_message_size
// (also while inflating), padding that does not decrypt (a wrong key) or a CRC mismatch.
Opened Open(std::span<const std::uint8_t> envelope, const Limits& limits = {},
            std::span<const std::uint8_t> key = {});

// The settings of an envelope whose header is readable, without checking the rest; nullopt
// when not even the header is. Lets a server answer unreadable requests with a fault.
std::optional<EnvelopeSettings> PeekSettings(std::span<const std::uint8_t> envelope);

}  // namespace tovra::remoting
