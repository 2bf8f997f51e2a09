// The detailed change events a grid's model follows: their kinds and positions per
// operation, and that replaying them always yields the dataset's view.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dataset/client_dataset.h"
#include "memory_provider.h"
#include "test_tables.h"

namespace tovra::dataset {
namespace {

using testing::Def;
using testing::I;
using testing::MemoryProvider;
using testing::S;
using testing::Text;

const char* StatusName(UpdateStatus status) {
  switch (status) {
    case UpdateStatus::Unmodified:
      return "U";
    case UpdateStatus::Inserted:
      return "I";
    case UpdateStatus::Modified:
      return "M";
    case UpdateStatus::Deleted:
      return "D";
  }
  return "?";
}

// What a grid shows of a row: its values (the pending ones while it is edited) and status.
std::string RowKey(const ClientDataSet& ds, int row) {
  std::string key;
  for (int f = 0; f < ds.FieldCount(); ++f)
    key += Text(ds.ValueAt(row, f)) + ",";
  return key + StatusName(ds.RowStatus(row));
}

std::string Describe(const DataChange& c) {
  using K = DataChange::Kind;
  const std::string row = std::to_string(c.row);
  switch (c.kind) {
    case K::CursorMoved:
      return "cursor " + row;
    case K::FieldChanged:
      return "field " + (c.field ? c.field->FieldName() : std::string("?")) + " " + row;
    case K::StateChanged:
      return "state " + row;
    case K::RowInserted:
      return "insert " + row;
    case K::RowDeleted:
      return "delete " + row;
    case K::RowMoved:
      return "move " + row + ">" + std::to_string(c.to);
    case K::RowChanged:
      return "changed " + row;
    case K::DataReset:
      return "reset";
  }
  return "?";
}

// The rows a grid's model keeps between events: it learns of changes only through them,
// and reads a row again only when told it changed ("?" until then). The current row moves
// with inserts and removals as a persistent model index does.
class Shadow {
 public:
  void Reset(const ClientDataSet& ds) {
    rows_.assign(static_cast<std::size_t>(ds.RecordCount()), "?");
    cursor_ = ds.CurrentRow();
  }
  void Apply(const ClientDataSet& ds, const DataChange& c) {
    using K = DataChange::Kind;
    const int size = static_cast<int>(rows_.size());
    const auto at = [&](int row) { return rows_.begin() + row; };
    switch (c.kind) {
      case K::CursorMoved:
        cursor_ = c.row;
        break;
      case K::FieldChanged:
      case K::RowChanged:
        ASSERT_TRUE(c.row >= 0 && c.row < size) << Describe(c);
        rows_[static_cast<std::size_t>(c.row)] = "?";
        break;
      case K::StateChanged:
        break;
      case K::RowInserted:
        ASSERT_TRUE(c.row >= 0 && c.row <= size) << Describe(c);
        rows_.insert(at(c.row), "?");
        if (cursor_ >= c.row)
          ++cursor_;
        break;
      case K::RowDeleted:
        ASSERT_TRUE(c.row >= 0 && c.row < size) << Describe(c);
        rows_.erase(at(c.row));
        cursor_ = cursor_ == c.row ? -1 : cursor_ > c.row ? cursor_ - 1 : cursor_;
        break;
      case K::RowMoved: {
        ASSERT_TRUE(c.row >= 0 && c.row < size && c.to >= 0 && c.to < size) << Describe(c);
        ASSERT_NE(c.row, c.to);
        std::string key = rows_[static_cast<std::size_t>(c.row)];
        rows_.erase(at(c.row));
        rows_.insert(at(c.to), key);
        if (cursor_ == c.row) {
          cursor_ = c.to;
        } else {
          if (cursor_ > c.row)
            --cursor_;
          if (cursor_ >= c.to)
            ++cursor_;
        }
        break;
      }
      case K::DataReset:
        Reset(ds);
        break;
    }
  }
  // Rows the model was not told about must still be what the dataset shows.
  void Check(const ClientDataSet& ds) {
    ASSERT_EQ(static_cast<int>(rows_.size()), ds.RecordCount());
    for (int row = 0; row < ds.RecordCount(); ++row) {
      std::string& key = rows_[static_cast<std::size_t>(row)];
      if (key == "?")
        key = RowKey(ds, row);
      else
        EXPECT_EQ(key, RowKey(ds, row)) << "row " << row;
    }
    EXPECT_EQ(cursor_, ds.CurrentRow());
  }

 private:
  std::vector<std::string> rows_;
  int cursor_ = -1;
};

// Records both handlers of one data source in one stream ("*" or the field name for a call
// of the data-change handler) and replays the detailed events on a shadow.
class Recorder {
 public:
  explicit Recorder(ClientDataSet& ds) : ds_(ds), source_(&ds) {
    source_.SetOnChange([this](DataSource&, const DataChange& c) {
      log_.push_back(Describe(c));
      ++kinds_[c.kind];
      shadow_.Apply(ds_, c);
    });
    source_.SetOnDataChange([this](DataSource&, Field* field) {
      log_.push_back(field ? "*" + field->FieldName() : "*");
    });
    shadow_.Reset(ds);
  }
  std::vector<std::string> Take() { return std::exchange(log_, {}); }
  void Check() { shadow_.Check(ds_); }
  int Seen(DataChange::Kind kind) const {
    auto it = kinds_.find(kind);
    return it == kinds_.end() ? 0 : it->second;
  }

 private:
  ClientDataSet& ds_;
  DataSource source_;
  Shadow shadow_;
  std::vector<std::string> log_;
  std::map<DataChange::Kind, int> kinds_;
};

// Roles in the order the provider delivers them: ID 3, 1, 2, 4.
void OpenRoles(MemoryProvider& provider, ClientDataSet& ds, const char* name = "dspRole") {
  testing::AddRoleTables(provider);
  provider.table("dspRole").refuse = [](const DeltaRow& row) -> std::optional<std::string> {
    if (row.kind != UpdateKind::Delete && row.NewValue(1) == S("bad"))
      return "refused";
    return std::nullopt;
  };
  ds.SetRemoteServer(&provider);
  ds.SetProviderName(name);
  ds.Open();
}

void Set(ClientDataSet& ds, const char* field, Value value) {
  ds.Edit();
  ds.FieldByName(field).SetValue(std::move(value));
}

TEST(DataChange, EachOperationReportsItsKindAndViewPositions) {
  struct Case {
    const char* what;
    std::function<void(ClientDataSet&)> setup;
    std::function<void(ClientDataSet&)> op;
    std::vector<std::string> events;
  };
  const auto none = [](ClientDataSet&) {};
  const std::vector<Case> cases = {
      {"move", none, [](ClientDataSet& ds) { ds.Next(); }, {"cursor 1", "*"}},
      {"move nowhere", none, [](ClientDataSet& ds) { ds.Prior(); }, {}},
      {"locate", none, [](ClientDataSet& ds) { ds.Locate("ID", I(4)); }, {"cursor 3", "*"}},
      {"edit a field",
       none,
       [](ClientDataSet& ds) { Set(ds, "BEZ", S("x")); },
       {"state 0", "*", "field BEZ 0", "*BEZ"}},
      {"post in place",
       [](ClientDataSet& ds) {
         ds.Next();
         Set(ds, "BEZ", S("x"));
       },
       [](ClientDataSet& ds) { ds.Post(); },
       {"changed 1", "state 1", "*"}},
      {"post that re-sorts",
       [](ClientDataSet& ds) {
         ds.SetIndexFieldNames("ID");  // 1 2 3 4
         ds.First();
         Set(ds, "ID", I(9));
       },
       [](ClientDataSet& ds) { ds.Post(); },
       {"move 0>3", "changed 3", "cursor 3", "state 3", "*"}},
      {"post that keeps its place in the order",
       [](ClientDataSet& ds) {
         ds.SetIndexFieldNames("ID");
         ds.Last();
         Set(ds, "ID", I(9));
       },
       [](ClientDataSet& ds) { ds.Post(); },
       {"changed 3", "state 3", "*"}},
      {"post that leaves the filter",
       [](ClientDataSet& ds) {
         ds.SetFilter("ID < 4");  // 3 1 2
         ds.SetFiltered(true);
         ds.Next();
         Set(ds, "ID", I(7));
       },
       [](ClientDataSet& ds) { ds.Post(); },
       {"delete 1", "cursor 1", "state 1", "*"}},
      {"insert",
       [](ClientDataSet& ds) { ds.Next(); },
       [](ClientDataSet& ds) { ds.Insert(); },
       {"insert 1", "cursor 1", "state 1", "*"}},
      {"append moves to the end first",
       none,
       [](ClientDataSet& ds) { ds.Append(); },
       {"cursor 3", "*", "insert 4", "cursor 4", "state 4", "*"}},
      {"cancel an insert",
       [](ClientDataSet& ds) {
         ds.Next();
         ds.Insert();
         ds.FieldByName("ID").SetAsInteger(5);
       },
       [](ClientDataSet& ds) { ds.Cancel(); },
       {"delete 1", "cursor 1", "state 1", "*"}},
      {"cancel an edit",
       [](ClientDataSet& ds) { Set(ds, "BEZ", S("x")); },
       [](ClientDataSet& ds) { ds.Cancel(); },
       {"changed 0", "state 0", "*"}},
      {"post an insert into the order",
       [](ClientDataSet& ds) {
         ds.SetIndexFieldNames("ID");
         ds.First();
         ds.Insert();
         ds.FieldByName("ID").SetAsInteger(9);
       },
       [](ClientDataSet& ds) { ds.Post(); },
       {"move 0>4", "changed 4", "cursor 4", "state 4", "*"}},
      {"post an insert the filter hides",
       [](ClientDataSet& ds) {
         ds.SetFilter("ID < 4");
         ds.SetFiltered(true);
         ds.Append();
         ds.FieldByName("ID").SetAsInteger(8);
       },
       [](ClientDataSet& ds) { ds.Post(); },
       {"delete 3", "cursor 2", "state 2", "*"}},
      {"delete",
       [](ClientDataSet& ds) { ds.Next(); },
       [](ClientDataSet& ds) { ds.Delete(); },
       {"delete 1", "cursor 1", "*"}},
      {"delete the last row",
       [](ClientDataSet& ds) { ds.Last(); },
       [](ClientDataSet& ds) { ds.Delete(); },
       {"delete 3", "cursor 2", "*"}},
      {"delete while editing",
       [](ClientDataSet& ds) { Set(ds, "BEZ", S("x")); },
       [](ClientDataSet& ds) { ds.Delete(); },
       {"delete 0", "cursor 0", "state 0", "*"}},
      {"filter on",
       [](ClientDataSet& ds) { ds.SetFilter("ID < 3"); },
       [](ClientDataSet& ds) { ds.SetFiltered(true); },
       {"reset", "*"}},
      {"filter off",
       [](ClientDataSet& ds) {
         ds.SetFilter("ID < 3");
         ds.SetFiltered(true);
       },
       [](ClientDataSet& ds) { ds.SetFiltered(false); },
       {"reset", "*"}},
      {"index change",
       none,
       [](ClientDataSet& ds) { ds.SetIndexFieldNames("BEZ"); },
       {"reset", "*"}},
      {"refresh", none, [](ClientDataSet& ds) { ds.Refresh(); }, {"reset", "*"}},
      {"cancel updates",
       [](ClientDataSet& ds) {
         ds.Delete();
         Set(ds, "BEZ", S("x"));
       },
       [](ClientDataSet& ds) { ds.CancelUpdates(); },
       {"changed 0", "state 0", "*", "reset", "*"}},
      {"cancel updates with nothing pending",
       none,
       [](ClientDataSet& ds) { ds.CancelUpdates(); },
       {}},
      {"apply: the accepted row becomes unmodified",
       [](ClientDataSet& ds) {
         ds.Next();
         Set(ds, "BEZ", S("ok"));
         ds.Post();
         ds.Last();
         ds.Delete();
       },
       [](ClientDataSet& ds) { ds.ApplyUpdates(-1); },
       {"changed 1", "*"}},
      {"apply: a refused row stays modified",
       [](ClientDataSet& ds) {
         Set(ds, "BEZ", S("bad"));
         ds.Post();
         ds.Next();
         Set(ds, "BEZ", S("ok"));
         ds.Post();
       },
       [](ClientDataSet& ds) { ds.ApplyUpdates(-1); },
       {"changed 1", "*"}},
      {"apply: a refused row that is dropped",
       [](ClientDataSet& ds) {
         ds.SetOnReconcileError([](ClientDataSet&, const ReconcileError&, ReconcileAction& action) {
           action = ReconcileAction::Drop;
         });
         ds.Append();
         ds.FieldByName("BEZ").SetAsString("bad");
         ds.Post();
       },
       [](ClientDataSet& ds) { ds.ApplyUpdates(-1); },
       {"reset", "*"}},
      {"apply posts a pending edit first",
       [](ClientDataSet& ds) { Set(ds, "BEZ", S("ok")); },
       [](ClientDataSet& ds) { ds.ApplyUpdates(-1); },
       {"changed 0", "state 0", "*", "changed 0", "*"}},
      {"close", none, [](ClientDataSet& ds) { ds.Close(); }, {"reset", "state -1", "*"}},
      {"open",
       [](ClientDataSet& ds) { ds.Close(); },
       [](ClientDataSet& ds) { ds.Open(); },
       {"reset", "state 0", "*"}},
      {"held back by DisableControls",
       [](ClientDataSet& ds) { ds.DisableControls(); },
       [](ClientDataSet& ds) {
         ds.Next();
         ds.Delete();
         ds.EnableControls();
       },
       {"reset", "*"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryProvider provider;
    ClientDataSet ds;
    OpenRoles(provider, ds);
    Recorder recorder(ds);
    c.setup(ds);
    recorder.Check();
    recorder.Take();
    c.op(ds);
    EXPECT_EQ(recorder.Take(), c.events);
    recorder.Check();
  }
}

// A scripted random session over a table with an order, a filter and an apply that
// refuses some rows: after every operation the replayed events must give the view.
TEST(DataChange, ReplayingTheEventsAlwaysYieldsTheView) {
  MemoryProvider provider;
  auto& table = provider.AddTable(
      "dspItems", {Def("ID", FieldType::Int32, 0, kInKey | kInUpdate | kInWhere),
                   Def("NAME", FieldType::String, 20), Def("GRP", FieldType::Int32)});
  const std::vector<std::string> names = {"ant", "bee", "cat", "dog", "bad"};
  for (int i = 0; i < 12; ++i)
    table.rows.push_back({I(i + 1), S(names[static_cast<std::size_t>(i % 4)]), I(i % 3)});
  table.refuse = [](const DeltaRow& row) -> std::optional<std::string> {
    if (row.kind != UpdateKind::Delete && row.NewValue(1) == S("bad"))
      return "refused";
    return std::nullopt;
  };
  ClientDataSet ds;
  ds.SetRemoteServer(&provider);
  ds.SetProviderName("dspItems");
  ds.SetFilter("GRP <> 1");
  ds.Open();
  Recorder recorder(ds);

  std::mt19937 rng(20260911);
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  ds.SetOnReconcileError([&](ClientDataSet&, const ReconcileError&, ReconcileAction& action) {
    action = pick(2) ? ReconcileAction::Drop : ReconcileAction::Leave;
  });
  const std::vector<std::string> orders = {"", "ID", "NAME", "GRP;NAME", "NAME;ID"};
  std::int64_t next_id = 100;
  constexpr int kSteps = 2000;
  for (int step = 0; step < kSteps; ++step) {
    const std::size_t op = pick(20);
    SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op));
    switch (op) {
      case 0:
        ds.First();
        break;
      case 1:
        ds.Next();
        break;
      case 2:
        ds.Prior();
        break;
      case 3:
        ds.Last();
        break;
      case 4:
        ds.SetRecNo(static_cast<int>(pick(static_cast<std::size_t>(ds.RecordCount()) + 2)));
        break;
      case 5:
        ds.Locate("ID", I(static_cast<std::int64_t>(pick(14))));
        break;
      case 6:
        Set(ds, "GRP", I(static_cast<std::int64_t>(pick(3))));
        break;
      case 7:
        Set(ds, "NAME", S(names[pick(names.size())]));
        break;
      case 8:
      case 9:
        ds.Post();
        break;
      case 10:
        ds.Cancel();
        break;
      case 11:
      case 12:
        op == 11 ? ds.Insert() : ds.Append();
        ds.FieldByName("ID").SetAsLargeInt(next_id++);
        ds.FieldByName("GRP").SetAsInteger(static_cast<int>(pick(3)));
        break;
      case 13:
        if (!ds.IsEmpty())
          ds.Delete();
        break;
      case 14:
        ds.SetFiltered(!ds.Filtered());
        break;
      case 15:
        ds.SetIndexFieldNames(orders[pick(orders.size())]);
        break;
      case 16:
        if (pick(4) == 0)
          ds.CancelUpdates();
        break;
      case 17:
        ds.ApplyUpdates(-1);
        break;
      case 18:
        try {
          ds.Refresh();
        } catch (const DataSetError&) {
          // refused while changes are pending; nothing may have changed
        }
        break;
      case 19:
        ds.DisableControls();
        ds.Next();
        if (!ds.IsEmpty())
          ds.Delete();
        ds.EnableControls();
        break;
    }
    recorder.Check();
    if (::testing::Test::HasFailure())
      break;
  }
  // The script reached every kind of event, so the replay above tested each of them.
  using K = DataChange::Kind;
  for (K kind : {K::CursorMoved, K::FieldChanged, K::StateChanged, K::RowInserted, K::RowDeleted,
                 K::RowMoved, K::RowChanged, K::DataReset}) {
    EXPECT_GT(recorder.Seen(kind), 0) << static_cast<int>(kind);
  }
}

// Dropping refused rows takes them out of the view while the handler runs; the handler
// and the caller must find the view and the current row whole.
TEST(DataChange, DroppedRowsLeaveTheViewAndTheCurrentRowValid) {
  MemoryProvider provider;
  ClientDataSet ds;
  OpenRoles(provider, ds);  // 3 1 2 4
  std::vector<std::vector<std::string>> seen;
  ds.SetOnReconcileError([&](ClientDataSet& d, const ReconcileError&, ReconcileAction& action) {
    seen.push_back(testing::Column(d, "ID"));
    action = ReconcileAction::Drop;
  });
  for (int id : {5, 6}) {
    ds.Append();
    ds.FieldByName("ID").SetAsInteger(id);
    ds.FieldByName("BEZ").SetAsString("bad");
    ds.Post();
  }
  EXPECT_EQ(ds.ApplyUpdates(-1), 2);
  using V = std::vector<std::string>;
  EXPECT_EQ(seen, (std::vector<V>{{"3", "1", "2", "4", "5", "6"}, {"3", "1", "2", "4", "6"}}));
  EXPECT_EQ(testing::Column(ds, "ID"), (V{"3", "1", "2", "4"}));
  EXPECT_EQ(ds.CurrentRow(), 3);  // the current row went: its place, clamped
  EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 4);
  EXPECT_EQ(ds.ChangeCount(), 0);
}

std::vector<std::string> Statuses(const ClientDataSet& ds) {
  std::vector<std::string> out;
  for (int row = 0; row < ds.RecordCount(); ++row)
    out.push_back(StatusName(ds.RowStatus(row)));
  return out;
}

TEST(DataChange, EveryRowOfTheViewTellsItsPendingChange) {
  MemoryProvider provider;
  ClientDataSet ds;
  OpenRoles(provider, ds);  // 3 1 2 4
  using V = std::vector<std::string>;
  EXPECT_EQ(Statuses(ds), (V{"U", "U", "U", "U"}));

  ds.Next();
  Set(ds, "BEZ", S("bad"));
  EXPECT_EQ(Statuses(ds), (V{"U", "U", "U", "U"}));  // an edit counts once posted
  ds.Post();
  ds.Append();
  EXPECT_EQ(Statuses(ds), (V{"U", "M", "U", "U", "I"}));  // so does a row being inserted
  ds.FieldByName("ID").SetAsInteger(5);
  ds.Post();
  ds.First();
  ds.Delete();  // deleted rows leave the view; the others keep their status
  EXPECT_EQ(Statuses(ds), (V{"M", "U", "U", "I"}));
  ds.SetIndexFieldNames("ID");  // 1 2 4 5: the status follows the row
  EXPECT_EQ(Statuses(ds), (V{"M", "U", "U", "I"}));
  ds.SetIndexFieldNames("");

  // Edited back to what the provider delivered is unmodified again.
  ds.Locate("ID", I(2));
  Set(ds, "BEZ", S("x"));
  ds.Post();
  EXPECT_EQ(Statuses(ds), (V{"M", "M", "U", "I"}));
  Set(ds, "BEZ", S("admin"));
  ds.Post();
  EXPECT_EQ(Statuses(ds), (V{"M", "U", "U", "I"}));

  // The refused edit stays modified; the accepted insert and delete are settled.
  EXPECT_EQ(ds.ApplyUpdates(-1), 1);
  EXPECT_EQ(Statuses(ds), (V{"M", "U", "U", "U"}));
  ds.CancelUpdates();
  EXPECT_EQ(Statuses(ds), (V{"U", "U", "U", "U"}));
  EXPECT_THROW(ds.RowStatus(4), std::out_of_range);
}

TEST(DataChange, CurrentRowIsTheZeroBasedPositionInTheView) {
  MemoryProvider provider;
  ClientDataSet ds;
  EXPECT_EQ(ds.CurrentRow(), -1);  // closed
  OpenRoles(provider, ds);         // 3 1 2 4
  EXPECT_EQ(ds.CurrentRow(), 0);
  ds.Locate("ID", I(2));
  EXPECT_EQ(ds.CurrentRow(), 2);
  EXPECT_EQ(ds.CurrentRow(), ds.RecNo() - 1);
  ds.SetIndexFieldNames("ID");  // 1 2 3 4: the row stays current at its new place
  EXPECT_EQ(ds.CurrentRow(), 1);
  ds.Insert();
  EXPECT_EQ(ds.CurrentRow(), 1);
  ds.Cancel();
  ds.SetFilter("ID > 9");
  ds.SetFiltered(true);
  EXPECT_EQ(ds.CurrentRow(), -1);  // nothing visible
  ds.SetFiltered(false);
  ds.Last();
  EXPECT_EQ(ds.CurrentRow(), 3);
  ds.Close();
  EXPECT_EQ(ds.CurrentRow(), -1);
}

}  // namespace
}  // namespace tovra::dataset
