#include "client/connection/login_dialog.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QWindow>
#include <stdexcept>

#include "client/connection/client_config_dialog.h"
#include "platform/registry_store.h"
#include "qt_test_support.h"

namespace {

using namespace tovra::client;
using namespace tovra::client::testing_support;

// Stands in for the remoting layer: records what the dialog asks of it and answers as told.
class FakeConnector : public LoginConnector {
 public:
  struct LoginCall {
    QString user_name, password, role;
  };

  void SetupChannel(const TClientConfig& config) override {
    setups.push_back(config);
    if (!setup_error.empty())
      throw std::runtime_error(setup_error);
  }
  void CreateServiceProxy(const TClientConfig& config) override { proxies.push_back(config); }
  QString login(const QString& user_name, const QString& password, const QString& role) override {
    logins.push_back({user_name, password, role});
    if (!login_error.empty())
      throw std::runtime_error(login_error);
    return answer;
  }

  std::vector<TClientConfig> setups, proxies;
  std::vector<LoginCall> logins;
  std::string setup_error, login_error;
  QString answer;
};

TClientConfig Profile(const QString& name, const QString& server, std::int32_t port) {
  TClientConfig config;
  SetDefaultConfig(config);
  config.ProfileName = name;
  config.ServerName = server;
  config.Port = port;
  return config;
}

class LoginDialogTest : public DialogTest {
 protected:
  void StoreProfiles(const QStringList& names) {
    int port = 7000;
    for (const QString& name : names) {
      WriteClientConfig(ProfilesKey + name, Profile(name, name.toLower() + "-host", ++port));
    }
  }

  static QStringList Checked(const TfrmUmClientLogin& dialog) {
    QStringList names;
    for (int row = 0; row < dialog.cbxProfiles->count(); ++row) {
      if (dialog.cbxProfiles->item(row)->checkState() == Qt::Checked) {
        names << dialog.cbxProfiles->item(row)->text();
      }
    }
    return names;
  }

  static QStringList Listed(const TfrmUmClientLogin& dialog) {
    QStringList names;
    for (int row = 0; row < dialog.cbxProfiles->count(); ++row) {
      names << dialog.cbxProfiles->item(row)->text();
    }
    names.sort();
    return names;
  }

  static QListWidgetItem* Item(const TfrmUmClientLogin& dialog, const QString& name) {
    const auto found = dialog.cbxProfiles->findItems(name, Qt::MatchExactly);
    return found.isEmpty() ? nullptr : found.front();
  }

  FakeConnector connector_;
};

TEST_F(LoginDialogTest, OpensWithTheLastProfileChecked) {
  struct Case {
    QStringList profiles;
    QString last;
    QStringList checked;
    QString caption;
  };
  const Case cases[] = {
      {{}, "", {}, "login"},
      {{"Prod", "Test"}, "test", {"Test"}, "login profile: Test"},
      {{"Prod", "Test"}, "Gone", {}, "login"},
  };
  for (const Case& c : cases) {
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    StoreProfiles(c.profiles);
    if (!c.last.isEmpty())
      WriteLastProfileName(ProfilesKey, c.last);
    TfrmUmClientLogin dialog(connector_, nullptr);
    EXPECT_EQ(Checked(dialog), c.checked) << c.last.toStdString();
    EXPECT_EQ(dialog.windowTitle(), c.caption);
    EXPECT_FALSE(dialog.LoginOK);
    EXPECT_FALSE(dialog.HideDataTable);
  }
  // Without a last profile the first one listed is checked.
  QTemporaryDir dir;
  qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
  StoreProfiles({"Prod", "Test"});
  TfrmUmClientLogin dialog(connector_, nullptr);
  ASSERT_EQ(Checked(dialog).size(), 1);
  EXPECT_EQ(Checked(dialog).front(), dialog.cbxProfiles->item(0)->text());
}

TEST_F(LoginDialogTest, ProfilesPanelOpensFoldedAndToggles) {
  StoreProfiles({"Prod"});
  TfrmUmClientLogin dialog(connector_, nullptr);
  dialog.show();
  EXPECT_FALSE(dialog.pnlProfiles->isVisible());
  const int folded = dialog.height();
  EXPECT_EQ(dialog.width(), 322);

  dialog.btnProfiles->click();
  EXPECT_TRUE(dialog.pnlProfiles->isVisible());
  EXPECT_EQ(dialog.pnlProfiles->height(), 150);
  EXPECT_EQ(dialog.height(), folded + 150);

  dialog.btnProfiles->click();
  EXPECT_FALSE(dialog.pnlProfiles->isVisible());
  EXPECT_EQ(dialog.height(), folded);
}

TEST_F(LoginDialogTest, AnyClickLeavesExactlyTheClickedProfileChecked) {
  StoreProfiles({"Alpha", "Beta", "Gamma"});
  WriteLastProfileName(ProfilesKey, "Alpha");
  TfrmUmClientLogin dialog(connector_, nullptr);
  dialog.show();
  dialog.btnProfiles->click();
  QWidget* viewport = dialog.cbxProfiles->viewport();

  // On the name.
  QListWidgetItem* beta = Item(dialog, "Beta");
  QTest::mouseClick(viewport, Qt::LeftButton, {},
                    dialog.cbxProfiles->visualItemRect(beta).center());
  EXPECT_EQ(Checked(dialog), QStringList{"Beta"});
  EXPECT_EQ(dialog.windowTitle(), "login profile: Beta");

  // On the check box of the checked profile: it stays the one checked.
  const QPoint box = dialog.cbxProfiles->visualItemRect(beta).topLeft() + QPoint(8, 8);
  QTest::mouseClick(viewport, Qt::LeftButton, {}, box);
  EXPECT_EQ(Checked(dialog), QStringList{"Beta"});

  // The space bar on another profile.
  dialog.cbxProfiles->setCurrentItem(Item(dialog, "Gamma"));
  QTest::keyClick(dialog.cbxProfiles, Qt::Key_Space);
  EXPECT_EQ(Checked(dialog), QStringList{"Gamma"});
  EXPECT_EQ(dialog.windowTitle(), "login profile: Gamma");

  // Below the last item: nothing changes.
  QTest::mouseClick(viewport, Qt::LeftButton, {}, QPoint(10, viewport->height() - 3));
  EXPECT_EQ(Checked(dialog), QStringList{"Gamma"});
}

TEST_F(LoginDialogTest, UserNameIsSplitAndNormalisedBeforeLogin) {
  struct Case {
    const char* typed;
    const char* sent;
    bool hide_data_table;
  };
  const Case cases[] = {
      {"admin", "admin", true},          {"sysdba", "SYSDBA", true},
      {"SysDba|mudal", "SYSDBA", false}, {"admin|mudal", "admin", false},
      {"admin|MUDAL", "admin", true},    {"admin|mudalx", "admin", true},
      {"admin|", "admin", true},         {"|mudal", "", false},
      {"a|mudal|b", "a", true},          {" sysdba", " sysdba", true},
      {"Admin ", "Admin ", true},
  };
  StoreProfiles({"Prod"});
  for (const Case& c : cases) {
    FakeConnector connector;
    TfrmUmClientLogin dialog(connector, nullptr);
    dialog.show();
    dialog.edUsername->setText(c.typed);
    dialog.edPassWord->setText("pass word");
    dialog.btnLogin->click();
    ASSERT_EQ(connector.logins.size(), 1u) << c.typed;
    EXPECT_EQ(connector.logins[0].user_name, c.sent) << c.typed;
    EXPECT_EQ(connector.logins[0].password, "pass word");
    EXPECT_EQ(connector.logins[0].role, "BEOGYLTDP");
    EXPECT_TRUE(dialog.LoginOK) << c.typed;
    EXPECT_EQ(dialog.HideDataTable, c.hide_data_table) << c.typed;
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_FALSE(dialog.isVisible());
  }
}

TEST_F(LoginDialogTest, EachAttemptReadsTheCheckedProfileAfresh) {
  StoreProfiles({"Prod"});
  TfrmUmClientLogin dialog(connector_, nullptr);
  dialog.show();
  connector_.answer = "Wrong password for user admin";
  MessageBoxCatcher catcher;
  dialog.btnLogin->click();
  ASSERT_EQ(connector_.setups.size(), 1u);
  EXPECT_EQ(connector_.setups[0].ServerName, "prod-host");
  EXPECT_EQ(connector_.setups[0].Port, 7001);
  EXPECT_EQ(connector_.proxies, connector_.setups);
  // Refused: the server's text as it came, and the dialog waits for another try.
  ASSERT_EQ(catcher.boxes.size(), 1u);
  EXPECT_EQ(catcher.boxes[0].text, "Wrong password for user admin");
  EXPECT_EQ(catcher.boxes[0].icon, QMessageBox::Critical);
  EXPECT_FALSE(dialog.LoginOK);
  EXPECT_TRUE(dialog.isVisible());

  TClientConfig changed = Profile("Prod", "db2", 7002);
  changed.ServerProtocol = "tcp";
  WriteClientConfig(ProfilesKey + "Prod", changed);
  connector_.answer.clear();
  dialog.btnLogin->click();
  ASSERT_EQ(connector_.setups.size(), 2u);
  EXPECT_EQ(connector_.setups[1].ServerName, "db2");
  EXPECT_EQ(connector_.setups[1].ServerProtocol, "TCP");
  EXPECT_EQ(dialog.CurrentConfig, connector_.setups[1]);
  EXPECT_TRUE(dialog.LoginOK);
  EXPECT_EQ(catcher.boxes.size(), 1u);
}

TEST_F(LoginDialogTest, WithNoProfileCheckedTheStartingRecordIsUsed) {
  TfrmUmClientLogin dialog(connector_, nullptr);
  dialog.show();
  dialog.btnLogin->click();
  ASSERT_EQ(connector_.setups.size(), 1u);
  TClientConfig expected;
  SetDefaultConfig(expected);
  expected.ProfileName = "";
  EXPECT_EQ(connector_.setups[0], expected);
  EXPECT_TRUE(dialog.LoginOK);
}

TEST_F(LoginDialogTest, FailuresAreReportedAndTheDialogStaysOpen) {
  struct Case {
    const char* name;
    std::function<void(FakeConnector&)> arrange;
    QStringList boxes;
    bool logged_in;
    size_t setups;
    size_t logins;
  };
  const Case cases[] = {
      {"dead server",
       [](FakeConnector& c) { c.login_error = "connection refused by 127.0.0.1:6000"; },
       {"Error while trying to connect to server! connection refused by 127.0.0.1:6000"},
       false,
       1,
       1},
      {"channel set-up refused",
       [](FakeConnector& c) { c.setup_error = "unknown cipher"; },
       {"Error while preparing Connection-Objects: unknown cipher"},
       true,
       1,
       1},
      {"both",
       [](FakeConnector& c) {
         c.setup_error = "bad proxy";
         c.login_error = "no answer from db:7001 within 30 s";
       },
       {"Error while preparing Connection-Objects: bad proxy",
        "Error while trying to connect to server! no answer from db:7001 within 30 s"},
       false,
       1,
       1},
  };
  StoreProfiles({"Prod"});
  for (const Case& c : cases) {
    FakeConnector connector;
    c.arrange(connector);
    TfrmUmClientLogin dialog(connector, nullptr);
    dialog.show();
    MessageBoxCatcher catcher;
    dialog.btnLogin->click();
    EXPECT_EQ(catcher.Texts(), c.boxes) << c.name;
    for (const auto& box : catcher.boxes)
      EXPECT_EQ(box.icon, QMessageBox::Critical);
    EXPECT_EQ(dialog.LoginOK, c.logged_in) << c.name;
    EXPECT_EQ(dialog.isVisible(), !c.logged_in) << c.name;
    EXPECT_EQ(connector.setups.size(), c.setups) << c.name;
    EXPECT_EQ(connector.logins.size(), c.logins) << c.name;
  }
}

TEST_F(LoginDialogTest, AProfileNothingCanServeIsRefusedBeforeTheTransport) {
  struct Case {
    std::map<QString, QString> stored;
    QString box;
  };
  const Case cases[] = {
      {{{"MessageProtocol", "soap"}},
       "Error while trying to connect to server! The profile's message kind \"SOAP\" is not "
       "supported; edit the profile and choose BIN."},
      {{{"ServerProtocol", "ftp"}},
       "Error while trying to connect to server! The profile's protocol \"FTP\" is not "
       "supported; edit the profile and choose HTTP or TCP."},
      {{{"Port", "60oo"}},
       "Error while trying to connect to server! '60oo' is not a valid integer value"},
  };
  for (const Case& c : cases) {
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    StoreProfiles({"Odd"});
    {
      tovra::platform::RegistryStore store;
      ASSERT_TRUE(store.OpenKey(ProfilesKey + "Odd", false));
      for (const auto& [name, value] : c.stored)
        store.WriteString(name, value);
    }
    FakeConnector connector;
    TfrmUmClientLogin dialog(connector, nullptr);
    dialog.show();
    MessageBoxCatcher catcher;
    dialog.btnLogin->click();
    EXPECT_EQ(catcher.Texts(), QStringList{c.box});
    EXPECT_TRUE(connector.setups.empty());
    EXPECT_TRUE(connector.logins.empty());
    EXPECT_FALSE(dialog.LoginOK);
    EXPECT_TRUE(dialog.isVisible());
  }
}

TEST_F(LoginDialogTest, EnterLogsInFromThePasswordBoxOnly) {
  StoreProfiles({"Prod"});
  TfrmUmClientLogin dialog(connector_, nullptr);
  dialog.show();
  dialog.edUsername->setText("admin");
  QTest::keyClick(dialog.edUsername, Qt::Key_Return);
  EXPECT_TRUE(connector_.logins.empty());
  EXPECT_TRUE(dialog.isVisible());

  QTest::keyClick(dialog.edPassWord, Qt::Key_Enter);
  EXPECT_EQ(connector_.logins.size(), 1u);
  EXPECT_TRUE(dialog.LoginOK);
}

// The dialog ends only by a successful login or the close box; Esc, wherever the focus is,
// leaves it waiting.
TEST_F(LoginDialogTest, EscDoesNotCloseTheDialog) {
  struct Case {
    const char* name;
    bool log_in;  // else the close box
    int result;
  };
  const Case cases[] = {
      {"close box", false, QDialog::Rejected},
      {"login", true, QDialog::Accepted},
  };
  StoreProfiles({"Prod"});
  for (const Case& c : cases) {
    FakeConnector connector;
    TfrmUmClientLogin dialog(connector, nullptr);
    QStringList closed_by_esc;
    const int result = RunModal(dialog, [&] {
      ClickThroughWindow(dialog.btnProfiles);
      for (QWidget* focus : std::initializer_list<QWidget*>{dialog.edUsername, dialog.edPassWord,
                                                            dialog.cbxProfiles, dialog.btnLogin}) {
        KeyThroughWindow(focus, Qt::Key_Escape);
        if (!dialog.isVisible())
          closed_by_esc << focus->metaObject()->className();
      }
      if (c.log_in) {
        dialog.edUsername->setText("admin");
        dialog.edPassWord->setText("pw");
        KeyThroughWindow(dialog.edPassWord, Qt::Key_Return);
      } else {
        dialog.windowHandle()->close();
      }
    });
    EXPECT_TRUE(closed_by_esc.isEmpty())
        << c.name << ": " << closed_by_esc.join(", ").toStdString();
    EXPECT_EQ(result, c.result) << c.name;
    EXPECT_EQ(dialog.LoginOK, c.log_in) << c.name;
    EXPECT_EQ(connector.logins.size(), c.log_in ? 1u : 0u) << c.name;
  }
}

TEST_F(LoginDialogTest, TheCheckedProfileIsRememberedWhenTheDialogGoes) {
  StoreProfiles({"Prod", "Test"});
  WriteLastProfileName(ProfilesKey, "Prod");
  {
    TfrmUmClientLogin dialog(connector_, nullptr);
    dialog.show();
    dialog.cbxProfiles->setCurrentItem(Item(dialog, "Test"));
    QTest::keyClick(dialog.cbxProfiles, Qt::Key_Space);
    // Closing with the close box never calls the server.
    dialog.close();
    EXPECT_EQ(ReadLastProfileName(ProfilesKey), "Prod");
  }
  EXPECT_EQ(ReadLastProfileName(ProfilesKey), "Test");
  EXPECT_TRUE(connector_.logins.empty());

  DeleteClientConfig(ProfilesKey + "Prod");
  DeleteClientConfig(ProfilesKey + "Test");
  { TfrmUmClientLogin dialog(connector_, nullptr); }
  EXPECT_EQ(ReadLastProfileName(ProfilesKey), "");
}

// Profile editing runs the configuration dialog modally; a script plays the user.
class ProfileEditingTest : public LoginDialogTest {
 protected:
  static std::function<void(TfrmClientConfig&)> Type(const QString& name,
                                                     const QString& server = {}) {
    return [name, server](TfrmClientConfig& dialog) {
      EXPECT_EQ(frmClientConfig.data(), &dialog);
      EXPECT_TRUE(dialog.pnlProfileName->isVisible());
      dialog.edProfileName->setText(name);
      if (!server.isEmpty())
        dialog.edServerName->setText(server);
      dialog.btnAccept->click();
    };
  }
  static void Cancel(TfrmClientConfig& dialog) { dialog.btnCancel->click(); }

  static TClientConfig Stored(const QString& name) {
    TClientConfig config;
    ReadClientConfig(ProfilesKey + name, config);
    return config;
  }
};

TEST_F(ProfileEditingTest, NewStartsFromTheStartingRecordAndChecksTheNewProfile) {
  StoreProfiles({"Prod"});
  {
    tovra::platform::RegistryStore store;
    ASSERT_TRUE(store.OpenKey(ProfilesKey, true));
    store.WriteString("ServerName", "starting-host");
    store.WriteString("Port", "6100");
  }
  TfrmUmClientLogin dialog(connector_, nullptr);
  ModalScript script;
  script.On<TfrmClientConfig>([](TfrmClientConfig& config) {
    EXPECT_EQ(config.edProfileName->text(), "");
    EXPECT_EQ(config.edServerName->text(), "starting-host");
    EXPECT_EQ(config.edPort->text(), "6100");
    Type("Fresh")(config);
  });
  dialog.btnNewProfile->click();
  EXPECT_TRUE(script.Done());
  EXPECT_TRUE(frmClientConfig.isNull());
  EXPECT_EQ(Listed(dialog), (QStringList{"Fresh", "Prod"}));
  EXPECT_EQ(Checked(dialog), QStringList{"Fresh"});
  EXPECT_EQ(dialog.windowTitle(), "login profile: Fresh");
  EXPECT_EQ(Stored("Fresh").ServerName, "starting-host");
  EXPECT_EQ(Stored("Fresh").Port, 6100);
}

TEST_F(ProfileEditingTest, CancelledOrNamelessNewChangesNoListedProfile) {
  StoreProfiles({"Prod"});
  const TClientConfig prod = Stored("Prod");
  TfrmUmClientLogin dialog(connector_, nullptr);

  ModalScript cancel;
  cancel.On<TfrmClientConfig>(Cancel);
  dialog.btnNewProfile->click();
  EXPECT_TRUE(cancel.Done());
  EXPECT_EQ(Listed(dialog), QStringList{"Prod"});
  EXPECT_EQ(Checked(dialog), QStringList{"Prod"});
  EXPECT_EQ(Stored("Prod"), prod);

  // Without a name the values become the starting record of the next new profile.
  ModalScript nameless;
  nameless.On<TfrmClientConfig>(Type("", "nameless-host"));
  dialog.btnNewProfile->click();
  EXPECT_TRUE(nameless.Done());
  EXPECT_EQ(Listed(dialog), QStringList{"Prod"});
  EXPECT_EQ(Stored("").ServerName, "nameless-host");
  EXPECT_EQ(Stored("Prod"), prod);
}

TEST_F(ProfileEditingTest, EditRenamesTheProfile) {
  struct Case {
    const char* new_name;
    QStringList listed;
    QStringList checked;
  };
  const Case cases[] = {
      {"Live", {"Live", "Test"}, {"Live"}},
      // Letter case only: the same key, kept under its first spelling.
      {"PROD", {"Prod", "Test"}, {"Prod"}},
      // Onto another profile: its values are replaced, the old key goes.
      {"Test", {"Test"}, {"Test"}},
      // Cleared: the values move to the profiles key itself.
      {"", {"Test"}, {}},
  };
  for (const Case& c : cases) {
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    StoreProfiles({"Prod", "Test"});
    WriteLastProfileName(ProfilesKey, "Prod");
    TfrmUmClientLogin dialog(connector_, nullptr);
    ModalScript script;
    script.On<TfrmClientConfig>([](TfrmClientConfig& config) {
      EXPECT_EQ(config.edProfileName->text(), "Prod");
      EXPECT_EQ(config.edServerName->text(), "prod-host");
    });
    script.On<TfrmClientConfig>(Type(c.new_name, "edited-host"));
    // The first step only looks; the second types and accepts.
    dialog.btnEditProfile->click();
    EXPECT_TRUE(script.Done()) << c.new_name;
    EXPECT_EQ(Listed(dialog), c.listed) << c.new_name;
    EXPECT_EQ(Checked(dialog), c.checked) << c.new_name;
    EXPECT_EQ(Stored(c.new_name).ServerName, "edited-host") << c.new_name;
    EXPECT_EQ(dialog.CurrentConfig.ProfileName, c.new_name);
  }
}

TEST_F(ProfileEditingTest, CancelledEditKeepsTheProfile) {
  StoreProfiles({"Prod"});
  const TClientConfig prod = Stored("Prod");
  TfrmUmClientLogin dialog(connector_, nullptr);
  ModalScript script;
  script.On<TfrmClientConfig>([](TfrmClientConfig& config) {
    config.edProfileName->setText("Other");
    config.btnCancel->click();
  });
  dialog.btnEditProfile->click();
  EXPECT_TRUE(script.Done());
  EXPECT_EQ(Listed(dialog), QStringList{"Prod"});
  EXPECT_EQ(Checked(dialog), QStringList{"Prod"});
  EXPECT_EQ(Stored("Prod"), prod);
}

// A stored port that is no number, met by "edit" (the checked profile) or "new" (the
// starting record under the profiles key) in the running dialog: the conversion's message
// shows in the error box, no configuration dialog opens, nothing is written, and the login
// dialog waits as before.
TEST_F(ProfileEditingTest, ADamagedStoredProfileIsShownAndNothingIsWritten) {
  struct Case {
    const char* name;
    QString damaged_key;
    QPushButton* TfrmUmClientLogin::*button;
  };
  const Case cases[] = {
      {"edit", ProfilesKey + "Odd\\", &TfrmUmClientLogin::btnEditProfile},
      {"new", ProfilesKey, &TfrmUmClientLogin::btnNewProfile},
  };
  for (const Case& c : cases) {
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    StoreProfiles({"Odd", "Prod"});
    WriteLastProfileName(ProfilesKey, "Odd");
    {
      tovra::platform::RegistryStore store;
      ASSERT_TRUE(store.OpenKey(c.damaged_key, true));
      store.WriteString("Port", "60oo");
    }
    const QStringList stored = StoreSnapshot(ProfilesKey);
    ASSERT_TRUE(stored.contains(c.damaged_key + "Port=60oo")) << stored.join("\n").toStdString();

    FakeConnector connector;
    TfrmUmClientLogin dialog(connector, nullptr);
    MessageBoxCatcher catcher;
    ModalScript config_dialog;
    config_dialog.On<TfrmClientConfig>(Cancel);
    bool open_after_error = false;
    QStringList stored_after, listed_after, checked_after;
    const int result = RunModal(dialog, [&] {
      ClickThroughWindow(dialog.btnProfiles);
      ClickThroughWindow(dialog.*c.button);
      open_after_error = dialog.isVisible();
      stored_after = StoreSnapshot(ProfilesKey);
      listed_after = Listed(dialog);
      checked_after = Checked(dialog);
      dialog.windowHandle()->close();
    });
    EXPECT_EQ(catcher.Texts(), QStringList{"'60oo' is not a valid integer value"}) << c.name;
    ASSERT_EQ(catcher.boxes.size(), 1u) << c.name;
    EXPECT_EQ(catcher.boxes[0].title, kProgramTitle) << c.name;
    EXPECT_EQ(catcher.boxes[0].icon, QMessageBox::Critical) << c.name;
    EXPECT_TRUE(open_after_error) << c.name;
    EXPECT_FALSE(config_dialog.Done()) << c.name << ": the configuration dialog opened";
    EXPECT_EQ(stored_after, stored) << c.name;
    EXPECT_EQ(listed_after, (QStringList{"Odd", "Prod"})) << c.name;
    EXPECT_EQ(checked_after, QStringList{"Odd"}) << c.name;
    EXPECT_EQ(dialog.CurrentConfig, TClientConfig{}) << c.name;
    EXPECT_EQ(result, QDialog::Rejected) << c.name;
    EXPECT_FALSE(dialog.LoginOK) << c.name;
  }
}

TEST_F(ProfileEditingTest, DeleteRemovesTheCheckedProfileAndChecksTheFirst) {
  StoreProfiles({"Prod", "Test"});
  WriteLastProfileName(ProfilesKey, "Test");
  TfrmUmClientLogin dialog(connector_, nullptr);
  dialog.btnDeleteProfile->click();
  EXPECT_EQ(Listed(dialog), QStringList{"Prod"});
  EXPECT_EQ(Checked(dialog), QStringList{"Prod"});
  EXPECT_EQ(dialog.windowTitle(), "login profile: Prod");
  EXPECT_EQ(ReadProfileNames(ProfilesKey), QStringList{"Prod"});

  dialog.btnDeleteProfile->click();
  EXPECT_TRUE(Listed(dialog).isEmpty());
  EXPECT_EQ(dialog.windowTitle(), "login");
}

TEST_F(ProfileEditingTest, EditAndDeleteWithNothingCheckedDoNothing) {
  StoreProfiles({"Prod"});
  WriteLastProfileName(ProfilesKey, "Gone");
  const TClientConfig prod = Stored("Prod");
  TfrmUmClientLogin dialog(connector_, nullptr);
  ASSERT_TRUE(Checked(dialog).isEmpty());
  ModalScript script;
  script.On<TfrmClientConfig>(Cancel);
  dialog.btnEditProfile->click();
  dialog.btnDeleteProfile->click();
  EXPECT_FALSE(script.Done());  // no configuration dialog was opened
  EXPECT_EQ(ReadProfileNames(ProfilesKey), QStringList{"Prod"});
  EXPECT_EQ(Stored("Prod"), prod);
}

}  // namespace
