#pragma once

// The current user's registry, as the rest of the program sees it.
//
// Keys are addressed by backslash paths from the root, for example
// "Software\TOVRA\2.0\UserManagerClient\Prod" (leading and trailing backslashes are
// dropped). As in the Windows registry, key and value names are compared without regard to
// letter case but keep the case in which they were first written, opening a key may create
// it together with its parents, and a key exists even when it holds no values.
//
// On Windows the store is the native registry under HKEY_CURRENT_USER, written through the
// registry's own functions, so that other programs reading it find plain keys and values.
// Elsewhere it is one file, "TOVRA/registry.ini" under the user's configuration directory,
// saved atomically and merged with changes other processes made meanwhile.
//
// Each object is one access to the store: changes are saved when it is destroyed (or by
// Flush). Keep objects short-lived; another object sees a change once it is saved.

#include <QString>
#include <QStringList>
#include <memory>
#include <stdexcept>

namespace tovra::platform {

// A failure of the store: a key that cannot be written, or a value that is not text.
class RegistryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class RegistryStore {
 public:
  // The current user's store.
  RegistryStore();
  // A store kept in the given file, in the same format as the user's store.
  explicit RegistryStore(const QString& file_name);
  ~RegistryStore();

  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  // The file behind the user's store (on Windows, the registry path).
  static QString UserStoreLocation();

  // Makes the key at `path` the current key. A missing key is created, parents included,
  // when `can_create` is set; otherwise the result is false and the current key stays.
  bool OpenKey(const QString& path, bool can_create);
  // Forgets the current key and saves pending changes.
  void CloseKey();
  // The path of the current key as stored (letter case of the first writer), empty when
  // no key is open.
  QString CurrentPath() const { return current_path_; }

  bool KeyExists(const QString& path);
  // The names of the direct sub-keys of the current key.
  QStringList GetKeyNames();
  // The names of the values of the current key.
  QStringList GetValueNames();
  bool ValueExists(const QString& name);

  // The text value `name` of the current key; empty when it is missing. A value of another
  // type raises RegistryError naming the value.
  QString ReadString(const QString& name);
  // Writes the text value `name` into the current key. RegistryError when no key is open or
  // the store cannot be written.
  void WriteString(const QString& name, const QString& value);
  bool DeleteValue(const QString& name);

  // Deletes the key at `path` with everything below it. False when there is no such key.
  bool DeleteKey(const QString& path);

  // Saves pending changes; RegistryError when the store cannot be written.
  void Flush();

  // Where the keys and values live: the INI file or the native registry.
  class Backend;

 private:
  void RequireOpenKey(const QString& value_name) const;

  std::unique_ptr<Backend> backend_;
  QString current_path_;  // backslash form, for callers
  QString current_key_;   // the back end's own notation
  bool key_open_ = false;
};

}  // namespace tovra::platform
