#pragma once

// A fresh, empty database for one test, on whichever back end the test program is built
// for (SQLite: a file in a temporary folder; PostgreSQL: a database of its own in the
// throw-away cluster). Dropped again when the test ends.

#include <memory>
#include <string>

#include "umserver/store/store.h"

namespace tovra::umserver::testing {

class TestDatabase {
 public:
  virtual ~TestDatabase() = default;
  // A store on this database. Several stores on one database behave like several servers.
  virtual std::unique_ptr<store::Store> Open(store::LoginThrottle::Options throttle = {}) = 0;
  // A name for a database account that no other test uses (accounts of a PostgreSQL
  // cluster are shared by all its databases).
  virtual std::string UniqueAccount(const std::string& stem) = 0;
};

std::unique_ptr<TestDatabase> MakeTestDatabase();

// A throttle that never holds anyone back, for tests that log in on purpose with wrong
// passwords and do not test the throttle.
inline store::LoginThrottle::Options NoThrottle() {
  store::LoginThrottle::Options options;
  options.first_delay = std::chrono::milliseconds(0);
  options.max_delay = std::chrono::milliseconds(0);
  return options;
}

}  // namespace tovra::umserver::testing
