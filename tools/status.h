// veldonctl status: what the program would start with, without changing anything.
#pragma once

#include <filesystem>
#include <iosfwd>

namespace veldon {

// Runs start-up up to its checks (settings, UpdatePath.ini, MyCF.MDB, the order-terminal and
// connection-data stops, the connection strings) and prints the state, then the shop's status
// (app/shopstatus.h): what waits to be sent, the last run, refusals and dump files. Returns 0, 2
// when start-up would stop (its message goes to `err`), 1 when the local database cannot be read.
int printStatus(const std::filesystem::path& programFolder, std::ostream& out, std::ostream& err);

}  // namespace veldon
