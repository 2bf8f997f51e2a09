#pragma once

// The data module's remoting part: the two messages, the three channels, the dataset
// connection and the service client. It lives for the whole run; every login attempt
// re-targets the channel of the profile's protocol and rebuilds UMServer (the transport
// set-up of the connection layer), so the components keep their design settings
// otherwise. Every component here is owned by the module; the dataset connection and the
// service client hold references to them.

#include <memory>

#include "client/server/dataset_connection.h"
#include "client/server/kwvum_server_intf.h"
#include "remoting/http_channel.h"
#include "remoting/message.h"
#include "remoting/tcp_channel.h"
#include "remoting/udp_channel.h"

namespace tovra::client::server {

class TfrmDmUMClient {
 public:
  TfrmDmUMClient();
  ~TfrmDmUMClient();
  TfrmDmUMClient(const TfrmDmUMClient&) = delete;
  TfrmDmUMClient& operator=(const TfrmDmUMClient&) = delete;

  // Declared before their users: the dataset connection and UMServer refer to them and are
  // destroyed first.
  remoting::BinMessage roBinMessage;
  remoting::PostMessage roPostMessage;
  remoting::TcpClientChannel roTCPChannel;
  remoting::UdpClientChannel roUDPChannel;
  remoting::HttpClientChannel roHTTPChannel;

  // Binary message over HTTP until a profile chooses otherwise.
  DatasetConnection RODataSnapConnection;

  // Empty until the first login attempt builds one.
  std::shared_ptr<IrodmKWVUMServer> UMServer;
};

}  // namespace tovra::client::server
