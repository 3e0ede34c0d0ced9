#include "sched/agent.h"

#include "app/shopstatus.h"

namespace veldon {

namespace {

void addUp(TransferReport& total, const TransferReport& run) {
    total.salesTotal += run.salesTotal;
    total.salesSent += run.salesSent;
    total.salesDuplicate += run.salesDuplicate;
    total.salesRefused += run.salesRefused;
    total.cardsSent += run.cardsSent;
    total.cardsDuplicate += run.cardsDuplicate;
    total.cardsRefused += run.cardsRefused;
    total.deletedLinesSent += run.deletedLinesSent;
    if (run.errorNumber) {
        total.errorNumber = run.errorNumber;
        total.errorDescription = run.errorDescription;
    }
}

}  // namespace

TransferEngines TransferAgent::counted(TransferEngines engines, TransferAgent& agent) {
    auto wrap = [&agent](std::function<void(Form1&)> engine) -> std::function<void(Form1&)> {
        if (!engine) {
            return {};
        }
        return [&agent, engine](Form1& form) {
            form.lastTransfer = {};
            ++agent.runs;
            LastRun run;
            run.catchUp = form.CatchUpScan;
            run.start = form.services().clock.now();
            // Recorded in the program folder too: the operator tool's status runs in a process
            // of its own.
            auto finished = [&] {
                addUp(agent.totals, form.lastTransfer);
                agent.history.push_back({run.catchUp, form.lastTransfer});
                run.end = form.services().clock.now();
                run.report = form.lastTransfer;
                recordLastRun(form.services().programFolder, run);
            };
            try {
                engine(form);
            } catch (...) {
                finished();
                throw;
            }
            finished();
        };
    };
    return {wrap(engines.retail), wrap(engines.restaurantDelivery),
            wrap(engines.restaurantStandard)};
}

TransferAgent::TransferAgent(Form1Services services, TransferEngines engines)
    : form(services),
      probe(services.programFolder),
      scheduler(form, probe, counted(std::move(engines), *this)) {
    form.forcedScan = [this] { forcedScan(); };
}

}  // namespace veldon
