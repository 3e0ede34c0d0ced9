// The agent assembled: the main form's state and procedures, the line probe and the scheduler,
// wired as the tray program and the operator tool both run them. Start-up's catch-up transfer is
// the scheduler's forced scan; every engine run is added up in `totals` for summaries and recorded
// in the program folder's lastrun.json (see app/shopstatus.h).
#pragma once

#include <memory>
#include <vector>

#include "app/form1.h"
#include "sched/scheduler.h"
#include "sched/socket_info.h"

namespace veldon {

class TransferAgent {
public:
    explicit TransferAgent(Form1Services services, TransferEngines engines = builtInEngines());

    Form1 form;
    LineProbe probe;
    TransferScheduler scheduler;

    // Every engine run since construction, added up; `runs` counts them.
    TransferReport totals;
    int runs = 0;
    // Each engine run on its own, in order: whether it was start-up's catch-up transfer, and
    // what it did.
    struct Run {
        bool catchUp = false;
        TransferReport report;
    };
    std::vector<Run> history;

    // The load event of the form: the start-up sequence, with its catch-up transfer.
    StartupOutcome start() { return form.Form_Load(); }
    // Command2(1): probes the line and, when it is up, transfers at once.
    void forcedScan() { scheduler.Command2_Click(1); }

private:
    static TransferEngines counted(TransferEngines engines, TransferAgent& agent);
};

}  // namespace veldon
