#include <gtest/gtest.h>

#include <functional>

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

std::string Join(const std::vector<Value>& values) {
  std::string out;
  for (const Value& v : values)
    out += (out.empty() ? "" : ",") + Text(v);
  return out;
}

// One line per delta row: "I new values", "M original values: changed=new", "D original".
std::vector<std::string> Summary(const Delta& delta) {
  std::vector<std::string> out;
  for (const DeltaRow& row : delta.rows) {
    switch (row.kind) {
      case UpdateKind::Insert:
        out.push_back("I " + Join(row.new_values));
        break;
      case UpdateKind::Modify: {
        std::string line = "M " + Join(row.original) + ":";
        for (std::size_t i = 0; i < delta.fields.size(); ++i) {
          if (row.IsChanged(i))
            line += " " + delta.fields[i].name + "=" + Text(row.new_values[i]);
        }
        out.push_back(line);
        break;
      }
      case UpdateKind::Delete:
        out.push_back("D " + Join(row.original));
        break;
    }
  }
  return out;
}

void SetBez(ClientDataSet& ds, int id, const char* bez) {
  ASSERT_TRUE(ds.Locate("ID", I(id)));
  ds.Edit();
  ds.FieldByName("BEZ").SetAsString(bez);
  ds.Post();
}

void AddRole(ClientDataSet& ds, int id, const char* bez) {
  ds.Append();
  ds.FieldByName("ID").SetAsInteger(id);
  ds.FieldByName("BEZ").SetAsString(bez);
  ds.Post();
}

void DeleteRole(ClientDataSet& ds, int id) {
  ASSERT_TRUE(ds.Locate("ID", I(id)));
  ds.Delete();
}

TEST(ChangeLog, EditSequencesFoldIntoTheDelta) {
  struct Case {
    const char* what;
    std::function<void(ClientDataSet&)> edits;
    std::vector<std::string> delta;
  };
  const std::vector<Case> cases = {
      {"nothing", [](ClientDataSet&) {}, {}},
      {"one edit",
       [](ClientDataSet& ds) { SetBez(ds, 1, "Viewer"); },
       {"M 1,Reader,null: BEZ=Viewer"}},
      {"two edits keep the first original",
       [](ClientDataSet& ds) {
         SetBez(ds, 1, "Viewer");
         SetBez(ds, 1, "Auditor");
       },
       {"M 1,Reader,null: BEZ=Auditor"}},
      {"edit back to the original",
       [](ClientDataSet& ds) {
         SetBez(ds, 1, "Viewer");
         SetBez(ds, 1, "Reader");
       },
       {}},
      {"post without a change",
       [](ClientDataSet& ds) {
         ds.Edit();
         ds.FieldByName("BEZ").SetAsString(ds.FieldByName("BEZ").AsString());
         ds.Post();
       },
       {}},
      {"insert", [](ClientDataSet& ds) { AddRole(ds, 5, "Guest"); }, {"I 5,Guest,null"}},
      {"insert then edit is one insert",
       [](ClientDataSet& ds) {
         AddRole(ds, 5, "Guest");
         SetBez(ds, 5, "Visitor");
       },
       {"I 5,Visitor,null"}},
      {"insert then delete is nothing",
       [](ClientDataSet& ds) {
         AddRole(ds, 5, "Guest");
         DeleteRole(ds, 5);
       },
       {}},
      {"edit then delete deletes the original",
       [](ClientDataSet& ds) {
         SetBez(ds, 2, "changed");
         DeleteRole(ds, 2);
       },
       {"D 2,admin,lower case twin"}},
      {"delete", [](ClientDataSet& ds) { DeleteRole(ds, 4); }, {"D 4,Writer,"}},
      {"cancelled insert and untouched insert are nothing",
       [](ClientDataSet& ds) {
         ds.Append();
         ds.FieldByName("ID").SetAsInteger(6);
         ds.Cancel();
         ds.Insert();
         ds.First();
       },
       {}},
      {"a pending edit is posted by the send",
       [](ClientDataSet& ds) {
         ds.Locate("ID", I(3));
         ds.Edit();
         ds.FieldByName("COMMENT_").SetAsString("none");
       },
       {"M 3,Admin,all rights: COMMENT_=none"}},
      {"rows in the order of their first change",
       [](ClientDataSet& ds) {
         SetBez(ds, 4, "W");
         AddRole(ds, 5, "Guest");
         DeleteRole(ds, 3);
         SetBez(ds, 4, "W2");
         SetBez(ds, 1, "R");
       },
       {"M 4,Writer,: BEZ=W2", "I 5,Guest,null", "D 3,Admin,all rights", "M 1,Reader,null: BEZ=R"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryProvider provider;
    testing::AddRoleTables(provider);
    ClientDataSet ds;
    ds.SetRemoteServer(&provider);
    ds.SetProviderName("dspRole");
    ds.Open();
    c.edits(ds);
    ds.ApplyUpdates(-1);
    EXPECT_EQ(Summary(provider.last_delta), c.delta);
    EXPECT_EQ(provider.apply_calls, c.delta.empty() ? 0 : 1);  // nothing to send: no call
    EXPECT_EQ(ds.ChangeCount(), 0);
  }
}

class ApplyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    roles_.Close();
    testing::AddRoleTables(provider_);
    provider_.table("dspRole").refuse = [](const DeltaRow& row) -> std::optional<std::string> {
      if (row.kind != UpdateKind::Delete && row.NewValue(1) == S("bad")) {
        return "violates check constraint \"role_name\"";
      }
      return std::nullopt;
    };
    roles_.SetRemoteServer(&provider_);
    roles_.SetProviderName("dspRole");
    roles_.Open();
  }
  // Three changes; the middle one is refused.
  void MakeChanges() {
    SetBez(roles_, 1, "Viewer");
    AddRole(roles_, 5, "bad");
    DeleteRole(roles_, 4);
  }
  std::vector<std::string> ServerNames() {
    std::vector<std::string> out;
    for (const auto& row : provider_.table("dspRole").rows)
      out.push_back(Text(row[1]));
    return out;
  }
  MemoryProvider provider_;
  ClientDataSet roles_;
};

TEST_F(ApplyTest, AcceptedRowsLeaveTheLogAndRefusedOnesStay) {
  MakeChanges();
  std::vector<ReconcileError> seen;
  roles_.SetOnReconcileError(
      [&](ClientDataSet& ds, const ReconcileError& e, ReconcileAction& action) {
        EXPECT_EQ(&ds, &roles_);
        EXPECT_EQ(action, ReconcileAction::Leave);  // the proposal
        seen.push_back(e);
      });
  EXPECT_EQ(roles_.ApplyUpdates(-1), 1);
  EXPECT_EQ(ServerNames(), (std::vector<std::string>{"Admin", "Viewer", "admin"}));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].message, "violates check constraint \"role_name\"");
  EXPECT_EQ(seen[0].kind, UpdateKind::Insert);
  EXPECT_EQ(seen[0].values[1], S("bad"));
  EXPECT_EQ(roles_.ChangeCount(), 1);
  EXPECT_EQ(roles_.GetDelta().rows.at(0).kind, UpdateKind::Insert);

  // The refresh that follows is refused and says why the row was refused.
  try {
    roles_.Refresh();
    ADD_FAILURE() << "refreshed";
  } catch (const DataSetError& e) {
    EXPECT_NE(std::string(e.what()).find("violates check constraint"), std::string::npos)
        << e.what();
  }
  // Corrected, the row goes through and the dataset can be refreshed.
  roles_.Locate("ID", I(5));
  roles_.Edit();
  roles_.FieldByName("BEZ").SetAsString("Guest");
  EXPECT_EQ(roles_.ApplyUpdates(0), 0);
  EXPECT_EQ(provider_.last_delta.rows.size(), 1u);
  roles_.Refresh();
  EXPECT_EQ(roles_.RecordCount(), 4);
}

TEST_F(ApplyTest, WithNoErrorsAllowedTheProviderStopsAtTheFirstRefusal) {
  MakeChanges();
  EXPECT_EQ(roles_.ApplyUpdates(0), 1);  // no handler: the rows stay
  EXPECT_EQ(ServerNames(), (std::vector<std::string>{"Admin", "Viewer", "admin", "Writer"}));
  // The refused insert and the delete the provider never reached are still pending.
  EXPECT_EQ(roles_.ChangeCount(), 2);
  EXPECT_FALSE(roles_.Locate("ID", I(4)));
}

TEST_F(ApplyTest, TheHandlerChoosesLeaveDropOrAbort) {
  struct Case {
    ReconcileAction action;
    int handler_calls;
    int pending_after;
    bool bad_rows_still_shown;
  };
  const std::vector<Case> cases = {
      {ReconcileAction::Leave, 2, 2, true},
      {ReconcileAction::Drop, 2, 0, false},
      {ReconcileAction::Abort, 1, 2, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.action));
    SetUp();  // a fresh server and dataset per case
    AddRole(roles_, 5, "bad");
    SetBez(roles_, 3, "bad");
    SetBez(roles_, 1, "Viewer");
    int calls = 0;
    roles_.SetOnReconcileError([&](ClientDataSet&, const ReconcileError&, ReconcileAction& action) {
      ++calls;
      action = c.action;
    });
    EXPECT_EQ(roles_.ApplyUpdates(-1), 2);
    EXPECT_EQ(calls, c.handler_calls);
    EXPECT_EQ(roles_.ChangeCount(), c.pending_after);
    EXPECT_EQ(roles_.Locate("BEZ", S("bad")), c.bad_rows_still_shown);
    // Dropping undoes the local change: the edited row is back as the server has it.
    if (c.action == ReconcileAction::Drop) {
      ASSERT_TRUE(roles_.Locate("ID", I(3)));
      EXPECT_EQ(roles_.FieldByName("BEZ").AsString(), "Admin");
      EXPECT_FALSE(roles_.Locate("ID", I(5)));
    }
    EXPECT_EQ(ServerNames(), (std::vector<std::string>{"Admin", "Viewer", "admin", "Writer"}));
  }
}

TEST_F(ApplyTest, ARowChangedOnTheServerMeanwhileIsRefused) {
  SetBez(roles_, 1, "Viewer");
  provider_.table("dspRole").rows[1][1] = S("Reader (renamed elsewhere)");
  EXPECT_EQ(roles_.ApplyUpdates(0), 1);
  EXPECT_EQ(roles_.ChangeCount(), 1);
  EXPECT_EQ(ServerNames()[1], "Reader (renamed elsewhere)");
}

TEST_F(ApplyTest, TransportErrorsLeaveTheLogAsItWas) {
  MakeChanges();
  provider_.fail_next = "Connection reset by peer";
  EXPECT_THROW(roles_.ApplyUpdates(0), std::exception);
  EXPECT_EQ(roles_.ChangeCount(), 3);
  // A handler that does nothing, like the one of the roles datasets, leaves the rows.
  roles_.SetOnReconcileError([](ClientDataSet&, const ReconcileError&, ReconcileAction&) {});
  EXPECT_EQ(roles_.ApplyUpdates(-1), 1);
  EXPECT_EQ(roles_.ChangeCount(), 1);
}

// The log on its own: each row's status, and undoing one row's change at a time.
TEST(ChangeLogRows, StatusAndUndoOfSingleRows) {
  RowList rows;
  for (std::uint64_t id : {1, 2, 3})
    rows.push_back(std::make_unique<StoredRow>(StoredRow{{I(static_cast<int>(id) * 10)}, id}));
  auto ids = [&] {
    std::vector<std::string> out;
    for (const auto& r : rows)
      out.push_back(std::to_string(r->id) + "=" + Text(r->values[0]));
    return out;
  };
  ChangeLog log;
  std::vector<Value> before = rows[1]->values;
  rows[1]->values = {I(99)};
  log.RecordEdit(*rows[1], std::move(before));
  std::unique_ptr<StoredRow> gone = std::move(rows[0]);
  rows.erase(rows.begin());
  log.RecordDelete(std::move(gone));
  rows.push_back(std::make_unique<StoredRow>(StoredRow{{I(70)}, 7}));
  log.RecordInsert(7);
  EXPECT_EQ(log.StatusOf(1), UpdateStatus::Deleted);
  EXPECT_EQ(log.StatusOf(2), UpdateStatus::Modified);
  EXPECT_EQ(log.StatusOf(3), UpdateStatus::Unmodified);
  EXPECT_EQ(log.StatusOf(7), UpdateStatus::Inserted);

  // An answer about a row that was not sent is refused and settles nothing.
  const Delta sent = log.BuildDelta({Def("N", FieldType::Int32)}, rows, nullptr);
  EXPECT_EQ(sent.rows.size(), 3u);
  ReconcileAnswer answer;
  answer.refused.push_back({42, "no such row"});
  EXPECT_THROW(log.Settle(sent, answer), PacketError);
  EXPECT_EQ(log.Count(), 3);

  EXPECT_TRUE(log.Undo(1, rows));  // back in its place, with its values
  EXPECT_EQ(ids(), (std::vector<std::string>{"1=10", "2=99", "3=30", "7=70"}));
  EXPECT_TRUE(log.Undo(2, rows));
  EXPECT_TRUE(log.Undo(7, rows));
  EXPECT_FALSE(log.Undo(3, rows));
  EXPECT_EQ(ids(), (std::vector<std::string>{"1=10", "2=20", "3=30"}));
  EXPECT_TRUE(log.Empty());
}

}  // namespace
}  // namespace tovra::dataset
