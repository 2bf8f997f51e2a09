#pragma once

// The proxy dialog: edits the HTTP proxy fields of a profile in memory.

#include <QDialog>
#include <QPointer>
#include <cstdint>

#include "client/connection/profile_store.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tovra::client {

// The system's proxy text, as GetSystemProxy gives it.
QString GetSystemProxy();

// Splits a proxy text "host:port" at its first ":". Without ":" the server is empty and the
// port 0; a port that is not a whole number is 0.
void ParseProxySetting(const QString& text, QString& server, std::int32_t& port);

class TfrmProxyConfig : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmProxyConfig(QWidget* owner);

  void LoadConfig(const TClientConfig& config);
  // The loaded record with the proxy fields taken from the controls. Raises
  // ConversionError when the port box does not hold a whole number.
  TClientConfig GetConfig();

  void btnGetProxySettingsClick();
  // Closes with OK. A port that is not a whole number raises ConversionError and the
  // dialog stays open.
  void btnAcceptClick();
  void btnCancelClick();

  QPushButton* BitBtn1 = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* edProxyServer = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* edProxyPort = nullptr;
  QLabel* Label3 = nullptr;
  QLineEdit* edProxyUser = nullptr;
  QLabel* Label4 = nullptr;
  QLineEdit* edProxyPassword = nullptr;
  QCheckBox* cbAllowSavingPassword = nullptr;
  QPushButton* btnCancel = nullptr;
  QPushButton* btnAccept = nullptr;

  TClientConfig Config;

 private:
  void CreateControls();
};

// The proxy dialog while one is shown.
inline QPointer<TfrmProxyConfig> frmProxyConfig;

}  // namespace tovra::client
