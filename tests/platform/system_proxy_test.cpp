#include "platform/system_proxy.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using tovra::platform::GetSystemProxy;

void ClearProxyEnvironment() {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                           "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
    unsetenv(name);
  }
}

TEST(SystemProxyTest, ReadsTheUsersHttpProxy) {
  ClearProxyEnvironment();
  setenv("http_proxy", "http://proxy.example.test:3128", 1);
  EXPECT_EQ(GetSystemProxy().toStdString(), "proxy.example.test:3128");
}

TEST(SystemProxyTest, EmptyWithoutAProxy) {
  ClearProxyEnvironment();
  EXPECT_EQ(GetSystemProxy().toStdString(), "");
}

}  // namespace
