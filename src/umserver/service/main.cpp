// tovra-umserver: the user-manager application server.
//
//   tovra-umserver [options]              serve the store over HTTP, TCP and UDP
//   tovra-umserver --demo                 the same, creating a demo store on first start
//   tovra-umserver init [--admin NAME]    create the schema and the first administrator
//   tovra-umserver seed [sizes]           fill an empty store with a large directory
//
// Once the listeners are up, one line on standard output names the bound ports:
//   LISTENING http=6000 tcp=8030 udp=8090
// (0 for a listener that is off), so that scripts and tests can start it on port 0.

#include <pthread.h>
#include <signal.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "contract/um_service.h"
#include "remoting/dispatcher.h"
#include "remoting/log.h"
#include "remoting/server.h"
#include "remoting/session.h"
#include "support/log_text.h"
#include "umserver/service/service.h"
#include "umserver/store/generators.h"
#include "umserver/store/store.h"

namespace store = tovra::umserver::store;

namespace {

using namespace tovra;

// A listener's address and port; nullopt when it is switched off.
struct Endpoint {
  std::string address;
  std::uint16_t port = 0;
};

std::optional<Endpoint> ParseEndpoint(const std::string& text, const std::string& what) {
  if (text == "off" || text == "none") {
    return std::nullopt;
  }
  Endpoint endpoint{"127.0.0.1", 0};
  std::string port_text = text;
  if (const auto colon = text.rfind(':'); colon != std::string::npos) {
    endpoint.address = text.substr(0, colon);
    port_text = text.substr(colon + 1);
    if (endpoint.address.size() >= 2 && endpoint.address.front() == '[' &&
        endpoint.address.back() == ']') {
      endpoint.address = endpoint.address.substr(1, endpoint.address.size() - 2);
    }
    if (endpoint.address.empty()) {
      throw CLI::ValidationError(what, "the address before ':' is empty");
    }
  }
  try {
    std::size_t used = 0;
    const unsigned long port = std::stoul(port_text, &used);
    if (used != port_text.size() || port > 65535) {
      throw std::out_of_range(port_text);
    }
    endpoint.port = static_cast<std::uint16_t>(port);
  } catch (const std::logic_error&) {
    throw CLI::ValidationError(what, "'" + text + "' is not ADDRESS:PORT, PORT or off");
  }
  return endpoint;
}

std::string ReadPassword(const std::string& file) {
  std::string password;
  if (file.empty() || file == "-") {
    if (isatty(fileno(stdin))) {
      std::cerr << "Password of the first administrator: " << std::flush;
    }
    std::getline(std::cin, password);
  } else {
    std::ifstream in(file);
    if (!in) {
      throw std::runtime_error("cannot read the password file " + file);
    }
    std::getline(in, password);
  }
  if (!password.empty() && password.back() == '\r') {
    password.pop_back();
  }
  if (password.empty()) {
    throw std::runtime_error("the administrator's password is empty");
  }
  return password;
}

void RouteRemotingLog() {
  remoting::SetLogSink([](remoting::LogLevel level, std::string_view text) {
    switch (level) {
      case remoting::LogLevel::kDebug:
        spdlog::debug("remoting: {}", text);
        break;
      case remoting::LogLevel::kInfo:
        spdlog::info("remoting: {}", text);
        break;
      case remoting::LogLevel::kWarning:
        spdlog::warn("remoting: {}", text);
        break;
      case remoting::LogLevel::kError:
        spdlog::error("remoting: {}", text);
        break;
    }
  });
}

struct ServeOptions {
  std::string http = "127.0.0.1:6000";
  std::string tcp = "127.0.0.1:8030";
  std::string udp = "127.0.0.1:8090";
  double session_timeout_s = std::chrono::duration<double>(contract::kSessionTimeout).count();
  std::size_t max_message_size = std::size_t{64} << 20;
  std::size_t max_sessions = 10000;
  std::size_t workers = 4;
  bool demo = false;
  std::string demo_admin = "admin";
};

int Serve(store::Store& store, const ServeOptions& options, sigset_t signals) {
  const auto http = ParseEndpoint(options.http, "--http");
  const auto tcp = ParseEndpoint(options.tcp, "--tcp");
  const auto udp = ParseEndpoint(options.udp, "--udp");
  if (!http && !tcp && !udp) {
    spdlog::error("every listener is switched off; nothing to serve");
    return 2;
  }

  if (options.demo) {
    if (auto account = store::CreateDemo(store, options.demo_admin)) {
      // Shown once: the store keeps only the password's hash.
      std::cout << "Demo store created. Log in as user \"" << account->user
                << "\" with the password \"" << account->password << "\" (shown only this once)."
                << std::endl;
      spdlog::info("demo store created with the administrator {}", account->user);
    } else {
      spdlog::info("demo store exists already; log in with the password shown at its creation");
    }
  } else if (!store.HasSchema()) {
    spdlog::error(
        "the store holds no directory yet: run \"tovra-umserver init\" first, or start with "
        "--demo");
    return 2;
  }

  remoting::Limits limits;
  limits.max_message_size = options.max_message_size;
  dataset::DecodeLimits packet_limits;
  packet_limits.max_bytes = options.max_message_size;
  packet_limits.max_value_bytes = options.max_message_size;

  const auto timeout =
      std::chrono::milliseconds(static_cast<std::int64_t>(options.session_timeout_s * 1000.0));
  remoting::SessionStore sessions(timeout, options.max_sessions);
  umserver::service::UMService service(store, sessions, packet_limits);
  remoting::Dispatcher dispatcher(sessions, limits);
  service.RegisterOn(dispatcher);

  // One set of listeners per address; normally all three share one.
  std::map<std::string, remoting::ServerOptions> by_address;
  const auto place = [&](const std::optional<Endpoint>& endpoint,
                         std::optional<std::uint16_t> remoting::ServerOptions::*port) {
    if (!endpoint) {
      return;
    }
    auto [it, added] = by_address.try_emplace(endpoint->address);
    if (added) {
      it->second.address = endpoint->address;
      it->second.worker_threads = options.workers;
      it->second.limits = limits;
    }
    it->second.*port = endpoint->port;
  };
  place(http, &remoting::ServerOptions::http_port);
  place(tcp, &remoting::ServerOptions::tcp_port);
  place(udp, &remoting::ServerOptions::udp_port);

  std::vector<std::unique_ptr<remoting::RemotingServer>> servers;
  std::uint16_t http_port = 0;
  std::uint16_t tcp_port = 0;
  std::uint16_t udp_port = 0;
  try {
    for (auto& [address, server_options] : by_address) {
      auto server =
          std::make_unique<remoting::RemotingServer>(server_options, dispatcher.Handler());
      server->Start();
      if (server_options.http_port) {
        http_port = server->HttpPort();
        spdlog::info("HTTP listener on {}:{} (POST /bin)", address, http_port);
      }
      if (server_options.tcp_port) {
        tcp_port = server->TcpPort();
        spdlog::info("TCP listener on {}:{}", address, tcp_port);
      }
      if (server_options.udp_port) {
        udp_port = server->UdpPort();
        spdlog::info("UDP listener on {}:{}", address, udp_port);
      }
      servers.push_back(std::move(server));
    }
  } catch (const std::exception& error) {
    spdlog::error("cannot start the listeners: {}", error.what());
    for (auto& server : servers) {
      server->Stop();
    }
    return 1;
  }
  std::cout << "LISTENING http=" << http_port << " tcp=" << tcp_port << " udp=" << udp_port
            << std::endl;

  const auto reap_every =
      std::clamp(timeout / 4, std::chrono::milliseconds(50), std::chrono::milliseconds(5000));
  std::optional<umserver::service::SessionReaper> reaper;
  reaper.emplace(service, reap_every);
  spdlog::info("serving {} {} on {}; sessions expire after {} ms without a call", store.DBType(),
               store.DBName(), store.DBServer(), timeout.count());

  int signal_number = 0;
  sigwait(&signals, &signal_number);
  spdlog::info("{} received: stopping", signal_number == SIGINT ? "SIGINT" : "SIGTERM");

  reaper.reset();
  for (auto& server : servers) {
    server->Stop();
  }
  service.EndAll();
  spdlog::info("stopped");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Signals are taken by sigwait in the main thread: block them before any thread starts, so
  // every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A client that goes away mid-answer must not end the server.
  signal(SIGPIPE, SIG_IGN);

  CLI::App app{
      "tovra-umserver: the TOVRA user-manager application server. Serves the service " +
      std::string(contract::kServiceName) +
      " over HTTP, TCP and UDP from an SQLite file or a PostgreSQL database. "
      "Listeners bind to loopback unless an address is given. Once listening it prints "
      "\"LISTENING http=P tcp=P udp=P\" on standard output. SIGTERM or SIGINT stops it, rolling "
      "back every open transaction."};
  app.require_subcommand(0, 1);

  std::string store_description = "sqlite:tovra-um.sqlite";
  std::string log_level = "info";
  ServeOptions serve;
  app.add_option(
         "--store", store_description,
         "The store: sqlite:PATH for the embedded file, or a PostgreSQL connection "
         "string (key=value pairs or a postgresql:// URI; keep its password in PGPASSWORD or "
         "~/.pgpass rather than on the command line)")
      ->capture_default_str();
  app.add_option("--http", serve.http,
                 "HTTP listener as ADDRESS:PORT or PORT (on 127.0.0.1); \"off\" disables it; "
                 "port 0 picks a free one")
      ->capture_default_str();
  app.add_option("--tcp", serve.tcp, "TCP listener, as --http")->capture_default_str();
  app.add_option("--udp", serve.udp, "UDP listener, as --http")->capture_default_str();
  app.add_option("--session-timeout", serve.session_timeout_s,
                 "Seconds without a call after which a session ends and its open changes are "
                 "rolled back")
      ->check(CLI::Range(0.05, 86400.0 * 7))
      ->capture_default_str();
  app.add_option("--max-message-size", serve.max_message_size,
                 "Largest request or answer in bytes (after inflating), also the largest data "
                 "packet or delta")
      ->check(CLI::Range(std::size_t{4096}, std::size_t{1} << 30))
      ->capture_default_str();
  app.add_option("--max-sessions", serve.max_sessions, "Most client sessions kept at a time")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1000000}))
      ->capture_default_str();
  app.add_option("--workers", serve.workers, "Threads that run requests (store work)")
      ->check(CLI::Range(std::size_t{1}, std::size_t{256}))
      ->capture_default_str();
  double login_delay_s =
      std::chrono::duration<double>(store::LoginThrottle::Options{}.first_delay).count();
  app.add_option("--login-delay", login_delay_s,
                 "Seconds a user name is held back after a failed login; the delay doubles with "
                 "each further failure, up to a minute")
      ->check(CLI::Range(0.01, 60.0))
      ->capture_default_str();
  app.add_option("--log-level", log_level, "trace, debug, info, warn, error or off")
      ->check(CLI::IsMember({"trace", "debug", "info", "warn", "error", "critical", "off"}))
      ->capture_default_str();
  app.add_flag("--demo", serve.demo,
               "On the first start with an empty store, create a demo organisation and an "
               "administrator, and print the administrator's generated password once; later "
               "starts reuse the store");
  app.add_option("--demo-admin", serve.demo_admin, "User name of the demo administrator")
      ->capture_default_str();

  auto* init = app.add_subcommand(
      "init", "Create or upgrade the schema and the first administrator (role " +
                  std::string(contract::kAdministratorsRole) +
                  "). The password is read from --password-file or from standard input, never from "
                  "the command line. Running it again sets the administrator's password anew.");
  std::string admin = "admin";
  std::string password_file;
  init->add_option("--admin", admin, "User name of the administrator")->capture_default_str();
  init->add_option("--password-file", password_file,
                   "File whose first line is the password (\"-\" or none: standard input)");

  auto* seed = app.add_subcommand(
      "seed", "Fill a store without users with a large generated directory (for benchmarks)");
  store::SeedSize size;
  std::uint32_t random_seed = 1;
  seed->add_option("--users", size.users, "Users to generate (about one in twenty dropped)")
      ->capture_default_str();
  seed->add_option("--roles", size.roles, "Roles, each with one privilege level")
      ->capture_default_str();
  seed->add_option("--databases", size.databases, "Catalogue entries (TOVRA databases)")
      ->capture_default_str();
  seed->add_option("--memberships", size.memberships, "User-role links")->capture_default_str();
  seed->add_option("--rights", size.rights, "Role-database links")->capture_default_str();
  seed->add_option("--documents", size.documents, "Records owned by users")->capture_default_str();
  seed->add_option("--random-seed", random_seed, "The same seed gives the same directory")
      ->capture_default_str();

  CLI11_PARSE(app, argc, argv);

  auto logger = spdlog::stderr_logger_mt("tovra-umserver");
  spdlog::set_default_logger(logger);
  spdlog::set_level(spdlog::level::from_str(log_level));
  spdlog::flush_on(spdlog::level::trace);
  RouteRemotingLog();

  try {
    store::LoginThrottle::Options throttle;
    throttle.first_delay =
        std::chrono::milliseconds(static_cast<std::int64_t>(login_delay_s * 1000.0));
    auto opened = store::OpenStore(store_description, throttle);
    if (init->parsed()) {
      const std::string password = ReadPassword(password_file);
      opened->Initialise(admin, password);
      spdlog::info("store initialised; administrator {} holds the role {}", support::LogSafe(admin),
                   store::kAdministratorsRole);
      return 0;
    }
    if (seed->parsed()) {
      const auto start = std::chrono::steady_clock::now();
      store::Seed(*opened, size, random_seed);
      spdlog::info("seeded {} users, {} roles, {} databases, {} memberships, {} rights in {} ms",
                   size.users, size.roles, size.databases, size.memberships, size.rights,
                   std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count());
      return 0;
    }
    spdlog::info("tovra-umserver starting on the store {}",
                 opened->dialect() == store::Dialect::kSQLite ? store_description
                                                              : "(PostgreSQL connection)");
    return Serve(*opened, serve, signals);
  } catch (const CLI::Error& error) {
    return app.exit(error);
  } catch (const std::exception& error) {
    spdlog::error("{}", error.what());
    return 1;
  }
}
