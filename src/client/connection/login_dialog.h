#pragma once

// The login dialog: lists the stored connection profiles, lets the administrator pick,
// create, edit and delete them, and logs in with the checked one.

#include <QDialog>
#include <optional>

#include "client/connection/login_connector.h"
#include "client/connection/profile_store.h"
#include "contract/um_service.h"

class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;

namespace tovra::client {

// The role every administrator logs in with.
inline const QString kLoginRole = QString::fromUtf8(contract::kAdministratorsRole);
// The user-name suffix (after "|") that keeps the maintenance page.
inline const QString kMaintenanceCode = QStringLiteral("mudal");

class TfrmUmClientLogin : public QDialog {
  Q_OBJECT

 public:
  // `connector` does the transport work of each login attempt; it must outlive the dialog.
  TfrmUmClientLogin(LoginConnector& connector, QWidget* owner);
  // Stores the checked profile as LastProfileName.
  ~TfrmUmClientLogin() override;

  // The last checked profile in list order; empty when none is checked.
  QString GetCheckedProfile() const;
  void UpdateCaption();

  void PrepareConnection();
  void CreateServiceProxy();

  // Runs the configuration dialog on `config`. The result is the edited record, or
  // `config` itself when the dialog was cancelled; nothing when an error was shown.
  std::optional<TClientConfig> EditConfig(const TClientConfig& config);

  void FormCreate();
  void FormActivate();
  void FormDestroy();
  void btnlogindClick();
  void edPassWordKeyDown(int key);
  void btnProfilesClick();
  void cbxProfilesMouseDown(const QPoint& pos);
  void cbxProfilesClickCheck(QListWidgetItem* item);
  void btnNewProfileClick();
  void btnEditProfileClick();
  void btnDeleteProfileClick();

  QFrame* pnlMain = nullptr;
  QLabel* Image1 = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* edUsername = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* edPassWord = nullptr;
  QPushButton* btnProfiles = nullptr;
  QPushButton* btnLogin = nullptr;
  QFrame* pnlProfiles = nullptr;
  QListWidget* cbxProfiles = nullptr;
  QPushButton* btnEditProfile = nullptr;
  QPushButton* btnNewProfile = nullptr;
  QPushButton* btnDeleteProfile = nullptr;

  bool LoginOK = false;
  bool HideDataTable = false;
  TClientConfig CurrentConfig;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  // Esc does not close the dialog: it ends only by a successful login or the close box.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void CreateControls();
  // Replaces the list with the stored profile names; nothing is checked afterwards.
  void ReloadProfiles();
  // Checks only the item named `name` (letter case ignored); false when there is none.
  bool CheckProfile(const QString& name);
  void CheckOnly(QListWidgetItem* item);
  void ShowError(const QString& text);

  LoginConnector& connector_;
  bool activated_ = false;
  // Set while the handlers change check marks themselves, so they do not re-enter.
  bool checking_ = false;
};

}  // namespace tovra::client
