// veldonctl refusals: the refusal journal of a program folder, and sending its uploads again.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace veldon {

// Lists the journal's records oldest first (only those of `kind` when it is not empty), one line
// each, then their number and the unreadable lines skipped. Returns 0.
int listRefusals(const std::filesystem::path& programFolder, const std::string& kind,
                 std::ostream& out);

struct ResendRequest {
    std::string kind;               // "sale", "card", or empty for both
    bool all = false;               // everything the journal holds as refused or failed
    std::vector<std::string> keys;  // else these keys
};

// Clears the sent mark of the rows that the journal holds as refused or failed, so that the next
// transfer sends them again; the service answers a second upload of what it holds as a duplicate.
// Loads the configuration as start-up does and opens the local database. Each mark is cleared by a
// statement of its own, as the POS program writes the database at the same time. Returns 0; 1
// when a key is not in the journal as refused or failed, a mark cannot be cleared, or the shop's
// business type has no way to resend yet; 2 when start-up would stop (its message goes to `err`).
int resendRefusals(const std::filesystem::path& programFolder, const ResendRequest& request,
                   std::ostream& out, std::ostream& err);

}  // namespace veldon
