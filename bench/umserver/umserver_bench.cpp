// tovra-umserver on the large seed directory, side by side with the database alone.
//
//   umserver_bench [--work DIR] [--reps N] [--pg CONNINFO]
//
// 1. The seven datasets a session start opens, served over TCP, against the same seven
//    queries run directly (the sqlite3 or psql command-line tool writing to /dev/null, and
//    for SQLite also the library in this process).
// 2. 10,000 inserted link rows sent as one delta and committed, against the same inserts in
//    one transaction directly.
// 3. dspUserRights: rows, time and bytes on the wire, compression off and on.
//
// The SQLite store is seeded in DIR (default /tmp/tovra-umserver-bench) on the first run.
// With --pg, the same runs on a PostgreSQL database "tovra_bench" made in that cluster
// (CONNINFO: a superuser's connection string without dbname).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/server/kwvum_server_intf.h"
#include "dataset/packet.h"
#include "remoting/envelope.h"
#include "remoting/message.h"
#include "remoting/tcp_channel.h"

namespace {

using namespace tovra;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr const char* kProgram = TOVRA_UMSERVER;
constexpr const char* kAdminPassword = "bench-admin-pw";
constexpr int kLinkRows = 10000;

const char* const kSevenQueries[] = {
    "SELECT ID, USERNAME, NAME, COMMENT_, Flags FROM USERS ORDER BY ID;",
    "SELECT ID, QVB_ID, ROLE_ID FROM RIGHTS ORDER BY ID;",
    "SELECT ID, BEZ, COMMENT_ FROM ROLE ORDER BY ID;",
    "SELECT ID, BEZ, READ, WRITE, STRUC FROM PRIVILEG ORDER BY ID;",
    "SELECT ID, ROLE_ID, PRIVILEG_ID FROM PRIVILEGS ORDER BY ID;",
    "SELECT ID, NAME, COMMENT_, FILTER_SQL FROM QVB ORDER BY ID;",
    "SELECT ID, ORIG_ID, ROLE_ID FROM ROLES ORDER BY ID;",
};
namespace provider = contract::provider;
const std::string_view kSevenProviders[] = {
    provider::kUser,      provider::kRights,    provider::kRole, provider::kPrivileg,
    provider::kPrivilegs, provider::kCatalogue, provider::kRoles};

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Runs a program with stdin from `input` (a file, or empty) and stdout to /dev/null; returns
// its exit status.
int Run(const std::vector<std::string>& args, const std::string& input = {}, bool quiet = true) {
  std::vector<char*> argv;
  std::vector<std::string> copy = args;
  for (auto& arg : copy) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (!input.empty()) {
      const int in = open(input.c_str(), O_RDONLY);
      dup2(in, STDIN_FILENO);
    }
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    if (quiet) {
      dup2(null, STDERR_FILENO);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Server {
 public:
  Server(const std::string& store, const fs::path& log) {
    int out[2];
    if (pipe(out) != 0) {
      throw std::runtime_error("pipe");
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(err, STDERR_FILENO);
      close(out[0]);
      execl(kProgram, kProgram, "--store", store.c_str(), "--http", "off", "--udp", "off", "--tcp",
            "127.0.0.1:0", "--log-level", "warn", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[256];
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (text.find('\n') == std::string::npos && Clock::now() < deadline) {
      pollfd wait{out[0], POLLIN, 0};
      if (poll(&wait, 1, 100) > 0) {
        const ssize_t got = read(out[0], buffer, sizeof buffer);
        if (got <= 0) {
          break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
      }
    }
    close(out[0]);
    unsigned http = 0, tcp = 0, udp = 0;
    if (std::sscanf(text.c_str(), "LISTENING http=%u tcp=%u udp=%u", &http, &tcp, &udp) != 3) {
      throw std::runtime_error("the server did not start; see " + log.string());
    }
    port_ = static_cast<std::uint16_t>(tcp);
  }
  ~Server() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  std::uint16_t Port() const { return port_; }

 private:
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
};

// One call sealed and exchanged by hand, so the answer's size on the wire can be counted.
struct RawCall {
  std::size_t answer_bytes = 0;
  remoting::Bytes result;
};

RawCall GetRecordsRaw(remoting::BinMessage& message, remoting::TcpClientChannel& channel,
                      const std::string& provider, bool compressed) {
  message.Initialize(contract::kLibraryName, contract::kServiceName, contract::op::kGetRecords);
  message.WriteString(contract::param::kProviderName, provider);
  message.WriteInt32(contract::param::kCount, -1);
  message.WriteInt32(contract::param::kOptions, 0);
  message.WriteString(contract::param::kCommandText, "");
  message.WriteBinary(contract::param::kParams, {});
  message.WriteBinary(contract::param::kOwnerData, {});
  const remoting::Bytes request = message.Serialize();
  remoting::EnvelopeSettings settings;
  settings.compressed = compressed;
  const remoting::Bytes answer = channel.Exchange(remoting::Seal(request, settings));
  const remoting::Opened opened = remoting::Open(answer);
  message.ReadResponse(opened.payload);
  return {answer.size() + 4 /* frame length */, message.ReadBinary(contract::result::kResult)};
}

struct Backend {
  std::string name;
  std::string store;                                     // for the server
  std::function<void(const fs::path&)> script;           // runs an SQL script with the CLI tool
  std::function<void()> seven_in_process;                // optional
  std::function<void(int first_id)> inserts_in_process;  // optional
  std::function<void(const std::string&)> exec;          // untimed housekeeping
  std::function<long long(const std::string&)> scalar;
};

void Measure(const Backend& backend, const fs::path& work, int reps) {
  std::cout << "\n== " << backend.name << " ==\n";
  const fs::path seven_sql = work / "seven.sql";
  {
    std::ofstream out(seven_sql);
    for (const char* query : kSevenQueries) {
      out << query << "\n";
    }
  }
  Server server(backend.store, work / (backend.name + "-server.log"));
  remoting::BinMessage message;
  remoting::TcpClientChannel channel;
  channel.SetHost("127.0.0.1");
  channel.SetPort(server.Port());
  channel.SetReadTimeout(std::chrono::seconds(120));
  auto service = client::server::CorodmKWVUMServer::Create(message, channel);
  if (const auto failed =
          service->login("admin", kAdminPassword, std::string(contract::kAdministratorsRole));
      !failed.empty()) {
    throw std::runtime_error("login: " + failed);
  }

  // 1. The seven datasets of a session start.
  std::vector<double> served, cli, in_process;
  std::size_t rows = 0;
  std::size_t bytes = 0;
  for (int rep = -1; rep < reps; ++rep) {  // rep -1 warms the caches
    auto start = Clock::now();
    rows = 0;
    bytes = 0;
    for (const std::string_view provider : kSevenProviders) {
      const auto result = service->AS_GetRecords(std::string(provider), -1, 0, "", {}, {});
      rows += static_cast<std::size_t>(result.records_out);
      bytes += result.result.size();
    }
    const double server_ms = Ms(Clock::now() - start);
    start = Clock::now();
    backend.script(seven_sql);
    const double cli_ms = Ms(Clock::now() - start);
    double lib_ms = 0;
    if (backend.seven_in_process) {
      start = Clock::now();
      backend.seven_in_process();
      lib_ms = Ms(Clock::now() - start);
    }
    if (rep >= 0) {
      served.push_back(server_ms);
      cli.push_back(cli_ms);
      in_process.push_back(lib_ms);
    }
  }
  std::printf("seven datasets (%zu rows, %zu packet bytes), median of %d:\n", rows, bytes, reps);
  std::printf("  through the server over TCP   %8.1f ms\n", Median(served));
  std::printf("  command-line tool to /dev/null %8.1f ms   ratio %.2f\n", Median(cli),
              Median(served) / Median(cli));
  if (backend.seven_in_process) {
    std::printf("  library in this process        %8.1f ms   ratio %.2f\n", Median(in_process),
                Median(served) / Median(in_process));
  }

  // 2. 10,000 link rows.
  const long long first_id = backend.scalar("SELECT MAX(ID) FROM ROLES") + 1;
  const long long users = backend.scalar("SELECT COUNT(*) FROM USERS");
  const long long roles = backend.scalar("SELECT MIN(ID) FROM ROLE");
  const long long role_count = backend.scalar("SELECT COUNT(*) FROM ROLE");
  const auto link = [&](int i) {
    return std::array<long long, 3>{first_id + i, 1 + (i * 7919LL) % users,
                                    roles + (i * 104729LL) % role_count};
  };
  dataset::Delta delta;
  delta.fields = {{"ID", dataset::FieldType::Int32},
                  {"ORIG_ID", dataset::FieldType::Int32},
                  {"ROLE_ID", dataset::FieldType::Int32}};
  for (int i = 0; i < kLinkRows; ++i) {
    const auto values = link(i);
    dataset::DeltaRow row;
    row.row_id = static_cast<std::uint64_t>(i + 1);
    row.kind = dataset::UpdateKind::Insert;
    row.new_values = {values[0], values[1], values[2]};
    delta.rows.push_back(std::move(row));
  }
  const std::string encoded = dataset::EncodeDelta(delta);
  const fs::path inserts_sql = work / "inserts.sql";
  {
    std::ofstream out(inserts_sql);
    out << (backend.name == "SQLite" ? "PRAGMA foreign_keys = ON;\n" : "") << "BEGIN;\n";
    for (int i = 0; i < kLinkRows; ++i) {
      const auto values = link(i);
      out << "INSERT INTO ROLES (ID, ORIG_ID, ROLE_ID) VALUES (" << values[0] << ", " << values[1]
          << ", " << values[2] << ");\n";
    }
    out << "COMMIT;\n";
  }
  const std::string cleanup = "DELETE FROM ROLES WHERE ID >= " + std::to_string(first_id);
  std::vector<double> applied, direct_cli, direct_lib;
  for (int rep = 0; rep < reps; ++rep) {
    auto start = Clock::now();
    const auto answer = service->AS_ApplyUpdates(
        std::string(provider::kRoles), remoting::Bytes(encoded.begin(), encoded.end()), 0, {});
    service->commit();
    applied.push_back(Ms(Clock::now() - start));
    if (answer.error_count != 0) {
      throw std::runtime_error("the server refused link rows");
    }
    backend.exec(cleanup);
    start = Clock::now();
    backend.script(inserts_sql);
    direct_cli.push_back(Ms(Clock::now() - start));
    if (backend.scalar("SELECT COUNT(*) FROM ROLES WHERE ID >= " + std::to_string(first_id)) !=
        kLinkRows) {
      throw std::runtime_error("the direct inserts did not all arrive");
    }
    backend.exec(cleanup);
    if (backend.inserts_in_process) {
      start = Clock::now();
      backend.inserts_in_process(static_cast<int>(first_id));
      direct_lib.push_back(Ms(Clock::now() - start));
      backend.exec(cleanup);
    }
  }
  std::printf("%d inserted link rows, committed, median of %d:\n", kLinkRows, reps);
  std::printf("  one delta through the server   %8.1f ms\n", Median(applied));
  std::printf("  command-line tool, one transaction %8.1f ms   ratio %.2f\n", Median(direct_cli),
              Median(applied) / Median(direct_cli));
  if (backend.inserts_in_process) {
    std::printf("  library in this process        %8.1f ms   ratio %.2f\n", Median(direct_lib),
                Median(applied) / Median(direct_lib));
  }
  (void)link;

  // 3. dspUserRights on the wire.
  for (const bool compressed : {false, true}) {
    std::vector<double> times;
    RawCall call;
    for (int rep = -1; rep < reps; ++rep) {
      const auto start = Clock::now();
      call = GetRecordsRaw(message, channel, std::string(provider::kUserRights), compressed);
      if (rep >= 0) {
        times.push_back(Ms(Clock::now() - start));
      }
    }
    const auto packet = dataset::DecodePacket(
        std::string_view(reinterpret_cast<const char*>(call.result.data()), call.result.size()));
    std::printf("dspUserRights, compression %-3s: %zu rows, %8.1f ms, %zu bytes on the wire\n",
                compressed ? "on" : "off", packet.rows.size(), Median(times), call.answer_bytes);
  }
  service->DestroyDataModule();
}

// --- SQLite ----------------------------------------------------------------------------

struct Db {
  sqlite3* db = nullptr;
  explicit Db(const fs::path& file) {
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
      throw std::runtime_error("cannot open " + file.string());
    }
    sqlite3_busy_timeout(db, 10000);
    Exec("PRAGMA foreign_keys = ON");
  }
  ~Db() { sqlite3_close(db); }
  void Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::string text = error ? error : "?";
      sqlite3_free(error);
      throw std::runtime_error(sql + ": " + text);
    }
  }
  long long Scalar(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
    long long value = 0;
    if (sqlite3_step(statement) == SQLITE_ROW) {
      value = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
    return value;
  }
};

void EnsureStore(const std::string& store, const fs::path& work) {
  const fs::path password = work / "admin-password";
  std::ofstream(password) << kAdminPassword << "\n";
  if (Run({kProgram, "--store", store, "init", "--admin", "admin", "--password-file",
           password.string()}) != 0) {
    throw std::runtime_error("init failed for " + store);
  }
  // Seeding refuses a directory that already holds users: then it is seeded already.
  Run({kProgram, "--store", store, "seed"});
}

}  // namespace

int main(int argc, char** argv) {
  fs::path work = "/tmp/tovra-umserver-bench";
  int reps = 5;
  std::string pg;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--work") {
      work = argv[i + 1];
    } else if (option == "--reps") {
      reps = std::max(1, std::atoi(argv[i + 1]));
    } else if (option == "--pg") {
      pg = argv[i + 1];
    }
  }
  signal(SIGPIPE, SIG_IGN);
  try {
    fs::create_directories(work);
    const fs::path file = work / "seed.sqlite";
    EnsureStore("sqlite:" + file.string(), work);

    Db db(file);
    Backend sqlite;
    sqlite.name = "SQLite";
    sqlite.store = "sqlite:" + file.string();
    sqlite.script = [&](const fs::path& script) {
      if (Run({"sqlite3", "-batch", file.string()}, script.string(), false) != 0) {
        throw std::runtime_error("sqlite3 failed");
      }
    };
    sqlite.seven_in_process = [&] {
      for (const char* query : kSevenQueries) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db.db, query, -1, &statement, nullptr);
        std::size_t seen = 0;
        while (sqlite3_step(statement) == SQLITE_ROW) {
          for (int c = 0; c < sqlite3_column_count(statement); ++c) {
            const unsigned char* text = sqlite3_column_text(statement, c);
            seen +=
                text != nullptr ? static_cast<std::size_t>(sqlite3_column_bytes(statement, c)) : 0;
          }
        }
        sqlite3_finalize(statement);
        if (seen == 0) {
          throw std::runtime_error("no rows");
        }
      }
    };
    sqlite.inserts_in_process = [&](int first_id) {
      const long long users = db.Scalar("SELECT COUNT(*) FROM USERS");
      const long long roles = db.Scalar("SELECT MIN(ID) FROM ROLE");
      const long long role_count = db.Scalar("SELECT COUNT(*) FROM ROLE");
      db.Exec("BEGIN");
      sqlite3_stmt* statement = nullptr;
      sqlite3_prepare_v2(db.db, "INSERT INTO ROLES (ID, ORIG_ID, ROLE_ID) VALUES (?, ?, ?)", -1,
                         &statement, nullptr);
      for (int i = 0; i < kLinkRows; ++i) {
        sqlite3_bind_int64(statement, 1, first_id + i);
        sqlite3_bind_int64(statement, 2, 1 + (i * 7919LL) % users);
        sqlite3_bind_int64(statement, 3, roles + (i * 104729LL) % role_count);
        sqlite3_step(statement);
        sqlite3_reset(statement);
      }
      sqlite3_finalize(statement);
      db.Exec("COMMIT");
    };
    sqlite.exec = [&](const std::string& sql) { db.Exec(sql); };
    sqlite.scalar = [&](const std::string& sql) { return db.Scalar(sql); };
    Measure(sqlite, work, reps);

    if (!pg.empty()) {
      const std::string database = "tovra_bench";
      Run({"psql", pg + " dbname=postgres", "-X", "-q", "-c", "CREATE DATABASE " + database});
      const std::string conninfo = pg + " dbname=" + database;
      EnsureStore(conninfo, work);
      Backend postgres;
      postgres.name = "PostgreSQL";
      postgres.store = conninfo;
      postgres.script = [&](const fs::path& script) {
        if (Run({"psql", conninfo, "-X", "-q", "-v", "ON_ERROR_STOP=1", "-f", script.string(), "-o",
                 "/dev/null"},
                {}, false) != 0) {
          throw std::runtime_error("psql failed");
        }
      };
      postgres.exec = [&](const std::string& sql) {
        if (Run({"psql", conninfo, "-X", "-q", "-c", sql}) != 0) {
          throw std::runtime_error("psql failed: " + sql);
        }
      };
      postgres.scalar = [&](const std::string& sql) {
        const fs::path out = work / "scalar.txt";
        const std::string command =
            "psql '" + conninfo + "' -X -q -t -A -c '" + sql + "' > " + out.string();
        if (std::system(command.c_str()) != 0) {
          throw std::runtime_error("psql failed: " + sql);
        }
        std::ifstream in(out);
        long long value = 0;
        in >> value;
        return value;
      };
      Measure(postgres, work, reps);
    }
  } catch (const std::exception& error) {
    std::cerr << "umserver_bench: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
