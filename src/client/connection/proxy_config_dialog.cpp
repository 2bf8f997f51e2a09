#include "client/connection/proxy_config_dialog.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

#include "platform/system_proxy.h"

namespace tovra::client {

QString GetSystemProxy() {
  return platform::GetSystemProxy();
}

void ParseProxySetting(const QString& text, QString& server, std::int32_t& port) {
  server.clear();
  port = 0;
  QString setting = text.trimmed();
  // Windows may list a proxy per protocol: "http=h:1;https=h:2;ftp=h:3". This program only
  // speaks HTTP to its server, so the http entry is the one that applies; a list without
  // one gives no proxy.
  if (setting.contains(u'=')) {
    QString http_entry;
    for (const QString& entry :
         setting.split(QRegularExpression(QStringLiteral("[;\\s]+")), Qt::SkipEmptyParts)) {
      if (entry.startsWith(QStringLiteral("http="), Qt::CaseInsensitive)) {
        http_entry = entry.mid(5);
        break;
      }
    }
    setting = http_entry;
  }
  // An address may come with its scheme ("http://host:port"); the host starts after it.
  if (setting.startsWith(QStringLiteral("http://"), Qt::CaseInsensitive)) {
    setting = setting.mid(7);
  }
  const qsizetype colon = setting.indexOf(u':');
  if (colon < 0) {
    return;
  }
  server = setting.left(colon);
  QString port_text = setting.mid(colon + 1);
  if (port_text.endsWith(u'/')) {
    port_text.chop(1);
  }
  try {
    port = StrToInt(port_text);
  } catch (const ConversionError&) {
    port = 0;
  }
}

TfrmProxyConfig::TfrmProxyConfig(QWidget* owner) : QDialog(owner) {
  CreateControls();
}

void TfrmProxyConfig::CreateControls() {
  setWindowTitle(QStringLiteral("proxy configuration"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);

  BitBtn1 = new QPushButton(QStringLiteral("load standard proxy settings"), this);
  BitBtn1->setAutoDefault(false);

  Label1 = new QLabel(QStringLiteral("Server:"), this);
  edProxyServer = new QLineEdit(this);
  Label2 = new QLabel(QStringLiteral("Port:"), this);
  edProxyPort = new QLineEdit(this);
  Label3 = new QLabel(QStringLiteral("Username:"), this);
  edProxyUser = new QLineEdit(this);
  Label4 = new QLabel(QStringLiteral("Password:"), this);
  edProxyPassword = new QLineEdit(this);
  edProxyPassword->setEchoMode(QLineEdit::Password);
  cbAllowSavingPassword = new QCheckBox(QStringLiteral("allow saving password"), this);
  cbAllowSavingPassword->setChecked(true);

  btnCancel = new QPushButton(QStringLiteral("cancel"), this);
  btnCancel->setAutoDefault(false);
  btnAccept = new QPushButton(QStringLiteral("accept"), this);
  btnAccept->setDefault(true);

  Label1->setBuddy(edProxyServer);
  Label2->setBuddy(edProxyPort);
  Label3->setBuddy(edProxyUser);
  Label4->setBuddy(edProxyPassword);

  auto* fields = new QFormLayout;
  fields->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  fields->addRow(Label1, edProxyServer);
  fields->addRow(Label2, edProxyPort);
  fields->addRow(Label3, edProxyUser);
  fields->addRow(Label4, edProxyPassword);
  // Spans both columns: under the edit boxes alone the caption would be cut off.
  fields->addRow(cbAllowSavingPassword);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnCancel);
  buttons->addWidget(btnAccept);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(BitBtn1);
  layout->addLayout(fields);
  layout->addStretch();
  layout->addLayout(buttons);

  setFixedSize(246, 230);

  connect(BitBtn1, &QPushButton::clicked, this, [this] { btnGetProxySettingsClick(); });
  connect(btnAccept, &QPushButton::clicked, this, [this] { btnAcceptClick(); });
  connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });
}

void TfrmProxyConfig::LoadConfig(const TClientConfig& config) {
  Config = config;
  edProxyServer->setText(Config.ProxyServer);
  edProxyServer->setCursorPosition(0);
  edProxyPort->setText(QString::number(Config.ProxyPort));
  edProxyUser->setText(Config.ProxyUser);
  const bool allow_saving = Config.AllowSavingProxyPassword == 1;
  edProxyPassword->setText(allow_saving ? Config.ProxyPassword : QString());
  cbAllowSavingPassword->setChecked(allow_saving);
}

TClientConfig TfrmProxyConfig::GetConfig() {
  // Convert first, so that a bad port leaves Config as it was.
  const std::int32_t port = StrToInt(edProxyPort->text());
  Config.ProxyServer = edProxyServer->text();
  Config.ProxyPort = port;
  Config.ProxyUser = edProxyUser->text();
  Config.ProxyPassword = edProxyPassword->text();
  Config.AllowSavingProxyPassword = cbAllowSavingPassword->isChecked() ? 1 : 0;
  return Config;
}

void TfrmProxyConfig::btnGetProxySettingsClick() {
  QString server;
  std::int32_t port = 0;
  ParseProxySetting(GetSystemProxy(), server, port);
  edProxyServer->setText(server);
  edProxyPort->setText(QString::number(port));
}

void TfrmProxyConfig::btnAcceptClick() {
  // Converted before closing, as GetConfig will: a port that is no number raises here and
  // the dialog stays open with everything typed in it, instead of closing and losing it.
  try {
    static_cast<void>(StrToInt(edProxyPort->text()));
  } catch (const ConversionError&) {
    // The error box quotes only the text; the selection shows where it was typed.
    edProxyPort->setFocus();
    edProxyPort->selectAll();
    throw;
  }
  accept();
}

void TfrmProxyConfig::btnCancelClick() {
  reject();
}

}  // namespace tovra::client
