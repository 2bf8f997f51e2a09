// Prints the product version of its own program file.
#include <cstdio>

#include "platform/file_version.h"

int main() {
  std::printf("%llu\n", static_cast<unsigned long long>(tovra::platform::GetProductVersion()));
  return 0;
}
