#include "sched/timerloop.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace veldon {

void runTimer(const Timer& timer, const std::function<void()>& handler,
              const std::function<bool()>& stop) {
    using Clock = std::chrono::steady_clock;
    auto countdownStart = Clock::now();
    while (!stop()) {
        const auto interval = std::chrono::milliseconds(timer.Interval);
        std::this_thread::sleep_for(
            std::clamp(interval / 4, std::chrono::milliseconds(1), std::chrono::milliseconds(200)));
        if (!timer.Enabled || timer.Interval <= 0) {
            countdownStart = Clock::now();
            continue;
        }
        if (Clock::now() - countdownStart < interval) {
            continue;
        }
        handler();
        countdownStart = Clock::now();
    }
}

}  // namespace veldon
