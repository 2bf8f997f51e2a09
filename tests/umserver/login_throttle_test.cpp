#include "umserver/store/login_throttle.h"

#include <gtest/gtest.h>

#include <string>

#include "umserver/store/store.h"

namespace tovra::umserver::store {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class LoginThrottleTest : public ::testing::Test {
 protected:
  LoginThrottle Make(std::size_t max_names = 100) {
    LoginThrottle::Options options;
    options.first_delay = milliseconds(500);
    options.max_delay = seconds(8);
    options.max_names = max_names;
    options.now = [this] { return now_; };
    return LoginThrottle(options);
  }

  LoginThrottle::Clock::time_point now_ = LoginThrottle::Clock::now();
};

TEST_F(LoginThrottleTest, DelayDoublesWithEachFailureUpToTheCap) {
  auto throttle = Make();
  const milliseconds expected[] = {milliseconds(500), seconds(1), seconds(2), seconds(4),
                                   seconds(8),        seconds(8), seconds(8)};
  for (const auto delay : expected) {
    throttle.RecordFailure("mallory");
    EXPECT_EQ(throttle.RetryAfter("mallory"), delay);
    now_ += delay;
    EXPECT_EQ(throttle.RetryAfter("mallory"), milliseconds(0));
  }
  // Many more failures neither overflow nor pass the cap.
  for (int i = 0; i < 100; ++i) {
    throttle.RecordFailure("mallory");
  }
  EXPECT_EQ(throttle.RetryAfter("mallory"), seconds(8));
}

TEST_F(LoginThrottleTest, NamesAreHeldBackSeparatelyAndASuccessForgives) {
  auto throttle = Make();
  throttle.RecordFailure("mallory");
  throttle.RecordFailure("mallory");
  EXPECT_EQ(throttle.RetryAfter("alice"), milliseconds(0));
  EXPECT_EQ(throttle.RetryAfter("Mallory"), milliseconds(0));  // names are exact
  now_ += seconds(1);
  throttle.RecordSuccess("mallory");
  throttle.RecordFailure("mallory");
  EXPECT_EQ(throttle.RetryAfter("mallory"), milliseconds(500));
}

TEST_F(LoginThrottleTest, AFloodOfNamesStaysWithinTheBound) {
  auto throttle = Make(/*max_names=*/10);
  // One name under a long delay, then many one-off names.
  for (int i = 0; i < 5; ++i) {
    throttle.RecordFailure("target");
  }
  for (int i = 0; i < 1000; ++i) {
    throttle.RecordFailure("guess" + std::to_string(i));
    now_ += milliseconds(1);
  }
  // The name under the longest delay is kept; the oldest short ones went first.
  EXPECT_GT(throttle.RetryAfter("target"), milliseconds(0));
  EXPECT_GT(throttle.RetryAfter("guess999"), milliseconds(0));
  EXPECT_EQ(throttle.RetryAfter("guess0"), milliseconds(0));
}

TEST(AccountNameTest, AcceptsOrdinaryNamesOnly) {
  for (const char* good : {"hmeier", "H.Meier", "_service", "anna-lena", "a@b", "x1"}) {
    EXPECT_EQ(CheckAccountName(good), "") << good;
  }
  for (const std::string& bad :
       {std::string(), std::string("x\"y"), std::string("x'y"), std::string("a b"),
        std::string("1abc"), std::string("pg_monitor"), std::string("PG_x"), std::string(64, 'a'),
        std::string("tab\there"), std::string("\xc3\xa4rger")}) {
    EXPECT_NE(CheckAccountName(bad), "") << bad;
  }
  EXPECT_EQ(CheckAccountName(std::string(63, 'a')), "");
}

}  // namespace
}  // namespace tovra::umserver::store
