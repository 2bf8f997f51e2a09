#pragma once

// The ten providers of the user-manager service, as queries and update resolution on a
// store session. The service layer turns their results into data packets and client
// change logs into ChangeRows; nothing here knows the wire.
//
// Every provider delivers its fields in a fixed order with fixed types and sizes, whatever
// the back end, and its rows ordered by ID unless said otherwise:
//
//   dspCatalogue   ID, NAME(120), COMMENT_(255), FILTER_SQL(2000)       table QVB
//   dspRole        ID, BEZ(40), COMMENT_(255)                            table ROLE
//   dspPrivileg    ID, BEZ(40), READ, WRITE, STRUC                       read-only
//   dspRoles       ID, ORIG_ID, ROLE_ID                                  table ROLES
//   dspPrivilegs   ID, ROLE_ID, PRIVILEG_ID                              table PRIVILEGS
//   dspUser        ID, USERNAME(40), NAME(40), COMMENT_(255), Flags      table USERS
//   dspRights      ID, QVB_ID, ROLE_ID                                   table RIGHTS
//   dspUserRights  USERNAME(40), ID, NAME(120), MAX_OF_ID                read-only
//   dspDBA_USER    USERNAME(63), USER_ID                                 read-only
//   dspUser4Role   USERNAME(40), NAME(40); parameter AROLE               read-only
//
// dspUser delivers USERNAME read-only (the client makes it writable for new rows) but
// accepts it in updates. dspUserRights holds, per active user and database, the highest
// privilege level that any of the user's roles with access to that database gives; its
// rows are ordered by user ID and database ID (the order the grouping yields, so even the
// large directories need no extra sort). dspDBA_USER lists the database server's
// login accounts by their number. dspUser4Role lists the active members of role AROLE.

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "umserver/store/store.h"

namespace tovra::umserver::providers {

// A named parameter of a provider call (only dspUser4Role takes one: AROLE).
struct Parameter {
  std::string name;  // matched without regard to case
  store::Value value;
};

// The provider names, in the order above.
std::vector<std::string> ProviderNames();

// True when `provider` exists and takes no updates.
bool IsReadOnly(std::string_view provider);

// The provider's fields, without rows.
std::vector<store::Column> Columns(std::string_view provider);

// All rows of `provider`. Throws StoreError for an unknown provider, a missing or
// malformed parameter, or a database failure.
store::ResultSet GetRecords(store::Session& session, std::string_view provider,
                            std::span<const Parameter> params = {});

// Writes a client's change rows in the session's transaction (opened here when needed),
// each row in a savepoint of its own: a refused row leaves no trace and comes back with
// the reason. A modification is keyed on the original ID and also requires the original
// values of the changed fields, so a row that someone else changed since it was read is
// refused rather than overwritten. `max_errors` < 0 tries every row; otherwise the work
// stops as soon as more than `max_errors` rows were refused (0: at the first).
// Throws StoreError for an unknown or read-only provider, and ConnectionLostError when the
// database server goes away.
store::ApplyResult ApplyUpdates(store::Session& session, std::string_view provider,
                                std::span<const store::ChangeRow> changes, int max_errors);

}  // namespace tovra::umserver::providers
