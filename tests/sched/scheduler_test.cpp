// The transfer timer, the service buttons and the dispatcher, driven tick by tick with a set clock
// on a scratch restaurant installation; the line probe is real and only ever reaches 127.0.0.1.
#include "sched/scheduler.h"

#include <gtest/gtest.h>

#include "platform/textfile.h"
#include "sched/timerloop.h"
#include "tests/support/central.h"
#include "tests/support/fakes.h"
#include "tests/support/tempdir.h"
#include "tools/makeshop.h"

namespace veldon {
namespace {

// A scratch restaurant installation whose central service is nowhere: nothing listens on port 1.
demodb::ShopSummary scratchShop(const std::filesystem::path& folder, const DateTime& today) {
    demodb::ShopOptions o;
    o.sales = 20;
    o.server = "127.0.0.1:1";
    o.dbName = test::RunningCentral::Database;
    return demodb::makeShop(o, folder, today);
}

class Scheduling : public ::testing::Test {
protected:
    Scheduling() { lineUp(); }

    std::filesystem::path program() const { return shop.programFolder; }
    void lineUp() const {
        test::writeFile(program() / "UpdatePath.ini", "[PING-CHECK]\nDNS=127.0.0.1\n");
    }
    void lineDown() const {
        test::writeFile(program() / "UpdatePath.ini", "[PING-CHECK]\nDNS=line-down.invalid\n");
    }
    std::vector<std::string> dailyLog() const {
        auto file = program() / "MERIDEX_LOG" / "20240305.TXT";
        return std::filesystem::exists(file) ? readCp949Lines(file) : std::vector<std::string>{};
    }

    // A started form whose scheduler ticks with the engines of this build.
    void start() {
        form = std::make_unique<Form1>(Form1Services{store, messages, clock, program()});
        scheduler = std::make_unique<TransferScheduler>(*form, probe);
        form->forcedScan = [this] { scheduler->Command2_Click(1); };
        ASSERT_EQ(form->Form_Load(), StartupOutcome::Running);
    }

    // Ticks once at the next minute; true when a transfer was dispatched.
    bool tick() {
        DateTime t = clock.now();
        t.minute = (t.minute + 1) % 60;
        clock.set(t);
        form->controls.Label7.Caption.clear();
        scheduler->Timer1_Timer();
        EXPECT_TRUE(form->controls.Timer1.Enabled);
        return !form->controls.Label7.Caption.empty();
    }

    test::TempDir dir;
    test::FakeClock clock{{2024, 3, 5, 14, 7, 9}};
    demodb::ShopSummary shop = scratchShop(dir / "shop", clock.now());
    IniSettingsStore store{shop.settingsFolder};
    test::RecordingMessageSink messages;
    LineProbe probe{program(), "127.0.0.1"};
    std::unique_ptr<Form1> form;
    std::unique_ptr<TransferScheduler> scheduler;
};

TEST_F(Scheduling, EveryScanIntervalOfTicksProbesAndTransfers) {
    store.set("TORVANE", "Settings", "스캔시간", "5");
    start();
    std::vector<bool> dispatched;
    for (int i = 0; i < 10; ++i) {
        dispatched.push_back(tick());
    }
    EXPECT_EQ(dispatched, (std::vector<bool>{false, false, false, false, true, false, false, false,
                                             false, true}));
    EXPECT_EQ(form->controls.Label7.Caption, clock.now().toDateTimeText());

    store.set("TORVANE", "Settings", "스캔시간", "1");
    form->LoadSettings();
    EXPECT_TRUE(tick());
    EXPECT_TRUE(tick());

    // An interval that is not whole never matches: the count goes on and wraps.
    store.set("TORVANE", "Settings", "스캔시간", "1.5");
    form->LoadSettings();
    EXPECT_FALSE(tick());
    EXPECT_FALSE(tick());
    EXPECT_EQ(scheduler->TickCount, 2);
    scheduler->TickCount = 32767;
    EXPECT_FALSE(tick());
    EXPECT_EQ(scheduler->TickCount, 0);
}

TEST_F(Scheduling, ALineDownIsLoggedAndBlinkedAndTheServiceKeepsTicking) {
    store.set("TORVANE", "Settings", "서비스상태", "시작");
    lineDown();
    start();  // the catch-up scan finds the line down, and the started service still resumes
    EXPECT_EQ(dailyLog(), (std::vector<std::string>{"[2024-03-05 14:07:09]", "인터넷 끊김",
                                                    "인터넷 회선을 체크하시기 바랍니다.(인터넷 "
                                                    "회사에 연락하여 점검요망 드립니다.)"}));
    EXPECT_TRUE(form->controls.Timer3.Enabled);
    EXPECT_EQ(form->controls.Timer1.Interval, 60000);
    EXPECT_EQ(store.get("TORVANE", "전송에러", "구분"), "1");

    EXPECT_FALSE(tick());
    EXPECT_EQ(dailyLog().size(), 6u);  // one record per failed probe

    const bool visible = form->controls.lbliMsg.Visible;
    scheduler->Timer3_Timer();
    EXPECT_NE(form->controls.lbliMsg.Visible, visible);

    // Stopping the service leaves the blink on; a forced scan that finds the line up ends it.
    scheduler->Command2_Click(3);
    EXPECT_TRUE(form->controls.Timer3.Enabled);
    lineUp();
    form->LoadSettings();  // the probe target is read with the settings
    form->controls.lbliMsg.Caption = "x";
    scheduler->Command2_Click(1);
    EXPECT_FALSE(form->controls.Timer3.Enabled);
    EXPECT_EQ(form->controls.lbliMsg.Caption, "");
    EXPECT_FALSE(form->controls.Label7.Caption.empty());
    EXPECT_TRUE(form->controls.Timer1.Enabled);
}

TEST_F(Scheduling, TheServiceButtonsStoreTheStateAndSetTheTimer) {
    start();
    scheduler->TickCount = 2;
    scheduler->Command2_Click(2);
    EXPECT_EQ(store.get("TORVANE", "Settings", "서비스상태"), "시작");
    EXPECT_EQ(form->ServiceState, "시작");
    EXPECT_EQ(form->controls.Timer1.Interval, 60000);
    EXPECT_FALSE(form->controls.Command2[2].Enabled);
    EXPECT_TRUE(form->controls.Command2[3].Enabled);

    scheduler->Command2_Click(3);
    EXPECT_EQ(store.get("TORVANE", "Settings", "서비스상태"), "종료");
    EXPECT_EQ(form->controls.Timer1.Interval, 0);
    EXPECT_TRUE(form->controls.Command2[2].Enabled);
    EXPECT_FALSE(form->controls.Command2[3].Enabled);
    scheduler->Command2_Click(1);  // neither stopping nor a forced scan resets the count
    EXPECT_EQ(scheduler->TickCount, 2);

    int hidden = 0;
    scheduler->hideWindow = [&] { ++hidden; };
    scheduler->Command2_Click(0);
    scheduler->Command2_Click(7);  // no such button
    EXPECT_EQ(hidden, 1);
}

TEST_F(Scheduling, TheDispatcherPicksTheEngineOfTheBusinessType) {
    test::RunningCentral central(dir.path());
    store.set("TORVANE", "Settings", "1차서버", central.server());
    store.set("TORVANE", "Settings", "배송정보전송", "1");
    start();  // the catch-up scan sends the backlog with the delivery engine
    EXPECT_GT(central.rows("SALE_HDR"), 0);
    EXPECT_GT(central.rows("SALE_DLV"), 0);

    // Type 2 runs no engine, but still marks the time and re-arms the timer.
    form->ServiceType = "2";
    form->controls.Timer1.Enabled = false;
    scheduler->DispatchTransfer();
    EXPECT_TRUE(form->controls.Timer1.Enabled);
    EXPECT_FALSE(form->controls.Label7.Caption.empty());
}

TEST(TimerLoop, ATickLongerThanTheIntervalRestartsTheCountdownAtItsEnd) {
    using Clock = std::chrono::steady_clock;
    Timer timer{100, true};
    std::vector<std::pair<Clock::time_point, Clock::time_point>> ticks;
    const auto begin = Clock::now();
    runTimer(
        timer,
        [&] {
            timer.Enabled = false;  // as Timer1_Timer does for the whole tick
            const auto start = Clock::now();
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            timer.Enabled = true;
            ticks.emplace_back(start, Clock::now());
        },
        [&] { return ticks.size() == 3; });
    EXPECT_GE(ticks[0].first - begin, std::chrono::milliseconds(100));
    for (std::size_t i = 1; i < ticks.size(); ++i) {
        EXPECT_GE(ticks[i].first - ticks[i - 1].second, std::chrono::milliseconds(100)) << i;
    }
}

}  // namespace
}  // namespace veldon
