#pragma once

// Stores that are not empty from the start: the demo organisation a new user starts with,
// and the large directory the benchmarks run on.

#include <cstdint>
#include <optional>
#include <string>

#include "umserver/store/store.h"

namespace tovra::umserver::store {

// A random password of `length` letters and digits (ambiguous ones left out), from the
// operating system's generator.
std::string GeneratePassword(std::size_t length = 16);

struct DemoAccount {
  std::string user;
  std::string password;
};

// On a store without a directory: creates the schema, an administrator `admin_user` with a
// generated password, and a small organisation (databases, roles with privilege levels,
// users with memberships, one of them dropped, some owning documents). Returns the
// administrator's account, or nothing when the store already holds users; then nothing is
// changed.
std::optional<DemoAccount> CreateDemo(Store& store, std::string_view admin_user = "admin");

struct SeedSize {
  int users = 20000;
  int roles = 1000;
  int databases = 500;
  int memberships = 60000;
  int rights = 10000;
  int documents = 5000;
};

// Fills an empty directory with generated rows in one transaction (the schema is created
// when missing). Every user has memberships, every role one privilege level; about one
// user in twenty is dropped. The same `random_seed` gives the same directory. Throws
// StoreError when the directory already holds users.
void Seed(Store& store, const SeedSize& size, std::uint32_t random_seed = 1);

}  // namespace tovra::umserver::store
