// What a shop's local database still has to send: the counts behind start-up's catch-up
// decision, for the operator tool and the window.
#pragma once

#include <optional>
#include <string>

#include "platform/database.h"

namespace veldon {

struct Backlog {
    long sales = 0;          // unsent sale headers, counted with start-up's own query
    long cardApprovals = 0;  // unsent card approvals
    // Unsent deleted lines (retail); empty when the database cannot tell (no DELSSL table, or no
    // DEL_SD column before the upgrade), with the reason in `deletedLinesNote`.
    std::optional<long> deletedLines;
    std::string deletedLinesNote;
    // The first unsent retail sale without a transaction number (SL_UPTRANSNO, its key at the
    // central service): every run ends there with "Invalid use of Null" until the POS program
    // fills it. Empty when there is none or the column is missing.
    std::optional<std::string> stuckSale;
};

// Counts through the engines' statements on an open connection. Raises veldon::Error when the
// sales or card approvals cannot be counted.
Backlog countBacklog(Connection& db, bool retail);

}  // namespace veldon
