// The system asking the process to end (SIGTERM at shutdown, SIGINT from a terminal), as a
// descriptor an event loop can watch: it turns readable when such a signal arrives.
#pragma once

namespace veldon {

// Installs the handlers (once) and returns the descriptor to watch; -1 where the platform tells
// its programs to end otherwise (Windows sends the window a message instead).
int stopSignalDescriptor();

}  // namespace veldon
