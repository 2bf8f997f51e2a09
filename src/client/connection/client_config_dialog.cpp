#include "client/connection/client_config_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>

#include "client/connection/proxy_config_dialog.h"

namespace tovra::client {

namespace {

constexpr int kClientWidth = 322;
// Height without and with the profile-name row.
constexpr int kHeight = 220;
constexpr int kHeightWithProfileName = 250;

QFrame* NewPanel(QWidget* parent) {
  auto* panel = new QFrame(parent);
  panel->setFrameShape(QFrame::NoFrame);
  return panel;
}

}  // namespace

TfrmClientConfig::TfrmClientConfig(QWidget* owner) : QDialog(owner) {
  CreateControls();
  FormCreate();
}

void TfrmClientConfig::CreateControls() {
  setWindowTitle(QStringLiteral("TOVRA! \u00AE Configuration"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);

  // Profile name.
  pnlProfileName = NewPanel(this);
  lblProfileName = new QLabel(QStringLiteral("Profile Name:"), pnlProfileName);
  edProfileName = new QLineEdit(pnlProfileName);
  lblProfileName->setBuddy(edProfileName);

  // Server.
  Panel3 = NewPanel(this);
  lblServerName = new QLabel(QStringLiteral("Servername:"), Panel3);
  edServerName = new QLineEdit(Panel3);
  lblServerName->setBuddy(edServerName);
  buMoreOptions = new QPushButton(QStringLiteral("more options"), Panel3);
  buMoreOptions->setEnabled(false);
  buMoreOptions->setAutoDefault(false);

  // Protocol, port and proxy.
  pnlServerProtocol = NewPanel(this);
  lblServerProtocol = new QLabel(QStringLiteral("Protocol:"), pnlServerProtocol);
  rbHTTP = new QRadioButton(QStringLiteral("HTTP"), pnlServerProtocol);
  rbHTTP->setChecked(true);
  rbTCP = new QRadioButton(QStringLiteral("TCP"), pnlServerProtocol);
  rbUDP = new QRadioButton(QStringLiteral("UDP"), pnlServerProtocol);
  rbUDP->setEnabled(false);
  lblPort = new QLabel(QStringLiteral("Port:"), pnlServerProtocol);
  edPort = new QLineEdit(QStringLiteral("0"), pnlServerProtocol);
  lblPort->setBuddy(edPort);
  cbUseProxy = new QCheckBox(QStringLiteral("use  proxy:"), pnlServerProtocol);
  // The caption stands left of the box.
  cbUseProxy->setLayoutDirection(Qt::RightToLeft);
  btnProxyConfig = new QToolButton(pnlServerProtocol);
  btnProxyConfig->setText(QStringLiteral("..."));
  btnProxyConfig->setToolTip(QStringLiteral("set proxy configuration"));
  // Hiding the button must not shift the row.
  QSizePolicy keep_place = btnProxyConfig->sizePolicy();
  keep_place.setRetainSizeWhenHidden(true);
  btnProxyConfig->setSizePolicy(keep_place);

  // Message kind.
  pnlMessageProtocol = NewPanel(this);
  pnlMessageProtocol->setFrameShape(QFrame::StyledPanel);
  lblMessageProtocol = new QLabel(QStringLiteral("Message:"), pnlMessageProtocol);
  rbBin = new QRadioButton(QStringLiteral("BIN"), pnlMessageProtocol);
  rbBin->setChecked(true);
  rbPost = new QRadioButton(QStringLiteral("POST"), pnlMessageProtocol);
  rbPost->setEnabled(false);
  rbSoap = new QRadioButton(QStringLiteral("SOAP"), pnlMessageProtocol);
  rbSoap->setEnabled(false);

  // Encryption and compression.
  Panel4 = NewPanel(this);
  Label1 = new QLabel(QStringLiteral("Encryption:"), Panel4);
  cbEncryption = new QComboBox(Panel4);
  cbEncryption->setEditable(true);
  // A typed name is taken as typed and never added to the list.
  cbEncryption->setInsertPolicy(QComboBox::NoInsert);
  cbEncryption->addItems({QStringLiteral("DES"), QStringLiteral("Blowfish"),
                          QStringLiteral("TwoFish"), QStringLiteral("Rijndael"),
                          QStringLiteral("None")});
  cbEncryption->setCurrentText(QStringLiteral("None"));
  Label1->setBuddy(cbEncryption);
  cbCompression = new QCheckBox(QStringLiteral("Use Compression"), Panel4);
  cbCompression->setChecked(true);

  // Buttons. Only "accept" answers Enter: "default" would throw the typed values away.
  Panel1 = NewPanel(this);
  btnDefault = new QPushButton(QStringLiteral("default"), Panel1);
  btnDefault->setAutoDefault(false);
  btnCancel = new QPushButton(QStringLiteral("cancel"), Panel1);
  btnCancel->setAutoDefault(false);
  btnAccept = new QPushButton(QStringLiteral("accept"), Panel1);
  btnAccept->setDefault(true);

  // Layouts. The labels of the first column share one width so the edit boxes line up.
  const int label_width = std::max({lblProfileName->sizeHint().width(),
                                    lblServerName->sizeHint().width(), Label1->sizeHint().width()});
  for (QLabel* label : {lblProfileName, lblServerName, Label1}) {
    label->setFixedWidth(label_width);
  }

  auto* profile_row = new QHBoxLayout(pnlProfileName);
  profile_row->setContentsMargins(0, 0, 0, 0);
  profile_row->addWidget(lblProfileName);
  profile_row->addWidget(edProfileName, 1);

  auto* server_row = new QHBoxLayout(Panel3);
  server_row->setContentsMargins(0, 0, 0, 0);
  server_row->addWidget(lblServerName);
  server_row->addWidget(edServerName, 1);
  server_row->addWidget(buMoreOptions);

  auto* protocol_grid = new QGridLayout(pnlServerProtocol);
  protocol_grid->setContentsMargins(0, 0, 0, 0);
  protocol_grid->addWidget(lblServerProtocol, 0, 0);
  auto* protocol_buttons = new QHBoxLayout;
  protocol_buttons->addWidget(rbHTTP);
  protocol_buttons->addWidget(rbTCP);
  protocol_buttons->addWidget(rbUDP);
  protocol_buttons->addStretch();
  protocol_grid->addLayout(protocol_buttons, 0, 1);
  protocol_grid->addWidget(lblPort, 1, 0);
  auto* port_row = new QHBoxLayout;
  edPort->setMaximumWidth(70);
  port_row->addWidget(edPort);
  port_row->addStretch();
  protocol_grid->addLayout(port_row, 1, 1);
  auto* proxy_row = new QHBoxLayout;
  proxy_row->addWidget(cbUseProxy);
  proxy_row->addWidget(btnProxyConfig);
  proxy_row->addStretch();
  protocol_grid->addLayout(proxy_row, 2, 0, 1, 2);

  auto* message_column = new QVBoxLayout(pnlMessageProtocol);
  message_column->setContentsMargins(6, 4, 6, 4);
  message_column->setSpacing(2);
  message_column->addWidget(lblMessageProtocol);
  message_column->addWidget(rbBin);
  message_column->addWidget(rbPost);
  message_column->addWidget(rbSoap);

  auto* protocol_row = new QHBoxLayout;
  protocol_row->addWidget(pnlServerProtocol, 1);
  protocol_row->addWidget(pnlMessageProtocol);

  auto* encryption_row = new QHBoxLayout(Panel4);
  encryption_row->setContentsMargins(0, 0, 0, 0);
  encryption_row->addWidget(Label1);
  encryption_row->addWidget(cbEncryption, 1);
  encryption_row->addWidget(cbCompression);

  auto* button_row = new QHBoxLayout(Panel1);
  button_row->setContentsMargins(0, 0, 0, 0);
  button_row->addWidget(btnDefault);
  button_row->addStretch();
  button_row->addWidget(btnCancel);
  button_row->addWidget(btnAccept);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 8, 8, 8);
  layout->addWidget(pnlProfileName);
  layout->addWidget(Panel3);
  layout->addLayout(protocol_row);
  layout->addWidget(Panel4);
  layout->addStretch();
  layout->addWidget(Panel1);

  setFixedWidth(kClientWidth);

  for (QRadioButton* button : {rbHTTP, rbTCP, rbUDP}) {
    connect(button, &QRadioButton::toggled, this, [this, button](bool checked) {
      if (checked)
        rbProtocolClick(button);
    });
  }
  for (QRadioButton* button : {rbBin, rbPost, rbSoap}) {
    connect(button, &QRadioButton::toggled, this, [this, button](bool checked) {
      if (checked)
        rbMessageClick(button);
    });
  }
  connect(cbUseProxy, &QCheckBox::toggled, this, [this] { cbUseProxyClick(); });
  connect(btnProxyConfig, &QToolButton::clicked, this, [this] { btnProxyConfigClick(); });
  connect(btnDefault, &QPushButton::clicked, this, [this] { btnDefaultClick(); });
  connect(btnAccept, &QPushButton::clicked, this, [this] { btnAcceptClick(); });
  connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });
  connect(buMoreOptions, &QPushButton::clicked, this, [this] { buMoreOptionsClick(); });
}

void TfrmClientConfig::FormCreate() {
  pnlProfileName->hide();
  setFixedHeight(kHeight);
  // The proxy button follows the check box, also before any profile is loaded.
  btnProxyConfig->setVisible(cbUseProxy->isChecked());
  btnProxyConfig->setEnabled(cbUseProxy->isChecked());
}

void TfrmClientConfig::ShowProfileName(bool show) {
  pnlProfileName->setVisible(show);
  if (show) {
    setFixedHeight(kHeightWithProfileName);
  } else {
    setMinimumHeight(0);
    setMaximumHeight(QWIDGETSIZE_MAX);
    resize(width(), kHeightWithProfileName);
  }
  update();
}

void TfrmClientConfig::LoadConfig(const TClientConfig& config) {
  Config = config;
  edServerName->setText(Config.ServerName);
  edProfileName->setText(Config.ProfileName);
  // Show long names from their start.
  edServerName->setCursorPosition(0);
  edProfileName->setCursorPosition(0);
  cbEncryption->setCurrentText(Config.EncryptionMethod);
  edPort->setText(QString::number(Config.Port));

  // Checking a button runs its handler, which writes back the value just loaded.
  if (Config.MessageProtocol == u"BIN") {
    rbBin->setChecked(true);
  } else if (Config.MessageProtocol == u"SOAP") {
    rbSoap->setChecked(true);
  } else if (Config.MessageProtocol == u"POST") {
    rbPost->setChecked(true);
  }
  if (Config.ServerProtocol == u"HTTP") {
    rbHTTP->setChecked(true);
  } else if (Config.ServerProtocol == u"TCP") {
    rbTCP->setChecked(true);
  } else if (Config.ServerProtocol == u"UDP") {
    rbUDP->setChecked(true);
  }
  cbCompression->setChecked(Config.UseCompression == 1);
  cbUseProxy->setChecked(Config.UseProxy == 1);
  btnProxyConfig->setVisible(Config.UseProxy == 1);
  btnProxyConfig->setEnabled(Config.UseProxy == 1);
}

void TfrmClientConfig::rbProtocolClick(QRadioButton* sender) {
  Config.ServerProtocol = sender->text();
}

void TfrmClientConfig::rbMessageClick(QRadioButton* sender) {
  Config.MessageProtocol = sender->text();
}

void TfrmClientConfig::cbUseProxyClick() {
  const bool use_proxy = cbUseProxy->isChecked();
  Config.UseProxy = use_proxy ? 1 : 0;
  btnProxyConfig->setVisible(use_proxy);
  btnProxyConfig->setEnabled(use_proxy);
}

void TfrmClientConfig::btnProxyConfigClick() {
  // Owned here while shown; destroyed on every way out, errors included.
  auto dialog = std::make_unique<TfrmProxyConfig>(this);
  frmProxyConfig = dialog.get();
  dialog->LoadConfig(Config);
  if (dialog->exec() == QDialog::Accepted) {
    Config = dialog->GetConfig();
  }
}

void TfrmClientConfig::btnDefaultClick() {
  TClientConfig defaults;
  SetDefaultConfig(defaults);
  defaults.ProfileName = edProfileName->text();
  LoadConfig(defaults);
}

void TfrmClientConfig::btnAcceptClick() {
  std::int32_t port = 0;
  try {
    port = StrToInt(edPort->text());
  } catch (const ConversionError&) {
    // The error box quotes only the text; the selection shows where it was typed.
    edPort->setFocus();
    edPort->selectAll();
    throw;
  }
  if (port <= 0) {
    QMessageBox::warning(this, QStringLiteral("Warning"),
                         QStringLiteral("The port must be changed after the first start on "
                                        "this computer.\nPlease choose a port-number > 0."),
                         QMessageBox::Ok);
    return;
  }
  // The name becomes a key below the profiles key; a backslash would nest it inside
  // another profile, which a rename would then delete together with its old key.
  if (edProfileName->text().contains(u'\\')) {
    QMessageBox::warning(this, QStringLiteral("Warning"),
                         QStringLiteral("A profile name cannot contain a backslash (\\).\n"
                                        "Please choose another name."),
                         QMessageBox::Ok);
    return;
  }
  Config.Port = port;
  Config.ServerName = edServerName->text();
  Config.ProfileName = edProfileName->text();
  Config.EncryptionMethod = cbEncryption->currentText();
  Config.UseCompression = cbCompression->isChecked() ? 1 : 0;
  accept();
}

void TfrmClientConfig::btnCancelClick() {
  reject();
}

void TfrmClientConfig::buMoreOptionsClick() {
  if (OnMoreOptions) {
    OnMoreOptions(buMoreOptions);
  }
}

}  // namespace tovra::client
