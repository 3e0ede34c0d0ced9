// veldonctl scan and veldonctl run: the agent without a window, the same code as the tray program.
#pragma once

#include <filesystem>
#include <iosfwd>

namespace veldon {

// Start-up (with its version report, schema upgrade and catch-up transfer), then one forced scan;
// prints a summary. Returns 0 when a transfer ran, 1 when the line was down, 2 when start-up
// stopped (its message goes to `err`).
int runScan(const std::filesystem::path& programFolder, std::ostream& out, std::ostream& err);

// Start-up, then the service as the stored service state says, ticking every minute until SIGINT
// or SIGTERM. Returns 0 after a signal, 2 when start-up stopped.
int runService(const std::filesystem::path& programFolder, std::ostream& out, std::ostream& err);

}  // namespace veldon
