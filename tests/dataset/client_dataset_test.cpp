#include "dataset/client_dataset.h"

#include <gtest/gtest.h>

#include "memory_provider.h"
#include "test_tables.h"

namespace tovra::dataset {
namespace {

using testing::Column;
using testing::Def;
using testing::I;
using testing::MemoryProvider;
using testing::S;

class DataSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::AddRoleTables(provider_);
    Attach(roles_, "dspRole");
    Attach(rights_, "dspRights");
  }
  void Attach(ClientDataSet& ds, const char* provider) {
    ds.SetRemoteServer(&provider_);
    ds.SetProviderName(provider);
  }
  MemoryProvider provider_;
  ClientDataSet roles_;
  ClientDataSet rights_;
};

TEST_F(DataSetTest, FieldsAreFoundByNameWithoutCaseAndByPosition) {
  roles_.Open();
  EXPECT_EQ(&roles_.FieldByName("bez"), &roles_.Fields(1));
  EXPECT_EQ(&roles_.FieldByName("Bez"), &roles_.FieldByName("BEZ"));
  EXPECT_EQ(roles_.Fields(0).AsInteger(), 3);
  EXPECT_EQ(roles_.Fields(1).AsString(), "Admin");
  EXPECT_THROW(roles_.FieldByName("BEZEICHNUNG"), DataSetError);
  EXPECT_THROW(roles_.Fields(3), DataSetError);
}

TEST_F(DataSetTest, EmptyFieldsReadAsZeroAndEmptyText) {
  roles_.Open();
  roles_.Locate("ID", I(1));
  EXPECT_TRUE(roles_.FieldByName("COMMENT_").IsNull());
  EXPECT_EQ(roles_.FieldByName("COMMENT_").AsInteger(), 0);
  EXPECT_EQ(roles_.FieldByName("COMMENT_").AsString(), "");
  roles_.Locate("ID", I(4));
  EXPECT_EQ(roles_.FieldByName("COMMENT_").AsInteger(), 0);  // "" as well
  // A new row's integer field is empty until written.
  roles_.Append();
  EXPECT_EQ(roles_.FieldByName("ID").AsInteger(), 0);
  roles_.Cancel();
  // Text that is no number is an error, not 0.
  roles_.Locate("ID", I(3));
  EXPECT_THROW(roles_.FieldByName("BEZ").AsInteger(), DataSetError);
  // An empty dataset reads empty.
  rights_.Open();
  rights_.First();
  for (int rows = rights_.RecordCount(); rows > 0; --rows)
    rights_.Delete();
  ASSERT_TRUE(rights_.IsEmpty());
  EXPECT_EQ(rights_.FieldByName("ID").AsInteger(), 0);
}

TEST_F(DataSetTest, WritesAreCheckedAgainstTheField) {
  roles_.Open();
  EXPECT_THROW(roles_.FieldByName("BEZ").SetAsString("x"), DataSetError);  // not editing
  roles_.Edit();
  EXPECT_THROW(roles_.FieldByName("ID").SetAsString("12x"), DataSetError);
  EXPECT_THROW(roles_.FieldByName("BEZ").SetAsString(std::string(41, 'a')), DataSetError);
  roles_.FieldByName("BEZ").SetAsString(std::string(40, 'a'));
  roles_.FieldByName("BEZ").SetAsString("Ärger");  // characters, not bytes, count
  roles_.FieldByName("ID").SetAsString("7");
  EXPECT_EQ(roles_.FieldByName("ID").AsInteger(), 7);
  roles_.FieldByName("BEZ").SetAsInteger(12);
  EXPECT_EQ(roles_.FieldByName("BEZ").AsString(), "12");
  roles_.Cancel();
  EXPECT_EQ(roles_.FieldByName("ID").AsInteger(), 3);

  // Read-only at run time, and writable again.
  Field& bez = roles_.FieldByName("BEZ");
  bez.SetReadOnly(true);
  roles_.Edit();
  EXPECT_THROW(bez.SetAsString("x"), DataSetError);
  bez.SetReadOnly(false);
  bez.SetAsString("x");
  roles_.Post();
  EXPECT_EQ(bez.AsString(), "x");

  roles_.SetReadOnly(true);
  EXPECT_THROW(roles_.Edit(), DataSetError);
  EXPECT_THROW(roles_.Delete(), DataSetError);
  EXPECT_THROW(roles_.Append(), DataSetError);
}

TEST_F(DataSetTest, RequiredFieldsMustHaveAValue) {
  ClientDataSet ds;
  FieldDef name = Def("USERNAME", FieldType::String, 40);
  name.required = true;
  ds.AddField(name);
  ds.CreateDataSet();
  ds.Append();
  EXPECT_THROW(ds.Post(), DataSetError);
  EXPECT_EQ(ds.State(), DataSetState::Insert);
  ds.FieldByName("username").SetAsString("anna");
  ds.Post();
  EXPECT_EQ(ds.RecordCount(), 1);
}

TEST_F(DataSetTest, NavigationAndState) {
  roles_.Open();
  EXPECT_EQ(roles_.State(), DataSetState::Browse);
  EXPECT_TRUE(roles_.Bof());
  EXPECT_EQ(Column(roles_, "ID"), (std::vector<std::string>{"3", "1", "2", "4"}));
  std::vector<int> forward;
  for (roles_.First(); !roles_.Eof(); roles_.Next())
    forward.push_back(roles_.Fields(0).AsInteger());
  EXPECT_EQ(forward, (std::vector<int>{3, 1, 2, 4}));
  EXPECT_EQ(roles_.Fields(0).AsInteger(), 4);  // stays on the last row
  std::vector<int> backward;
  for (roles_.Last(); !roles_.Bof(); roles_.Prior())
    backward.push_back(roles_.Fields(0).AsInteger());
  EXPECT_EQ(backward, (std::vector<int>{4, 2, 1, 3}));

  roles_.Edit();
  EXPECT_EQ(roles_.State(), DataSetState::Edit);
  roles_.Cancel();
  roles_.Insert();
  EXPECT_EQ(roles_.State(), DataSetState::Insert);
  EXPECT_EQ(roles_.RecNo(), 1);  // before the current row
  roles_.Next();                 // untouched: dropped, not posted
  EXPECT_EQ(roles_.State(), DataSetState::Browse);
  EXPECT_EQ(roles_.RecordCount(), 4);
  EXPECT_EQ(roles_.ChangeCount(), 0);

  roles_.Close();
  EXPECT_FALSE(roles_.Active());
  EXPECT_EQ(roles_.FieldCount(), 0);  // fields came from the provider
  EXPECT_THROW(roles_.First(), DataSetError);
}

TEST_F(DataSetTest, IndexFieldNamesOrdersStablyAndPostsFirst) {
  rights_.Open();
  rights_.SetIndexFieldNames("ROLE_ID");
  // Equal keys keep the provider's order.
  EXPECT_EQ(Column(rights_, "ID"), (std::vector<std::string>{"12", "13", "14", "10", "11"}));
  rights_.SetIndexFieldNames("QVB_ID;ROLE_ID");
  EXPECT_EQ(Column(rights_, "ID"), (std::vector<std::string>{"12", "14", "10", "13", "11"}));
  EXPECT_THROW(rights_.SetIndexFieldNames("QVB_ID;NOPE"), DataSetError);

  // The way link rows get their number: order by ID, take the last, add one.
  rights_.Append();
  rights_.FieldByName("QVB_ID").SetAsInteger(1);
  rights_.FieldByName("ROLE_ID").SetAsInteger(4);
  rights_.FieldByName("ID").SetAsInteger(0);
  rights_.SetIndexFieldNames("ID");  // posts the pending insert
  EXPECT_EQ(rights_.State(), DataSetState::Browse);
  EXPECT_EQ(rights_.ChangeCount(), 1);
  rights_.Last();
  EXPECT_EQ(rights_.FieldByName("ID").AsInteger(), 14);
  rights_.First();
  EXPECT_EQ(rights_.FieldByName("ID").AsInteger(), 0);
  EXPECT_EQ(rights_.IndexFieldNames(), "ID");

  // A current row keeps being current when the order changes.
  rights_.Locate("ID", I(13));
  rights_.SetIndexFieldNames("QVB_ID");
  EXPECT_EQ(rights_.FieldByName("ID").AsInteger(), 13);
}

TEST_F(DataSetTest, LocateFindsTheFirstMatchInOrderUnderTheFilter) {
  roles_.Open();
  rights_.Open();
  struct Case {
    const char* what;
    ClientDataSet* ds;
    const char* index;
    const char* filter;
    const char* fields;
    std::vector<Value> values;
    LocateOptions options;
    int expected_id;  // 0: no match, the row stays
  };
  const std::vector<Case> cases = {
      {"exact", &roles_, "", "", "BEZ", {S("admin")}, LocateOptions::None, 2},
      {"case matters", &roles_, "", "", "BEZ", {S("ADMIN")}, LocateOptions::None, 0},
      {"case ignored, first in natural order",
       &roles_,
       "",
       "",
       "BEZ",
       {S("ADMIN")},
       LocateOptions::CaseInsensitive,
       3},
      {"case ignored, first in ID order",
       &roles_,
       "ID",
       "",
       "BEZ",
       {S("ADMIN")},
       LocateOptions::CaseInsensitive,
       2},
      {"whole value only", &roles_, "", "", "BEZ", {S("Adm")}, LocateOptions::None, 0},
      {"hidden by the filter", &roles_, "", "ID <> 2", "bez", {S("admin")}, LocateOptions::None, 0},
      {"first visible under the filter",
       &roles_,
       "",
       "ID <> 3",
       "BEZ",
       {S("ADMIN")},
       LocateOptions::CaseInsensitive,
       2},
      {"integer field, text value", &roles_, "", "", "ID", {S("4")}, LocateOptions::None, 4},
      {"integer field, value no number",
       &roles_,
       "",
       "",
       "ID",
       {S("four")},
       LocateOptions::None,
       0},
      {"null value", &roles_, "", "", "COMMENT_", {Value{}}, LocateOptions::None, 1},
      {"two fields", &rights_, "", "", "QVB_ID;ROLE_ID", {I(2), I(3)}, LocateOptions::None, 11},
      {"two fields, other order",
       &rights_,
       "",
       "",
       "ROLE_ID;QVB_ID",
       {I(2), I(1)},
       LocateOptions::None,
       14},
      {"two fields, no pair",
       &rights_,
       "",
       "",
       "QVB_ID;ROLE_ID",
       {I(2), I(1)},
       LocateOptions::None,
       0},
      {"one of many, in order", &rights_, "ID", "", "ROLE_ID", {I(3)}, LocateOptions::None, 10},
      {"one of many, by database",
       &rights_,
       "QVB_ID",
       "",
       "ROLE_ID",
       {I(2)},
       LocateOptions::None,
       14},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ClientDataSet& ds = *c.ds;
    ds.SetFiltered(false);
    ds.SetIndexFieldNames(c.index);
    ds.SetFilter(c.filter);
    ds.SetFiltered(true);
    ds.Last();
    const int before = ds.FieldByName("ID").AsInteger();
    const bool found = ds.Locate(c.fields, c.values, c.options);
    EXPECT_EQ(found, c.expected_id != 0);
    EXPECT_EQ(ds.FieldByName("ID").AsInteger(), found ? c.expected_id : before);
  }
  EXPECT_THROW(rights_.Locate("QVB_ID;ROLE_ID", I(1)), DataSetError);
}

TEST(LocateCase, IgnoringCaseCoversLettersBeyondAscii) {
  DataPacket packet;
  packet.fields = {Def("USERNAME", FieldType::String, 40)};
  packet.rows = {{S("Jörg Müller")}, {S("ÉLODIE")}, {S("Светлана")}, {S("x×y")}};
  ClientDataSet users;
  users.LoadFromPacket(std::move(packet));
  struct Case {
    const char* name;
    LocateOptions options;
    int rec_no;  // 0: no match
  };
  const std::vector<Case> cases = {
      {"JÖRG MÜLLER", LocateOptions::CaseInsensitive, 1},
      {"jörg müller", LocateOptions::None, 0},
      {"élodie", LocateOptions::CaseInsensitive, 2},
      {"СВЕТЛАНА", LocateOptions::CaseInsensitive, 3},
      {"X×Y", LocateOptions::CaseInsensitive, 4},
      {"Jorg Muller", LocateOptions::CaseInsensitive, 0},  // accents are not ignored
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    users.First();
    EXPECT_EQ(users.Locate("USERNAME", S(c.name), c.options), c.rec_no != 0);
    EXPECT_EQ(users.RecNo(), c.rec_no != 0 ? c.rec_no : 1);
  }
}

TEST_F(DataSetTest, LocateFollowsEditsInsertsAndDeletes) {
  roles_.Open();
  ASSERT_TRUE(roles_.Locate("BEZ", S("Reader")));  // builds the index
  roles_.Edit();
  roles_.FieldByName("BEZ").SetAsString("Viewer");
  roles_.Post();
  EXPECT_FALSE(roles_.Locate("BEZ", S("Reader")));
  EXPECT_TRUE(roles_.Locate("BEZ", S("Viewer")));

  roles_.Append();
  roles_.FieldByName("ID").SetAsInteger(5);
  roles_.FieldByName("BEZ").SetAsString("Auditor");
  EXPECT_TRUE(roles_.Locate("BEZ", S("Auditor")));  // posts first
  EXPECT_EQ(roles_.FieldByName("ID").AsInteger(), 5);
  roles_.Delete();
  EXPECT_FALSE(roles_.Locate("BEZ", S("Auditor")));

  // The rows of one role removed the way the roles page does it.
  rights_.Open();
  int removed = 0;
  while (rights_.Locate("ROLE_ID", I(3))) {
    rights_.Delete();
    ++removed;
  }
  EXPECT_EQ(removed, 2);
  EXPECT_EQ(rights_.RecordCount(), 3);
}

TEST_F(DataSetTest, ParamsGoToTheProviderWhenOpening) {
  auto& members = provider_.AddTable(
      "dspUser4Role", {Def("USERNAME", FieldType::String, 40), Def("NAME", FieldType::String, 40),
                       Def("ROLE_ID", FieldType::Int32)});
  members.rows = {
      {S("anna"), S("Anna A"), I(1)}, {S("bob"), S("Bob B"), I(2)}, {S("carl"), Value{}, I(2)}};
  members.select = [](const std::vector<Value>& row, const std::vector<Param>& params) {
    return params.size() == 1 && row[2] == params[0].value;
  };
  ClientDataSet ds;
  Attach(ds, "dspUser4Role");
  FieldDef user = Def("USERNAME", FieldType::String, 40);
  user.required = true;
  ds.AddField(user);
  ds.AddField(Def("NAME", FieldType::String, 40));
  ds.Params().CreateParam(FieldType::Int32, "AROLE", I(0));
  EXPECT_EQ(ds.Params().ParamByName("arole").AsInteger(), 0);
  EXPECT_EQ(provider_.get_records_calls, 0);  // nothing is asked before opening

  ds.Params().ParamByName("AROLE").SetAsInteger(2);
  ds.Open();
  ASSERT_EQ(provider_.last_params.size(), 1u);
  EXPECT_EQ(provider_.last_params[0].name, "AROLE");
  EXPECT_EQ(provider_.last_params[0].value, I(2));
  EXPECT_EQ(Column(ds, "USERNAME"), (std::vector<std::string>{"bob", "carl"}));
  EXPECT_EQ(ds.FieldCount(), 2);  // only the declared fields

  ds.Close();
  ds.Params().ParamByName("AROLE").SetAsInteger(1);
  ds.Open();
  EXPECT_EQ(Column(ds, "USERNAME"), (std::vector<std::string>{"anna"}));
  EXPECT_EQ(ds.FieldCount(), 2);
  EXPECT_THROW(ds.Params().ParamByName("AROLE").SetAsString("x"), DataSetError);
}

TEST_F(DataSetTest, PersistentFieldsAreCheckedAgainstTheProvider) {
  ClientDataSet wrong_type;
  Attach(wrong_type, "dspRole");
  wrong_type.AddField(Def("BEZ", FieldType::Int32));
  try {
    wrong_type.Open();
    ADD_FAILURE() << "opened";
  } catch (const DataSetError& e) {
    EXPECT_NE(std::string(e.what()).find("BEZ"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(wrong_type.Active());

  ClientDataSet missing;
  Attach(missing, "dspRole");
  missing.AddField(Def("NAME", FieldType::String, 120));
  EXPECT_THROW(missing.Open(), DataSetError);

  ClientDataSet reordered;
  Attach(reordered, "dspRole");
  reordered.AddField(Def("bez", FieldType::String, 40));
  reordered.AddField(Def("id", FieldType::Int32));
  reordered.Open();
  EXPECT_EQ(reordered.Fields(0).AsString(), "Admin");
  EXPECT_EQ(reordered.Fields(1).AsInteger(), 3);
  EXPECT_THROW(reordered.AddField(Def("X", FieldType::Int32)), DataSetError);
}

TEST_F(DataSetTest, OpenErrorsReachTheCallerAndTheDatasetStaysClosed) {
  provider_.fail_next = "Connection refused";
  try {
    roles_.Open();
    ADD_FAILURE() << "opened";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Connection refused");
  }
  EXPECT_FALSE(roles_.Active());
  roles_.Open();
  EXPECT_EQ(roles_.RecordCount(), 4);

  ClientDataSet unconnected;
  EXPECT_THROW(unconnected.Open(), DataSetError);
}

TEST_F(DataSetTest, RefreshRereadsAndKeepsTheCurrentRowByKey) {
  roles_.Open();
  roles_.Locate("ID", I(2));
  auto& table = provider_.table("dspRole");
  table.rows.insert(table.rows.begin(), {I(9), S("Guest"), Value{}});
  table.rows[3][1] = S("admins");  // ID 2 renamed on the server
  roles_.Refresh();
  EXPECT_EQ(roles_.RecordCount(), 5);
  EXPECT_EQ(roles_.FieldByName("ID").AsInteger(), 2);
  EXPECT_EQ(roles_.FieldByName("BEZ").AsString(), "admins");
  EXPECT_TRUE(roles_.Locate("BEZ", S("Guest")));  // the locate index follows the new rows

  // A failed refresh loses nothing.
  provider_.fail_next = "timed out";
  EXPECT_THROW(roles_.Refresh(), std::exception);
  EXPECT_EQ(roles_.RecordCount(), 5);
  EXPECT_EQ(roles_.FieldByName("BEZ").AsString(), "Guest");
}

TEST_F(DataSetTest, RefreshIsRefusedWhileChangesArePending) {
  roles_.Open();
  roles_.Edit();
  roles_.FieldByName("COMMENT_").SetAsString("changed");
  const int calls = provider_.get_records_calls;
  try {
    roles_.Refresh();  // posts the edit, then refuses
    ADD_FAILURE() << "refreshed";
  } catch (const DataSetError& e) {
    EXPECT_NE(std::string(e.what()).find("not been applied"), std::string::npos) << e.what();
  }
  EXPECT_EQ(provider_.get_records_calls, calls);
  EXPECT_EQ(roles_.FieldByName("COMMENT_").AsString(), "changed");
  EXPECT_EQ(roles_.ChangeCount(), 1);
}

TEST_F(DataSetTest, CancelUpdatesRestoresWhatTheProviderDelivered) {
  roles_.Open();
  roles_.Locate("ID", I(1));
  roles_.Edit();
  roles_.FieldByName("BEZ").SetAsString("Viewer");
  roles_.Post();
  roles_.Locate("ID", I(2));
  roles_.Delete();
  roles_.Append();
  roles_.FieldByName("ID").SetAsInteger(5);
  roles_.Post();
  roles_.Locate("ID", I(4));
  roles_.Edit();
  roles_.FieldByName("BEZ").SetAsString("pending");  // not posted

  roles_.CancelUpdates();
  EXPECT_EQ(roles_.ChangeCount(), 0);
  EXPECT_EQ(roles_.State(), DataSetState::Browse);
  EXPECT_EQ(Column(roles_, "ID"), (std::vector<std::string>{"3", "1", "2", "4"}));
  EXPECT_EQ(Column(roles_, "BEZ"),
            (std::vector<std::string>{"Admin", "Reader", "admin", "Writer"}));
  EXPECT_TRUE(roles_.Locate("BEZ", S("Reader")));
  EXPECT_FALSE(roles_.Locate("BEZ", S("Viewer")));
  roles_.Refresh();  // allowed again
}

}  // namespace
}  // namespace tovra::dataset
