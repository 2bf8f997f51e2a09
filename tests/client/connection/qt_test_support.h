#pragma once

// Pieces of the dialog tests of the connection layer, beside the client's shared GUI test
// support: a private store per test and a snapshot of what it holds.

#include <QTemporaryDir>

#include "gui_test_support.h"
#include "platform/registry_store.h"

namespace tovra::client::testing_support {

// Every key below `path` with its values, one "key\name=value" line each, for telling
// whether anything was written.
inline QStringList StoreSnapshot(const QString& path) {
  QStringList lines;
  platform::RegistryStore store;
  if (!store.OpenKey(path, false))
    return lines;
  for (const QString& name : store.GetValueNames())
    lines << path + name + u'=' + store.ReadString(name);
  const QStringList children = store.GetKeyNames();
  store.CloseKey();
  for (const QString& child : children)
    lines << StoreSnapshot(path + child + u'\\');
  return lines;
}

// Each test has a store of its own, as a new user on a fresh machine.
class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(config_dir_.isValid());
    qputenv("XDG_CONFIG_HOME", config_dir_.path().toUtf8());
  }
  QTemporaryDir config_dir_;
};

}  // namespace tovra::client::testing_support
