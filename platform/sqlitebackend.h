// The SQLite backend of the local database layer: the POS program's databases in their SQLite form
// (see database.h). Only database.cpp creates it.
#pragma once

#include <memory>

#include "platform/database.h"

namespace veldon {

std::unique_ptr<Connection> createSqliteConnection();

}  // namespace veldon
