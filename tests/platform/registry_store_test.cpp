#include "platform/registry_store.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

namespace {

using tovra::platform::RegistryError;
using tovra::platform::RegistryStore;

const QString kProfiles = QStringLiteral("Software\\TOVRA\\2.0\\UserManagerClient");

// Every test gets a configuration directory of its own, as a new user would.
class RegistryStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(config_.isValid());
    qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
  }

  // Runs registry_tool in a process of its own with this test's configuration directory.
  QString Tool(const QStringList& args, int* exit_code = nullptr) {
    QProcess tool;
    tool.start(QStringLiteral(TOVRA_REGISTRY_TOOL), args);
    EXPECT_TRUE(tool.waitForFinished(10000));
    if (exit_code != nullptr) {
      *exit_code = tool.exitCode();
    } else {
      EXPECT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
    }
    return QString::fromUtf8(tool.readAllStandardOutput());
  }

  QTemporaryDir config_;
};

TEST_F(RegistryStoreTest, LivesInTheUsersConfigurationDirectory) {
  EXPECT_EQ(RegistryStore::UserStoreLocation(), config_.path() + "/TOVRA/registry.ini");
  {
    RegistryStore store;
    ASSERT_TRUE(store.OpenKey(kProfiles, true));
  }
  EXPECT_TRUE(QFile::exists(config_.path() + "/TOVRA/registry.ini"));
}

TEST_F(RegistryStoreTest, OpeningCreatesTheKeyAndItsParents) {
  RegistryStore store;
  EXPECT_FALSE(store.OpenKey(kProfiles + "\\Prod", false));
  EXPECT_FALSE(store.KeyExists("Software"));

  ASSERT_TRUE(store.OpenKey(kProfiles + "\\Prod", true));
  EXPECT_EQ(store.CurrentPath(), kProfiles + "\\Prod");
  EXPECT_TRUE(store.GetValueNames().isEmpty());
  for (const char* path : {"Software", "Software\\TOVRA", "Software\\TOVRA\\2.0"}) {
    EXPECT_TRUE(store.KeyExists(path)) << path;
  }
  // Leading, trailing and doubled backslashes do not matter.
  EXPECT_TRUE(store.OpenKey("\\" + kProfiles + "\\\\Prod\\", false));
  EXPECT_EQ(store.CurrentPath(), kProfiles + "\\Prod");
}

TEST_F(RegistryStoreTest, EmptyKeysSurviveSaving) {
  {
    RegistryStore store;
    ASSERT_TRUE(store.OpenKey(kProfiles + "\\Empty", true));
  }
  RegistryStore store;
  EXPECT_TRUE(store.OpenKey(kProfiles + "\\Empty", false));
  ASSERT_TRUE(store.OpenKey(kProfiles, false));
  EXPECT_EQ(store.GetKeyNames(), QStringList{"Empty"});
}

TEST_F(RegistryStoreTest, NamesIgnoreCaseAndKeepTheFirstSpelling) {
  RegistryStore store;
  ASSERT_TRUE(store.OpenKey(kProfiles + "\\Prod", true));
  store.WriteString("ServerName", "db1");

  ASSERT_TRUE(store.OpenKey("SOFTWARE\\tovra\\2.0\\usermanagerclient\\PROD", false));
  EXPECT_EQ(store.CurrentPath(), kProfiles + "\\Prod");
  EXPECT_EQ(store.ReadString("servername"), "db1");
  EXPECT_TRUE(store.ValueExists("SERVERNAME"));

  store.WriteString("SERVERNAME", "db2");
  EXPECT_EQ(store.GetValueNames(), QStringList{"ServerName"});
  EXPECT_EQ(store.ReadString("ServerName"), "db2");

  // A key opened in another spelling is the same key, not a sibling.
  ASSERT_TRUE(store.OpenKey(kProfiles + "\\prod", true));
  ASSERT_TRUE(store.OpenKey(kProfiles, false));
  EXPECT_EQ(store.GetKeyNames(), QStringList{"Prod"});
}

TEST_F(RegistryStoreTest, EnumeratesDirectSubKeysAndValuesOnly) {
  RegistryStore store;
  ASSERT_TRUE(store.OpenKey(kProfiles + "\\A\\Deeper", true));
  ASSERT_TRUE(store.OpenKey(kProfiles + "\\B", true));
  ASSERT_TRUE(store.OpenKey(kProfiles, false));
  store.WriteString("LastProfileName", "B");

  QStringList keys = store.GetKeyNames();
  keys.sort();
  EXPECT_EQ(keys, (QStringList{"A", "B"}));
  EXPECT_EQ(store.GetValueNames(), QStringList{"LastProfileName"});
  EXPECT_EQ(store.ReadString("Missing"), QString());
  EXPECT_FALSE(store.ValueExists("Missing"));
}

TEST_F(RegistryStoreTest, KeyNamesMayHoldColonsBlanksAndSlashes) {
  const QStringList names = {"host:8080", "my profile", "a/b", "50% off", "%key", "Ünïcødé"};
  RegistryStore store;
  for (const QString& name : names) {
    ASSERT_TRUE(store.OpenKey(kProfiles + "\\" + name, true)) << name.toStdString();
    store.WriteString("Name " + name, name);
  }
  store.Flush();

  RegistryStore reread;
  ASSERT_TRUE(reread.OpenKey(kProfiles, false));
  QStringList keys = reread.GetKeyNames();
  keys.sort();
  QStringList expected = names;
  expected.sort();
  EXPECT_EQ(keys, expected);
  for (const QString& name : names) {
    ASSERT_TRUE(reread.OpenKey(kProfiles + "\\" + name, false)) << name.toStdString();
    EXPECT_EQ(reread.GetValueNames(), QStringList{"Name " + name});
    EXPECT_EQ(reread.ReadString("Name " + name), name);
  }
}

TEST_F(RegistryStoreTest, DeletingAKeyTakesItsTreeAndLeavesSiblings) {
  {
    RegistryStore store;
    ASSERT_TRUE(store.OpenKey(kProfiles + "\\Gone\\Sub", true));
    store.WriteString("X", "1");
    ASSERT_TRUE(store.OpenKey(kProfiles + "\\Gone", true));
    store.WriteString("ServerName", "old");
    ASSERT_TRUE(store.OpenKey(kProfiles + "\\Kept", true));
    store.WriteString("ServerName", "kept");
    ASSERT_TRUE(store.OpenKey(kProfiles, true));
    store.WriteString("LastProfileName", "Kept");

    EXPECT_TRUE(store.DeleteKey(kProfiles + "\\GONE"));
    EXPECT_FALSE(store.DeleteKey(kProfiles + "\\Gone"));
    EXPECT_FALSE(store.DeleteKey(kProfiles + "\\Never"));
  }
  RegistryStore store;
  EXPECT_FALSE(store.KeyExists(kProfiles + "\\Gone\\Sub"));
  EXPECT_FALSE(store.KeyExists(kProfiles + "\\Gone"));
  ASSERT_TRUE(store.OpenKey(kProfiles, false));
  EXPECT_EQ(store.GetKeyNames(), QStringList{"Kept"});
  EXPECT_EQ(store.ReadString("LastProfileName"), "Kept");
  ASSERT_TRUE(store.OpenKey(kProfiles + "\\Kept", false));
  EXPECT_EQ(store.ReadString("ServerName"), "kept");

  // Deleting the last sub-key leaves its parent in place.
  EXPECT_TRUE(store.DeleteKey(kProfiles + "\\Kept"));
  EXPECT_TRUE(store.KeyExists(kProfiles));
}

TEST_F(RegistryStoreTest, AValueThatIsNotTextRaisesAnErrorNamingIt) {
  {
    RegistryStore store;
    ASSERT_TRUE(store.OpenKey(kProfiles + "\\Prod", true));
    store.WriteString("ServerName", "db1");
  }
  {
    // Someone else put binary data there.
    QSettings raw(RegistryStore::UserStoreLocation(), QSettings::IniFormat);
    raw.setValue("Software/TOVRA/2.0/UserManagerClient/Prod/UseCompression",
                 QByteArray("\x01\x02", 2));
  }
  RegistryStore store;
  ASSERT_TRUE(store.OpenKey(kProfiles + "\\Prod", false));
  EXPECT_EQ(store.ReadString("ServerName"), "db1");
  try {
    store.ReadString("UseCompression");
    FAIL() << "no error for a binary value";
  } catch (const RegistryError& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'UseCompression'");
  }
}

TEST_F(RegistryStoreTest, WritingWithoutAnOpenKeyIsRefused) {
  RegistryStore store;
  EXPECT_THROW(store.WriteString("ServerName", "x"), RegistryError);
}

TEST_F(RegistryStoreTest, ValuesCrossProcesses) {
  Tool({"write", kProfiles + "\\Shared", "ServerName", "written by another process"});
  {
    RegistryStore store;
    ASSERT_TRUE(store.OpenKey(kProfiles.toLower() + "\\shared", false));
    EXPECT_EQ(store.ReadString("ServerName"), "written by another process");
    store.WriteString("Port", "6001");
  }
  EXPECT_EQ(Tool({"read", kProfiles + "\\SHARED", "port"}), "6001");
  int exit_code = 0;
  Tool({"read", kProfiles + "\\Missing", "Port"}, &exit_code);
  EXPECT_EQ(exit_code, 3);
}

TEST_F(RegistryStoreTest, ConcurrentWritersLoseNothing) {
  RegistryStore store;
  ASSERT_TRUE(store.OpenKey(kProfiles + "\\Shared", true));
  store.WriteString("Mine", "1");
  // Another process saves while this access still holds an unsaved change.
  Tool({"write", kProfiles + "\\Shared", "Theirs", "2"});
  store.Flush();

  RegistryStore reread;
  ASSERT_TRUE(reread.OpenKey(kProfiles + "\\Shared", false));
  EXPECT_EQ(reread.ReadString("Mine"), "1");
  EXPECT_EQ(reread.ReadString("Theirs"), "2");
}

}  // namespace
