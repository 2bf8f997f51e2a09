#pragma once

// Connection profiles: the record every dialog edits and the registry store that keeps them.
//
// Each profile is a key below ProfilesKey named after the profile; all its values are
// stored as text, integers in decimal. The profiles key itself holds LastProfileName and
// may hold profile values of its own (a profile saved without a name lands there; it is
// the starting record of a new profile).

#include <QString>
#include <QStringList>
#include <cstdint>
#include <stdexcept>

namespace tovra::client {

// Callers append the profile name directly, so the trailing backslash matters.
inline const QString ProfilesKey = QStringLiteral("Software\\TOVRA\\2.0\\UserManagerClient\\");

// A connection profile. A plain value: copies share nothing. Flags are tested against 1;
// anything else means off.
struct TClientConfig {
  QString ProfileName;
  QString ServerName;
  QString ServerProtocol;   // "HTTP", "TCP" or "UDP"
  QString MessageProtocol;  // "BIN", "SOAP" or "POST"
  std::int32_t UseCompression = 0;
  QString EncryptionMethod;  // "None", "DES", "Blowfish", "TwoFish" or "Rijndael"
  std::int32_t Port = 0;
  std::int32_t UseProxy = 0;
  QString ProxyServer;
  std::int32_t ProxyPort = 0;
  QString ProxyUser;
  QString ProxyPassword;
  std::int32_t AllowSavingProxyPassword = 0;

  friend bool operator==(const TClientConfig&, const TClientConfig&) = default;
};

// A text that should have been a whole number.
class ConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The strict decimal conversion used for stored and typed integers: an optional sign and
// digits only, within the 32-bit range. Anything else raises ConversionError naming the text.
std::int32_t StrToInt(const QString& text);

// Upper-cases the ASCII letters a to z only; other characters stay as they are.
QString UpperCaseAscii(const QString& text);

void SetDefaultConfig(TClientConfig& config);

// Fills `config` from the key at `key_path` (ProfilesKey followed by the name), creating
// the key when it is missing. Starts from the defaults; missing or empty values keep them.
// Raises platform::RegistryError for a value that is not text and ConversionError for an
// integer value that is not a whole number; the fields read before keep their values.
void ReadClientConfig(const QString& key_path, TClientConfig& config);

// The names of the profiles below `key_path` (ProfilesKey), in the store's order. Creates
// the key on the first start; an empty list when it cannot be opened.
QStringList ReadProfileNames(const QString& key_path);

// LastProfileName of `key_path`; empty when it is missing or the key cannot be opened.
QString ReadLastProfileName(const QString& key_path);
void WriteLastProfileName(const QString& key_path, const QString& name);

// Writes the profile's values into the key at `key_path` (ProfilesKey followed by the
// record's ProfileName); the name itself is not a value. The proxy password is written
// only when AllowSavingProxyPassword is 1; otherwise an empty text replaces any stored one.
void WriteClientConfig(const QString& key_path, const TClientConfig& config);

// Deletes the key at `key_path` with everything below it. Never raises.
void DeleteClientConfig(const QString& key_path);

}  // namespace tovra::client
