// The login dialog over the data module against the real user-manager server, started as a
// child process on free loopback ports with a store of its own.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QFileSystemWatcher>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>
#include <memory>

#include "client/connection/data_module_connector.h"
#include "client/connection/login_dialog.h"
#include "client/server/data_module.h"
#include "dataset/client_dataset.h"
#include "qt_test_support.h"

namespace {

using namespace tovra::client;
using namespace tovra::client::testing_support;

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

constexpr char kPassword[] = "Correct horse 7";

// tovra-umserver with an SQLite store holding the administrator SYSDBA.
class UmServer {
 public:
  explicit UmServer(const QString& dir) : dir_(dir) {}
  ~UmServer() {
    if (process_.state() != QProcess::NotRunning) {
      process_.terminate();
      if (!process_.waitForFinished(10000)) {
        process_.kill();
        process_.waitForFinished(5000);
      }
    }
  }

  // Initialises the store and starts listening; false with `error` set when it could not.
  bool Start(QString& error) {
    QFile password_file(dir_ + "/admin-password");
    if (!password_file.open(QIODevice::WriteOnly)) {
      error = "cannot write the password file";
      return false;
    }
    password_file.write(QByteArray(kPassword) + "\n");
    password_file.close();

    const QString store = "sqlite:" + dir_ + "/um.sqlite";
    QProcess init;
    init.start(TOVRA_UMSERVER_PATH, {"--store", store, "init", "--admin", "SYSDBA",
                                     "--password-file", password_file.fileName()});
    if (!init.waitForFinished(60000) || init.exitCode() != 0) {
      error = "init failed: " + QString::fromUtf8(init.readAllStandardError());
      return false;
    }

    process_.start(TOVRA_UMSERVER_PATH, {"--store", store, "--http", "0", "--tcp", "0", "--udp",
                                         "0", "--log-level", "info"});
    const QRegularExpression listening(R"(LISTENING http=(\d+) tcp=(\d+) udp=(\d+))");
    QElapsedTimer waited;
    waited.start();
    QByteArray out;
    while (waited.elapsed() < 60000 && process_.state() != QProcess::NotRunning) {
      process_.waitForReadyRead(200);
      out += process_.readAllStandardOutput();
      const auto match = listening.match(QString::fromUtf8(out));
      if (match.hasMatch()) {
        http = match.captured(1).toInt();
        tcp = match.captured(2).toInt();
        udp = match.captured(3).toInt();
        return true;
      }
    }
    error = "the server did not report its ports: " + QString::fromUtf8(out) +
            QString::fromUtf8(process_.readAllStandardError());
    return false;
  }

  // Waits a bounded time for the server to log `text`; the log so far either way.
  QString WaitForLog(const QString& text) {
    QElapsedTimer waited;
    waited.start();
    for (;;) {
      log_ += QString::fromUtf8(process_.readAllStandardError());
      if (log_.contains(text) || waited.elapsed() > 10000) {
        return log_;
      }
      process_.waitForReadyRead(100);
    }
  }

  int http = 0, tcp = 0, udp = 0;

 private:
  QString dir_;
  QProcess process_;
  QString log_;
};

// A loopback port nothing listens on (for TCP and HTTP) and nothing answers on (UDP).
int DeadPort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

struct Transport {
  const char* protocol;
  const char* message;
  int compression;
  const char* encryption;
};

void PrintTo(const Transport& t, std::ostream* out) {
  *out << t.protocol << '/' << t.message << " compression " << t.compression << ' ' << t.encryption;
}

}  // namespace

// Readable failures for the message boxes a step showed.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

std::string Name(const ::testing::TestParamInfo<Transport>& info) {
  return std::string(info.param.protocol) + "_" + info.param.message + "_" + info.param.encryption;
}

class LoginAgainstServerTest : public DialogTest, public ::testing::WithParamInterface<Transport> {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    ASSERT_TRUE(server_dir_.isValid());
  }

  // Stores the profile "local" and makes it the one the dialog checks.
  void StoreProfile(int port) {
    TClientConfig config;
    SetDefaultConfig(config);
    config.ProfileName = "local";
    config.ServerName = "127.0.0.1";
    config.ServerProtocol = GetParam().protocol;
    config.MessageProtocol = GetParam().message;
    config.UseCompression = GetParam().compression;
    config.EncryptionMethod = GetParam().encryption;
    config.Port = port;
    WriteClientConfig(ProfilesKey + "local", config);
    WriteLastProfileName(ProfilesKey, "local");
  }

  int PortOf(const UmServer& server) const {
    const QString protocol = GetParam().protocol;
    return protocol == "HTTP" ? server.http : protocol == "TCP" ? server.tcp : server.udp;
  }

  // One press of the login button with these credentials; the message boxes it showed.
  static QStringList Press(TfrmUmClientLogin& dialog, const QString& user,
                           const QString& password) {
    dialog.edUsername->setText(user);
    dialog.edPassWord->setText(password);
    MessageBoxCatcher catcher;
    dialog.btnLogin->click();
    return catcher.Texts();
  }

  QTemporaryDir server_dir_;
  tovra::client::server::TfrmDmUMClient dm_;
  DataModuleConnector connector_{dm_};
};

TEST_P(LoginAgainstServerTest, LogsInSharesTheSessionWithDatasetsAndReportsRefusals) {
  UmServer server(server_dir_.path());
  QString error;
  ASSERT_TRUE(server.Start(error)) << error.toStdString();
  StoreProfile(PortOf(server));

  {
    TfrmUmClientLogin dialog(connector_, nullptr);
    dialog.show();
    ASSERT_EQ(dialog.GetCheckedProfile(), "local");
    // Any letter case of the administrator's name goes out as SYSDBA.
    EXPECT_EQ(Press(dialog, "sysdba", kPassword), QStringList());
    EXPECT_TRUE(dialog.LoginOK);
    EXPECT_TRUE(dialog.HideDataTable);
    EXPECT_FALSE(dialog.isVisible());
  }
  EXPECT_EQ(ReadLastProfileName(ProfilesKey), "local");
  const QString log = server.WaitForLog("login of SYSDBA (role BEOGYLTDP)");
  EXPECT_TRUE(log.contains("login of SYSDBA (role BEOGYLTDP)")) << log.toStdString();
  EXPECT_FALSE(log.contains("login of sysdba"));

  // The datasets reach the providers in the session the login opened.
  tovra::dataset::ClientDataSet roles;
  roles.SetRemoteServer(&dm_.RODataSnapConnection);
  roles.SetProviderName("dspRole");
  ASSERT_NO_THROW(roles.Open());
  EXPECT_TRUE(roles.Active());
  EXPECT_NE(roles.FindField("BEZ"), nullptr);
  EXPECT_TRUE(dm_.RODataSnapConnection.Connected());
  EXPECT_NO_THROW(dm_.UMServer->KeepAlive());

  // A refused login shows the server's own text and leaves the dialog open.
  TfrmUmClientLogin dialog(connector_, nullptr);
  dialog.show();
  const QStringList boxes = Press(dialog, "SYSDBA", "wrong password");
  ASSERT_EQ(boxes.size(), 1);
  EXPECT_EQ(boxes[0], "Login failed: the user name, password or role is not valid.");
  EXPECT_FALSE(dialog.LoginOK);
  EXPECT_TRUE(dialog.isVisible());
}

TEST_P(LoginAgainstServerTest, ADeadServerIsAConnectionErrorAndTheDialogStaysOpen) {
  StoreProfile(DeadPort());
  TfrmUmClientLogin dialog(connector_, nullptr);
  dialog.show();
  QElapsedTimer waited;
  waited.start();
  const QStringList boxes = Press(dialog, "SYSDBA", kPassword);
  ASSERT_EQ(boxes.size(), 1);
  EXPECT_TRUE(boxes[0].startsWith("Error while trying to connect to server! "))
      << boxes[0].toStdString();
  EXPECT_GT(boxes[0].size(), QString("Error while trying to connect to server! ").size());
  EXPECT_FALSE(dialog.LoginOK);
  EXPECT_TRUE(dialog.isVisible());
  // Bounded: UDP's six attempts of one second each are the longest wait.
  EXPECT_LT(waited.elapsed(), 20000);
}

class LoginSetUpTest : public DialogTest {};

TEST_F(LoginSetUpTest, AProfileTheChannelCannotTakeNeverReachesTheEarlierServer) {
  QTemporaryDir server_dir;
  ASSERT_TRUE(server_dir.isValid());
  UmServer server(server_dir.path());
  QString error;
  ASSERT_TRUE(server.Start(error)) << error.toStdString();

  TClientConfig config;
  SetDefaultConfig(config);
  config.ServerName = "127.0.0.1";
  config.ServerProtocol = "TCP";
  config.Port = server.tcp;
  WriteClientConfig(ProfilesKey + "tcp", config);
  WriteLastProfileName(ProfilesKey, "tcp");

  tovra::client::server::TfrmDmUMClient dm;
  DataModuleConnector connector(dm);
  TfrmUmClientLogin dialog(connector, nullptr);
  dialog.show();
  const auto press = [&] {
    dialog.edUsername->setText("SYSDBA");
    dialog.edPassWord->setText(kPassword);
    MessageBoxCatcher catcher;
    dialog.btnLogin->click();
    return catcher.Texts();
  };
  ASSERT_EQ(press(), QStringList());
  ASSERT_TRUE(dialog.LoginOK);

  // A port the channel cannot take: the TCP channel still points at the running server,
  // but this attempt must not log in there.
  config.Port = 70000;
  WriteClientConfig(ProfilesKey + "tcp", config);
  dialog.show();
  const QStringList boxes = press();
  ASSERT_EQ(boxes.size(), 2);
  EXPECT_TRUE(boxes[0].startsWith("Error while preparing Connection-Objects: "))
      << boxes[0].toStdString();
  EXPECT_TRUE(boxes[0].contains("70000"));
  EXPECT_TRUE(boxes[1].startsWith("Error while trying to connect to server! "))
      << boxes[1].toStdString();
  EXPECT_FALSE(dialog.LoginOK);
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(dm.UMServer, nullptr);
}

// tinyproxy on loopback that asks for Basic credentials.
class Tinyproxy {
 public:
  static constexpr char kUser[] = "umproxy";
  static constexpr char kPassword[] = "pr0xy-pass";

  ~Tinyproxy() {
    if (process_.state() != QProcess::NotRunning) {
      process_.terminate();
      if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished(5000);
      }
    }
  }

  bool Start(QString& error) {
    if (!dir_.isValid()) {
      error = "no temporary folder";
      return false;
    }
    // Started as root it drops to nobody, who must reach the folder and write the log.
    QFile::setPermissions(dir_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                           QFile::ReadOther | QFile::ExeOther);
    const QString log = dir_.path() + "/tinyproxy.log";
    QFile(log).open(QIODevice::WriteOnly);
    const bool root = ::geteuid() == 0;
    if (root && ::chown(QFile::encodeName(log).constData(), 65534, 65534) != 0) {
      error = "chown of the tinyproxy log failed";
      return false;
    }
    port_ = DeadPort();
    QFile conf(dir_.path() + "/tinyproxy.conf");
    conf.open(QIODevice::WriteOnly);
    if (root) {
      conf.write("User nobody\nGroup nogroup\n");
    }
    conf.write(QStringLiteral("Port %1\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 30\n"
                              "BasicAuth %2 %3\nLogFile \"%4\"\nDisableViaHeader Yes\n")
                   .arg(port_)
                   .arg(kUser, kPassword, log)
                   .toUtf8());
    conf.close();
    process_.start("tinyproxy", {"-d", "-c", conf.fileName()});
    if (!process_.waitForStarted(5000)) {
      error = "tinyproxy could not be started; is it installed?";
      return false;
    }
    // Ready once its log says so: it binds its port before it starts accepting. The watcher
    // signals every write to the log.
    QFileSystemWatcher watcher({log});
    QSignalSpy written(&watcher, &QFileSystemWatcher::fileChanged);
    QElapsedTimer waited;
    waited.start();
    while (!Log().contains("Accepting connections")) {
      if (waited.elapsed() > 20000 || process_.state() == QProcess::NotRunning) {
        error = "tinyproxy did not start listening: " + Log();
        return false;
      }
      written.wait(1000);
    }
    return true;
  }

  int Port() const { return port_; }
  QString Log() const {
    QFile log(dir_.path() + "/tinyproxy.log");
    log.open(QIODevice::ReadOnly);
    return QString::fromUtf8(log.readAll());
  }

 private:
  QTemporaryDir dir_;
  QProcess process_;
  int port_ = 0;
};

class LoginThroughProxyTest : public DialogTest {};

TEST_F(LoginThroughProxyTest, TheProfilesProxyCarriesTheLoginAndIsDroppedWhenSwitchedOff) {
  QTemporaryDir server_dir;
  ASSERT_TRUE(server_dir.isValid());
  UmServer server(server_dir.path());
  Tinyproxy proxy;
  QString error;
  ASSERT_TRUE(server.Start(error)) << error.toStdString();
  ASSERT_TRUE(proxy.Start(error)) << error.toStdString();

  TClientConfig config;
  SetDefaultConfig(config);
  config.ProfileName = "proxied";
  config.ServerName = "127.0.0.1";
  config.Port = server.http;
  config.UseProxy = 1;
  config.ProxyServer = "127.0.0.1";
  config.ProxyPort = proxy.Port();
  config.ProxyUser = Tinyproxy::kUser;
  config.ProxyPassword = Tinyproxy::kPassword;
  config.AllowSavingProxyPassword = 1;
  // Wrong proxy credentials first.
  config.ProxyPassword = "not the proxy password";
  WriteClientConfig(ProfilesKey + "proxied", config);
  WriteLastProfileName(ProfilesKey, "proxied");

  tovra::client::server::TfrmDmUMClient dm;
  DataModuleConnector connector(dm);
  TfrmUmClientLogin dialog(connector, nullptr);
  dialog.show();
  const auto press = [&] {
    dialog.edUsername->setText("SYSDBA");
    dialog.edPassWord->setText(kPassword);
    MessageBoxCatcher catcher;
    dialog.btnLogin->click();
    return catcher.Texts();
  };

  // The proxy's refusal is a connection error.
  ASSERT_EQ(dialog.GetCheckedProfile(), "proxied");
  QStringList boxes = press();
  ASSERT_EQ(boxes.size(), 1);
  EXPECT_TRUE(boxes[0].startsWith("Error while trying to connect to server! the proxy "))
      << boxes[0].toStdString();
  EXPECT_TRUE(boxes[0].contains("refused")) << boxes[0].toStdString();
  EXPECT_FALSE(dialog.LoginOK);

  // The same profile without the proxy goes straight to the server; the next attempt reads
  // the profile afresh and the stale proxy settings are gone.
  config.UseProxy = 0;
  WriteClientConfig(ProfilesKey + "proxied", config);
  EXPECT_EQ(press(), QStringList());
  EXPECT_TRUE(dialog.LoginOK);
  EXPECT_EQ(dm.roHTTPChannel.ProxyServer(), "");

  // With the right credentials the login travels through the proxy.
  const qsizetype logged = proxy.Log().size();
  config.UseProxy = 1;
  config.ProxyPassword = Tinyproxy::kPassword;
  WriteClientConfig(ProfilesKey + "proxied", config);
  dialog.show();
  EXPECT_EQ(press(), QStringList());
  EXPECT_TRUE(dialog.LoginOK);
  const QString target = QStringLiteral("127.0.0.1:%1/bin").arg(server.http);
  EXPECT_TRUE(proxy.Log().mid(logged).contains(target)) << proxy.Log().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Transports, LoginAgainstServerTest,
                         ::testing::Values(Transport{"HTTP", "BIN", 1, "None"},
                                           Transport{"HTTP", "POST", 0, "Blowfish"},
                                           Transport{"TCP", "BIN", 1, "Rijndael"},
                                           Transport{"UDP", "BIN", 0, "TwoFish"}),
                         Name);

}  // namespace
