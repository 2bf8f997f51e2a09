#include "client/connection/profile_store.h"

#include <limits>

#include "platform/registry_store.h"
#include "support/text.h"

namespace tovra::client {

using platform::RegistryError;
using platform::RegistryStore;

namespace {

const QString kLastProfileName = QStringLiteral("LastProfileName");

// The profile's name: the part of its key path after the last backslash, colon or NUL,
// cut to at most kMaxPathComponent characters. A character is a Unicode code point, so the
// cut never splits a surrogate pair (nor, therefore, a UTF-8 sequence of the same text).
QString ProfileNameOf(const QString& key_path) {
  qsizetype start = key_path.size();
  while (start > 0) {
    const QChar c = key_path[start - 1];
    if (c == u'\\' || c == u':' || c == QChar(u'\0')) {
      break;
    }
    --start;
  }
  qsizetype end = start;
  for (std::size_t characters = 0; end < key_path.size() && characters < support::kMaxPathComponent;
       ++characters) {
    const bool pair = key_path[end].isHighSurrogate() && end + 1 < key_path.size() &&
                      key_path[end + 1].isLowSurrogate();
    end += pair ? 2 : 1;
  }
  return key_path.mid(start, end - start);
}

// Reads one value; a missing or empty value leaves the field at its default.
void ReadText(RegistryStore& store, const QString& name, QString& field, bool upper = false) {
  const QString text = store.ReadString(name);
  if (!text.isEmpty()) {
    field = upper ? UpperCaseAscii(text) : text;
  }
}

void ReadInt(RegistryStore& store, const QString& name, std::int32_t& field) {
  const QString text = store.ReadString(name);
  if (!text.isEmpty()) {
    field = StrToInt(text);
  }
}

}  // namespace

std::int32_t StrToInt(const QString& text) {
  const auto fail = [&text]() -> std::int32_t {
    throw ConversionError(
        QStringLiteral("'%1' is not a valid integer value").arg(text).toStdString());
  };
  qsizetype pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == u'-' || text[pos] == u'+')) {
    negative = text[pos] == u'-';
    ++pos;
  }
  if (pos == text.size()) {
    return fail();
  }
  // Accumulate as a negative number so that the lowest value fits.
  std::int64_t value = 0;
  for (; pos < text.size(); ++pos) {
    const char16_t c = text[pos].unicode();
    if (c < u'0' || c > u'9') {
      return fail();
    }
    value = value * 10 - (c - u'0');
    if (value < std::numeric_limits<std::int32_t>::min()) {
      return fail();
    }
  }
  if (!negative) {
    value = -value;
    if (value > std::numeric_limits<std::int32_t>::max()) {
      return fail();
    }
  }
  return static_cast<std::int32_t>(value);
}

QString UpperCaseAscii(const QString& text) {
  QString result = text;
  for (QChar& c : result) {
    if (c >= u'a' && c <= u'z') {
      c = QChar(c.unicode() - (u'a' - u'A'));
    }
  }
  return result;
}

void SetDefaultConfig(TClientConfig& config) {
  config.ProfileName = QStringLiteral("DefaultProfile");
  config.ServerName = QStringLiteral("127.0.0.1");
  config.ServerProtocol = QStringLiteral("HTTP");
  config.MessageProtocol = QStringLiteral("BIN");
  config.EncryptionMethod = QStringLiteral("None");
  config.UseCompression = 1;
  config.Port = 6000;
  config.UseProxy = 0;
  config.ProxyServer = QStringLiteral("unknown");
  config.ProxyPort = 80;
  config.ProxyUser.clear();
  config.ProxyPassword.clear();
  config.AllowSavingProxyPassword = 1;
}

void ReadClientConfig(const QString& key_path, TClientConfig& config) {
  SetDefaultConfig(config);
  RegistryStore store;
  try {
    if (!store.OpenKey(key_path, true)) {
      return;
    }
  } catch (const RegistryError&) {
    // A key that cannot be created reads as the defaults, name included.
    return;
  }
  config.ProfileName = ProfileNameOf(key_path);
  ReadText(store, QStringLiteral("ServerName"), config.ServerName);
  ReadText(store, QStringLiteral("ServerProtocol"), config.ServerProtocol, true);
  ReadText(store, QStringLiteral("MessageProtocol"), config.MessageProtocol, true);
  ReadText(store, QStringLiteral("EncryptionMethod"), config.EncryptionMethod, true);
  ReadInt(store, QStringLiteral("UseCompression"), config.UseCompression);
  ReadInt(store, QStringLiteral("Port"), config.Port);
  ReadInt(store, QStringLiteral("UseProxy"), config.UseProxy);
  ReadText(store, QStringLiteral("ProxyServer"), config.ProxyServer);
  ReadInt(store, QStringLiteral("ProxyPort"), config.ProxyPort);
  ReadText(store, QStringLiteral("ProxyUser"), config.ProxyUser);
  ReadText(store, QStringLiteral("ProxyPassword"), config.ProxyPassword);
  ReadInt(store, QStringLiteral("AllowSavingProxyPassword"), config.AllowSavingProxyPassword);
}

QStringList ReadProfileNames(const QString& key_path) {
  try {
    RegistryStore store;
    if (!store.OpenKey(key_path, true)) {
      return {};
    }
    return store.GetKeyNames();
  } catch (const RegistryError&) {
    return {};
  }
}

QString ReadLastProfileName(const QString& key_path) {
  try {
    RegistryStore store;
    if (!store.OpenKey(key_path, true)) {
      return {};
    }
    return store.ReadString(kLastProfileName);
  } catch (const RegistryError&) {
    return {};
  }
}

void WriteLastProfileName(const QString& key_path, const QString& name) {
  RegistryStore store;
  if (!store.OpenKey(key_path, true)) {
    throw RegistryError(QStringLiteral("Failed to create key %1").arg(key_path).toStdString());
  }
  store.WriteString(kLastProfileName, name);
  store.Flush();
}

void WriteClientConfig(const QString& key_path, const TClientConfig& config) {
  RegistryStore store;
  if (!store.OpenKey(key_path, true)) {
    throw RegistryError(QStringLiteral("Failed to create key %1").arg(key_path).toStdString());
  }
  const auto number = [](std::int32_t value) { return QString::number(value); };
  store.WriteString(QStringLiteral("ServerProtocol"), config.ServerProtocol);
  store.WriteString(QStringLiteral("MessageProtocol"), config.MessageProtocol);
  store.WriteString(QStringLiteral("EncryptionMethod"), config.EncryptionMethod);
  store.WriteString(QStringLiteral("ServerName"), config.ServerName);
  store.WriteString(QStringLiteral("UseCompression"), number(config.UseCompression));
  store.WriteString(QStringLiteral("Port"), number(config.Port));
  store.WriteString(QStringLiteral("UseProxy"), number(config.UseProxy));
  store.WriteString(QStringLiteral("ProxyServer"), config.ProxyServer);
  store.WriteString(QStringLiteral("ProxyPort"), number(config.ProxyPort));
  store.WriteString(QStringLiteral("ProxyUser"), config.ProxyUser);
  store.WriteString(QStringLiteral("ProxyPassword"),
                    config.AllowSavingProxyPassword == 1 ? config.ProxyPassword : QString());
  store.WriteString(QStringLiteral("AllowSavingProxyPassword"),
                    number(config.AllowSavingProxyPassword));
  // Report a failed save here; the store's destructor cannot.
  store.Flush();
}

void DeleteClientConfig(const QString& key_path) {
  try {
    RegistryStore store;
    store.DeleteKey(key_path);
    store.Flush();
  } catch (const RegistryError&) {
    // A key that cannot be deleted stays as it was; the callers go on.
  }
}

}  // namespace tovra::client
