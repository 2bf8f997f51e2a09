// The embedded store keeps its own accounts: they must hold hashes, never passwords.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_database.h"
#include "umserver/store/generators.h"

namespace tovra::umserver {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

TEST(SqliteAccountsTest, PasswordsAreStoredAsSaltedArgon2Hashes) {
  auto database = testing::MakeTestDatabase();
  auto store = database->Open(testing::NoThrottle());
  store->Initialise("admin", "correct horse battery staple");
  auto session =
      store->Login("admin", "correct horse battery staple", store::kAdministratorsRole).session;
  ASSERT_TRUE(session);
  ASSERT_EQ(session->CreateRDBMSUser("clerk", "correct horse battery staple"), "");

  const auto rows = session->Query("SELECT NAME, PASSWORD_HASH FROM TOVRA_ACCOUNT ORDER BY ID");
  ASSERT_EQ(rows.size(), 2u);
  const auto& admin_hash = std::get<std::string>(rows[0][1]);
  const auto& clerk_hash = std::get<std::string>(rows[1][1]);
  for (const auto* hash : {&admin_hash, &clerk_hash}) {
    EXPECT_THAT(*hash, StartsWith("$argon2id$"));
    EXPECT_THAT(*hash, Not(HasSubstr("horse")));
  }
  // The same password gives different hashes: each has a salt of its own.
  EXPECT_NE(admin_hash, clerk_hash);
}

TEST(SqliteAccountsTest, DemoPasswordsAreFreshEachTime) {
  auto first = testing::MakeTestDatabase();
  auto second = testing::MakeTestDatabase();
  const auto one = store::CreateDemo(*first->Open());
  const auto two = store::CreateDemo(*second->Open());
  ASSERT_TRUE(one && two);
  EXPECT_EQ(one->password.size(), 16u);
  EXPECT_NE(one->password, two->password);
  // The store survives a restart: a new store object on the same file serves the same
  // directory to the same account.
  auto reopened = first->Open();
  EXPECT_FALSE(store::CreateDemo(*reopened).has_value());
  EXPECT_TRUE(reopened->Login(one->user, one->password, store::kAdministratorsRole).session);
}

}  // namespace
}  // namespace tovra::umserver
