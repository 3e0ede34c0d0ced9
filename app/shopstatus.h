// What a shop owner must know about the transfers, gathered in one place so that the operator
// tool's status and the window's status tab say the same, and what the tray icon shows.
//
// The facts come from files the transferring program leaves behind (it may be another process):
// the local database, `lastrun.json` and `refusals.jsonl` in the program folder and the dump files
// in `log`. Nothing here writes, except recordLastRun for the agent.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/backlog.h"
#include "app/transferreport.h"
#include "platform/clock.h"

namespace veldon {

class Form1;

// One engine run as the agent records it after the run.
struct LastRun {
    DateTime start;
    DateTime end;
    bool catchUp = false;  // start-up's catch-up transfer
    TransferReport report;
    // Runs in a row, this one included, that ended by an error at the same row
    // (report.stoppedKind and stoppedAt); 0 when this one did not stop at a row.
    int sameStopRuns = 0;

    bool operator==(const LastRun&) const = default;
};

// The file in the program folder that holds the last run.
std::filesystem::path lastRunFile(const std::filesystem::path& programFolder);
// The last run recorded; none when the file is missing or not what recordLastRun writes.
std::optional<LastRun> readLastRun(const std::filesystem::path& programFolder);
// Replaces the file with `run`, its sameStopRuns counted on from the run recorded before. Never
// raises: the run's own marks in the database are what counts, this file only reports them.
void recordLastRun(const std::filesystem::path& programFolder, LastRun run) noexcept;

// The first unsent sale in the order the engine sends them (the one a stuck run stops at).
struct UnsentSale {
    std::string id;        // PE_ID or SL_ID
    std::string date;      // PE_DATE or SL_DATE
    bool refused = false;  // the refusal journal holds a refused or failed upload of it
    // Why it stays unsent, when that is known: its Null transaction number, the error of the last
    // run that stopped at it, or the reply to its newest refusal.
    std::string stuckReason;
};

// A dump file of the `log` folder.
struct DumpFile {
    std::string name;
    std::string date;     // when it was written, from its first line
    std::string message;  // the line after it: what went wrong
};

struct ShopStatus {
    bool retail = false;  // business type 0: POS.MDB
    Backlog backlog;
    std::optional<LastRun> lastRun;
    std::optional<UnsentSale> oldestUnsent;
    std::vector<DumpFile> newestDumps;  // newest first, at most five
    // The refusal journal: its records, and the sales and card approvals (each counted once)
    // it holds as refused or failed whose rows are still unsent. When it cannot be read, why.
    long journalRecords = 0;
    long refusalsWaiting = 0;
    std::string journalError;
};

enum class TrayState { UpToDate, Sending, LineDown, Stuck };

// Sending while a run goes on, LineDown when the last probe found the line down, Stuck when runs
// keep stopping at one row or the oldest unsent sale has been refused, else UpToDate.
TrayState trayState(const ShopStatus& status, bool running, bool lineDown);

// For a form whose configuration is loaded (Form1::loadConfiguration() returned Running). Raises
// veldon::Error when the local database cannot be read; the files around it only leave gaps.
ShopStatus collectShopStatus(Form1& form);

// The facts as (name, value) lines in plain words, for every front end.
std::vector<std::pair<std::string, std::string>> statusLines(const ShopStatus& status);

}  // namespace veldon
