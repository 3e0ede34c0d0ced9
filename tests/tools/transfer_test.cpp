// veldonctl scan and run as an installer runs them, against the reference service on 127.0.0.1.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/support/central.h"
#include "tests/support/tempdir.h"
#include "tests/support/toolrun.h"
#include "tools/makeshop.h"

namespace veldon {
namespace {

class TransferCommand : public ::testing::Test {
protected:
    demodb::ShopSummary makeShop(long sales, bool delivery, const std::string& server) {
        demodb::ShopOptions o;
        o.kind = demodb::Kind::Restaurant;
        o.sales = sales;
        o.server = server;
        o.delivery = delivery;
        o.dbName = test::RunningCentral::Database;
        return demodb::makeShop(o, dir / "shop", DateTime{2026, 12, 6, 12, 0, 0});
    }

    test::ToolRun scan(const demodb::ShopSummary& shop) {
        return test::runTool("tools/veldonctl",
                             {"--program-folder", shop.programFolder.string(), "scan"},
                             shop.configHome, dir.path());
    }

    test::TempDir dir;
};

TEST_F(TransferCommand, ScanSendsTheBacklogOnceAndSaysWhatItDid) {
    test::RunningCentral central(dir.path());
    const auto shop = makeShop(60, true, central.server());

    test::ToolRun r = scan(shop);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const long sent = central.rows("SALE_HDR");
    EXPECT_GT(sent, 50);
    EXPECT_NE(r.out.find("engine                restaurant with delivery"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("sales sent            " + std::to_string(sent)), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("dump files written    0"), std::string::npos) << r.out;
    // Not a terminal: progress comes as plain lines, ending with all sales done.
    EXPECT_NE(r.out.find("  sales " + std::to_string(sent) + " of " + std::to_string(sent)),
              std::string::npos)
        << r.out;

    r = scan(shop);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("sales sent            0"), std::string::npos) << r.out;
    EXPECT_EQ(central.rows("SALE_HDR"), sent);
}

TEST_F(TransferCommand, ScanSaysWhenTheLineIsDownOrStartUpStops) {
    const auto shop = makeShop(5, false, "127.0.0.1:1");
    // The probe on, aimed at a name that never resolves: the line counts as down.
    test::writeFile(shop.programFolder / "UpdatePath.ini", "[PING-CHECK]\nDNS=down.invalid\n");
    test::ToolRun r = scan(shop);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("line down"), std::string::npos) << r.out;
    EXPECT_TRUE(std::filesystem::exists(shop.programFolder / "MERIDEX_LOG"));

    test::runTool("tools/veldonctl", {"settings", "set", "TORVANE", "Settings", "DBUser", ""},
                  shop.configHome, dir.path());
    r = scan(shop);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("서비스연결정보가 부족합니다."), std::string::npos) << r.err;
}

TEST_F(TransferCommand, RunTicksUntilItIsStopped) {
    test::RunningCentral central(dir.path());
    const auto shop = makeShop(20, false, central.server());
    test::runTool("tools/veldonctl",
                  {"settings", "set", "TORVANE", "Settings", "서비스상태", "시작"}, shop.configHome,
                  dir.path());

    pid_t pid = fork();
    if (pid == 0) {
        setenv("XDG_CONFIG_HOME", shop.configHome.c_str(), 1);
        freopen((dir / "run.out").c_str(), "w", stdout);
        const std::string program = (test::buildDir() / "tools" / "veldonctl").string();
        execl(program.c_str(), program.c_str(), "--program-folder", shop.programFolder.c_str(),
              "run", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Start-up's catch-up transfer sends the backlog before the first tick.
    for (int i = 0; i < 100 && test::readFile(dir / "run.out").find("started") == std::string::npos;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_GT(central.rows("SALE_HDR"), 0);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string out = test::readFile(dir / "run.out");
    EXPECT_NE(out.find("started; service 시작, transfers every 1 minute(s)"), std::string::npos)
        << out;
    EXPECT_NE(out.find("stopped"), std::string::npos) << out;
}

}  // namespace
}  // namespace veldon
