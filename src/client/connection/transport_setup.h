#pragma once

// Turning a connection profile into a working transport: the channel of the profile's
// protocol is configured from it and handed, with the profile's message, to the dataset
// connection. Each set-up works on its own copy of the profile.
//
// A set-up sets compression, cipher, the dataset connection's channel and message and (for
// HTTP) the proxy in full every time, so nothing of an earlier profile survives in them.
// The other two channels keep what they had.

#include <QString>
#include <optional>

#include "client/connection/profile_store.h"
#include "client/server/dataset_connection.h"
#include "remoting/envelope.h"
#include "remoting/http_channel.h"
#include "remoting/message.h"
#include "remoting/tcp_channel.h"
#include "remoting/udp_channel.h"

namespace tovra::client {

// The protocols and message formats a profile may name. Which of them this program serves is
// decided by the two functions below and nowhere else: the login's first check, the channel
// set-up and the building of the service client all ask them.
enum class TransportProtocol { kHTTP, kTCP, kUDP };
enum class MessageFormat { kBIN, kSOAP, kPOST };

// The protocol a profile names, by its exact name ("HTTP", "TCP", "UDP"); nothing for any
// other text. Every protocol has a channel here.
std::optional<TransportProtocol> ServedProtocolOf(const QString& name);
// The message format a profile names, by its exact name, when this program has a message
// object for it ("BIN", "POST"); nothing for "SOAP" and any other text.
std::optional<MessageFormat> ServedMessageFormatOf(const QString& name);

// The messages a set-up can choose from. Soap stays null: no message object serves SOAP.
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

// The set's entry for a served message format (see ServedMessageFormatOf); null for any other
// text.
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
