// When a transfer runs: Form1's one-minute timer (Timer1) counts ticks and every scan interval
// probes the line and dispatches the engine of the business type; the service buttons of Command2
// start and stop it and force a transfer at once; Timer3 blinks the status label while the line is
// down.
//
// This is plain C++ driven through the timers of the form's controls: a front end ticks
// Timer1_Timer every controls.Timer1.Interval milliseconds while controls.Timer1.Enabled (the
// window with Qt timers, the operator tool with its own loop), and tests call the handlers
// directly with a set clock. Timer1 is disabled for the whole of a tick and of a forced scan, so
// runs never overlap.
#pragma once

#include <cstdint>
#include <functional>

#include "app/form1.h"
#include "sched/socket_info.h"

namespace veldon {

// The engines the dispatcher picks from; each reads the form's state.
struct TransferEngines {
    std::function<void(Form1&)> retail;
    std::function<void(Form1&)> restaurantDelivery;
    std::function<void(Form1&)> restaurantStandard;
};

// The engines of this build.
TransferEngines builtInEngines();

class TransferScheduler {
public:
    TransferScheduler(Form1& form, const LineProbe& probe,
                      TransferEngines engines = builtInEngines());

    // Ticks of Timer1 since the last transfer attempt (16-bit; wraps to 0 after 32767 when the
    // scan interval never matches).
    std::int16_t TickCount = 0;
    // Probes that found the line down, for the front ends' reports, and what the last one found
    // (the status label keeps blinking until a forced scan finds the line up; this does not).
    int linesDown = 0;
    bool lastProbeDown = false;

    void Timer1_Timer();
    void Timer3_Timer();
    // 0 hide the window, 1 forced scan, 2 start the service, 3 stop it, 4 apply the settings.
    void Command2_Click(int index);
    void DispatchTransfer();

    // Hiding the window (button 0) belongs to the window.
    std::function<void()> hideWindow;

private:
    void lineDown();

    Form1& m_form;
    const LineProbe& m_probe;
    TransferEngines m_engines;
};

}  // namespace veldon
