#include <unistd.h>

#include <filesystem>
#include <random>

#include "test_database.h"
#include "umserver/store/sqlite/sqlite_store.h"

namespace tovra::umserver::testing {

namespace {

class SqliteTestDatabase final : public TestDatabase {
 public:
  SqliteTestDatabase() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tovra-store-test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot create a temporary folder");
    }
    folder_ = pattern;
  }

  ~SqliteTestDatabase() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  std::unique_ptr<store::Store> Open(store::LoginThrottle::Options throttle) override {
    store::SqliteStore::Options options;
    options.path = (folder_ / "directory.db").string();
    // Cheap hashes keep the sanitizer build quick; the format is the same.
    options.argon2_memory_kib = 64;
    options.argon2_iterations = 1;
    options.busy_timeout = std::chrono::milliseconds(2000);
    options.throttle = std::move(throttle);
    return std::make_unique<store::SqliteStore>(std::move(options));
  }

  std::string UniqueAccount(const std::string& stem) override { return stem; }

 private:
  std::filesystem::path folder_;
};

}  // namespace

std::unique_ptr<TestDatabase> MakeTestDatabase() {
  return std::make_unique<SqliteTestDatabase>();
}

}  // namespace tovra::umserver::testing
