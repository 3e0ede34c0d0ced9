// What one transfer run did: the operator tool prints it, the benchmarks measure with it.
#pragma once

#include <optional>
#include <string>

namespace veldon {

struct TransferReport {
    long salesTotal = 0;      // unsent sale headers the run read
    long salesSent = 0;       // accepted by the service
    long salesDuplicate = 0;  // held by the service already, marked sent
    long salesRefused = 0;    // refused and dumped, left unsent
    long cardsSent = 0;
    long cardsDuplicate = 0;
    long cardsRefused = 0;
    long deletedLinesSent = 0;
    // The error that ended the run through the engine's error path, if one did.
    std::optional<long> errorNumber;
    std::string errorDescription;
    // The row the run was sending when that error ended it, in the refusal journal's terms:
    // kind "sale" or "card" and the local key (PE_ID, SL_ID; AC_ID, C_SLID). Empty when the
    // error came between rows or before the first.
    std::string stoppedKind;
    std::string stoppedAt;
};

}  // namespace veldon
