// The shop's status after real transfers of a scratch installation against the reference service
// on 127.0.0.1, as the agent leaves the database, lastrun.json and the refusal journal.
#include "app/shopstatus.h"

#include <gtest/gtest.h>

#include "platform/database.h"
#include "platform/settingsstore.h"
#include "sched/agent.h"
#include "tests/support/central.h"
#include "tests/support/fakes.h"
#include "tests/support/tempdir.h"
#include "tools/makeshop.h"

namespace veldon {
namespace {

using demodb::Kind;

std::string valueOf(const ShopStatus& status, const std::string& name) {
    for (const auto& [n, value] : statusLines(status)) {
        if (n == name) {
            return value;
        }
    }
    return "<no line>";
}

TEST(ShopStatus, SaysWhatIsSentWhatIsStuckAndWhy) {
    struct Case {
        const char* name;
        Kind kind;
        bool registered;      // the service knows the store; else it refuses every sale
        bool nullTransNo;     // the third sale has no transaction number: every run ends there
        const char* lastRun;  // written over lastrun.json afterwards ("": removed), or nullptr
        TrayState tray;
        int sameStopRuns;  // -1: no last run
        const char* why;   // in the oldest unsent sale's reason; nullptr: nothing unsent
    };
    const Case cases[] = {
        {"everything sent", Kind::Restaurant, true, false, nullptr, TrayState::UpToDate, 0,
         nullptr},
        {"refused", Kind::Restaurant, false, false, nullptr, TrayState::Stuck, 0,
         "its upload was refused on 2026-12-06 12:00:00: 미등록 가맹점: S0001"},
        {"stopped twice at one sale", Kind::Retail, true, true, nullptr, TrayState::Stuck, 2,
         "SL_UPTRANSNO (transaction number) is Null"},
        {"garbled last run", Kind::Restaurant, true, false, "{\"start\":\"2026-12-06",
         TrayState::UpToDate, -1, nullptr},
        {"no last run", Kind::Retail, true, false, "", TrayState::UpToDate, -1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        test::RunningCentral central(dir.path(), c.registered);
        demodb::ShopOptions o;
        o.kind = c.kind;
        o.sales = 6;
        o.server = central.server();
        o.dbName = test::RunningCentral::Database;
        const DateTime today{2026, 12, 6, 12, 0, 0};
        const auto shop = demodb::makeShop(o, dir / "shop", today);
        std::string stuck;
        if (c.nullTransNo) {
            auto db = createConnection();
            db->open("Dbq=POS.MDB;DefaultDir=" + shop.dataFolder.string());
            stuck = db->openRecordset("SELECT SL_ID FROM SL ORDER BY SL_ID LIMIT 1 OFFSET 2")
                        ->field(0)
                        .toText();
            db->execute("UPDATE SL SET SL_UPTRANSNO = NULL WHERE SL_ID = " + stuck);
        }

        IniSettingsStore store(shop.settingsFolder);
        test::RecordingMessageSink messages;
        test::FakeClock clock(today);
        TransferAgent agent(Form1Services{store, messages, clock, shop.programFolder});
        ASSERT_EQ(agent.start(), StartupOutcome::Running);  // with its catch-up transfer
        agent.forcedScan();
        ASSERT_EQ(agent.runs, 2);
        if (c.lastRun && *c.lastRun) {
            test::writeFile(lastRunFile(shop.programFolder), c.lastRun);
        } else if (c.lastRun) {
            std::filesystem::remove(lastRunFile(shop.programFolder));
        }

        const ShopStatus status = collectShopStatus(agent.form);
        EXPECT_EQ(trayState(status, false, false), c.tray);
        EXPECT_EQ(trayState(status, false, true), TrayState::LineDown);
        EXPECT_EQ(trayState(status, true, true), TrayState::Sending);
        // Unregistered, every sale and card approval was refused and stays unsent.
        EXPECT_EQ(status.refusalsWaiting,
                  c.registered ? 0 : status.backlog.sales + status.backlog.cardApprovals);
        ASSERT_EQ(status.lastRun.has_value(), c.sameStopRuns >= 0);
        if (status.lastRun) {
            EXPECT_EQ(status.lastRun->sameStopRuns, c.sameStopRuns);
            EXPECT_EQ(status.lastRun->report.stoppedAt, stuck);
            EXPECT_EQ(status.lastRun->report.salesRefused,
                      c.registered ? 0 : status.lastRun->report.salesTotal);
        } else {
            EXPECT_EQ(valueOf(status, "last run"), "none recorded");
        }
        ASSERT_EQ(status.oldestUnsent.has_value(), c.why != nullptr);
        if (c.why) {
            EXPECT_NE(status.oldestUnsent->stuckReason.find(c.why), std::string::npos)
                << status.oldestUnsent->stuckReason;
            EXPECT_EQ(valueOf(status, "why unsent"), status.oldestUnsent->stuckReason);
            if (c.nullTransNo) {
                EXPECT_EQ(status.oldestUnsent->id, stuck);
            }
        }
    }
}

}  // namespace
}  // namespace veldon
