#include "client/server/data_module.h"

#include <chrono>

namespace tovra::client::server {

TfrmDmUMClient::TfrmDmUMClient() : RODataSnapConnection(&roBinMessage, &roHTTPChannel) {
  // Until a profile sets host and port, the socket channels point at this machine.
  roTCPChannel.SetHost("127.0.0.1");
  roTCPChannel.SetPort(remoting::TcpClientChannel::kDefaultPort);
  // 0 is the channel's default bound, never an unbounded wait.
  roTCPChannel.SetReadTimeout(std::chrono::milliseconds(0));

  roUDPChannel.SetHost("127.0.0.1");
  roUDPChannel.SetPort(remoting::UdpClientChannel::kDefaultPort);
  roUDPChannel.SetAsyncTimeOut(std::chrono::milliseconds(1000));
  roUDPChannel.SetRetrys(5);

  // The target stays "none" until a profile sets it; content type, accepted types and the
  // in-memory cookies are the HTTP channel's own.
  roHTTPChannel.SetPort(remoting::HttpClientChannel::kDefaultPort);
  roHTTPChannel.ClearProxy();
}

// Members go in reverse order: UMServer and the dataset connection before the components
// they refer to.
TfrmDmUMClient::~TfrmDmUMClient() = default;

}  // namespace tovra::client::server
