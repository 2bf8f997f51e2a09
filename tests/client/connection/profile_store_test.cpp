#include "client/connection/profile_store.h"

#include <gtest/gtest.h>

#include <QSettings>
#include <QTemporaryDir>
#include <functional>

#include "platform/registry_store.h"

namespace {

using namespace tovra::client;
using tovra::platform::RegistryError;
using tovra::platform::RegistryStore;

TClientConfig Defaults() {
  TClientConfig config;
  SetDefaultConfig(config);
  return config;
}

// Every test starts as a new user on a fresh machine.
class ProfileStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(config_dir_.isValid());
    qputenv("XDG_CONFIG_HOME", config_dir_.path().toUtf8());
  }

  static void WriteValues(const QString& key, const std::map<QString, QString>& values) {
    RegistryStore store;
    ASSERT_TRUE(store.OpenKey(key, true));
    for (const auto& [name, text] : values) {
      store.WriteString(name, text);
    }
  }

  static std::map<QString, QString> StoredValues(const QString& key) {
    RegistryStore store;
    std::map<QString, QString> values;
    if (store.OpenKey(key, false)) {
      for (const QString& name : store.GetValueNames()) {
        values[name] = store.ReadString(name);
      }
    }
    return values;
  }

  QTemporaryDir config_dir_;
};

TEST(ProfileRecordTest, DefaultsAreTheFreshProfile) {
  TClientConfig config;
  config.ProxyUser = "left over";
  config.ProxyPassword = "secret";
  SetDefaultConfig(config);
  EXPECT_EQ(config.ProfileName, "DefaultProfile");
  EXPECT_EQ(config.ServerName, "127.0.0.1");
  EXPECT_EQ(config.ServerProtocol, "HTTP");
  EXPECT_EQ(config.MessageProtocol, "BIN");
  EXPECT_EQ(config.EncryptionMethod, "None");
  EXPECT_EQ(config.UseCompression, 1);
  EXPECT_EQ(config.Port, 6000);
  EXPECT_EQ(config.UseProxy, 0);
  EXPECT_EQ(config.ProxyServer, "unknown");
  EXPECT_EQ(config.ProxyPort, 80);
  EXPECT_EQ(config.ProxyUser, "");
  EXPECT_EQ(config.ProxyPassword, "");
  EXPECT_EQ(config.AllowSavingProxyPassword, 1);
}

TEST(ProfileRecordTest, StrToIntTakesWholeNumbersOnly) {
  struct Case {
    const char* text;
    std::optional<std::int32_t> value;
  };
  const Case cases[] = {
      {"6000", 6000},
      {"-1", -1},
      {"+7", 7},
      {"0", 0},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"2147483648", {}},
      {"-2147483649", {}},
      {"99999999999999999999", {}},
      {"", {}},
      {"-", {}},
      {"abc", {}},
      {"12a", {}},
      {" 12", {}},
      {"12 ", {}},
      {"1.5", {}},
      {"0x10", {}},
      {"\u0661", {}},  // Arabic-Indic one: a digit, but not 0-9
  };
  for (const Case& c : cases) {
    const QString text = QString::fromUtf8(c.text);
    if (c.value) {
      EXPECT_EQ(StrToInt(text), *c.value) << c.text;
    } else {
      try {
        StrToInt(text);
        ADD_FAILURE() << "accepted " << c.text;
      } catch (const ConversionError& error) {
        EXPECT_NE(std::string(error.what()).find("'" + text.toStdString() + "'"), std::string::npos)
            << error.what();
      }
    }
  }
}

TEST(ProfileRecordTest, UpperCasingTouchesAsciiLettersOnly) {
  EXPECT_EQ(UpperCaseAscii("http"), "HTTP");
  EXPECT_EQ(UpperCaseAscii("Blowfish-2_x"), "BLOWFISH-2_X");
  EXPECT_EQ(UpperCaseAscii(QString::fromUtf8("tcp\u00e4\u00df")),
            QString::fromUtf8("TCP\u00e4\u00df"));
}

TEST_F(ProfileStoreTest, ReadingFollowsTheStoredText) {
  // What a single stored value reads as; everything else stays at its default.
  struct Case {
    const char* value_name;
    const char* stored;
    std::function<void(TClientConfig&)> expect;  // applied to the defaults
  };
  const Case cases[] = {
      {"ServerProtocol", "http", [](auto& c) { c.ServerProtocol = "HTTP"; }},
      {"ServerProtocol", "udp", [](auto& c) { c.ServerProtocol = "UDP"; }},
      {"MessageProtocol", "post", [](auto& c) { c.MessageProtocol = "POST"; }},
      {"EncryptionMethod", "Blowfish", [](auto& c) { c.EncryptionMethod = "BLOWFISH"; }},
      {"ServerName", "Db-Host.local", [](auto& c) { c.ServerName = "Db-Host.local"; }},
      {"ServerName", "", [](auto&) {}},
      {"Port", "", [](auto&) {}},
      {"ProxyServer", "", [](auto&) {}},
      {"Port", "7001", [](auto& c) { c.Port = 7001; }},
      {"UseCompression", "2", [](auto& c) { c.UseCompression = 2; }},
      {"UseProxy", "1", [](auto& c) { c.UseProxy = 1; }},
      {"ProxyPort", "-3128", [](auto& c) { c.ProxyPort = -3128; }},
      {"ProxyUser", "Jo Smith", [](auto& c) { c.ProxyUser = "Jo Smith"; }},
      {"ProxyPassword", "pw", [](auto& c) { c.ProxyPassword = "pw"; }},
      {"AllowSavingProxyPassword", "0", [](auto& c) { c.AllowSavingProxyPassword = 0; }},
      // Value names are matched without regard to case, as in the registry.
      {"serverprotocol", "tcp", [](auto& c) { c.ServerProtocol = "TCP"; }},
  };
  int n = 0;
  for (const Case& c : cases) {
    const QString key = ProfilesKey + QStringLiteral("P%1").arg(++n);
    WriteValues(key, {{c.value_name, QString::fromUtf8(c.stored)}});
    TClientConfig expected = Defaults();
    expected.ProfileName = QStringLiteral("P%1").arg(n);
    c.expect(expected);
    TClientConfig read;
    ReadClientConfig(key, read);
    EXPECT_EQ(read, expected) << c.value_name << "=" << c.stored;
  }
}

TEST_F(ProfileStoreTest, ProfileNameIsTheLastComponentOfTheKeyPath) {
  const struct {
    QString key;
    QString name;
  } cases[] = {
      {ProfilesKey + "Prod", "Prod"},
      {ProfilesKey + "host:6000", "6000"},
      {ProfilesKey + "a:b:c", "c"},
      {ProfilesKey, ""},
  };
  for (const auto& c : cases) {
    TClientConfig read;
    ReadClientConfig(c.key, read);
    EXPECT_EQ(read.ProfileName, c.name) << c.key.toStdString();
    EXPECT_EQ(read.ServerName, "127.0.0.1");
  }
  // Reading a missing profile leaves its empty key behind.
  EXPECT_TRUE(ReadProfileNames(ProfilesKey).contains("Prod"));
}

TEST_F(ProfileStoreTest, LongProfileNamesAreCutAt260CharactersNeverInsideOne) {
  const auto repeat = [](const QString& text, int times) { return text.repeated(times); };
  const QString a = "a", e_acute = QString(QChar(0x00E9)), euro = QString(QChar(0x20AC));
  const QString smiley = QString::fromUtf8("\xF0\x9F\x98\x80");  // U+1F600: a surrogate pair
  const struct {
    const char* what;
    QString component;
    QString name;
  } cases[] = {
      {"exactly 260", repeat(a, 260), repeat(a, 260)},
      {"one too many", repeat(a, 261), repeat(a, 260)},
      // Two UTF-8 bytes each: a cut counted in bytes would keep 130 of them.
      {"two-byte characters", repeat(e_acute, 300), repeat(e_acute, 260)},
      // A byte count would cut the euro sign's three bytes after the first.
      {"three-byte character at the cut", repeat(a, 259) + euro + "b", repeat(a, 259) + euro},
      {"surrogate pair at the cut", repeat(a, 259) + smiley + "b", repeat(a, 259) + smiley},
      {"surrogate pair just beyond the cut", repeat(a, 260) + smiley, repeat(a, 260)},
      {"surrogate pairs only", repeat(smiley, 261), repeat(smiley, 260)},
      {"after the last colon", "host:" + repeat(e_acute, 261), repeat(e_acute, 260)},
  };
  for (const auto& c : cases) {
    TClientConfig read;
    ReadClientConfig(ProfilesKey + c.component, read);
    EXPECT_EQ(read.ProfileName.toStdU32String().size(), c.name.toStdU32String().size()) << c.what;
    EXPECT_EQ(read.ProfileName.toUtf8().toStdString(), c.name.toUtf8().toStdString()) << c.what;
  }
}

TEST_F(ProfileStoreTest, TheProfilesKeyItselfReadsAsTheStartingRecord) {
  WriteValues(ProfilesKey, {{"ServerName", "fallback"}, {"LastProfileName", "Prod"}});
  WriteValues(ProfilesKey + "Prod", {{"ServerName", "prod-host"}});
  TClientConfig read;
  ReadClientConfig(ProfilesKey, read);
  TClientConfig expected = Defaults();
  expected.ProfileName = "";
  expected.ServerName = "fallback";
  EXPECT_EQ(read, expected);
}

TEST_F(ProfileStoreTest, AFailedValueEndsTheReadingWithEarlierFieldsKept) {
  struct Case {
    const char* value_name;
    const char* stored;
    const char* message;
  };
  const Case cases[] = {
      {"UseCompression", "abc", "'abc' is not a valid integer value"},
      {"Port", "6000x", "'6000x' is not a valid integer value"},
  };
  for (const Case& c : cases) {
    const QString key = ProfilesKey + c.value_name;
    WriteValues(key, {{"ServerName", "db"},
                      {"EncryptionMethod", "des"},
                      {c.value_name, c.stored},
                      {"UseProxy", "1"},
                      {"ProxyServer", "proxy"}});
    TClientConfig read;
    try {
      ReadClientConfig(key, read);
      ADD_FAILURE() << "no error for " << c.value_name;
    } catch (const ConversionError& error) {
      EXPECT_STREQ(error.what(), c.message);
    }
    // Read before the failure...
    EXPECT_EQ(read.ServerName, "db");
    EXPECT_EQ(read.EncryptionMethod, "DES");
    // ...and after it, still the defaults.
    EXPECT_EQ(read.UseProxy, 0);
    EXPECT_EQ(read.ProxyServer, "unknown");
  }
}

TEST_F(ProfileStoreTest, AValueThatIsNotTextIsARegistryErrorNamingIt) {
  WriteValues(ProfilesKey + "Odd", {{"ServerName", "db"}});
  {
    QSettings raw(RegistryStore::UserStoreLocation(), QSettings::IniFormat);
    raw.setValue("Software/TOVRA/2.0/UserManagerClient/Odd/Port", QStringList{"1", "2"});
  }
  TClientConfig read;
  try {
    ReadClientConfig(ProfilesKey + "Odd", read);
    ADD_FAILURE() << "no error";
  } catch (const RegistryError& error) {
    EXPECT_STREQ(error.what(), "Invalid data type for 'Port'");
  }
  EXPECT_EQ(read.ServerName, "db");
  EXPECT_EQ(read.Port, 6000);
}

TEST_F(ProfileStoreTest, WritingStoresEveryValueAsTextAndRoundTrips) {
  TClientConfig config;
  config.ProfileName = "Prod";
  config.ServerName = "db.example";
  config.ServerProtocol = "tcp";  // written as given, upper-cased only on reading
  config.MessageProtocol = "BIN";
  config.UseCompression = 0;
  config.EncryptionMethod = "Rijndael";
  config.Port = 7010;
  config.UseProxy = 1;
  config.ProxyServer = "proxy";
  config.ProxyPort = 3128;
  config.ProxyUser = "jo";
  config.ProxyPassword = "pw";
  config.AllowSavingProxyPassword = 1;
  WriteClientConfig(ProfilesKey + "Prod", config);

  const std::map<QString, QString> expected = {
      {"ServerProtocol", "tcp"},
      {"MessageProtocol", "BIN"},
      {"EncryptionMethod", "Rijndael"},
      {"ServerName", "db.example"},
      {"UseCompression", "0"},
      {"Port", "7010"},
      {"UseProxy", "1"},
      {"ProxyServer", "proxy"},
      {"ProxyPort", "3128"},
      {"ProxyUser", "jo"},
      {"ProxyPassword", "pw"},
      {"AllowSavingProxyPassword", "1"},
  };
  EXPECT_EQ(StoredValues(ProfilesKey + "Prod"), expected);

  TClientConfig read;
  ReadClientConfig(ProfilesKey + "Prod", read);
  config.ServerProtocol = "TCP";
  config.EncryptionMethod = "RIJNDAEL";
  EXPECT_EQ(read, config);
}

TEST_F(ProfileStoreTest, TheProxyPasswordIsStoredOnlyWhenAllowed) {
  WriteValues(ProfilesKey + "P", {{"ProxyPassword", "old secret"}});
  for (std::int32_t allow : {0, 2, -1}) {
    TClientConfig config = Defaults();
    config.ProfileName = "P";
    config.ProxyUser = "jo";
    config.ProxyPassword = "secret";
    config.AllowSavingProxyPassword = allow;
    WriteClientConfig(ProfilesKey + "P", config);
    EXPECT_EQ(StoredValues(ProfilesKey + "P").at("ProxyPassword"), "") << allow;
    TClientConfig read;
    ReadClientConfig(ProfilesKey + "P", read);
    EXPECT_EQ(read.ProxyPassword, "") << allow;
    EXPECT_EQ(read.ProxyUser, "jo") << allow;
    EXPECT_EQ(read.AllowSavingProxyPassword, allow);
  }
}

TEST_F(ProfileStoreTest, ListingCreatesTheProfilesKeyAndShowsOnlyProfiles) {
  EXPECT_TRUE(ReadProfileNames(ProfilesKey).isEmpty());
  EXPECT_TRUE(RegistryStore().KeyExists(ProfilesKey));
  EXPECT_EQ(ReadLastProfileName(ProfilesKey), "");

  WriteClientConfig(ProfilesKey + "Test", Defaults());
  WriteClientConfig(ProfilesKey + "Prod", Defaults());
  WriteLastProfileName(ProfilesKey, "Prod");
  WriteValues(ProfilesKey, {{"ServerName", "starting"}});
  QStringList names = ReadProfileNames(ProfilesKey);
  names.sort();
  EXPECT_EQ(names, (QStringList{"Prod", "Test"}));
  EXPECT_EQ(ReadLastProfileName(ProfilesKey), "Prod");
}

TEST_F(ProfileStoreTest, DeletingRemovesOneProfileWithItsSubKeys) {
  WriteClientConfig(ProfilesKey + "Prod", Defaults());
  WriteValues(ProfilesKey + "Prod\\Nested", {{"x", "1"}});
  WriteClientConfig(ProfilesKey + "Test", Defaults());
  WriteLastProfileName(ProfilesKey, "Prod");

  DeleteClientConfig(ProfilesKey + "prod");  // keys are found without regard to case
  EXPECT_EQ(ReadProfileNames(ProfilesKey), QStringList{"Test"});
  EXPECT_FALSE(RegistryStore().KeyExists(ProfilesKey + "Prod\\Nested"));
  EXPECT_EQ(ReadLastProfileName(ProfilesKey), "Prod");
  EXPECT_EQ(StoredValues(ProfilesKey + "Test").at("Port"), "6000");

  DeleteClientConfig(ProfilesKey + "Missing");  // nothing to delete, nothing raised
  EXPECT_EQ(ReadProfileNames(ProfilesKey), QStringList{"Test"});
}

TEST_F(ProfileStoreTest, AStoreThatCannotBeSavedFailsWritesButNotReads) {
  // A file where the store's folder should be: nothing can be created or saved, whatever
  // the rights of the user running the test.
  QFile blocker(config_dir_.path() + "/TOVRA");
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  EXPECT_TRUE(ReadProfileNames(ProfilesKey).isEmpty());
  EXPECT_EQ(ReadLastProfileName(ProfilesKey), "");
  TClientConfig read;
  ReadClientConfig(ProfilesKey + "Prod", read);
  EXPECT_EQ(read, Defaults());
  EXPECT_THROW(WriteClientConfig(ProfilesKey + "Prod", Defaults()), RegistryError);
  EXPECT_THROW(WriteLastProfileName(ProfilesKey, "Prod"), RegistryError);
  EXPECT_NO_THROW(DeleteClientConfig(ProfilesKey + "Prod"));
}

}  // namespace
