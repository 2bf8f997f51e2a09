#include "platform/registry_store.h"

#include <QSettings>
#include <QStandardPaths>

namespace tovra::platform {

namespace {

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

QString ToBackslashPath(const QString& group) {
  QStringList parts = group.split(u'/', Qt::SkipEmptyParts);
  for (QString& part : parts) {
    part = Unescape(part);
  }
  return parts.join(u'\\');
}

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
    : settings_(std::make_unique<QSettings>(UserStoreLocation(), QSettings::NativeFormat)) {
}
#else
    : RegistryStore(UserStoreLocation()) {
}
#endif

RegistryStore::RegistryStore(const QString& file_name)
    : settings_(std::make_unique<QSettings>(file_name, QSettings::IniFormat)) {}

RegistryStore::~RegistryStore() {
  // Destructors must not throw; a failure to save was reported by Flush where it mattered.
  settings_->sync();
}

QString RegistryStore::Resolve(const QString& path, bool* exists) {
  QString group;
  bool found = true;
  for (const QString& part : path.split(u'\\', Qt::SkipEmptyParts)) {
    QString stored = found ? FindStored(ChildGroups(*settings_, group), part) : QString();
    if (stored.isEmpty()) {
      found = false;
      stored = Escape(part);
    }
    group = Join(group, stored);
  }
  *exists = found;
  return group;
}

QString RegistryStore::ResolveValue(const QString& name, bool* exists) {
  const QString stored = FindStored(ChildKeys(*settings_, current_group_), name);
  *exists = !stored.isEmpty() && stored != kKeyMarker;
  return Join(current_group_, *exists ? stored : Escape(name));
}

bool RegistryStore::OpenKey(const QString& path, bool can_create) {
  bool exists = false;
  const QString group = Resolve(path, &exists);
  if (!exists) {
    if (!can_create) {
      return false;
    }
    if (!settings_->isWritable()) {
      throw RegistryError(QStringLiteral("Failed to create key %1").arg(path).toStdString());
    }
    // Mark every level, so that parents survive the deletion of this key.
    QString level;
    for (const QString& part : group.split(u'/')) {
      level = Join(level, part);
      if (!settings_->contains(Join(level, kKeyMarker))) {
        settings_->setValue(Join(level, kKeyMarker), QString());
      }
    }
  }
  current_group_ = group;
  current_path_ = ToBackslashPath(group);
  key_open_ = true;
  return true;
}

void RegistryStore::CloseKey() {
  current_group_.clear();
  current_path_.clear();
  key_open_ = false;
  Flush();
}

bool RegistryStore::KeyExists(const QString& path) {
  bool exists = false;
  Resolve(path, &exists);
  return exists;
}

QStringList RegistryStore::GetKeyNames() {
  QStringList names;
  for (const QString& group : ChildGroups(*settings_, current_group_)) {
    names << Unescape(group);
  }
  return names;
}

QStringList RegistryStore::GetValueNames() {
  QStringList names;
  for (const QString& key : ChildKeys(*settings_, current_group_)) {
    if (key != kKeyMarker) {
      names << Unescape(key);
    }
  }
  return names;
}

bool RegistryStore::ValueExists(const QString& name) {
  bool exists = false;
  ResolveValue(name, &exists);
  return exists;
}

QString RegistryStore::ReadString(const QString& name) {
  bool exists = false;
  const QString key = ResolveValue(name, &exists);
  if (!exists) {
    return {};
  }
  const QVariant value = settings_->value(key);
  if (value.metaType().id() != QMetaType::QString) {
    throw RegistryError(QStringLiteral("Invalid data type for '%1'").arg(name).toStdString());
  }
  return value.toString();
}

void RegistryStore::RequireOpenKey(const QString& value_name) const {
  if (!key_open_ || !settings_->isWritable()) {
    throw RegistryError(QStringLiteral("Failed to set data for '%1'").arg(value_name).toStdString());
  }
}

void RegistryStore::WriteString(const QString& name, const QString& value) {
  RequireOpenKey(name);
  bool exists = false;
  settings_->setValue(ResolveValue(name, &exists), value);
}

bool RegistryStore::DeleteValue(const QString& name) {
  bool exists = false;
  const QString key = ResolveValue(name, &exists);
  if (exists) {
    settings_->remove(key);
  }
  return exists;
}

bool RegistryStore::DeleteKey(const QString& path) {
  bool exists = false;
  const QString group = Resolve(path, &exists);
  if (!exists || group.isEmpty()) {
    return false;
  }
  settings_->remove(group);
  return true;
}

void RegistryStore::Flush() {
  settings_->sync();
  switch (settings_->status()) {
    case QSettings::NoError:
      return;
    case QSettings::AccessError:
      throw RegistryError(
          QStringLiteral("Cannot save the registry store %1").arg(settings_->fileName()).toStdString());
    case QSettings::FormatError:
      throw RegistryError(QStringLiteral("The registry store %1 is damaged and was left unchanged; "
                                         "repair or remove it")
                              .arg(settings_->fileName())
                              .toStdString());
  }
}

}  // namespace tovra::platform
