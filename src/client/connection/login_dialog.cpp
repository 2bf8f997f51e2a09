#include "client/connection/login_dialog.h"

#include <QApplication>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>
#include <exception>
#include <memory>

#include "client/connection/client_config_dialog.h"
#include "client/connection/transport_setup.h"
#include "platform/registry_store.h"

namespace tovra::client {

namespace {

constexpr int kClientWidth = 322;
constexpr int kBannerWidth = 320;
constexpr int kBannerHeight = 80;
constexpr int kProfilesHeight = 150;
constexpr qsizetype kMaxSuffixLength = 10;

QPixmap BannerPicture() {
  QPixmap picture(kBannerWidth, kBannerHeight);
  QPainter painter(&picture);
  QLinearGradient gradient(0, 0, kBannerWidth, kBannerHeight);
  gradient.setColorAt(0, QColor(0x1f, 0x3c, 0x6e));
  gradient.setColorAt(1, QColor(0x4a, 0x7f, 0xc1));
  painter.fillRect(picture.rect(), gradient);
  painter.setPen(Qt::white);
  QFont title = painter.font();
  title.setBold(true);
  title.setPixelSize(30);
  painter.setFont(title);
  painter.drawText(QRect(14, 8, kBannerWidth - 28, 40), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("TOVRA"));
  QFont subtitle = painter.font();
  subtitle.setBold(false);
  subtitle.setPixelSize(15);
  painter.setFont(subtitle);
  painter.drawText(QRect(16, 46, kBannerWidth - 32, 24), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("User Manager"));
  return picture;
}

// Clears the wait cursor on every way out of a login attempt.
class WaitCursor {
 public:
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace

TfrmUmClientLogin::TfrmUmClientLogin(LoginConnector& connector, QWidget* owner)
    : QDialog(owner), connector_(connector) {
  CreateControls();
  FormCreate();
}

TfrmUmClientLogin::~TfrmUmClientLogin() {
  FormDestroy();
}

void TfrmUmClientLogin::CreateControls() {
  setWindowTitle(QStringLiteral("login"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);

  pnlMain = new QFrame(this);
  Image1 = new QLabel(pnlMain);
  Image1->setPixmap(BannerPicture());
  Image1->setFixedSize(kBannerWidth, kBannerHeight);
  Image1->setScaledContents(true);

  Label1 = new QLabel(QStringLiteral("Username:"), pnlMain);
  edUsername = new QLineEdit(pnlMain);
  Label1->setBuddy(edUsername);
  Label2 = new QLabel(QStringLiteral("Password:"), pnlMain);
  edPassWord = new QLineEdit(pnlMain);
  edPassWord->setEchoMode(QLineEdit::Password);
  Label2->setBuddy(edPassWord);
  for (QLabel* label : {Label1, Label2}) {
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
  }
  btnProfiles = new QPushButton(QStringLiteral("Profiles"), pnlMain);
  btnLogin = new QPushButton(QStringLiteral("login"), pnlMain);

  pnlProfiles = new QFrame(this);
  pnlProfiles->setFrameShape(QFrame::StyledPanel);
  cbxProfiles = new QListWidget(pnlProfiles);
  btnEditProfile = new QPushButton(QStringLiteral("edit"), pnlProfiles);
  btnNewProfile = new QPushButton(QStringLiteral("new"), pnlProfiles);
  btnDeleteProfile = new QPushButton(QStringLiteral("delete"), pnlProfiles);

  // Enter logs in from the password box only; no button may take it as the default.
  for (QPushButton* button :
       {btnProfiles, btnLogin, btnEditProfile, btnNewProfile, btnDeleteProfile}) {
    button->setAutoDefault(false);
  }

  auto* credentials = new QGridLayout;
  credentials->setContentsMargins(6, 6, 6, 6);
  credentials->setHorizontalSpacing(8);
  credentials->addWidget(Label1, 0, 0);
  credentials->addWidget(edUsername, 0, 1);
  credentials->addWidget(btnProfiles, 0, 2);
  credentials->addWidget(Label2, 1, 0);
  credentials->addWidget(edPassWord, 1, 1);
  credentials->addWidget(btnLogin, 1, 2);
  credentials->setColumnStretch(1, 1);

  auto* main_layout = new QVBoxLayout(pnlMain);
  main_layout->setContentsMargins(1, 1, 1, 0);
  main_layout->setSpacing(0);
  main_layout->addWidget(Image1);
  main_layout->addLayout(credentials);

  auto* profile_buttons = new QHBoxLayout;
  profile_buttons->addStretch();
  profile_buttons->addWidget(btnEditProfile);
  profile_buttons->addWidget(btnNewProfile);
  profile_buttons->addWidget(btnDeleteProfile);

  auto* profiles_layout = new QVBoxLayout(pnlProfiles);
  profiles_layout->setContentsMargins(6, 6, 6, 6);
  profiles_layout->addWidget(cbxProfiles, 1);
  profiles_layout->addLayout(profile_buttons);
  pnlProfiles->setFixedHeight(kProfilesHeight);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(pnlMain);
  layout->addWidget(pnlProfiles);
  // The dialog sizes itself to its contents, so hiding the profiles shrinks it.
  layout->setSizeConstraint(QLayout::SetFixedSize);
  pnlMain->setFixedWidth(kClientWidth);
  pnlProfiles->setFixedWidth(kClientWidth);

  edPassWord->installEventFilter(this);
  cbxProfiles->viewport()->installEventFilter(this);

  connect(btnLogin, &QPushButton::clicked, this, [this] { btnlogindClick(); });
  connect(btnProfiles, &QPushButton::clicked, this, [this] { btnProfilesClick(); });
  connect(cbxProfiles, &QListWidget::itemChanged, this,
          [this](QListWidgetItem* item) { cbxProfilesClickCheck(item); });
  connect(btnNewProfile, &QPushButton::clicked, this, [this] { btnNewProfileClick(); });
  connect(btnEditProfile, &QPushButton::clicked, this, [this] { btnEditProfileClick(); });
  connect(btnDeleteProfile, &QPushButton::clicked, this, [this] { btnDeleteProfileClick(); });
}

bool TfrmUmClientLogin::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edPassWord && event->type() == QEvent::KeyPress) {
    edPassWordKeyDown(static_cast<QKeyEvent*>(event)->key());
  } else if (watched == cbxProfiles->viewport() && event->type() == QEvent::MouseButtonPress) {
    cbxProfilesMouseDown(static_cast<QMouseEvent*>(event)->position().toPoint());
  }
  return QDialog::eventFilter(watched, event);
}

void TfrmUmClientLogin::keyPressEvent(QKeyEvent* event) {
  // QDialog would take Esc as a cancelled login and close; the dialog waits instead.
  if (event->matches(QKeySequence::Cancel)) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TfrmUmClientLogin::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!activated_) {
    activated_ = true;
    FormActivate();
  }
}

void TfrmUmClientLogin::FormCreate() {
  LoginOK = false;
  ReloadProfiles();
  const QString last = ReadLastProfileName(ProfilesKey);
  if (!last.isEmpty()) {
    CheckProfile(last);
  } else if (cbxProfiles->count() > 0) {
    CheckOnly(cbxProfiles->item(0));
  }
  UpdateCaption();
}

void TfrmUmClientLogin::FormActivate() {
  // The dialog opens with the profiles folded away.
  if (pnlProfiles->isVisible()) {
    btnProfilesClick();
  }
}

void TfrmUmClientLogin::FormDestroy() {
  try {
    WriteLastProfileName(ProfilesKey, GetCheckedProfile());
  } catch (const platform::RegistryError&) {
    // Only the preselection of the next start is lost; a closing dialog has nobody to tell.
  }
}

QString TfrmUmClientLogin::GetCheckedProfile() const {
  QString name;
  for (int row = 0; row < cbxProfiles->count(); ++row) {
    if (cbxProfiles->item(row)->checkState() == Qt::Checked) {
      name = cbxProfiles->item(row)->text();
    }
  }
  return name;
}

void TfrmUmClientLogin::UpdateCaption() {
  const QString name = GetCheckedProfile();
  // With nothing checked the caption must not go on naming a profile that was deleted.
  setWindowTitle(name.isEmpty() ? QStringLiteral("login")
                                : QStringLiteral("login profile: ") + name);
}

void TfrmUmClientLogin::ReloadProfiles() {
  checking_ = true;
  cbxProfiles->clear();
  for (const QString& name : ReadProfileNames(ProfilesKey)) {
    auto* item = new QListWidgetItem(name, cbxProfiles);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    item->setCheckState(Qt::Unchecked);
  }
  checking_ = false;
}

void TfrmUmClientLogin::CheckOnly(QListWidgetItem* item) {
  checking_ = true;
  for (int row = 0; row < cbxProfiles->count(); ++row) {
    QListWidgetItem* each = cbxProfiles->item(row);
    each->setCheckState(each == item ? Qt::Checked : Qt::Unchecked);
  }
  if (item != nullptr) {
    cbxProfiles->setCurrentItem(item);
  }
  checking_ = false;
}

bool TfrmUmClientLogin::CheckProfile(const QString& name) {
  for (int row = 0; row < cbxProfiles->count(); ++row) {
    QListWidgetItem* item = cbxProfiles->item(row);
    if (QString::compare(item->text(), name, Qt::CaseInsensitive) == 0) {
      CheckOnly(item);
      return true;
    }
  }
  return false;
}

void TfrmUmClientLogin::btnProfilesClick() {
  // The layout sizes the dialog to what is visible.
  pnlProfiles->setVisible(!pnlProfiles->isVisible());
  adjustSize();
}

void TfrmUmClientLogin::cbxProfilesMouseDown(const QPoint& pos) {
  if (QListWidgetItem* item = cbxProfiles->itemAt(pos)) {
    CheckOnly(item);
  }
  UpdateCaption();
}

void TfrmUmClientLogin::cbxProfilesClickCheck(QListWidgetItem* item) {
  if (checking_) {
    return;
  }
  // Toggling a check box (mouse or space bar) always leaves exactly that profile checked.
  CheckOnly(item != nullptr ? item : cbxProfiles->currentItem());
  UpdateCaption();
}

void TfrmUmClientLogin::edPassWordKeyDown(int key) {
  if (key == Qt::Key_Return || key == Qt::Key_Enter) {
    btnlogindClick();
  }
}

void TfrmUmClientLogin::ShowError(const QString& text) {
  QMessageBox::critical(this, QStringLiteral("Error"), text, QMessageBox::Ok);
}

void TfrmUmClientLogin::PrepareConnection() {
  if (!ServedProtocolOf(CurrentConfig.ServerProtocol)) {
    return;
  }
  try {
    connector_.SetupChannel(CurrentConfig);
  } catch (const std::exception& error) {
    // Reported, but the attempt goes on: the login call then tells what is wrong.
    ShowError(QStringLiteral("Error while preparing Connection-Objects: ") +
              QString::fromUtf8(error.what()));
  }
}

void TfrmUmClientLogin::CreateServiceProxy() {
  connector_.CreateServiceProxy(CurrentConfig);
}

void TfrmUmClientLogin::btnlogindClick() {
  QString failure;
  try {
    ReadClientConfig(ProfilesKey + GetCheckedProfile(), CurrentConfig);
    // Refuse a profile nothing here can serve before any transport is touched.
    if (const QString reason = UnsupportedTransportReason(CurrentConfig); !reason.isEmpty()) {
      throw std::runtime_error(reason.toStdString());
    }
    PrepareConnection();

    const QString typed = edUsername->text();
    const qsizetype bar = typed.indexOf(u'|');
    QString user_name = bar < 0 ? typed : typed.left(bar);
    const QString suffix = bar < 0 ? QString() : typed.mid(bar + 1, kMaxSuffixLength);
    if (UpperCaseAscii(user_name) == u"SYSDBA") {
      user_name = QStringLiteral("SYSDBA");
    }

    QString result;
    {
      WaitCursor wait;
      CreateServiceProxy();
      result = connector_.login(user_name, edPassWord->text(), kLoginRole);
    }
    if (!result.isEmpty()) {
      LoginOK = false;
      ShowError(result);
      return;
    }
    LoginOK = true;
    HideDataTable = suffix != kMaintenanceCode;
    accept();
    return;
  } catch (const std::exception& error) {
    failure = QString::fromUtf8(error.what());
  }
  LoginOK = false;
  ShowError(QStringLiteral("Error while trying to connect to server! ") + failure);
}

std::optional<TClientConfig> TfrmUmClientLogin::EditConfig(const TClientConfig& config) {
  QString failure;
  try {
    auto dialog = std::make_unique<TfrmClientConfig>(this);
    frmClientConfig = dialog.get();
    dialog->LoadConfig(config);
    dialog->ShowProfileName(true);
    if (dialog->exec() == QDialog::Accepted) {
      return dialog->GetConfig();
    }
    return config;
  } catch (const std::exception& error) {
    failure = QString::fromUtf8(error.what());
  }
  ShowError(failure);
  return std::nullopt;
}

void TfrmUmClientLogin::btnNewProfileClick() {
  // A new profile starts from the stored starting record: the defaults, overlaid by the
  // values kept directly under the profiles key.
  TClientConfig start;
  ReadClientConfig(ProfilesKey, start);
  const std::optional<TClientConfig> result = EditConfig(start);
  if (!result) {
    return;
  }
  const QString previous = GetCheckedProfile();
  WriteClientConfig(ProfilesKey + result->ProfileName, *result);
  ReloadProfiles();
  // Check the new profile, or keep the one checked before when there is none to check.
  if (result->ProfileName.isEmpty() || !CheckProfile(result->ProfileName)) {
    CheckProfile(previous);
  }
  UpdateCaption();
}

void TfrmUmClientLogin::btnEditProfileClick() {
  const QString name = GetCheckedProfile();
  if (name.isEmpty()) {
    return;
  }
  // Read aside: a stored value that is no number raises, and the half-read record must not
  // replace the current one.
  TClientConfig stored;
  ReadClientConfig(ProfilesKey + name, stored);
  stored.ProfileName = name;
  CurrentConfig = stored;
  const std::optional<TClientConfig> result = EditConfig(CurrentConfig);
  if (!result) {
    return;
  }
  CurrentConfig = *result;
  WriteClientConfig(ProfilesKey + CurrentConfig.ProfileName, CurrentConfig);
  // Names that differ only in letter case address the same key.
  if (QString::compare(CurrentConfig.ProfileName, name, Qt::CaseInsensitive) != 0) {
    DeleteClientConfig(ProfilesKey + name);
  }
  ReloadProfiles();
  CheckProfile(CurrentConfig.ProfileName);
  UpdateCaption();
}

void TfrmUmClientLogin::btnDeleteProfileClick() {
  const QString name = GetCheckedProfile();
  if (name.isEmpty()) {
    return;
  }
  DeleteClientConfig(ProfilesKey + name);
  ReloadProfiles();
  if (cbxProfiles->count() > 0) {
    CheckOnly(cbxProfiles->item(0));
  }
  UpdateCaption();
}

}  // namespace tovra::client
