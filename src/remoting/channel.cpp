#include "remoting/channel.h"

#include "remoting/errors.h"
#include "remoting/message.h"

namespace tovra::remoting {

void ClientChannel::Dispatch(Message& message) {
  const Bytes request = message.Serialize();
  const Bytes sealed = Seal(request, {message.Kind(), compression_, cipher_});
  const Bytes reply = Exchange(sealed);
  Opened opened;
  try {
    opened = Open(reply, limits_);
  } catch (const ProtocolError& error) {
    throw ProtocolError("unreadable answer from " + Target() + ": " + error.what());
  }
  if (opened.settings.kind != message.Kind()) {
    throw ProtocolError("the answer from " + Target() + " is not a message of the kind sent");
  }
  message.ReadResponse(opened.payload, limits_);
}

}  // namespace tovra::remoting
