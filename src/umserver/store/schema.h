#pragma once

// The directory's tables, created and upgraded in place. Every step is recorded in
// TOVRA_SCHEMA, so running this again, or against an older store, does only what is missing.

#include "umserver/store/store.h"

namespace tovra::umserver::store {

// The version this program creates and expects.
inline constexpr int kSchemaVersion = 1;

// Brings the schema of `session`'s database up to kSchemaVersion inside one transaction of
// its own (the session must have none open). Returns the version found before.
int EnsureSchema(Session& session);

// The version the database holds; 0 when it has no schema yet.
int SchemaVersion(Session& session);

// The tables an administrator works on, for grants.
inline constexpr const char* kDirectoryTables[] = {"QVB",   "ROLE",      "PRIVILEG", "USERS",
                                                   "ROLES", "PRIVILEGS", "RIGHTS",   "DOCUMENTS"};

}  // namespace tovra::umserver::store
