// Client dataset figures: loading a large packet, the check-list refresh of the users
// page on a large directory, and sending a large change log.
//
//   dataset_bench --benchmark_min_time=2

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "dataset.pb.h"
#include "dataset/client_dataset.h"
#include "dataset/packet.h"

namespace {

using namespace tovra::dataset;

FieldDef Def(std::string name, FieldType type, int size = 0,
             unsigned flags = kInUpdate | kInWhere) {
  FieldDef d;
  d.name = std::move(name);
  d.type = type;
  d.size = size;
  d.provider_flags = flags;
  return d;
}

// Answers every request with the same prepared packet.
class FixedProvider : public ProviderConnection {
 public:
  explicit FixedProvider(std::string packet) : packet_(std::move(packet)) {}
  std::string GetRecords(const std::string&, const std::vector<Param>&) override { return packet_; }
  ApplyResult ApplyUpdates(const std::string&, const std::string&, int) override {
    return {0, EncodeReconcileAnswer({})};
  }

 private:
  std::string packet_;
};

// A user table as the users provider delivers it: ID, USERNAME, NAME, COMMENT_, Flags.
std::string UserPacket(int rows) {
  PacketBuilder builder({Def("ID", FieldType::Int32, 0, kInKey | kInUpdate | kInWhere),
                         Def("USERNAME", FieldType::String, 40),
                         Def("NAME", FieldType::String, 120),
                         Def("COMMENT_", FieldType::String, 200), Def("Flags", FieldType::Int32)});
  for (int i = 1; i <= rows; ++i) {
    builder.AddRow({Value{std::int64_t{i}}, Value{"user" + std::to_string(i)},
                    Value{"Firstname Lastname " + std::to_string(i)},
                    i % 3 == 0 ? Value{} : Value{std::string("created by the import")},
                    Value{std::int64_t{i % 50 == 0 ? -1 : 0}}});
  }
  return builder.Encode();
}

void BM_OpenDataSetFromPacket(benchmark::State& state) {
  const std::string packet = UserPacket(static_cast<int>(state.range(0)));
  FixedProvider provider(packet);
  {
    ClientDataSet check;
    check.SetRemoteServer(&provider);
    check.SetProviderName("dspUser");
    check.Open();
    if (check.RecordCount() != state.range(0))
      state.SkipWithError("rows were lost");
  }
  for (auto _ : state) {
    ClientDataSet users;
    users.SetRemoteServer(&provider);
    users.SetProviderName("dspUser");
    users.Open();
    benchmark::DoNotOptimize(users.RecordCount());
    state.PauseTiming();
    users.Close();  // freeing the rows is not part of loading them
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * packet.size()));
  state.counters["packet_MB"] = static_cast<double>(packet.size()) / 1e6;
}
BENCHMARK(BM_OpenDataSetFromPacket)->Arg(100000)->Unit(benchmark::kMillisecond);

// The provider's side: building and encoding the same packet row by row.
void BM_BuildPacket(benchmark::State& state) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string packet = UserPacket(static_cast<int>(state.range(0)));
    bytes = packet.size();
    benchmark::DoNotOptimize(packet.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_BuildPacket)->Arg(100000)->Unit(benchmark::kMillisecond);

// protobuf's own parse of the same bytes, for comparison.
void BM_ProtobufBareParse(benchmark::State& state) {
  const std::string packet = UserPacket(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    tovra::dataset::wire::DataPacket message;
    benchmark::DoNotOptimize(message.ParseFromString(packet));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * packet.size()));
}
BENCHMARK(BM_ProtobufBareParse)->Arg(100000)->Unit(benchmark::kMillisecond);

// The users page refresh of its role checks: for every role line, find the role by name,
// then look for the membership of the current user in that role.
struct Directory {
  static constexpr int kRoles = 1000;
  static constexpr int kMemberships = 60000;
  ClientDataSet roles;
  ClientDataSet memberships;
  std::vector<std::string> role_lines;

  Directory() {
    DataPacket r;
    r.fields = {Def("ID", FieldType::Int32, 0, kInKey | kInUpdate | kInWhere),
                Def("BEZ", FieldType::String, 40), Def("COMMENT_", FieldType::String, 200)};
    for (int i = 1; i <= kRoles; ++i) {
      r.rows.push_back({Value{std::int64_t{i}}, Value{"Role " + std::to_string(i)}, Value{}});
      role_lines.push_back("Role " + std::to_string(i));
    }
    roles.LoadFromPacket(std::move(r));
    roles.SetIndexFieldNames("ID");
    DataPacket m;
    m.fields = {Def("ID", FieldType::Int32, 0, kInKey | kInUpdate | kInWhere),
                Def("ORIG_ID", FieldType::Int32), Def("ROLE_ID", FieldType::Int32)};
    // 6,000 users with ten roles each.
    for (int i = 0; i < kMemberships; ++i) {
      m.rows.push_back({Value{std::int64_t{i + 1}}, Value{std::int64_t{i / 10 + 1}},
                        Value{std::int64_t{(i * 37) % kRoles + 1}}});
    }
    memberships.LoadFromPacket(std::move(m));
  }

  int Refresh(int user_id) {
    int ticked = 0;
    for (const std::string& line : role_lines) {
      roles.Locate("BEZ", Value{line});
      const Value role_id{std::int64_t{roles.FieldByName("ID").AsInteger()}};
      const Value key[] = {Value{std::int64_t{user_id}}, role_id};
      ticked += memberships.Locate("ORIG_ID;ROLE_ID", key) ? 1 : 0;
    }
    return ticked;
  }
};

void BM_UsersCheckListRefresh(benchmark::State& state) {
  Directory directory;
  directory.Refresh(1);  // the first refresh builds the locate indexes
  int user = 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(directory.Refresh(user));
    user = user % 6000 + 1;
  }
}
BENCHMARK(BM_UsersCheckListRefresh)->Unit(benchmark::kMillisecond);

// The first refresh after the datasets were (re)loaded, index building included.
void BM_UsersCheckListFirstRefresh(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto directory = std::make_unique<Directory>();
    state.ResumeTiming();
    benchmark::DoNotOptimize(directory->Refresh(1));
    state.PauseTiming();
    directory.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_UsersCheckListFirstRefresh)->Unit(benchmark::kMillisecond);

// Ticking one role of the users page: order the memberships by ID, take the last, append a
// link row and post it (the order puts it in place).
void BM_TickRoleInLargeDirectory(benchmark::State& state) {
  Directory directory;
  ClientDataSet& links = directory.memberships;
  int next_user = 1;
  for (auto _ : state) {
    links.SetIndexFieldNames("ID");
    links.Last();
    const int id = links.FieldByName("ID").AsInteger() + 1;
    links.Append();
    links.FieldByName("ID").SetAsInteger(id);
    links.FieldByName("ORIG_ID").SetAsInteger(next_user++);
    links.FieldByName("ROLE_ID").SetAsInteger(7);
    links.Post();
  }
  state.counters["rows"] = links.RecordCount();
}
BENCHMARK(BM_TickRoleInLargeDirectory)->Unit(benchmark::kMillisecond);

// A change log of 10,000 edited rows: collecting it as a delta and encoding it.
void BM_BuildAndEncodeDelta(benchmark::State& state) {
  const int changes = static_cast<int>(state.range(0));
  FixedProvider provider(UserPacket(2 * changes));
  ClientDataSet users;
  users.SetRemoteServer(&provider);
  users.SetProviderName("dspUser");
  users.Open();
  users.First();
  for (int i = 0; i < changes; ++i) {
    users.Edit();
    users.FieldByName("COMMENT_").SetAsString("changed " + std::to_string(i));
    users.Next();
    users.Next();
  }
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string encoded = EncodeDelta(users.GetDelta());
    bytes = encoded.size();
    benchmark::DoNotOptimize(encoded.data());
  }
  state.counters["delta_rows"] = users.ChangeCount();
  state.counters["delta_KB"] = static_cast<double>(bytes) / 1e3;
}
BENCHMARK(BM_BuildAndEncodeDelta)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
