// The local connection of an engine run.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/database.h"

namespace veldon {

// How long the sent marks of a run wait to be committed together. A mark lost in a crash only
// makes the next run send that sale or approval again, which the central service answers as a
// duplicate, and the sale is marked then. Committing every mark alone would cost the disk several
// flushes per sale (a first installation sends years of history at once), while the POS program's
// own writes wait at most this long for the lock.
inline constexpr std::chrono::milliseconds MarkCommitWindow{50};

// A new connection opened with `connectionString`, marks committed in windows.
std::unique_ptr<Connection> openTransferConnection(const std::string& connectionString);

}  // namespace veldon
