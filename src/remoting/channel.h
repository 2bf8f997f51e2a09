#pragma once

// The client end of a transport. A channel carries one sealed request to the server and
// brings the sealed answer back; the envelope settings (compression, cipher) belong to the
// channel and apply to every request it carries.
//
// Concrete channels (TCP, UDP, HTTP) implement Exchange; Dispatch is the same for all:
// serialise the message's request, seal it, exchange it, open the answer and hand it to the
// message. Calls are synchronous and bounded by the channel's time-out; a channel is used by
// one call at a time.

#include <span>
#include <string>

#include "remoting/envelope.h"
#include "remoting/limits.h"

namespace tovra::remoting {

class Message;

class ClientChannel {
 public:
  virtual ~ClientChannel() = default;

  void SetCompression(bool on) { compression_ = on; }
  bool Compression() const { return compression_; }
  void SetCipher(Cipher cipher) { cipher_ = cipher; }
  Cipher GetCipher() const { return cipher_; }
  void SetLimits(const Limits& limits) { limits_ = limits; }
  const Limits& GetLimits() const { return limits_; }

  // One call: the message's current request out, its answer in. Throws TransportError,
  // TimeoutError, ProtocolError, or ServerFault with the server's text.
  void Dispatch(Message& message);

  // Where requests go, as error texts name it: "127.0.0.1:6000" or the target address.
  virtual std::string Target() const = 0;

 protected:
  // Sends one sealed request and returns the sealed answer, within the channel's bound.
  virtual Bytes Exchange(std::span<const std::uint8_t> request) = 0;

 private:
  bool compression_ = false;
  Cipher cipher_ = Cipher::kNone;
  Limits limits_;
};

}  // namespace tovra::remoting
