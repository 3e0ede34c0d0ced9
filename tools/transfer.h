// veldonctl scan and veldonctl run: the agent without a window, the same code as the tray program.
#pragma once

#include <filesystem>
#include <iosfwd>

namespace veldon {

// Exit statuses of `scan`, for scripts.
namespace ScanExit {
inline constexpr int Done = 0;            // everything due was sent or is held by the service
inline constexpr int LineDown = 1;        // the forced scan found the line down: nothing sent
inline constexpr int StartupStopped = 2;  // start-up stopped (its message goes to `err`)
inline constexpr int RunFailed = 3;       // a run ended by an error, or no engine could run
inline constexpr int SomeRefused = 4;     // the service refused some uploads (see refusals.jsonl)
}  // namespace ScanExit

// Start-up (with its version report, schema upgrade and catch-up transfer), then one forced scan;
// prints a summary with a line per run. Returns a ScanExit status; a run ended by an error comes
// before the line being down, which comes before refusals.
int runScan(const std::filesystem::path& programFolder, std::ostream& out, std::ostream& err);

// Start-up, then the service as the stored service state says, ticking every minute until SIGINT
// or SIGTERM. Returns 0 after a signal, 2 when start-up stopped.
int runService(const std::filesystem::path& programFolder, std::ostream& out, std::ostream& err);

}  // namespace veldon
