#include <gtest/gtest.h>

#include "dataset/client_dataset.h"
#include "test_tables.h"

namespace tovra::dataset {
namespace {

using testing::Column;
using testing::Def;
using testing::I;
using testing::S;

class FilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DataPacket packet;
    packet.fields = {Def("ID", FieldType::Int32), Def("USERNAME", FieldType::String, 40),
                     Def("Flags", FieldType::Int32), Def("COMMENT_", FieldType::String),
                     Def("RATE", FieldType::Float)};
    packet.rows = {{I(1), S("anna"), I(0), S("x"), Value{0.5}},
                   {I(2), S("Deleted"), I(-1), Value{}, Value{1.5}},
                   {I(3), S("O'Brien"), I(0), S(""), Value{}},
                   {I(4), S("bob"), I(0), Value{}, Value{2.0}}};
    users_.LoadFromPacket(std::move(packet));
  }
  ClientDataSet users_;
};

TEST_F(FilterTest, TextsKeepTheRightRows) {
  struct Case {
    const char* text;
    std::vector<std::string> ids;
  };
  const std::vector<Case> cases = {
      {"Flags = 0", {"1", "3", "4"}},
      {"flags=0", {"1", "3", "4"}},
      {"Flags = -1", {"2"}},
      {"Flags <> 0", {"2"}},
      {"Flags != 0", {"2"}},
      {"ID < 2", {"1"}},
      {"ID <= 2", {"1", "2"}},
      {"ID > 3", {"4"}},
      {"ID >= 3", {"3", "4"}},
      {"2 < ID", {"3", "4"}},
      {"ID > 1 AND Flags = 0", {"3", "4"}},
      {"ID = 1 or ID = 4", {"1", "4"}},
      {"NOT Flags = 0", {"2"}},
      {"NOT (ID = 1 OR ID = 2) AND Flags = 0", {"3", "4"}},
      {"ID = 1 OR ID = 2 AND Flags = 0", {"1"}},  // AND binds tighter than OR
      {"USERNAME = 'bob'", {"4"}},
      {"USERNAME = 'BOB'", {}},  // text compares with case
      {"USERNAME = 'O''Brien'", {"3"}},
      {"[USERNAME] > 'a'", {"1", "4"}},
      {"COMMENT_ = ''", {"3"}},  // null is not the empty text
      {"NOT COMMENT_ = 'x'", {"2", "3", "4"}},
      {"RATE > 1", {"2", "4"}},
      {"RATE = 0.5", {"1"}},
      {"ID = ID", {"1", "2", "3", "4"}},
      {"   ", {"1", "2", "3", "4"}},
  };
  users_.SetFiltered(true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    users_.SetFilter(c.text);
    EXPECT_EQ(Column(users_, "ID"), c.ids);
    EXPECT_EQ(users_.RecordCount(), static_cast<int>(c.ids.size()));
  }
}

TEST_F(FilterTest, TextsThatDoNotParseAreRefusedWithThePosition) {
  struct Case {
    const char* text;
    std::size_t position;
  };
  const std::vector<Case> cases = {
      {"Flags = ", 9},
      {"Flags 0", 7},
      {"(Flags = 0", 11},
      {"Flags = 'abc", 9},
      {"Flags = 0)", 10},
      {"Flags = 0 AND", 14},
      {"ID # 1", 4},
      {"ID = 1.", 8},
      {"ID = 12ab", 8},
      {"= 1", 1},
      {"ID = 1 ID = 2", 8},
      {"[ID = 1", 1},
      {"ID = 99999999999999999999", 6},
  };
  users_.SetFilter("Flags = 0");
  users_.SetFiltered(true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      users_.SetFilter(c.text);
      ADD_FAILURE() << "accepted";
    } catch (const FilterError& e) {
      EXPECT_EQ(e.position(), c.position) << e.what();
      EXPECT_NE(std::string(e.what()).find("position " + std::to_string(c.position)),
                std::string::npos)
          << e.what();
    }
    // The filter in force stays.
    EXPECT_EQ(users_.Filter(), "Flags = 0");
    EXPECT_EQ(users_.RecordCount(), 3);
  }
}

TEST_F(FilterTest, UnknownFieldsAndMixedComparisonsAreRefusedWhenSet) {
  EXPECT_THROW(users_.SetFilter("NOPE = 1"), DataSetError);
  EXPECT_THROW(users_.SetFilter("USERNAME = 1"), DataSetError);
  EXPECT_THROW(users_.SetFilter("ID = 'one'"), DataSetError);
  EXPECT_EQ(users_.Filter(), "");

  // Set while closed, the text is checked for fields when the dataset opens filtered,
  // or when filtering is switched on.
  ClientDataSet closed;
  closed.SetFilter("NOPE = 1");
  closed.SetFiltered(true);
  closed.AddField(Def("ID", FieldType::Int32));
  EXPECT_THROW(closed.CreateDataSet(), DataSetError);
  EXPECT_FALSE(closed.Active());
  closed.SetFiltered(false);
  closed.CreateDataSet();
  EXPECT_THROW(closed.SetFiltered(true), DataSetError);
  EXPECT_FALSE(closed.Filtered());
}

TEST_F(FilterTest, HiddenRowsStayInTheTable) {
  users_.SetFilter("Flags = 0");
  users_.SetFiltered(true);
  users_.First();
  std::vector<int> walked;
  while (!users_.Eof()) {
    walked.push_back(users_.FieldByName("ID").AsInteger());
    users_.Next();
  }
  EXPECT_EQ(walked, (std::vector<int>{1, 3, 4}));

  // A row edited out of the filter leaves the view but not the table.
  users_.Locate("ID", I(3));
  users_.Edit();
  users_.FieldByName("Flags").SetAsInteger(-1);
  users_.Post();
  EXPECT_EQ(Column(users_, "ID"), (std::vector<std::string>{"1", "4"}));
  EXPECT_EQ(users_.FieldByName("ID").AsInteger(), 4);  // the next row became current

  users_.SetFiltered(false);
  EXPECT_EQ(Column(users_, "ID"), (std::vector<std::string>{"1", "2", "3", "4"}));
  EXPECT_EQ(users_.ChangeCount(), 1);
}

}  // namespace
}  // namespace tovra::dataset
