// Shows one of the connection dialogs on its own, without a main window or a server, for
// looking at it and for screenshots. The store is the user's, so run it with a scratch
// XDG_CONFIG_HOME; --sample fills it with a few profiles first. With --live the login
// dialog logs in for real, through the client's data module, for example against
// `tovra-umserver --demo`; the exit status then says whether the login succeeded. It runs
// on the programs' own application class, so an error escaping a click shows in its error
// box as it would in the real program.
//
//   connection_dialog_demo login|config|proxy [--sample] [--live] [--profiles] [--bare]
//   [--port text] [--attempt] [--grab file.png]

#include <QCommandLineParser>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <cstdio>

#include "client/app/application.h"
#include "client/connection/client_config_dialog.h"
#include "client/connection/data_module_connector.h"
#include "client/connection/login_dialog.h"
#include "client/connection/proxy_config_dialog.h"

namespace {

using namespace tovra::client;

// Answers every login with a refusal: there is no server behind this program.
class NoServer : public LoginConnector {
 public:
  void SetupChannel(const TClientConfig&) override {}
  void CreateServiceProxy(const TClientConfig&) override {}
  QString login(const QString& user_name, const QString&, const QString&) override {
    return QStringLiteral("No server in this demo; user \"%1\" was not logged in.").arg(user_name);
  }
};

void StoreSamples() {
  TClientConfig config;
  SetDefaultConfig(config);
  for (const char* name : {"Production", "Test server", "Local"}) {
    config.ProfileName = QString::fromUtf8(name);
    WriteClientConfig(ProfilesKey + config.ProfileName, config);
  }
  WriteLastProfileName(ProfilesKey, QStringLiteral("Test server"));
}

TClientConfig SampleProfile() {
  TClientConfig config;
  SetDefaultConfig(config);
  config.ProfileName = QStringLiteral("Production");
  config.ServerName = QStringLiteral("um-server.example.org");
  config.UseProxy = 1;
  config.ProxyServer = QStringLiteral("proxy.example.org");
  config.ProxyPort = 3128;
  config.ProxyUser = QStringLiteral("jsmith");
  config.ProxyPassword = QStringLiteral("secret");
  return config;
}

}  // namespace

int main(int argc, char** argv) {
  Application app(argc, argv);
  QCommandLineParser parser;
  parser.addPositionalArgument(QStringLiteral("dialog"), QStringLiteral("login, config or proxy"));
  const QCommandLineOption sample(QStringLiteral("sample"),
                                  QStringLiteral("store sample profiles"));
  const QCommandLineOption profiles(QStringLiteral("profiles"),
                                    QStringLiteral("open the profiles panel of the login dialog"));
  const QCommandLineOption live(QStringLiteral("live"),
                                QStringLiteral("log in for real through the data module"));
  const QCommandLineOption bare(QStringLiteral("bare"),
                                QStringLiteral("configuration dialog without the profile name"));
  const QCommandLineOption port(QStringLiteral("port"),
                                QStringLiteral("type this into the port box (config, proxy)"),
                                QStringLiteral("text"));
  const QCommandLineOption attempt(
      QStringLiteral("attempt"),
      QStringLiteral("press login or accept; --grab then takes the message box over the dialog"));
  const QCommandLineOption grab(QStringLiteral("grab"), QStringLiteral("save a picture and quit"),
                                QStringLiteral("file"));
  parser.addOptions({sample, live, profiles, bare, port, attempt, grab});
  parser.addHelpOption();
  parser.process(app);
  const QString which = parser.positionalArguments().value(0, QStringLiteral("login"));

  if (parser.isSet(sample)) {
    StoreSamples();
  }
  NoServer no_server;
  tovra::client::server::TfrmDmUMClient data_module;
  DataModuleConnector data_module_connector(data_module);
  LoginConnector& connector =
      parser.isSet(live) ? static_cast<LoginConnector&>(data_module_connector) : no_server;
  std::unique_ptr<QDialog> dialog;
  QAbstractButton* press = nullptr;  // what --attempt presses
  if (which == u"login") {
    auto login = std::make_unique<TfrmUmClientLogin>(connector, nullptr);
    login->edUsername->setText(QStringLiteral("SYSDBA"));
    if (!parser.isSet(live)) {
      login->edPassWord->setText(QStringLiteral("masterkey"));
    }
    press = login->btnLogin;
    dialog = std::move(login);
  } else if (which == u"config") {
    auto config = std::make_unique<TfrmClientConfig>(nullptr);
    config->LoadConfig(SampleProfile());
    if (!parser.isSet(bare)) {
      config->ShowProfileName(true);
    }
    if (parser.isSet(port)) {
      config->edPort->setText(parser.value(port));
    }
    press = config->btnAccept;
    dialog = std::move(config);
  } else if (which == u"proxy") {
    auto proxy = std::make_unique<TfrmProxyConfig>(nullptr);
    proxy->LoadConfig(SampleProfile());
    if (parser.isSet(port)) {
      proxy->edProxyPort->setText(parser.value(port));
    }
    press = proxy->btnAccept;
    dialog = std::move(proxy);
  } else {
    std::fprintf(stderr, "unknown dialog: %s\n", qPrintable(which));
    return 2;
  }

  dialog->show();
  if (parser.isSet(profiles)) {
    if (auto* login = qobject_cast<TfrmUmClientLogin*>(dialog.get())) {
      login->btnProfilesClick();
    }
  }
  if (parser.isSet(grab)) {
    const QString file = parser.value(grab);
    if (parser.isSet(attempt)) {
      // The message box is modal: find it from a timer while the attempt waits in it. On a
      // real screen the picture shows it over the dialog, as the user sees it.
      QTimer::singleShot(500, &app, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
          if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
            const QRect area = box->frameGeometry().united(dialog->frameGeometry());
            QPixmap picture =
                box->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
            if (picture.isNull()) {
              picture = box->grab();
            }
            const bool saved = picture.save(file);
            std::printf("%s %dx%d: %s\n", saved ? "saved" : "failed", picture.width(),
                        picture.height(), qPrintable(box->text()));
            box->accept();
          }
        }
        app.exit(0);
      });
      QTimer::singleShot(100, press, [press] { press->click(); });
      return app.exec();
    }
    QTimer::singleShot(300, &app, [&] {
      const bool saved = dialog->grab().save(file);
      std::printf("%s %dx%d\n", saved ? "saved" : "failed", dialog->width(), dialog->height());
      app.exit(saved ? 0 : 1);
    });
    return app.exec();
  }
  return dialog->exec() == QDialog::Accepted ? 0 : 1;
}
