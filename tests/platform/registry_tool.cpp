// Reads or writes one text value of the current user's store, from a process of its own:
//   registry_tool write <key path> <value name> <text>
//   registry_tool read <key path> <value name>
#include <QByteArray>
#include <cstdio>
#include <cstring>
#include <exception>

#include "platform/registry_store.h"

int main(int argc, char** argv) {
  using tovra::platform::RegistryStore;
  try {
    RegistryStore store;
    if (argc == 5 && std::strcmp(argv[1], "write") == 0) {
      store.OpenKey(QString::fromUtf8(argv[2]), true);
      store.WriteString(QString::fromUtf8(argv[3]), QString::fromUtf8(argv[4]));
      store.Flush();
      return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "read") == 0) {
      if (!store.OpenKey(QString::fromUtf8(argv[2]), false)) {
        return 3;
      }
      std::fputs(store.ReadString(QString::fromUtf8(argv[3])).toUtf8().constData(), stdout);
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "registry_tool: %s\n", e.what());
    return 1;
  }
  std::fputs("usage: registry_tool write|read <key path> <value name> [text]\n", stderr);
  return 2;
}
