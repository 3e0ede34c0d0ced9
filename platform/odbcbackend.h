// The ODBC backend of the local database layer, the one of Windows (see database.h). Only
// database.cpp creates it.
//
// The POS program's connection strings name the Access driver, and a shop PC opens its files
// through it: the statements go to Access as they are. The environment variable
// VELDON_ODBC_DRIVER names another driver to use instead; any driver other than Access is taken
// to be the SQLite ODBC driver, which gets the same Jet-to-SQLite rewrite as the Linux backend
// (with SQLite's own functions standing in for Jet's), the busy timeout of the Linux backend and
// never creates a missing file. Under Wine such a driver is a Unix library: it is handed the
// file's Unix name.
#pragma once

#include <memory>

#include "platform/database.h"

namespace veldon {

std::unique_ptr<Connection> createOdbcConnection();

}  // namespace veldon
