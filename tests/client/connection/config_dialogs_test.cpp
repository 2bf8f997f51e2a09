#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QToolButton>
#include <cstdlib>

#include "client/connection/client_config_dialog.h"
#include "client/connection/proxy_config_dialog.h"
#include "qt_test_support.h"

namespace {

using namespace tovra::client;
using namespace tovra::client::testing_support;

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

const QString kPortWarning = QStringLiteral(
    "The port must be changed after the first start on this computer.\n"
    "Please choose a port-number > 0.");

// A profile that differs from the defaults in every field.
TClientConfig Stored() {
  TClientConfig config;
  config.ProfileName = "Prod";
  config.ServerName = "db.example";
  config.ServerProtocol = "TCP";
  config.MessageProtocol = "BIN";
  config.UseCompression = 0;
  config.EncryptionMethod = "BLOWFISH";
  config.Port = 7010;
  config.UseProxy = 1;
  config.ProxyServer = "proxy";
  config.ProxyPort = 3128;
  config.ProxyUser = "jo";
  config.ProxyPassword = "pw";
  config.AllowSavingProxyPassword = 1;
  return config;
}

using ClientConfigTest = DialogTest;

TEST_F(ClientConfigTest, ShowsTheLoadedProfile) {
  TfrmClientConfig dialog(nullptr);
  EXPECT_EQ(dialog.windowTitle(), QString::fromUtf8("TOVRA! \u00AE Configuration"));
  EXPECT_FALSE(dialog.buMoreOptions->isEnabled());
  for (QRadioButton* disabled : {dialog.rbUDP, dialog.rbPost, dialog.rbSoap}) {
    EXPECT_FALSE(disabled->isEnabled()) << disabled->text().toStdString();
  }
  dialog.LoadConfig(Stored());
  dialog.ShowProfileName(true);
  dialog.show();
  EXPECT_TRUE(dialog.pnlProfileName->isVisible());
  EXPECT_EQ(dialog.edProfileName->text(), "Prod");
  EXPECT_EQ(dialog.edServerName->text(), "db.example");
  EXPECT_EQ(dialog.edPort->text(), "7010");
  EXPECT_TRUE(dialog.rbTCP->isChecked());
  EXPECT_TRUE(dialog.rbBin->isChecked());
  // Shown as the store delivers it, even though no item is spelt so.
  EXPECT_EQ(dialog.cbEncryption->currentText(), "BLOWFISH");
  EXPECT_FALSE(dialog.cbCompression->isChecked());
  EXPECT_TRUE(dialog.cbUseProxy->isChecked());
  EXPECT_TRUE(dialog.btnProxyConfig->isVisible());
  EXPECT_EQ(dialog.GetConfig(), Stored());
}

TEST_F(ClientConfigTest, DefaultButtonResetsEverythingButTheTypedName) {
  TfrmClientConfig dialog(nullptr);
  dialog.LoadConfig(Stored());
  dialog.ShowProfileName(true);
  dialog.show();
  dialog.edProfileName->setText("Typed");
  dialog.btnDefault->click();

  EXPECT_EQ(dialog.edServerName->text(), "127.0.0.1");
  EXPECT_EQ(dialog.edPort->text(), "6000");
  EXPECT_TRUE(dialog.rbHTTP->isChecked());
  EXPECT_TRUE(dialog.rbBin->isChecked());
  EXPECT_EQ(dialog.cbEncryption->currentText(), "None");
  EXPECT_TRUE(dialog.cbCompression->isChecked());
  EXPECT_FALSE(dialog.cbUseProxy->isChecked());
  EXPECT_FALSE(dialog.btnProxyConfig->isVisible());
  EXPECT_EQ(dialog.edProfileName->text(), "Typed");
  TClientConfig expected;
  SetDefaultConfig(expected);
  expected.ProfileName = "Typed";
  EXPECT_EQ(dialog.GetConfig(), expected);
  // Enter must not reach "default": only "accept" is the dialog's default button.
  EXPECT_TRUE(dialog.btnAccept->isDefault());
  EXPECT_FALSE(dialog.btnDefault->autoDefault());
}

TEST_F(ClientConfigTest, AcceptTakesTheTypedValues) {
  TfrmClientConfig dialog(nullptr);
  dialog.LoadConfig(Stored());
  dialog.ShowProfileName(true);
  dialog.show();
  dialog.edProfileName->setText("Renamed");
  dialog.edServerName->setText("other-host");
  dialog.edPort->setText("6001");
  dialog.cbEncryption->setCurrentText("AES");  // not an item: taken as typed
  dialog.cbCompression->setChecked(true);
  dialog.rbHTTP->click();
  dialog.btnAccept->click();

  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  TClientConfig expected = Stored();
  expected.ProfileName = "Renamed";
  expected.ServerName = "other-host";
  expected.Port = 6001;
  expected.EncryptionMethod = "AES";
  expected.UseCompression = 1;
  expected.ServerProtocol = "HTTP";
  EXPECT_EQ(dialog.GetConfig(), expected);
}

TEST_F(ClientConfigTest, AcceptRefusesABadPortAndKeepsConfig) {
  struct Case {
    const char* port;
    const char* name;
    QString box;
    QMessageBox::Icon icon;
  };
  const Case cases[] = {
      {"0", "Prod", kPortWarning, QMessageBox::Warning},
      {"-6000", "Prod", kPortWarning, QMessageBox::Warning},
      {"6000", "Prod\\Test",
       "A profile name cannot contain a backslash (\\).\nPlease choose another name.",
       QMessageBox::Warning},
      // No number: the conversion's own message, in the application's error box.
      {"60o0", "Prod", "'60o0' is not a valid integer value", QMessageBox::Critical},
      {"", "Prod", "'' is not a valid integer value", QMessageBox::Critical},
      {"99999999999", "Prod", "'99999999999' is not a valid integer value", QMessageBox::Critical},
  };
  for (const Case& c : cases) {
    TfrmClientConfig dialog(nullptr);
    dialog.LoadConfig(Stored());
    dialog.ShowProfileName(true);
    MessageBoxCatcher catcher;
    bool open_after_accept = false;
    bool port_selected = false;
    const int result = RunModal(dialog, [&] {
      dialog.edServerName->setText("changed");
      dialog.edProfileName->setText(c.name);
      dialog.edPort->setText(c.port);
      ClickThroughWindow(dialog.btnAccept);
      open_after_accept = dialog.isVisible();
      port_selected = dialog.focusWidget() == dialog.edPort &&
                      dialog.edPort->selectedText() == dialog.edPort->text();
      // Enter in the port box is the same accept.
      KeyThroughWindow(dialog.edPort, Qt::Key_Return);
      open_after_accept = open_after_accept && dialog.isVisible();
      ClickThroughWindow(dialog.btnCancel);
    });
    EXPECT_TRUE(open_after_accept) << c.port;
    // A port that is no number is selected for typing over.
    if (c.icon == QMessageBox::Critical) {
      EXPECT_TRUE(port_selected) << c.port;
    }
    EXPECT_EQ(result, QDialog::Rejected) << c.port;
    EXPECT_EQ(catcher.Texts(), QStringList({c.box, c.box})) << c.port;
    for (const auto& box : catcher.boxes) {
      EXPECT_EQ(box.icon, c.icon) << c.port;
      if (c.icon == QMessageBox::Critical) {
        EXPECT_EQ(box.title, kProgramTitle) << c.port;
      }
    }
    EXPECT_EQ(dialog.GetConfig(), Stored()) << c.port;
  }
}

TEST_F(ClientConfigTest, ChoicesTheUserCannotMakeAreShownAndKept) {
  struct Case {
    const char* protocol;
    const char* message;
    QRadioButton* TfrmClientConfig::*protocol_button;
    QRadioButton* TfrmClientConfig::*message_button;
  };
  const Case cases[] = {
      {"HTTP", "POST", &TfrmClientConfig::rbHTTP, &TfrmClientConfig::rbPost},
      {"TCP", "SOAP", &TfrmClientConfig::rbTCP, &TfrmClientConfig::rbSoap},
      {"UDP", "BIN", &TfrmClientConfig::rbUDP, &TfrmClientConfig::rbBin},
      // Unknown texts leave the design choice checked and pass through untouched.
      {"FTP", "XML", &TfrmClientConfig::rbHTTP, &TfrmClientConfig::rbBin},
  };
  for (const Case& c : cases) {
    TfrmClientConfig dialog(nullptr);
    TClientConfig config = Stored();
    config.ServerProtocol = c.protocol;
    config.MessageProtocol = c.message;
    dialog.LoadConfig(config);
    dialog.show();
    EXPECT_TRUE((dialog.*c.protocol_button)->isChecked()) << c.protocol;
    EXPECT_TRUE((dialog.*c.message_button)->isChecked()) << c.message;
    dialog.btnAccept->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.GetConfig().ServerProtocol, c.protocol);
    EXPECT_EQ(dialog.GetConfig().MessageProtocol, c.message);
  }
}

TEST_F(ClientConfigTest, ProxyCheckBoxHidesTheButtonButKeepsTheProxyValues) {
  TfrmClientConfig dialog(nullptr);
  dialog.LoadConfig(Stored());
  dialog.show();
  dialog.cbUseProxy->click();
  EXPECT_FALSE(dialog.btnProxyConfig->isVisible());
  dialog.btnAccept->click();
  TClientConfig expected = Stored();
  expected.UseProxy = 0;
  EXPECT_EQ(dialog.GetConfig(), expected);

  dialog.cbUseProxy->click();
  EXPECT_FALSE(dialog.btnProxyConfig->isHidden());
  EXPECT_TRUE(dialog.btnProxyConfig->isEnabled());
  EXPECT_EQ(dialog.GetConfig().UseProxy, 1);
}

TEST_F(ClientConfigTest, ProxyDialogChangesConfigOnlyWhenAccepted) {
  TfrmClientConfig dialog(nullptr);
  dialog.LoadConfig(Stored());
  dialog.show();

  ModalScript cancel;
  cancel.On<TfrmProxyConfig>([](TfrmProxyConfig& proxy) {
    EXPECT_EQ(frmProxyConfig.data(), &proxy);
    proxy.edProxyServer->setText("ignored");
    proxy.btnCancel->click();
  });
  dialog.btnProxyConfig->click();
  EXPECT_TRUE(cancel.Done());
  EXPECT_EQ(dialog.GetConfig(), Stored());
  EXPECT_TRUE(frmProxyConfig.isNull());

  ModalScript accept;
  accept.On<TfrmProxyConfig>([](TfrmProxyConfig& proxy) {
    EXPECT_EQ(proxy.edProxyServer->text(), "proxy");
    EXPECT_EQ(proxy.edProxyPassword->text(), "pw");
    proxy.edProxyServer->setText("proxy2");
    proxy.edProxyPort->setText("8080");
    proxy.edProxyUser->setText("ann");
    proxy.edProxyPassword->setText("secret");
    proxy.cbAllowSavingPassword->setChecked(false);
    proxy.btnAccept->click();
  });
  dialog.btnProxyConfig->click();
  EXPECT_TRUE(accept.Done());
  TClientConfig expected = Stored();
  expected.ProxyServer = "proxy2";
  expected.ProxyPort = 8080;
  expected.ProxyUser = "ann";
  expected.ProxyPassword = "secret";
  expected.AllowSavingProxyPassword = 0;
  EXPECT_EQ(dialog.GetConfig(), expected);
  EXPECT_TRUE(frmProxyConfig.isNull());
}

// A proxy port that is no number, typed by a user in the proxy dialog run from the
// configuration dialog: both stay open, the error box shows the conversion's message, and
// nothing reaches the profile until the port is put right.
TEST_F(ClientConfigTest, ABadProxyPortIsShownAndNothingIsTakenOver) {
  TfrmClientConfig dialog(nullptr);
  dialog.LoadConfig(Stored());
  MessageBoxCatcher catcher;
  bool proxy_open_after_error = false;
  bool typed_values_kept = false;
  TClientConfig config_after_error;
  TClientConfig config_after_fix;
  ModalScript script;
  script.On<TfrmProxyConfig>([&](TfrmProxyConfig& proxy) {
    EXPECT_TRUE(QTest::qWaitForWindowActive(&proxy));
    proxy.edProxyServer->setText("proxy3");
    proxy.edProxyPort->setText("80a");
    proxy.edProxyUser->setText("ann");
    ClickThroughWindow(proxy.btnAccept);
    proxy_open_after_error = proxy.isVisible();
    typed_values_kept =
        proxy.edProxyServer->text() == "proxy3" && proxy.edProxyUser->text() == "ann";
    config_after_error = dialog.GetConfig();
    proxy.edProxyPort->setText("8080");
    ClickThroughWindow(proxy.btnAccept);
  });
  bool config_open = false;
  const int result = RunModal(dialog, [&] {
    ClickThroughWindow(dialog.btnProxyConfig);
    config_open = dialog.isVisible();
    config_after_fix = dialog.GetConfig();
    ClickThroughWindow(dialog.btnCancel);
  });
  EXPECT_TRUE(script.Done());
  EXPECT_EQ(catcher.Texts(), QStringList{"'80a' is not a valid integer value"});
  ASSERT_EQ(catcher.boxes.size(), 1u);
  EXPECT_EQ(catcher.boxes[0].title, kProgramTitle);
  EXPECT_EQ(catcher.boxes[0].icon, QMessageBox::Critical);
  EXPECT_TRUE(proxy_open_after_error);
  EXPECT_TRUE(typed_values_kept);
  EXPECT_EQ(config_after_error, Stored());
  EXPECT_TRUE(config_open);
  TClientConfig fixed = Stored();
  fixed.ProxyServer = "proxy3";
  fixed.ProxyPort = 8080;
  fixed.ProxyUser = "ann";
  EXPECT_EQ(config_after_fix, fixed);
  EXPECT_EQ(result, QDialog::Rejected);
  EXPECT_TRUE(frmProxyConfig.isNull());
}

using ProxyConfigTest = DialogTest;

TEST_F(ProxyConfigTest, PasswordIsShownOnlyWhenItMayBeSaved) {
  for (std::int32_t allow : {1, 0, 2}) {
    TfrmProxyConfig dialog(nullptr);
    EXPECT_EQ(dialog.windowTitle(), "proxy configuration");
    EXPECT_EQ(dialog.size(), QSize(246, 230));
    EXPECT_EQ(dialog.edProxyPassword->echoMode(), QLineEdit::Password);
    TClientConfig config = Stored();
    config.AllowSavingProxyPassword = allow;
    dialog.LoadConfig(config);
    EXPECT_EQ(dialog.edProxyServer->text(), "proxy");
    EXPECT_EQ(dialog.edProxyPort->text(), "3128");
    EXPECT_EQ(dialog.edProxyUser->text(), "jo");
    EXPECT_EQ(dialog.edProxyPassword->text(), allow == 1 ? "pw" : "") << allow;
    EXPECT_EQ(dialog.cbAllowSavingPassword->isChecked(), allow == 1) << allow;
    // Accepting as shown: the other fields of the profile pass through.
    TClientConfig expected = config;
    expected.ProxyPassword = allow == 1 ? "pw" : "";
    expected.AllowSavingProxyPassword = allow == 1 ? 1 : 0;
    EXPECT_EQ(dialog.GetConfig(), expected);
  }
}

TEST_F(ProxyConfigTest, GetConfigRaisesForABadPortAndKeepsConfig) {
  TfrmProxyConfig dialog(nullptr);
  dialog.LoadConfig(Stored());
  dialog.edProxyServer->setText("proxy3");
  dialog.edProxyPort->setText("80a");
  EXPECT_THROW(dialog.GetConfig(), ConversionError);
  EXPECT_EQ(dialog.Config, Stored());
}

TEST(ParseProxySettingTest, SplitsHostAndPort) {
  struct Case {
    const char* text;
    const char* server;
    std::int32_t port;
  };
  const Case cases[] = {
      {"proxy.example:3128", "proxy.example", 3128},
      {"10.0.0.1:8080", "10.0.0.1", 8080},
      {"proxy.example", "", 0},
      {"", "", 0},
      {"proxy:abc", "proxy", 0},
      {"proxy:", "proxy", 0},
      {"http://proxy:3128", "proxy", 3128},
      {"http://proxy:3128/", "proxy", 3128},
      {"http=web:80;https=secure:443;ftp=files:21", "web", 80},
      {"https=secure:443;HTTP=web:8000", "web", 8000},
      {"http=http://web:81", "web", 81},
      {"https=secure:443;ftp=files:21", "", 0},
  };
  for (const Case& c : cases) {
    QString server = "stale";
    std::int32_t port = -1;
    ParseProxySetting(c.text, server, port);
    EXPECT_EQ(server, c.server) << c.text;
    EXPECT_EQ(port, c.port) << c.text;
  }
}

TEST_F(ProxyConfigTest, StandardSettingsFillServerAndPortOnly) {
  for (const char* name :
       {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
    unsetenv(name);
  }
  TfrmProxyConfig dialog(nullptr);
  dialog.LoadConfig(Stored());

  setenv("http_proxy", "http://system-proxy.test:3129", 1);
  dialog.BitBtn1->click();
  EXPECT_EQ(dialog.edProxyServer->text(), "system-proxy.test");
  EXPECT_EQ(dialog.edProxyPort->text(), "3129");
  EXPECT_EQ(dialog.edProxyUser->text(), "jo");
  EXPECT_EQ(dialog.edProxyPassword->text(), "pw");

  unsetenv("http_proxy");
  dialog.BitBtn1->click();
  EXPECT_EQ(dialog.edProxyServer->text(), "");
  EXPECT_EQ(dialog.edProxyPort->text(), "0");
}

}  // namespace
