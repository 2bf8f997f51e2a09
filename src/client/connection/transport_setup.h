#pragma once

// Turning a connection profile into a working transport: the channel of the profile's
// protocol is configured from it and handed, with the profile's message, to the dataset
// connection. Each set-up works on its own copy of the profile.
//
// A set-up sets compression, cipher, the dataset connection's channel and message and (for
// HTTP) the proxy in full every time, so nothing of an earlier profile survives in them.
// The other two channels keep what they had.

#include <QString>

#include "client/connection/profile_store.h"
#include "client/server/dataset_connection.h"
#include "remoting/envelope.h"
#include "remoting/http_channel.h"
#include "remoting/message.h"
#include "remoting/tcp_channel.h"
#include "remoting/udp_channel.h"

namespace tovra::client {

// The messages a set-up can choose from; a null entry is a kind this program has no message
// object for (SOAP).
struct TMessageSet {
  remoting::Message* Bin = nullptr;
  remoting::Message* Soap = nullptr;
  remoting::Message* Post = nullptr;
};

// The profile's setting a set-up could not take, named with its value.
class TransportSetupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "Blowfish", "DES", "Rijndael" and "TwoFish" in any letter case; anything else, "None"
// and the empty text included, means no cipher.
remoting::Cipher EncryptionMethodOf(const QString& name);

// "BIN", "SOAP", "POST" (exact) pick that entry of the set; any other text gives null.
remoting::Message* MessageOf(const QString& name, const TMessageSet& messages);

// The target address of the HTTP channel: always http, always the path /bin.
QString HttpTargetOf(const TClientConfig& config);

// Each throws TransportSetupError for a setting it cannot take (a port outside 0 to 65535,
// a message kind with no message object). What was configured before the error stays; the
// dataset connection is left disconnected.
void SetupHTTPChannel(remoting::HttpClientChannel& channel, server::DatasetConnection& connection,
                      TClientConfig config, const TMessageSet& messages);
void SetupTCPChannel(remoting::TcpClientChannel& channel, server::DatasetConnection& connection,
                     TClientConfig config, const TMessageSet& messages);
void SetupUDPChannel(remoting::UdpClientChannel& channel, server::DatasetConnection& connection,
                     TClientConfig config, const TMessageSet& messages);

}  // namespace tovra::client
