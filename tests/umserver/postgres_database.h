#pragma once

// The throw-away cluster the PostgreSQL tests run against (see scripts/pg-test-cluster);
// its folder comes in TOVRA_PG_CLUSTER.

#include <libpq-fe.h>

#include <memory>
#include <string>

#include "test_database.h"

namespace tovra::umserver::testing {

// The superuser's connection string of the cluster.
std::string SuperuserConninfo();

std::unique_ptr<PGconn, void (*)(PGconn*)> ConnectSuperuser(const std::string& conninfo);

}  // namespace tovra::umserver::testing
