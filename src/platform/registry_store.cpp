#include "platform/registry_store.h"

#include <QSettings>
#include <QStandardPaths>
#include <optional>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <vector>
#ifdef _MSC_VER
#pragma comment(lib, "advapi32")
#endif
#endif

namespace tovra::platform {

// Keys are named by a handle in the back end's own notation; the empty handle is the root.
class RegistryStore::Backend {
 public:
  virtual ~Backend() = default;

  // The handle of the key at `path` (backslash form), its components matched without
  // regard to case and spelt as stored; missing components keep the given spelling.
  // `exists` tells whether every component was found.
  virtual QString Resolve(const QString& path, bool* exists) = 0;
  // Creates the key `key` (as Resolve gave it for `path`) with its missing parents.
  virtual void CreateKey(const QString& key, const QString& path) = 0;
  // The backslash path of `key`, for callers.
  virtual QString PathOf(const QString& key) const = 0;

  virtual QStringList KeyNames(const QString& key) = 0;
  virtual QStringList ValueNames(const QString& key) = 0;
  virtual bool ValueExists(const QString& key, const QString& name) = 0;
  // The text value; nullopt when it is missing, RegistryError when it is not text.
  virtual std::optional<QString> ReadString(const QString& key, const QString& name) = 0;
  virtual bool Writable() = 0;
  virtual void WriteString(const QString& key, const QString& name, const QString& value) = 0;
  virtual bool DeleteValue(const QString& key, const QString& name) = 0;
  virtual bool DeleteKey(const QString& key) = 0;

  // Saves pending changes; RegistryError when they cannot be saved.
  virtual void Flush() = 0;
  // The same without reporting (destructors).
  virtual void SaveQuietly() = 0;
};

namespace {

RegistryError InvalidType(const QString& name) {
  return RegistryError(QStringLiteral("Invalid data type for '%1'").arg(name).toStdString());
}

RegistryError CannotSet(const QString& name) {
  return RegistryError(QStringLiteral("Failed to set data for '%1'").arg(name).toStdString());
}

RegistryError CannotCreate(const QString& path) {
  return RegistryError(QStringLiteral("Failed to create key %1").arg(path).toStdString());
}

// --- the INI file ---------------------------------------------------------------------------

// QSettings has no empty groups, while a registry key exists until it is deleted. Every key
// we create therefore holds this marker value. Escape() turns each '%' of a real name into
// "%25", so no real value name can ever be stored as "%key".
const QString kKeyMarker = QStringLiteral("%key");

// QSettings splits names at '/' (and '\'); registry names may hold '/', so it is escaped,
// and '%' with it to keep the escaping reversible.
QString Escape(const QString& name) {
  QString out;
  out.reserve(name.size());
  for (QChar c : name) {
    if (c == u'%') {
      out += QStringLiteral("%25");
    } else if (c == u'/') {
      out += QStringLiteral("%2F");
    } else {
      out += c;
    }
  }
  return out;
}

QString Unescape(const QString& name) {
  QString out = name;
  out.replace(QStringLiteral("%2F"), QStringLiteral("/"), Qt::CaseInsensitive);
  out.replace(QStringLiteral("%25"), QStringLiteral("%"));
  return out;
}

QString Join(const QString& group, const QString& name) {
  return group.isEmpty() ? name : group + u'/' + name;
}

QStringList ChildGroups(QSettings& settings, const QString& group) {
  settings.beginGroup(group);
  QStringList groups = settings.childGroups();
  settings.endGroup();
  return groups;
}

QStringList ChildKeys(QSettings& settings, const QString& group) {
  settings.beginGroup(group);
  QStringList keys = settings.childKeys();
  settings.endGroup();
  return keys;
}

// The stored spelling of `name` among `candidates` (stored, escaped), compared without
// regard to case; empty when there is none.
QString FindStored(const QStringList& candidates, const QString& name) {
  for (const QString& candidate : candidates) {
    if (QString::compare(Unescape(candidate), name, Qt::CaseInsensitive) == 0) {
      return candidate;
    }
  }
  return {};
}

// Keys are settings groups ("A/B/C", names escaped).
class IniBackend : public RegistryStore::Backend {
 public:
  explicit IniBackend(const QString& file_name) : settings_(file_name, QSettings::IniFormat) {}

  QString Resolve(const QString& path, bool* exists) override {
    QString group;
    bool found = true;
    for (const QString& part : path.split(u'\\', Qt::SkipEmptyParts)) {
      QString stored = found ? FindStored(ChildGroups(settings_, group), part) : QString();
      if (stored.isEmpty()) {
        found = false;
        stored = Escape(part);
      }
      group = Join(group, stored);
    }
    *exists = found;
    return group;
  }

  void CreateKey(const QString& key, const QString& path) override {
    if (!settings_.isWritable()) {
      throw CannotCreate(path);
    }
    // Mark every level, so that parents survive the deletion of this key.
    QString level;
    for (const QString& part : key.split(u'/')) {
      level = Join(level, part);
      if (!settings_.contains(Join(level, kKeyMarker))) {
        settings_.setValue(Join(level, kKeyMarker), QString());
      }
    }
  }

  QString PathOf(const QString& key) const override {
    QStringList parts = key.split(u'/', Qt::SkipEmptyParts);
    for (QString& part : parts) {
      part = Unescape(part);
    }
    return parts.join(u'\\');
  }

  QStringList KeyNames(const QString& key) override {
    QStringList names;
    for (const QString& group : ChildGroups(settings_, key)) {
      names << Unescape(group);
    }
    return names;
  }

  QStringList ValueNames(const QString& key) override {
    QStringList names;
    for (const QString& stored : ChildKeys(settings_, key)) {
      if (stored != kKeyMarker) {
        names << Unescape(stored);
      }
    }
    return names;
  }

  bool ValueExists(const QString& key, const QString& name) override {
    bool exists = false;
    ResolveValue(key, name, &exists);
    return exists;
  }

  std::optional<QString> ReadString(const QString& key, const QString& name) override {
    bool exists = false;
    const QString stored = ResolveValue(key, name, &exists);
    if (!exists) {
      return std::nullopt;
    }
    const QVariant value = settings_.value(stored);
    if (value.metaType().id() != QMetaType::QString) {
      throw InvalidType(name);
    }
    return value.toString();
  }

  bool Writable() override { return settings_.isWritable(); }

  void WriteString(const QString& key, const QString& name, const QString& value) override {
    bool exists = false;
    settings_.setValue(ResolveValue(key, name, &exists), value);
  }

  bool DeleteValue(const QString& key, const QString& name) override {
    bool exists = false;
    const QString stored = ResolveValue(key, name, &exists);
    if (exists) {
      settings_.remove(stored);
    }
    return exists;
  }

  bool DeleteKey(const QString& key) override {
    settings_.remove(key);
    return true;
  }

  void Flush() override {
    settings_.sync();
    switch (settings_.status()) {
      case QSettings::NoError:
        return;
      case QSettings::AccessError:
        throw RegistryError(QStringLiteral("Cannot save the registry store %1")
                                .arg(settings_.fileName())
                                .toStdString());
      case QSettings::FormatError:
        throw RegistryError(
            QStringLiteral("The registry store %1 is damaged and was left unchanged; "
                           "repair or remove it")
                .arg(settings_.fileName())
                .toStdString());
    }
  }

  void SaveQuietly() override { settings_.sync(); }

 private:
  // The stored name of value `name` of `key` (the given one, escaped, when it is missing).
  QString ResolveValue(const QString& key, const QString& name, bool* exists) {
    const QString stored = FindStored(ChildKeys(settings_, key), name);
    *exists = !stored.isEmpty() && stored != kKeyMarker;
    return Join(key, *exists ? stored : Escape(name));
  }

  QSettings settings_;
};

#ifdef _WIN32
// --- the native registry --------------------------------------------------------------------

// Keys are backslash paths below HKEY_CURRENT_USER. The registry keeps empty keys and takes
// any name but "\" in a key name, so names are stored as they are and nothing is marked.
class NativeBackend : public RegistryStore::Backend {
 public:
  QString Resolve(const QString& path, bool* exists) override {
    QString key;
    bool found = true;
    for (const QString& part : path.split(u'\\', Qt::SkipEmptyParts)) {
      QString stored;
      if (found) {
        for (const QString& candidate : KeyNames(key)) {
          if (QString::compare(candidate, part, Qt::CaseInsensitive) == 0) {
            stored = candidate;
            break;
          }
        }
      }
      if (stored.isEmpty()) {
        found = false;
        stored = part;
      }
      key = key.isEmpty() ? stored : key + u'\\' + stored;
    }
    *exists = found;
    return key;
  }

  void CreateKey(const QString& key, const QString& path) override {
    HKEY created = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, Wide(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &created, nullptr) != ERROR_SUCCESS) {
      throw CannotCreate(path);
    }
    RegCloseKey(created);
  }

  QString PathOf(const QString& key) const override { return key; }

  QStringList KeyNames(const QString& key) override {
    QStringList names;
    Key opened;
    if (!opened.Open(key, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE)) {
      return names;
    }
    DWORD count = 0, longest = 0;
    if (RegQueryInfoKeyW(opened.handle, nullptr, nullptr, nullptr, &count, &longest, nullptr,
                         nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      return names;
    }
    std::vector<wchar_t> name(longest + 1);
    for (DWORD i = 0; i < count; ++i) {
      DWORD length = static_cast<DWORD>(name.size());
      if (RegEnumKeyExW(opened.handle, i, name.data(), &length, nullptr, nullptr, nullptr,
                        nullptr) == ERROR_SUCCESS) {
        names << Narrow(name.data(), length);
      }
    }
    return names;
  }

  QStringList ValueNames(const QString& key) override {
    QStringList names;
    Key opened;
    if (!opened.Open(key, KEY_QUERY_VALUE)) {
      return names;
    }
    DWORD count = 0, longest = 0;
    if (RegQueryInfoKeyW(opened.handle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &count, &longest, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      return names;
    }
    std::vector<wchar_t> name(longest + 1);
    for (DWORD i = 0; i < count; ++i) {
      DWORD length = static_cast<DWORD>(name.size());
      if (RegEnumValueW(opened.handle, i, name.data(), &length, nullptr, nullptr, nullptr,
                        nullptr) == ERROR_SUCCESS &&
          length > 0) {  // the unnamed default value is no value of ours
        names << Narrow(name.data(), length);
      }
    }
    return names;
  }

  bool ValueExists(const QString& key, const QString& name) override {
    return RegGetValueW(HKEY_CURRENT_USER, Wide(key).c_str(), Wide(name).c_str(),
                        RRF_RT_ANY | RRF_NOEXPAND, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  }

  std::optional<QString> ReadString(const QString& key, const QString& name) override {
    const std::wstring wide_key = Wide(key), wide_name = Wide(name);
    // The value may change between asking for its size and reading it: ask again then.
    for (int attempt = 0; attempt < 4; ++attempt) {
      DWORD type = 0, bytes = 0;
      LONG result = RegGetValueW(HKEY_CURRENT_USER, wide_key.c_str(), wide_name.c_str(),
                                 RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &bytes);
      if (result == ERROR_FILE_NOT_FOUND) {
        return std::nullopt;
      }
      if (result != ERROR_SUCCESS) {
        throw RegistryError(QStringLiteral("Cannot read '%1'").arg(name).toStdString());
      }
      if (type != REG_SZ && type != REG_EXPAND_SZ) {
        throw InvalidType(name);
      }
      std::vector<wchar_t> text(bytes / sizeof(wchar_t) + 1, L'\0');
      bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
      result = RegGetValueW(HKEY_CURRENT_USER, wide_key.c_str(), wide_name.c_str(),
                            RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr,
                            text.data(), &bytes);
      if (result == ERROR_SUCCESS) {
        return QString::fromWCharArray(text.data());
      }
      if (result != ERROR_MORE_DATA && result != ERROR_UNSUPPORTED_TYPE) {
        throw RegistryError(QStringLiteral("Cannot read '%1'").arg(name).toStdString());
      }
    }
    throw RegistryError(QStringLiteral("Cannot read '%1'").arg(name).toStdString());
  }

  bool Writable() override { return true; }  // a write that is refused reports itself

  void WriteString(const QString& key, const QString& name, const QString& value) override {
    Key opened;
    const std::wstring text = Wide(value);
    if (!opened.Open(key, KEY_SET_VALUE) ||
        RegSetValueExW(opened.handle, Wide(name).c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS) {
      throw CannotSet(name);
    }
  }

  bool DeleteValue(const QString& key, const QString& name) override {
    Key opened;
    return opened.Open(key, KEY_SET_VALUE) &&
           RegDeleteValueW(opened.handle, Wide(name).c_str()) == ERROR_SUCCESS;
  }

  bool DeleteKey(const QString& key) override {
    const std::wstring wide = Wide(key);
    // RegDeleteTreeW empties the key; RegDeleteKeyW then removes the key itself.
    if (RegDeleteTreeW(HKEY_CURRENT_USER, wide.c_str()) != ERROR_SUCCESS) {
      return false;
    }
    RegDeleteKeyW(HKEY_CURRENT_USER, wide.c_str());
    return true;
  }

  // The registry writes through; there is nothing to save.
  void Flush() override {}
  void SaveQuietly() override {}

 private:
  struct Key {
    HKEY handle = nullptr;
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
      if (handle != nullptr) {
        RegCloseKey(handle);
      }
    }
    bool Open(const QString& path, REGSAM access) {
      return RegOpenKeyExW(HKEY_CURRENT_USER, Wide(path).c_str(), 0, access, &handle) ==
             ERROR_SUCCESS;
    }
  };

  static std::wstring Wide(const QString& text) { return text.toStdWString(); }
  static QString Narrow(const wchar_t* text, DWORD length) {
    return QString::fromWCharArray(text, static_cast<qsizetype>(length));
  }
};
#endif

}  // namespace

QString RegistryStore::UserStoreLocation() {
#ifdef _WIN32
  return QStringLiteral("HKEY_CURRENT_USER");
#else
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QStringLiteral("/TOVRA/registry.ini");
#endif
}

RegistryStore::RegistryStore()
#ifdef _WIN32
    : backend_(std::make_unique<NativeBackend>()){}
#else
    : RegistryStore(UserStoreLocation()) {
}
#endif

      RegistryStore::RegistryStore(const QString& file_name)
    : backend_(std::make_unique<IniBackend>(file_name)) {
}

RegistryStore::~RegistryStore() {
  // Destructors must not throw; a failure to save was reported by Flush where it mattered.
  backend_->SaveQuietly();
}

bool RegistryStore::OpenKey(const QString& path, bool can_create) {
  bool exists = false;
  const QString key = backend_->Resolve(path, &exists);
  if (!exists) {
    if (!can_create) {
      return false;
    }
    backend_->CreateKey(key, path);
  }
  current_key_ = key;
  current_path_ = backend_->PathOf(key);
  key_open_ = true;
  return true;
}

void RegistryStore::CloseKey() {
  current_key_.clear();
  current_path_.clear();
  key_open_ = false;
  Flush();
}

bool RegistryStore::KeyExists(const QString& path) {
  bool exists = false;
  backend_->Resolve(path, &exists);
  return exists;
}

QStringList RegistryStore::GetKeyNames() {
  return backend_->KeyNames(current_key_);
}

QStringList RegistryStore::GetValueNames() {
  return backend_->ValueNames(current_key_);
}

bool RegistryStore::ValueExists(const QString& name) {
  return backend_->ValueExists(current_key_, name);
}

QString RegistryStore::ReadString(const QString& name) {
  return backend_->ReadString(current_key_, name).value_or(QString());
}

void RegistryStore::RequireOpenKey(const QString& value_name) const {
  if (!key_open_ || !backend_->Writable()) {
    throw CannotSet(value_name);
  }
}

void RegistryStore::WriteString(const QString& name, const QString& value) {
  RequireOpenKey(name);
  backend_->WriteString(current_key_, name, value);
}

bool RegistryStore::DeleteValue(const QString& name) {
  return backend_->DeleteValue(current_key_, name);
}

bool RegistryStore::DeleteKey(const QString& path) {
  bool exists = false;
  const QString key = backend_->Resolve(path, &exists);
  if (!exists || key.isEmpty()) {
    return false;
  }
  return backend_->DeleteKey(key);
}

void RegistryStore::Flush() {
  backend_->Flush();
}

}  // namespace tovra::platform
