#pragma once

// The real tovra-umserver, started as a child process on ephemeral loopback ports, and the
// real service client talking to it.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/server/kwvum_server_intf.h"
#include "dataset/packet.h"
#include "remoting/channel.h"
#include "remoting/message.h"

namespace tovra::umserver::testing {

// A private folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Runs the program to its end (init, seed); returns its exit status, -1 when it did not
// end within `limit` (it is killed then).
int RunProgram(const std::vector<std::string>& args, const std::filesystem::path& log,
               std::chrono::seconds limit = std::chrono::seconds(60),
               const std::string& standard_input = {});

// `tovra-umserver --store STORE init --admin USER` with the password from a file.
void InitStore(const std::string& store, const std::string& admin, const std::string& password,
               const TempDir& dir);

class ServerProcess {
 public:
  // Starts the server with `args` (the listener options are added: all three on port 0)
  // and waits for its LISTENING line. Throws when it does not come in time.
  ServerProcess(std::vector<std::string> args, const std::filesystem::path& log);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  std::uint16_t HttpPort() const { return http_; }
  std::uint16_t TcpPort() const { return tcp_; }
  std::uint16_t UdpPort() const { return udp_; }
  // What the server printed on standard output before it listened.
  const std::vector<std::string>& Lines() const { return lines_; }

  // Sends `signal` and waits (bounded) for the exit; returns the exit status, or -signal
  // when a signal ended it.
  int Stop(int signal, std::chrono::seconds limit = std::chrono::seconds(20));
  std::string Log() const;
  // Waits (bounded) until the log holds `text`; false when the bound passed first.
  bool WaitForLog(const std::string& text,
                  std::chrono::milliseconds bound = std::chrono::seconds(20)) const;

 private:
  pid_t pid_ = -1;
  std::filesystem::path log_;
  std::vector<std::string> lines_;
  std::uint16_t http_ = 0;
  std::uint16_t tcp_ = 0;
  std::uint16_t udp_ = 0;
};

enum class Transport { kHttp, kTcp, kUdp };
std::string TransportName(Transport transport);

// One client as the desktop program builds it: a message object (one client id), a channel
// and the service client on them.
struct Client {
  Client(const ServerProcess& server, Transport transport,
         remoting::MessageKind kind = remoting::MessageKind::kBin);

  std::unique_ptr<remoting::Message> message;
  std::unique_ptr<remoting::ClientChannel> channel;
  std::shared_ptr<client::server::IrodmKWVUMServer> server;

  // Provider traffic, decoded.
  dataset::DataPacket Records(const std::string& provider,
                              const std::vector<dataset::Param>& params = {});
  struct Applied {
    std::int32_t error_count = 0;
    dataset::ReconcileAnswer answer;
  };
  Applied Apply(const std::string& provider, const dataset::Delta& delta, int max_errors = 0);
};

}  // namespace tovra::umserver::testing
