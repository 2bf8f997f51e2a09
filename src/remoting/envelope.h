#pragma once

// The envelope around every request and answer on every channel: magic, version, message
// kind, compression flag, cipher, IV, payload length and CRC of the plain payload.
// docs/protocol.md gives the byte layout.

#include <cstdint>
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
enum class Cipher : std::uint8_t { kNone = 0, kDES = 1, kBlowfish = 2, kTwoFish = 3, kRijndael = 4 };

std::string_view CipherName(Cipher cipher);

struct EnvelopeSettings {
  MessageKind kind = MessageKind::kBin;
  bool compressed = false;
  Cipher cipher = Cipher::kNone;
};

struct Opened {
  EnvelopeSettings settings;  // as the sender chose them; the answer repeats them
  Bytes payload;              // plain: inflated and decrypted
};

// Wraps a plain payload: deflates it when asked, encrypts it with a fresh random IV.
Bytes Seal(std::span<const std::uint8_t> payload, const EnvelopeSettings& settings);

// Checks and unwraps an envelope. Throws ProtocolError for bad magic or version, an unknown
// kind or cipher, truncation, a length beyond limits.max_message_size (also while
// inflating), padding that does not decrypt (a wrong key) or a CRC mismatch.
Opened Open(std::span<const std::uint8_t> envelope, const Limits& limits = {});

}  // namespace tovra::remoting
