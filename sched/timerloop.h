// Ticking a timer of the form's controls without an event loop, as the operator tool's `run` does:
// the handler runs every Interval milliseconds while the timer is enabled. A handler that
// disables its timer and enables it again at its end (Timer1 does, for the whole of a tick) starts
// the countdown anew, as re-enabling a window timer does, so a tick longer than the interval
// never makes the next one fire at once.
#pragma once

#include <functional>

#include "app/controls.h"

namespace veldon {

// Runs until `stop` answers true; it is asked several times a second.
void runTimer(const Timer& timer, const std::function<void()>& handler,
              const std::function<bool()>& stop);

}  // namespace veldon
