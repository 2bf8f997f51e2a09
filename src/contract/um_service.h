#pragma once

// The user-manager service as both sides know it: where it is published, its operations
// and the names of their values, the providers behind its datasets, the role administrators
// log in with, and the timings client and server must agree on. A name changed here changes
// on both sides at once; docs/protocol.md describes the same contract for other clients.

#include <array>
#include <chrono>
#include <string_view>

#include "contract/app_server.h"

namespace tovra::contract {

inline constexpr std::string_view kLibraryName = "roKWVUMServerLibrary";
inline constexpr std::string_view kServiceName = "rodmKWVUMServer";
// The interface the service client's proxy class is registered under (any letter case).
inline constexpr std::string_view kInterfaceId = "{DED1765D-84B4-44F9-AE3D-0E5295340FFC}";

// The database role every administrator holds and logs in with.
inline constexpr std::string_view kAdministratorsRole = "BEOGYLTDP";

// The service's own operations, in the interface's slot order (after the provider
// operations of app_server.h).
namespace op {
inline constexpr std::string_view kLogin = "login";
inline constexpr std::string_view kCreateRDBMSUser = "CreateRDBMSUser";
inline constexpr std::string_view kChangePassword = "ChangePassword";
inline constexpr std::string_view kDBType = "DBType";
inline constexpr std::string_view kCommit = "commit";
inline constexpr std::string_view kDBServer = "DBServer";
inline constexpr std::string_view kDBName = "DBName";
inline constexpr std::string_view kDestroyDataModule = "DestroyDataModule";
inline constexpr std::string_view kKeepAlive = "KeepAlive";
}  // namespace op

// Their parameters, all strings; each returns its text (if any) as result::kResult.
namespace param {
// login and ChangePassword.
inline constexpr std::string_view kUserName = "UserName";
// CreateRDBMSUser spells it with a lower-case n.
inline constexpr std::string_view kUsername = "Username";
inline constexpr std::string_view kPassword = "Password";
inline constexpr std::string_view kRole = "Role";
inline constexpr std::string_view kOldPassword = "oldPassword";
inline constexpr std::string_view kNewPassword = "newPassword";
}  // namespace param

// The providers the service's datasets are filled by.
namespace provider {
inline constexpr std::string_view kCatalogue = "dspCatalogue";
inline constexpr std::string_view kRole = "dspRole";
inline constexpr std::string_view kPrivileg = "dspPrivileg";
inline constexpr std::string_view kRoles = "dspRoles";
inline constexpr std::string_view kPrivilegs = "dspPrivilegs";
inline constexpr std::string_view kUser = "dspUser";
inline constexpr std::string_view kRights = "dspRights";
inline constexpr std::string_view kUserRights = "dspUserRights";
inline constexpr std::string_view kDBAUser = "dspDBA_USER";
inline constexpr std::string_view kUser4Role = "dspUser4Role";

// All of them, in the order the server lists them.
inline constexpr std::array<std::string_view, 10> kAll = {
    kCatalogue, kRole,   kPrivileg,   kRoles,   kPrivilegs,
    kUser,      kRights, kUserRights, kDBAUser, kUser4Role};

// The one provider parameter: the role whose members kUser4Role lists.
inline constexpr std::string_view kRoleParameter = "AROLE";
}  // namespace provider

// How long a session may go without a call before the server ends it (and rolls its open
// changes back), unless the server is told otherwise.
inline constexpr std::chrono::seconds kSessionTimeout{120};
// How often a logged-in client gives its sign of life (KeepAlive). It must come well within
// the time-out, or an idle but open window would lose its session.
inline constexpr std::chrono::milliseconds kKeepAliveInterval{40000};
static_assert(kKeepAliveInterval * 2 < kSessionTimeout,
              "a keep-alive lost on the way must not cost the session");

}  // namespace tovra::contract
