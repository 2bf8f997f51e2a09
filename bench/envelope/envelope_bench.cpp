// Seal + open of one payload per cipher, compared with Botan's bare CBC encryption and
// decryption of the same bytes (what the envelope cannot avoid). Each figure is the best of
// several rounds, the rounds of both sides interleaved, so that a busy machine disturbs both
// alike.

#include <botan/cipher_mode.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "remoting/envelope.h"

namespace {

using namespace tovra::remoting;
using Clock = std::chrono::steady_clock;

// Text-like bytes: compressible about as well as a data packet of names and numbers.
Bytes Payload(std::size_t size) {
  Bytes bytes(size);
  std::uint32_t x = 12345;
  const char* words[] = {"USERNAME", "admin", "COMMENT_", "12", "Flags", "0", "role", "dspUser"};
  std::size_t i = 0;
  while (i < size) {
    x = x * 1664525u + 1013904223u;
    const char* word = words[x >> 29];
    for (const char* c = word; *c && i < size; ++c)
      bytes[i++] = static_cast<std::uint8_t>(*c);
    if (i < size)
      bytes[i++] = static_cast<std::uint8_t>(x >> 8);
  }
  return bytes;
}

// Seconds per run of `work`, best of the rounds.
double BestSeconds(const std::function<void()>& work, int repeats) {
  const auto start = Clock::now();
  for (int i = 0; i < repeats; ++i)
    work();
  return std::chrono::duration<double>(Clock::now() - start).count() / repeats;
}

const char* BotanName(Cipher cipher) {
  switch (cipher) {
    case Cipher::kDES:
      return "DES/CBC/PKCS7";
    case Cipher::kBlowfish:
      return "Blowfish/CBC/PKCS7";
    case Cipher::kTwoFish:
      return "Twofish/CBC/PKCS7";
    default:
      return "AES-128/CBC/PKCS7";
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t size = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : (1u << 20);
  const Bytes payload = Payload(size);
  const int rounds = 7;
  std::printf("payload %zu bytes; MB/s of seal+open (envelope) and encrypt+decrypt (bare)\n", size);
  std::printf("%-10s %12s %12s %8s %16s %8s\n", "cipher", "bare", "envelope", "ratio",
              "envelope+zlib", "ratio");
  for (Cipher cipher : kAllCiphers) {
    std::unique_ptr<Botan::Cipher_Mode> encrypt, decrypt;
    std::size_t block = 0;
    if (cipher != Cipher::kNone) {
      encrypt = Botan::Cipher_Mode::create_or_throw(BotanName(cipher), Botan::ENCRYPTION);
      decrypt = Botan::Cipher_Mode::create_or_throw(BotanName(cipher), Botan::DECRYPTION);
      const auto key = DefaultKey(cipher);
      encrypt->set_key(key.data(), key.size());
      decrypt->set_key(key.data(), key.size());
      block = encrypt->default_nonce_length();
    }
    const Botan::secure_vector<std::uint8_t> iv(block, 0x42);
    auto bare = [&] {
      if (cipher == Cipher::kNone) {
        Bytes copy(payload);  // the least the envelope does without a cipher: one copy
        if (copy.size() != payload.size())
          std::abort();
        return;
      }
      Botan::secure_vector<std::uint8_t> buffer(payload.begin(), payload.end());
      encrypt->start(iv);
      encrypt->finish(buffer);
      decrypt->start(iv);
      decrypt->finish(buffer);
      if (buffer.size() != payload.size())
        std::abort();
    };
    auto envelope = [&](bool compressed) {
      const Opened opened = Open(Seal(payload, {MessageKind::kBin, compressed, cipher}));
      if (opened.payload.size() != payload.size())
        std::abort();
    };
    // Enough repeats for about a tenth of a second per round.
    const int repeats = std::max(1, static_cast<int>(0.1 / BestSeconds(bare, 1)));
    const int zlib_repeats =
        std::max(1, static_cast<int>(0.1 / BestSeconds([&] { envelope(true); }, 1)));
    double best_bare = 1e9, best_plain = 1e9, best_zlib = 1e9;
    for (int round = 0; round < rounds; ++round) {
      best_bare = std::min(best_bare, BestSeconds(bare, repeats));
      best_plain = std::min(best_plain, BestSeconds([&] { envelope(false); }, repeats));
      best_zlib = std::min(best_zlib, BestSeconds([&] { envelope(true); }, zlib_repeats));
    }
    const double mb = static_cast<double>(size) / 1e6;
    if (cipher == Cipher::kNone) {
      // There is no bare cipher to compare with; the "bare" column is a plain copy.
      std::printf("%-10s %12.1f %12.1f %8s %16.1f %8s\n", "none", mb / best_bare, mb / best_plain,
                  "-", mb / best_zlib, "-");
      continue;
    }
    std::printf("%-10s %12.1f %12.1f %8.2f %16.1f %8.2f\n", std::string(CipherName(cipher)).c_str(),
                mb / best_bare, mb / best_plain, best_bare / best_plain, mb / best_zlib,
                best_bare / best_zlib);
  }
  return 0;
}
