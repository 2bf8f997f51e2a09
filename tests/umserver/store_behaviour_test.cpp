// What the directory store does for an administrator's session, run against each back end:
// the providers' shapes and contents, the client's apply sequence with its deferred checks,
// optimistic refusal between sessions, login, and the accounts of the database server.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "test_database.h"
#include "umserver/providers/providers.h"
#include "umserver/store/generators.h"
#include "umserver/store/schema.h"

namespace tovra::umserver {
namespace {

using providers::ApplyUpdates;
using providers::GetRecords;
using providers::Parameter;
using store::ChangeKind;
using store::ChangeRow;
using store::FieldType;
using store::FieldValue;
using store::Value;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

ChangeRow Insert(std::vector<FieldValue> values) {
  return {ChangeKind::kInsert, {}, std::move(values)};
}
ChangeRow Modify(std::vector<FieldValue> original, std::vector<FieldValue> changed) {
  return {ChangeKind::kModify, std::move(original), std::move(changed)};
}
ChangeRow Delete(std::vector<FieldValue> original) {
  return {ChangeKind::kDelete, std::move(original), {}};
}

Value Int(std::int64_t number) {
  return number;
}
Value Text(std::string text) {
  return text;
}

// One column of a result, as printed values, for readable comparisons.
std::vector<std::string> ColumnText(const store::ResultSet& result, const std::string& name) {
  std::size_t index = result.columns.size();
  for (std::size_t i = 0; i < result.columns.size(); ++i) {
    if (result.columns[i].name == name) {
      index = i;
    }
  }
  if (index == result.columns.size()) {
    ADD_FAILURE() << "no column " << name;
    return {};
  }
  std::vector<std::string> out;
  for (const auto& row : result.rows) {
    const Value& value = row[index];
    if (store::IsNull(value)) {
      out.emplace_back("NULL");
    } else if (const auto* number = std::get_if<std::int64_t>(&value)) {
      out.push_back(std::to_string(*number));
    } else {
      out.push_back(std::get<std::string>(value));
    }
  }
  return out;
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    database_ = testing::MakeTestDatabase();
    store_ = database_->Open(testing::NoThrottle());
    admin_ = database_->UniqueAccount("admin");
    auto account = store::CreateDemo(*store_, admin_);
    ASSERT_TRUE(account.has_value());
    password_ = account->password;
    session_ = LogIn();
  }

  std::unique_ptr<store::Session> LogIn() {
    auto outcome = store_->Login(admin_, password_, store::kAdministratorsRole);
    EXPECT_THAT(outcome.error, IsEmpty());
    EXPECT_TRUE(outcome.session);
    return std::move(outcome.session);
  }

  std::unique_ptr<testing::TestDatabase> database_;
  std::unique_ptr<store::Store> store_;
  std::string admin_;
  std::string password_;
  std::unique_ptr<store::Session> session_;
};

struct ExpectedField {
  std::string name;
  FieldType type;
  int size;
};

struct ProviderShape {
  std::string provider;
  std::vector<ExpectedField> fields;
  bool read_only;
};

TEST_F(StoreTest, ProvidersDeliverTheirFieldsInOrderWithTypesAndSizes) {
  constexpr auto I = FieldType::kInteger;
  constexpr auto S = FieldType::kString;
  const std::vector<ProviderShape> shapes = {
      {"dspCatalogue",
       {{"ID", I, 0}, {"NAME", S, 120}, {"COMMENT_", S, 255}, {"FILTER_SQL", S, 2000}},
       false},
      {"dspRole", {{"ID", I, 0}, {"BEZ", S, 40}, {"COMMENT_", S, 255}}, false},
      {"dspPrivileg",
       {{"ID", I, 0}, {"BEZ", S, 40}, {"READ", I, 0}, {"WRITE", I, 0}, {"STRUC", I, 0}},
       true},
      {"dspRoles", {{"ID", I, 0}, {"ORIG_ID", I, 0}, {"ROLE_ID", I, 0}}, false},
      {"dspPrivilegs", {{"ID", I, 0}, {"ROLE_ID", I, 0}, {"PRIVILEG_ID", I, 0}}, false},
      {"dspUser",
       {{"ID", I, 0}, {"USERNAME", S, 40}, {"NAME", S, 40}, {"COMMENT_", S, 255}, {"Flags", I, 0}},
       false},
      {"dspRights", {{"ID", I, 0}, {"QVB_ID", I, 0}, {"ROLE_ID", I, 0}}, false},
      {"dspUserRights",
       {{"USERNAME", S, 40}, {"ID", I, 0}, {"NAME", S, 120}, {"MAX_OF_ID", I, 0}},
       true},
      {"dspDBA_USER", {{"USERNAME", S, 63}, {"USER_ID", I, 0}}, true},
      {"dspUser4Role", {{"USERNAME", S, 40}, {"NAME", S, 40}}, true},
  };
  ASSERT_EQ(providers::ProviderNames().size(), shapes.size());
  const Parameter role[] = {{"AROLE", Int(3)}};
  for (const auto& shape : shapes) {
    SCOPED_TRACE(shape.provider);
    const auto result = GetRecords(*session_, shape.provider, role);
    ASSERT_EQ(result.columns.size(), shape.fields.size());
    for (std::size_t i = 0; i < shape.fields.size(); ++i) {
      EXPECT_EQ(result.columns[i].name, shape.fields[i].name);
      EXPECT_EQ(result.columns[i].type, shape.fields[i].type) << shape.fields[i].name;
      EXPECT_EQ(result.columns[i].size, shape.fields[i].size) << shape.fields[i].name;
    }
    EXPECT_EQ(providers::IsReadOnly(shape.provider), shape.read_only);
    EXPECT_FALSE(result.rows.empty());
    // Every value has its field's type (or is NULL).
    for (const auto& row : result.rows) {
      ASSERT_EQ(row.size(), shape.fields.size());
      for (std::size_t i = 0; i < row.size(); ++i) {
        if (!store::IsNull(row[i])) {
          EXPECT_EQ(std::holds_alternative<std::int64_t>(row[i]), shape.fields[i].type == I);
        }
      }
    }
    // Rows of the ID-keyed providers come in ID order.
    if (result.columns[0].name == "ID") {
      const auto ids = ColumnText(result, "ID");
      std::vector<int> numbers;
      for (const auto& id : ids) {
        numbers.push_back(std::stoi(id));
      }
      EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
    }
  }
}

TEST_F(StoreTest, UpdateFlagsTellWhatTheClientMayWrite) {
  const auto user = providers::Columns("dspUser");
  // USERNAME is shown read-only but written by updates; the others are plain fields.
  EXPECT_TRUE(user[1].read_only);
  EXPECT_TRUE(user[1].in_update);
  EXPECT_TRUE(user[0].in_key);
  EXPECT_FALSE(user[2].read_only);
  for (const auto& column : providers::Columns("dspUserRights")) {
    EXPECT_FALSE(column.in_update || column.in_where || column.in_key || column.required)
        << column.name;
  }
}

TEST_F(StoreTest, PrivilegeLevelsAreSeededInOrder) {
  const auto result = GetRecords(*session_, "dspPrivileg");
  EXPECT_THAT(ColumnText(result, "ID"), ::testing::ElementsAre("1", "2", "3", "4"));
  EXPECT_THAT(ColumnText(result, "BEZ"),
              ::testing::ElementsAre("Deny", "ReadOnly", "ReadWrite", "ReadWriteStructure"));
  EXPECT_THAT(ColumnText(result, "READ"), ::testing::ElementsAre("0", "1", "1", "1"));
  EXPECT_THAT(ColumnText(result, "WRITE"), ::testing::ElementsAre("0", "0", "1", "1"));
  EXPECT_THAT(ColumnText(result, "STRUC"), ::testing::ElementsAre("0", "0", "0", "1"));
}

TEST_F(StoreTest, UserRightsGiveTheHighestLevelPerActiveUserAndDatabase) {
  const auto result = GetRecords(*session_, "dspUserRights");
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < result.rows.size(); ++i) {
    lines.push_back(ColumnText(result, "USERNAME")[i] + "/" + ColumnText(result, "NAME")[i] + "=" +
                    ColumnText(result, "MAX_OF_ID")[i]);
  }
  // dschmidt is in Sales (level 3) and IT Operations (level 4): both reach Projects, and
  // the higher level wins; Archive comes only through IT Operations.
  EXPECT_THAT(lines, ::testing::IsSupersetOf({"dschmidt/Contracts=3", "dschmidt/Projects=4",
                                              "dschmidt/Archive=4", "akoch/Contracts=2",
                                              "tkrause/Invoices=3", "pbecker/Personnel Files=3"}));
  // fwagner is dropped; nobody reaches a database that none of their roles may access.
  for (const auto& line : lines) {
    EXPECT_THAT(line, Not(HasSubstr("fwagner")));
  }
  EXPECT_THAT(lines, Not(::testing::Contains("pbecker/Invoices=3")));
  // Ordered by user (in ID order: hmeier is user 1, dschmidt user 10), then database.
  const auto names = ColumnText(result, "USERNAME");
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.front(), "hmeier");
  EXPECT_EQ(names.back(), "dschmidt");
  for (std::size_t i = 1; i < result.rows.size(); ++i) {
    if (names[i] == names[i - 1]) {
      EXPECT_LT(std::get<std::int64_t>(result.rows[i - 1][1]),
                std::get<std::int64_t>(result.rows[i][1]));
    }
  }
}

TEST_F(StoreTest, UsersOfARoleListOnlyActiveMembers) {
  const struct {
    Value role;
    std::vector<std::string> users;
  } cases[] = {
      {Int(3), {"jfischer", "mschulz", "dschmidt"}},  // fwagner is a dropped member
      {Text("5"), {"shoffmann", "dschmidt"}},         // the parameter may come as text
      {Int(99), {}},
  };
  for (const auto& c : cases) {
    const Parameter params[] = {{"arole", c.role}};
    const auto result = GetRecords(*session_, "dspUser4Role", params);
    EXPECT_EQ(ColumnText(result, "USERNAME"), c.users);
  }
  EXPECT_THROW(GetRecords(*session_, "dspUser4Role"), store::StoreError);
  const Parameter junk[] = {{"AROLE", Text("3; DROP TABLE USERS")}};
  EXPECT_THROW(GetRecords(*session_, "dspUser4Role", junk), store::StoreError);
  EXPECT_THROW(GetRecords(*session_, "dspNothing"), store::StoreError);
}

TEST_F(StoreTest, ReadOnlyProvidersRefuseUpdates) {
  const std::vector<ChangeRow> change = {Modify({{"ID", Int(1)}}, {{"BEZ", Text("Nothing")}})};
  for (const auto* provider : {"dspPrivileg", "dspUserRights", "dspDBA_USER", "dspUser4Role"}) {
    EXPECT_THROW(ApplyUpdates(*session_, provider, change, -1), store::StoreError) << provider;
  }
  session_->Commit();
  EXPECT_EQ(ColumnText(GetRecords(*session_, "dspPrivileg"), "BEZ")[0], "Deny");
}

// The order Apply sends in: links first, then the rows they point to, then commit.
TEST_F(StoreTest, ApplySequenceWithLinksBeforeTheirRowsCommits) {
  auto apply = [&](const char* provider, std::vector<ChangeRow> rows) {
    const auto result = ApplyUpdates(*session_, provider, rows, 0);
    EXPECT_THAT(result.refused, IsEmpty()) << provider << ": " << result.refused.front().reason;
    EXPECT_EQ(result.applied, rows.size()) << provider;
  };
  apply("dspCatalogue", {Insert({{"ID", Int(6)}, {"NAME", Text("Quality")}})});
  apply("dspRights", {Insert({{"ID", Int(100)}, {"QVB_ID", Int(6)}, {"ROLE_ID", Int(7)}})});
  apply("dspRoles", {Insert({{"ID", Int(100)}, {"ORIG_ID", Int(11)}, {"ROLE_ID", Int(7)}})});
  apply("dspUser", {Insert({{"ID", Int(11)},
                            {"USERNAME", Text("qlee")},
                            {"NAME", Text("Quinn Lee")},
                            {"Flags", Int(0)}})});
  apply("dspPrivilegs", {Insert({{"ID", Int(100)}, {"ROLE_ID", Int(7)}, {"PRIVILEG_ID", Int(2)}})});
  apply("dspRole", {Insert({{"ID", Int(7)}, {"BEZ", Text("Quality")}})});
  session_->Commit();

  // Another session sees all of it, effective rights included.
  auto other = LogIn();
  const auto rights = GetRecords(*other, "dspUserRights");
  bool found = false;
  for (std::size_t i = 0; i < rights.rows.size(); ++i) {
    found = found || (ColumnText(rights, "USERNAME")[i] == "qlee" &&
                      ColumnText(rights, "NAME")[i] == "Quality" &&
                      ColumnText(rights, "MAX_OF_ID")[i] == "2");
  }
  EXPECT_TRUE(found);
}

TEST_F(StoreTest, FailingDeferredCheckCommitsNothingAndGivesTheReason) {
  // A membership of a user that is never sent, beside a change that would be fine.
  ApplyUpdates(*session_, "dspRole",
               std::vector{Modify({{"ID", Int(3)}, {"BEZ", Text("Sales")}},
                                  {{"BEZ", Text("Sales and Marketing")}})},
               0);
  const auto result = ApplyUpdates(
      *session_, "dspRoles",
      std::vector{Insert({{"ID", Int(200)}, {"ORIG_ID", Int(99)}, {"ROLE_ID", Int(3)}})}, 0);
  EXPECT_THAT(result.refused, IsEmpty());  // checked only at commit
  try {
    session_->Commit();
    ADD_FAILURE() << "commit went through";
  } catch (const store::StoreError& error) {
    // The reason names the broken link: which table, and what it points to.
    std::string reason = error.what();
    std::transform(reason.begin(), reason.end(), reason.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    EXPECT_THAT(reason, HasSubstr("foreign key"));
    EXPECT_THAT(reason, HasSubstr("roles"));
    EXPECT_THAT(reason, HasSubstr("users"));
  }
  EXPECT_FALSE(session_->InTransaction());
  auto other = LogIn();
  EXPECT_EQ(ColumnText(GetRecords(*other, "dspRole"), "BEZ")[2], "Sales");
  EXPECT_THAT(ColumnText(GetRecords(*other, "dspRoles"), "ID"), Not(::testing::Contains("200")));
  // The session goes on working after the failed commit.
  ApplyUpdates(
      *session_, "dspRole",
      std::vector{Modify({{"ID", Int(3)}, {"BEZ", Text("Sales")}}, {{"BEZ", Text("Sales")}})}, 0);
  EXPECT_NO_THROW(session_->Commit());
}

TEST_F(StoreTest, RowChangedBySomeoneElseIsRefusedNotOverwritten) {
  auto first = LogIn();
  auto second = LogIn();
  // Both read role 1 as "Management"; the first saves its change.
  const auto row_as_read =
      std::vector<FieldValue>{{"ID", Int(1)},
                              {"BEZ", Text("Management")},
                              {"COMMENT_", Text("Board and department heads")}};
  auto mine = ApplyUpdates(*first, "dspRole",
                           std::vector{Modify(row_as_read, {{"BEZ", Text("Board")}})}, 0);
  EXPECT_THAT(mine.refused, IsEmpty());
  first->Commit();

  auto theirs = ApplyUpdates(
      *second, "dspRole",
      std::vector{Modify(row_as_read, {{"BEZ", Text("Executives")}}), Delete({{"ID", Int(42)}})},
      -1);
  ASSERT_EQ(theirs.refused.size(), 2u);
  EXPECT_EQ(theirs.refused[0].index, 0u);
  EXPECT_THAT(theirs.refused[0].reason, HasSubstr("changed or removed by another user"));
  EXPECT_THAT(theirs.refused[1].reason, HasSubstr("removed"));
  second->Commit();
  EXPECT_EQ(ColumnText(GetRecords(*session_, "dspRole"), "BEZ")[0], "Board");

  // A change to another field of the same row goes through: only changed fields count.
  auto comment = ApplyUpdates(
      *second, "dspRole",
      std::vector{Modify(row_as_read, {{"COMMENT_", Text("Renamed by the first session")}})}, 0);
  EXPECT_THAT(comment.refused, IsEmpty());
}

TEST_F(StoreTest, RowHeldByAnotherOpenTransactionIsNotWaitedForEndlessly) {
  auto first = LogIn();
  auto second = LogIn();
  const auto row_as_read = std::vector<FieldValue>{{"ID", Int(1)}, {"BEZ", Text("Management")}};
  ASSERT_THAT(
      ApplyUpdates(*first, "dspRole", std::vector{Modify(row_as_read, {{"BEZ", Text("Board")}})}, 0)
          .refused,
      IsEmpty());
  // The second session waits a bounded time, then its change is refused (PostgreSQL: the
  // row) or its send fails (SQLite: the whole file is locked); either way with a reason.
  std::string reason;
  try {
    const auto result = ApplyUpdates(
        *second, "dspRole", std::vector{Modify(row_as_read, {{"BEZ", Text("Executives")}})}, 0);
    ASSERT_EQ(result.refused.size(), 1u);
    reason = result.refused[0].reason;
  } catch (const store::StoreError& error) {
    reason = error.what();
  }
  EXPECT_THAT(reason, Not(IsEmpty()));
  second->Rollback();
  first->Commit();
  EXPECT_EQ(ColumnText(GetRecords(*second, "dspRole"), "BEZ")[0], "Board");
}

TEST_F(StoreTest, ErrorLimitZeroStopsAtTheFirstRefusedRow) {
  const std::vector<ChangeRow> rows = {
      Insert({{"ID", Int(300)}, {"ORIG_ID", Int(1)}, {"ROLE_ID", Int(2)}}),
      Insert({{"ID", Int(300)}, {"ORIG_ID", Int(2)}, {"ROLE_ID", Int(2)}}),  // same ID again
      Insert({{"ID", Int(301)}, {"ORIG_ID", Int(3)}, {"ROLE_ID", Int(2)}}),
  };
  const auto stopped = ApplyUpdates(*session_, "dspRoles", rows, 0);
  EXPECT_EQ(stopped.applied, 1u);
  ASSERT_EQ(stopped.refused.size(), 1u);
  EXPECT_EQ(stopped.refused[0].index, 1u);
  EXPECT_THAT(stopped.refused[0].reason, Not(IsEmpty()));
  EXPECT_TRUE(stopped.stopped);
  session_->Commit();
  EXPECT_THAT(ColumnText(GetRecords(*session_, "dspRoles"), "ID"), Not(::testing::Contains("301")));

  const std::vector<ChangeRow> again = {
      rows[1], Insert({{"ID", Int(302)}, {"ORIG_ID", Int(3)}, {"ROLE_ID", Int(2)}})};
  const auto all = ApplyUpdates(*session_, "dspRoles", again, -1);
  EXPECT_EQ(all.applied, 1u);
  EXPECT_EQ(all.refused.size(), 1u);
  EXPECT_FALSE(all.stopped);
}

TEST_F(StoreTest, BadValuesAreRefusedWithAReason) {
  const struct {
    const char* provider;
    ChangeRow row;
    const char* reason;
  } cases[] = {
      {"dspUser", Insert({{"ID", Int(50)}, {"USERNAME", Text(std::string(41, 'x'))}}),
       "longer than 40"},
      {"dspUser", Insert({{"ID", Text("fifty")}, {"USERNAME", Text("x")}}), "not a whole number"},
      {"dspUser", Insert({{"ID", Int(1LL << 40)}, {"USERNAME", Text("x")}}), "out of range"},
      {"dspUser", Insert({{"ID", Int(50)}, {"PASSWORD", Text("x")}}), "no field"},
      {"dspUser", Modify({{"USERNAME", Text("hmeier")}}, {{"NAME", Text("x")}}), "no original ID"},
      {"dspUser", Insert({{"ID", Int(50)}, {"NAME", Text("No login name")}}), ""},  // NOT NULL
      {"dspRole", Insert({{"ID", Int(1)}, {"BEZ", Text("Twice")}}), ""},            // key taken
  };
  for (const auto& c : cases) {
    const auto result = ApplyUpdates(*session_, c.provider, std::vector{c.row}, -1);
    ASSERT_EQ(result.refused.size(), 1u) << c.reason;
    EXPECT_THAT(result.refused[0].reason, HasSubstr(c.reason));
    EXPECT_THAT(result.refused[0].reason, Not(IsEmpty()));
  }
  // Forty characters are forty, however many bytes they take.
  std::string forty = std::string(20, 'a');
  for (int i = 0; i < 20; ++i) {
    forty += "\xc3\xa4";
  }
  const auto umlauts = ApplyUpdates(
      *session_, "dspUser",
      std::vector{Insert({{"ID", Int(51)}, {"USERNAME", Text("umlaut")}, {"NAME", Text(forty)}})},
      -1);
  EXPECT_THAT(umlauts.refused, IsEmpty());
  session_->Commit();
}

TEST_F(StoreTest, RemovingAUserWhoOwnsRecordsIsRefusedAtOnce) {
  // hmeier (1) owns a document; lweber (3) owns none and loses her memberships with her row.
  const auto owner = ApplyUpdates(*session_, "dspUser", std::vector{Delete({{"ID", Int(1)}})}, 0);
  ASSERT_EQ(owner.refused.size(), 1u);
  EXPECT_THAT(owner.refused[0].reason, Not(IsEmpty()));
  const auto plain = ApplyUpdates(*session_, "dspUser", std::vector{Delete({{"ID", Int(3)}})}, 0);
  EXPECT_THAT(plain.refused, IsEmpty());
  session_->Commit();
  const auto members = GetRecords(*session_, "dspRoles");
  EXPECT_THAT(ColumnText(members, "ORIG_ID"), Not(::testing::Contains("3")));
  EXPECT_THAT(ColumnText(members, "ORIG_ID"), ::testing::Contains("1"));
}

TEST_F(StoreTest, RemovingARoleOrDatabaseTakesItsLinksAlong) {
  ApplyUpdates(*session_, "dspRole", std::vector{Delete({{"ID", Int(6)}})}, 0);
  ApplyUpdates(*session_, "dspCatalogue", std::vector{Delete({{"ID", Int(5)}})}, 0);
  // Memberships and rights of the role are the client's to remove (it sends them first).
  ApplyUpdates(*session_, "dspRoles", std::vector{Delete({{"ID", Int(10)}})}, 0);  // akoch-Auditors
  const auto rights = GetRecords(*session_, "dspRights");
  std::vector<ChangeRow> auditors;
  for (std::size_t i = 0; i < rights.rows.size(); ++i) {
    if (ColumnText(rights, "ROLE_ID")[i] == "6") {
      auditors.push_back(Delete({{"ID", rights.rows[i][0]}}));
    }
  }
  EXPECT_THAT(ApplyUpdates(*session_, "dspRights", auditors, 0).refused, IsEmpty());
  EXPECT_NO_THROW(session_->Commit());
  EXPECT_THAT(ColumnText(GetRecords(*session_, "dspPrivilegs"), "ROLE_ID"),
              Not(::testing::Contains("6")));
  EXPECT_THAT(ColumnText(GetRecords(*session_, "dspRights"), "QVB_ID"),
              Not(::testing::Contains("5")));
}

TEST_F(StoreTest, RollbackDropsTheSessionsWork) {
  ApplyUpdates(*session_, "dspCatalogue",
               std::vector{Insert({{"ID", Int(9)}, {"NAME", Text("Gone")}})}, 0);
  EXPECT_TRUE(session_->InTransaction());
  session_->Rollback();
  EXPECT_EQ(GetRecords(*session_, "dspCatalogue").rows.size(), 5u);
  // Closing a session with open work rolls it back as well.
  ApplyUpdates(*session_, "dspCatalogue",
               std::vector{Insert({{"ID", Int(9)}, {"NAME", Text("Gone")}})}, 0);
  session_.reset();
  EXPECT_EQ(GetRecords(*LogIn(), "dspCatalogue").rows.size(), 5u);
}

TEST_F(StoreTest, EveryLoginFailureGivesTheSameText) {
  const auto other = database_->UniqueAccount("clerk");
  ASSERT_EQ(session_->CreateRDBMSUser(other, "clerk-password"), "");
  const struct {
    std::string user;
    std::string password;
    std::string role;
  } failures[] = {
      {admin_, "wrong", std::string(store::kAdministratorsRole)},
      {admin_, password_, "SOMEROLE"},
      {admin_, "", std::string(store::kAdministratorsRole)},
      {"nobody_at_all", password_, std::string(store::kAdministratorsRole)},
      {other, "clerk-password", std::string(store::kAdministratorsRole)},  // no admin role
  };
  for (const auto& f : failures) {
    const auto outcome = store_->Login(f.user, f.password, f.role);
    EXPECT_FALSE(outcome.session);
    EXPECT_EQ(outcome.error, store::kLoginFailedText);
  }
  const auto good = store_->Login(admin_, password_, store::kAdministratorsRole);
  EXPECT_TRUE(good.session);
  EXPECT_EQ(good.error, "");
}

TEST_F(StoreTest, RepeatedFailuresForOneNameAreHeldBack) {
  auto now = store::LoginThrottle::Clock::now();
  store::LoginThrottle::Options throttle;
  throttle.first_delay = std::chrono::seconds(1);
  throttle.now = [&now] { return now; };
  auto guarded = database_->Open(throttle);

  EXPECT_FALSE(guarded->Login(admin_, "wrong", store::kAdministratorsRole).session);
  // Within the delay even the right password is turned away, with the same text.
  const auto early = guarded->Login(admin_, password_, store::kAdministratorsRole);
  EXPECT_FALSE(early.session);
  EXPECT_EQ(early.error, store::kLoginFailedText);
  EXPECT_EQ(guarded->LoginRetryAfter(admin_), std::chrono::seconds(1));
  // Other names are not held back.
  EXPECT_EQ(guarded->LoginRetryAfter("someone_else"), std::chrono::milliseconds(0));
  now += std::chrono::seconds(1);
  EXPECT_TRUE(guarded->Login(admin_, password_, store::kAdministratorsRole).session);
  EXPECT_EQ(guarded->LoginRetryAfter(admin_), std::chrono::milliseconds(0));
}

TEST_F(StoreTest, CreatedAccountsAreListedAndTheirPasswordsChange) {
  const auto clerk = database_->UniqueAccount("clerk");
  EXPECT_EQ(session_->CreateRDBMSUser(clerk, "first-password"), "");
  EXPECT_THAT(session_->CreateRDBMSUser(clerk, "again"), HasSubstr("exists"));
  EXPECT_THAT(ColumnText(GetRecords(*session_, "dspDBA_USER"), "USERNAME"),
              ::testing::IsSupersetOf({admin_, clerk}));

  EXPECT_THAT(session_->ChangePassword(clerk, "not-the-old-one", "second"), Not(IsEmpty()));
  EXPECT_EQ(session_->ChangePassword(clerk, "first-password", "second-password"), "");
  EXPECT_EQ(session_->ChangePassword(clerk, "", "third-password"), "");  // administrator's reset
  EXPECT_THAT(session_->ChangePassword("no_such_account", "", "x"), Not(IsEmpty()));
  EXPECT_THAT(session_->ChangePassword(clerk, "", ""), Not(IsEmpty()));
  // The reset took: the second password no longer counts as the old one.
  EXPECT_THAT(session_->ChangePassword(clerk, "second-password", "fourth"), Not(IsEmpty()));
  EXPECT_EQ(session_->ChangePassword(clerk, "third-password", "fourth"), "");
}

TEST_F(StoreTest, HostileAccountNamesAreRefused) {
  for (const std::string& name : std::vector<std::string>{
           "x\"; DROP TABLE USERS; --", "x'; DROP TABLE USERS; --", "", "with space", "pg_signal",
           "9starts_with_digit", std::string(64, 'a'), std::string("nul\0byte", 8)}) {
    EXPECT_THAT(session_->CreateRDBMSUser(name, "password"), Not(IsEmpty())) << name;
  }
  EXPECT_THAT(session_->CreateRDBMSUser(database_->UniqueAccount("empty_password"), ""),
              Not(IsEmpty()));
  EXPECT_EQ(GetRecords(*session_, "dspUser").rows.size(), 10u);
}

TEST_F(StoreTest, AccountMadeInsideARolledBackTransactionIsGone) {
  const auto temp = database_->UniqueAccount("temp");
  ApplyUpdates(*session_, "dspCatalogue",
               std::vector{Insert({{"ID", Int(9)}, {"NAME", Text("x")}})}, 0);
  ASSERT_EQ(session_->CreateRDBMSUser(temp, "password"), "");
  session_->Rollback();
  EXPECT_THAT(ColumnText(GetRecords(*session_, "dspDBA_USER"), "USERNAME"),
              Not(::testing::Contains(temp)));
  EXPECT_THAT(session_->ChangePassword(temp, "", "other"), Not(IsEmpty()));
  EXPECT_EQ(GetRecords(*session_, "dspCatalogue").rows.size(), 5u);
}

TEST_F(StoreTest, InitialisingAgainKeepsTheDirectory) {
  session_.reset();
  store_->Initialise(admin_, "a-new-password");
  store_->Initialise(admin_, "a-new-password");
  EXPECT_TRUE(store_->HasSchema());
  EXPECT_FALSE(store::CreateDemo(*store_, admin_).has_value());
  auto session = store_->Login(admin_, "a-new-password", store::kAdministratorsRole).session;
  ASSERT_TRUE(session);
  EXPECT_EQ(store::SchemaVersion(*session), store::kSchemaVersion);
  EXPECT_EQ(GetRecords(*session, "dspUser").rows.size(), 10u);
  EXPECT_EQ(GetRecords(*session, "dspPrivileg").rows.size(), 4u);
}

TEST_F(StoreTest, DescribesItself) {
  const auto type = store_->DBType();
  EXPECT_THAT(type, ::testing::AnyOf(::testing::StartsWith("SQLite 3."),
                                     ::testing::StartsWith("PostgreSQL 15.")));
  EXPECT_THAT(store_->DBServer(), Not(IsEmpty()));
  EXPECT_THAT(store_->DBName(), Not(IsEmpty()));
}

TEST(StoreSeedTest, SeedFillsAnEmptyDirectoryOnly) {
  auto database = testing::MakeTestDatabase();
  auto store = database->Open(testing::NoThrottle());
  store::SeedSize size;
  size.users = 300;
  size.roles = 40;
  size.databases = 20;
  size.memberships = 900;
  size.rights = 200;
  size.documents = 50;
  store::Seed(*store, size, 7);
  const auto admin = database->UniqueAccount("admin");
  store->Initialise(admin, "password");
  auto session = store->Login(admin, "password", store::kAdministratorsRole).session;
  ASSERT_TRUE(session);
  EXPECT_EQ(GetRecords(*session, "dspUser").rows.size(), 300u);
  EXPECT_EQ(GetRecords(*session, "dspRole").rows.size(), 40u);
  EXPECT_EQ(GetRecords(*session, "dspCatalogue").rows.size(), 20u);
  EXPECT_EQ(GetRecords(*session, "dspRoles").rows.size(), 900u);
  EXPECT_EQ(GetRecords(*session, "dspRights").rows.size(), 200u);
  EXPECT_FALSE(GetRecords(*session, "dspUserRights").rows.empty());
  // Every membership points at a real user and role (the seed commits, so the deferred
  // checks passed), and no user holds one role twice.
  const auto members = GetRecords(*session, "dspRoles");
  std::set<std::pair<std::string, std::string>> pairs;
  for (std::size_t i = 0; i < members.rows.size(); ++i) {
    pairs.emplace(ColumnText(members, "ORIG_ID")[i], ColumnText(members, "ROLE_ID")[i]);
  }
  EXPECT_EQ(pairs.size(), 900u);
  EXPECT_THROW(store::Seed(*store, size, 7), store::StoreError);
}

}  // namespace
}  // namespace tovra::umserver
