#include "tools/transfer.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iomanip>
#include <ostream>
#include <sstream>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "platform/clock.h"
#include "platform/fileerror.h"
#include "platform/settingsstore.h"
#include "platform/value.h"
#include "sched/agent.h"
#include "sched/timerloop.h"

namespace veldon {

namespace {

using SteadyClock = std::chrono::steady_clock;

double secondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// Progress of a run: one updating line on a terminal, plain lines at each tenth otherwise.
class Progress {
public:
    Progress(std::ostream& out, bool terminal) : m_out(out), m_terminal(terminal) {}

    void saleDone(long done, long total) {
        if (done == 1) {
            m_start = SteadyClock::now();
            m_lastDraw = {};
            m_lastTenth = 0;
        }
        const double elapsed = secondsSince(m_start);
        const double rate = elapsed > 0 ? done / elapsed : 0;
        if (m_terminal) {
            if (done != total && SteadyClock::now() - m_lastDraw < std::chrono::milliseconds(100)) {
                return;
            }
            m_lastDraw = SteadyClock::now();
            const long left = rate > 0 ? static_cast<long>((total - done) / rate) : 0;
            m_out << "\r  sales " << done << " of " << total << "  " << std::fixed
                  << std::setprecision(0) << rate << "/s  " << left / 60 << ":" << std::setw(2)
                  << std::setfill('0') << left % 60 << " left   " << std::setfill(' ')
                  << std::flush;
            if (done == total) {
                m_out << "\n";
            }
        } else {
            const long tenth = total > 0 ? done * 10 / total : 10;
            if (tenth > m_lastTenth || done == total) {
                m_lastTenth = tenth;
                m_out << "  sales " << done << " of " << total << " (" << std::fixed
                      << std::setprecision(0) << rate << "/s)\n";
            }
        }
    }

private:
    std::ostream& m_out;
    bool m_terminal;
    SteadyClock::time_point m_start;
    SteadyClock::time_point m_lastDraw;
    long m_lastTenth = 0;
};

std::string engineName(const Form1& form) {
    const double type = numericValue(form.ServiceType);
    if (type == 0) {
        return "retail";
    }
    if (type == 1) {
        return numericValue(form.SendDelivery) == 1 ? "restaurant with delivery" : "restaurant";
    }
    return "none (business type " + form.ServiceType + ")";
}

// What one run did, in a line.
std::string runLine(const TransferReport& r, bool retail) {
    std::ostringstream line;
    line << r.salesSent << " sales sent, " << r.salesDuplicate << " duplicates, " << r.salesRefused
         << " refused; card approvals " << r.cardsSent << " sent, " << r.cardsDuplicate
         << " duplicates, " << r.cardsRefused << " refused";
    if (retail) {
        line << "; " << r.deletedLinesSent << " deleted lines sent";
    }
    if (r.errorNumber) {
        line << "; ended by error " << *r.errorNumber << ": " << r.errorDescription;
    }
    return line.str();
}

void printReport(std::ostream& out, TransferAgent& agent, double seconds) {
    const TransferReport& t = agent.totals;
    const bool retail = numericValue(agent.form.ServiceType) == 0;
    auto line = [&out](const std::string& name, const std::string& value) {
        out << "  " << std::left << std::setw(22) << name << value << "\n";
    };
    line("engine", engineName(agent.form));
    if (!agent.form.versionReportFailure.empty()) {
        line("version report",
             "not accepted, tried again at the next start: " + agent.form.versionReportFailure);
    }
    // Each run is whole, as the program makes it: a sale refused in the first is tried again,
    // and dumped again, in the second.
    line("runs",
         std::to_string(agent.runs) +
             (agent.runs == 2 ? " (the catch-up transfer at start-up, then the forced scan)" : ""));
    for (std::size_t i = 0; i < agent.history.size(); ++i) {
        const auto& run = agent.history[i];
        line("  run " + std::to_string(i + 1),
             std::string(run.catchUp ? "catch-up: " : "forced scan: ") +
                 runLine(run.report, retail));
    }
    line("sales sent", std::to_string(t.salesSent));
    line("duplicates", std::to_string(t.salesDuplicate));
    line("refused", std::to_string(t.salesRefused));
    line("card approvals sent", std::to_string(t.cardsSent) + " (duplicates " +
                                    std::to_string(t.cardsDuplicate) + ", refused " +
                                    std::to_string(t.cardsRefused) + ")");
    if (retail) {
        line("deleted lines sent", std::to_string(t.deletedLinesSent));
    }
    const int overwritten = agent.form.log().dumpsOverwritten();
    line("dump files written",
         std::to_string(agent.form.log().dumpsWritten()) +
             (overwritten > 0 ? " (" + std::to_string(overwritten) +
                                    " more overwritten by a dump of the same name and second; "
                                    "refusals.jsonl keeps every refusal)"
                              : ""));
    std::ostringstream elapsed;
    elapsed << std::fixed << std::setprecision(2) << seconds << " s";
    if (seconds > 0 && t.salesSent > 0) {
        elapsed << " (" << std::setprecision(0) << t.salesSent / seconds << " sales/s)";
    }
    line("elapsed", elapsed.str());
    if (t.errorNumber) {
        line("ended by error", std::to_string(*t.errorNumber) + ": " + t.errorDescription);
    }
}

std::atomic<bool> g_stop{false};

extern "C" void requestStop(int) {
    g_stop = true;
}

}  // namespace

int runScan(const std::filesystem::path& programFolder, std::ostream& out, std::ostream& err) {
    auto store = openUserSettingsStore();
    StreamMessageSink messages(err);
    SystemClock clock;
    TransferAgent agent(Form1Services{*store, messages, clock, programFolder});
    Progress progress(out, isatty(fileno(stdout)) != 0);
    agent.form.onSaleDone = [&progress](long done, long total) { progress.saleDone(done, total); };

    const auto start = SteadyClock::now();
    if (agent.start() != StartupOutcome::Running) {
        return ScanExit::StartupStopped;
    }
    const int downBefore = agent.scheduler.linesDown;
    agent.forcedScan();
    const bool lineDown = agent.scheduler.linesDown > downBefore;
    const double seconds = secondsSince(start);

    out << "transfer from " << pathText(programFolder) << "\n";
    printReport(out, agent, seconds);

    const TransferReport& t = agent.totals;
    const double type = numericValue(agent.form.ServiceType);
    if (type != 0 && type != 1) {
        out << "  business type " << agent.form.ServiceType
            << " has no transfer engine (서비스형태 must be 0 or 1): nothing was sent\n";
        return ScanExit::RunFailed;
    }
    if (t.errorNumber) {
        out << "  a run ended by an error: what it had not sent is still unsent (see the dump "
               "files in log/)\n";
        return ScanExit::RunFailed;
    }
    if (lineDown) {
        out << "  the line probe found the line down: the forced scan sent nothing (see "
               "MERIDEX_LOG)\n";
        return ScanExit::LineDown;
    }
    if (t.salesRefused + t.cardsRefused > 0) {
        out << "  the service refused some uploads: see refusals.jsonl (veldonctl refusals)\n";
        return ScanExit::SomeRefused;
    }
    return ScanExit::Done;
}

int runService(const std::filesystem::path& programFolder, std::ostream& out, std::ostream& err) {
    auto store = openUserSettingsStore();
    StreamMessageSink messages(err);
    SystemClock clock;
    TransferAgent agent(Form1Services{*store, messages, clock, programFolder});
    g_stop = false;
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);

    if (agent.start() != StartupOutcome::Running) {
        return 2;
    }
    const MainWindowControls& c = agent.form.controls;
    out << clock.now().toDateTimeText() << " started; service " << agent.form.ServiceState
        << (c.Timer1.Interval > 0 ? ", transfers every " + agent.form.LocalInfo[4] + " minute(s)"
                                  : ": stopped, nothing is sent until 서비스상태 is 시작")
        << std::endl;
    // Settings under which the service ticks but never transfers are said at once.
    const double interval = numericValue(agent.form.LocalInfo[4]);
    if (c.Timer1.Interval > 0 &&
        !(interval >= 1 && interval <= 32767 && interval == static_cast<int>(interval))) {
        out << "  스캔시간 '" << agent.form.LocalInfo[4]
            << "' is no whole number of minutes from 1 to 32767: the service ticks but never "
               "transfers"
            << std::endl;
    }
    const double type = numericValue(agent.form.ServiceType);
    if (type != 0 && type != 1) {
        out << "  서비스형태 '" << agent.form.ServiceType
            << "' has no transfer engine (0 retail, 1 restaurant): nothing is ever sent"
            << std::endl;
    }

    const bool retail = numericValue(agent.form.ServiceType) == 0;
    // One line per transfer, the catch-up transfer of start-up included.
    std::size_t reported = 0;
    auto reportRuns = [&] {
        for (; reported < agent.history.size(); ++reported) {
            const auto& run = agent.history[reported];
            out << clock.now().toDateTimeText()
                << (run.catchUp ? " catch-up transfer: " : " transfer: ")
                << runLine(run.report, retail) << std::endl;
        }
    };
    reportRuns();
    runTimer(
        c.Timer1,
        [&] {
            agent.scheduler.Timer1_Timer();
            reportRuns();
        },
        [] { return g_stop.load(); });
    out << clock.now().toDateTimeText() << " stopped" << std::endl;
    return 0;
}

}  // namespace veldon
