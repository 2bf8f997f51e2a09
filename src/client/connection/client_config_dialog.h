#pragma once

// The configuration dialog: edits a connection profile in memory. Writing it to the store
// is the caller's business.

#include <QDialog>
#include <QPointer>
#include <functional>

#include "client/connection/profile_store.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QToolButton;

namespace tovra::client {

class TfrmClientConfig : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmClientConfig(QWidget* owner);

  void LoadConfig(const TClientConfig& config);
  // Shows or hides the profile-name row.
  void ShowProfileName(bool show);
  TClientConfig GetConfig() const { return Config; }

  void FormCreate();
  void rbProtocolClick(QRadioButton* sender);
  void rbMessageClick(QRadioButton* sender);
  void cbUseProxyClick();
  // Runs the proxy dialog; Config takes its values only when it closes with OK.
  void btnProxyConfigClick();
  void btnDefaultClick();
  // Takes the typed values over and closes with OK. A port that is not a whole number
  // raises ConversionError (the application's error box shows it); a port not above 0 is
  // refused with a warning. Either way the dialog stays open and Config is unchanged.
  void btnAcceptClick();
  void btnCancelClick();
  void buMoreOptionsClick();

  QFrame* pnlProfileName = nullptr;
  QLabel* lblProfileName = nullptr;
  QLineEdit* edProfileName = nullptr;

  QFrame* Panel3 = nullptr;
  QLabel* lblServerName = nullptr;
  QLineEdit* edServerName = nullptr;
  QPushButton* buMoreOptions = nullptr;

  QFrame* pnlServerProtocol = nullptr;
  QLabel* lblServerProtocol = nullptr;
  QRadioButton* rbHTTP = nullptr;
  QRadioButton* rbTCP = nullptr;
  QRadioButton* rbUDP = nullptr;
  QLabel* lblPort = nullptr;
  QLineEdit* edPort = nullptr;
  QCheckBox* cbUseProxy = nullptr;
  QToolButton* btnProxyConfig = nullptr;

  QFrame* pnlMessageProtocol = nullptr;
  QLabel* lblMessageProtocol = nullptr;
  QRadioButton* rbBin = nullptr;
  QRadioButton* rbPost = nullptr;
  QRadioButton* rbSoap = nullptr;

  QFrame* Panel4 = nullptr;
  QLabel* Label1 = nullptr;
  QComboBox* cbEncryption = nullptr;
  QCheckBox* cbCompression = nullptr;

  QFrame* Panel1 = nullptr;
  QPushButton* btnDefault = nullptr;
  QPushButton* btnCancel = nullptr;
  QPushButton* btnAccept = nullptr;

  TClientConfig Config;
  // Called by "more options" when set; nobody sets it yet, and the button stays disabled.
  std::function<void(QObject* sender)> OnMoreOptions;

 private:
  void CreateControls();
};

// The configuration dialog while one is shown.
inline QPointer<TfrmClientConfig> frmClientConfig;

}  // namespace tovra::client
