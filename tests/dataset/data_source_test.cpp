#include <gtest/gtest.h>

#include "dataset/client_dataset.h"
#include "memory_provider.h"
#include "test_tables.h"

namespace tovra::dataset {
namespace {

using testing::I;
using testing::MemoryProvider;
using testing::S;

class DataSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::AddRoleTables(provider_);
    roles_.SetRemoteServer(&provider_);
    roles_.SetProviderName("dspRole");
    roles_.Open();
    source_.SetOnDataChange([this](DataSource& sender, Field* field) {
      EXPECT_EQ(&sender, &source_);
      events_.push_back(field ? field->FieldName() : "*");
    });
  }
  std::vector<std::string> Take() { return std::exchange(events_, {}); }

  MemoryProvider provider_;
  ClientDataSet roles_;
  DataSource source_{&roles_};
  std::vector<std::string> events_;
};

TEST_F(DataSourceTest, FiresOnMovesValueChangesAndStateChanges) {
  roles_.Next();
  EXPECT_EQ(Take(), (std::vector<std::string>{"*"}));
  roles_.Locate("ID", I(1));  // already there: no move
  EXPECT_EQ(Take(), (std::vector<std::string>{}));
  roles_.Last();
  roles_.Next();  // at the end: no move
  EXPECT_EQ(Take(), (std::vector<std::string>{"*"}));

  roles_.Edit();
  roles_.FieldByName("bez").SetAsString("x");
  roles_.Post();
  EXPECT_EQ(Take(), (std::vector<std::string>{"*", "BEZ", "*"}));
  roles_.Delete();
  EXPECT_EQ(Take(), (std::vector<std::string>{"*"}));
  roles_.Close();
  EXPECT_EQ(Take(), (std::vector<std::string>{"*"}));
}

TEST_F(DataSourceTest, HandlerCanBeClearedAndSetAtRunTime) {
  source_.SetOnDataChange(nullptr);
  roles_.Next();
  EXPECT_TRUE(events_.empty());
  EXPECT_FALSE(source_.OnDataChange());

  // A handler that detaches itself while it runs, as the page switch does.
  int calls = 0;
  source_.SetOnDataChange([&](DataSource& sender, Field*) {
    ++calls;
    sender.SetOnDataChange(nullptr);
  });
  roles_.Next();
  roles_.Next();
  EXPECT_EQ(calls, 1);

  // A source bound elsewhere, or destroyed, hears nothing more.
  {
    DataSource other(&roles_);
    other.SetOnDataChange([&](DataSource&, Field*) { ++calls; });
    roles_.First();
    EXPECT_EQ(calls, 2);
    other.SetDataSet(nullptr);
    roles_.Last();
    EXPECT_EQ(calls, 2);
  }
  roles_.First();
  EXPECT_EQ(calls, 2);
}

TEST_F(DataSourceTest, DisableControlsHoldsEventsBackUntilOneRefresh) {
  roles_.DisableControls();
  roles_.DisableControls();  // calls nest
  roles_.Close();
  roles_.Open();
  roles_.Last();
  roles_.EnableControls();
  EXPECT_TRUE(events_.empty());
  EXPECT_TRUE(roles_.ControlsDisabled());
  roles_.EnableControls();
  EXPECT_EQ(Take(), (std::vector<std::string>{"*"}));
  EXPECT_FALSE(roles_.ControlsDisabled());
  roles_.First();
  EXPECT_EQ(Take(), (std::vector<std::string>{"*"}));
}

TEST_F(DataSourceTest, DetailedHandlerClearedWhileItRunsHearsNoMore) {
  std::vector<DataChange::Kind> kinds;
  source_.SetOnChange([&](DataSource& sender, const DataChange& change) {
    kinds.push_back(change.kind);
    sender.SetOnChange(nullptr);
  });
  roles_.Insert();  // inserted row, cursor and state: three changes
  EXPECT_EQ(kinds, (std::vector<DataChange::Kind>{DataChange::Kind::RowInserted}));
  EXPECT_EQ(Take(), (std::vector<std::string>{"*"}));  // the data-change handler still runs once
}

TEST(DataSourceLifetime, ADatasetDestroyedFirstLeavesItsSourcesUnbound) {
  DataSource source;
  {
    ClientDataSet ds;
    source.SetDataSet(&ds);
    EXPECT_EQ(source.DataSet(), &ds);
  }
  EXPECT_EQ(source.DataSet(), nullptr);
}

}  // namespace
}  // namespace tovra::dataset
