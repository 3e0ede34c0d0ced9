// veldonctl scan and run as an installer runs them, against the reference service on 127.0.0.1.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/database.h"
#include "tests/support/central.h"
#include "tests/support/scriptedservice.h"
#include "tests/support/tempdir.h"
#include "tests/support/toolrun.h"
#include "tools/makeshop.h"

namespace veldon {
namespace {

class TransferCommand : public ::testing::Test {
protected:
    demodb::ShopSummary makeShop(long sales, bool delivery, const std::string& server,
                                 demodb::Kind kind = demodb::Kind::Restaurant) {
        demodb::ShopOptions o;
        o.kind = kind;
        o.sales = sales;
        o.server = server;
        o.delivery = delivery;
        o.dbName = test::RunningCentral::Database;
        return demodb::makeShop(o, dir / "shop", DateTime{2026, 12, 6, 12, 0, 0});
    }

    // `veldonctl COMMAND` on the shop as a process of its own, its output in `out`.
    pid_t start(const demodb::ShopSummary& shop, const char* command,
                const std::filesystem::path& out) {
        const pid_t pid = fork();
        if (pid == 0) {
            setenv("XDG_CONFIG_HOME", shop.configHome.c_str(), 1);
            freopen(out.c_str(), "w", stdout);
            const std::string program = (test::buildDir() / "tools" / "veldonctl").string();
            execl(program.c_str(), program.c_str(), "--program-folder", shop.programFolder.c_str(),
                  command, static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    }

    test::ToolRun scan(const demodb::ShopSummary& shop) {
        return test::runTool("tools/veldonctl",
                             {"--program-folder", shop.programFolder.string(), "scan"},
                             shop.configHome, dir.path());
    }

    // Sets TORVANE\Settings\KEY in the shop's store, as an installer would.
    void set(const demodb::ShopSummary& shop, const std::string& key, const std::string& value) {
        test::runTool("tools/veldonctl",
                      {"settings", "set", "--force", "TORVANE", "Settings", key, value},
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
    const std::string n = std::to_string(sent);
    // Not a terminal: progress comes as plain lines, ending with all sales done.
    for (const std::string& said : std::vector<std::string>{
             "engine                restaurant with delivery", "sales sent            " + n,
             "dump files written    0", "  sales " + n + " of " + n}) {
        EXPECT_NE(r.out.find(said), std::string::npos) << said << "\n" << r.out;
    }

    r = scan(shop);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("sales sent            0"), std::string::npos) << r.out;
    EXPECT_EQ(central.rows("SALE_HDR"), sent);
}

TEST_F(TransferCommand, ScanExitsNonZeroForEveryKindOfFailureAndSaysWhich) {
    struct Case {
        const char* name;
        bool serviceUp, registered;
        const char* businessType;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"service unreachable", false, true, "1", 3, "ended by error -2147012867"},
        {"store not registered", true, false, "1", 4, "the service refused some uploads"},
        {"no engine", true, true, "2", 3, "business type 2 has no transfer engine"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(dir / "shop");
        std::filesystem::remove_all(dir / "central");
        std::filesystem::create_directories(dir / "central");
        test::RunningCentral central(dir / "central", c.registered);
        const auto shop = makeShop(20, false, c.serviceUp ? central.server() : "127.0.0.1:1");
        set(shop, "서비스형태", c.businessType);

        const test::ToolRun r = scan(shop);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("line down"), std::string::npos) << r.out;
        if (!c.registered) {  // the counter is unknown to the service too
            EXPECT_NE(r.out.find("version report        not accepted, tried again at the next "
                                 "start: refused: 미등록 카운터"),
                      std::string::npos)
                << r.out;
        }
        // Every dump counted exists; those of the same name and second are said to be replaced.
        const auto files =
            std::distance(std::filesystem::directory_iterator(shop.programFolder / "log"), {});
        EXPECT_NE(r.out.find("dump files written    " + std::to_string(files)), std::string::npos)
            << r.out;
    }
}

TEST_F(TransferCommand, ScanSaysWhenTheLineIsDownOrStartUpStops) {
    const auto shop = makeShop(5, false, "127.0.0.1:1");
    // The probe on, aimed at a name that never resolves: the line counts as down.
    test::writeFile(shop.programFolder / "UpdatePath.ini", "[PING-CHECK]\nDNS=down.invalid\n");
    test::ToolRun r = scan(shop);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("line down"), std::string::npos) << r.out;
    EXPECT_TRUE(std::filesystem::exists(shop.programFolder / "MERIDEX_LOG"));

    set(shop, "DBUser", "");
    r = scan(shop);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("서비스연결정보가 부족합니다."), std::string::npos) << r.err;
}

TEST_F(TransferCommand, RunTicksUntilItIsStopped) {
    test::RunningCentral central(dir.path());
    const auto shop = makeShop(20, false, central.server());
    set(shop, "서비스상태", "시작");
    set(shop, "스캔시간", "0");

    pid_t pid = start(shop, "run", dir / "run.out");
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
    for (const char* said : {"started; service 시작, transfers every 0 minute(s)",
                             "the service ticks but never transfers",
                             " catch-up transfer: 20 sales sent", "stopped"}) {
        EXPECT_NE(out.find(said), std::string::npos) << said << "\n" << out;
    }
}

// Over HTTPS, with certificate authorities and certificates the openssl command makes here: only
// a certificate the shop can trust (issued by its CA, for the host it calls, in date) carries
// sales. Any other ends the call with its cause in the dump file, and nothing is marked.
TEST_F(TransferCommand, HttpsCarriesSalesOnlyToACertificateTheShopTrusts) {
    const std::filesystem::path pki = dir / "pki";
    std::filesystem::create_directories(pki);
    const std::string script =
        "cd '" + pki.string() +
        "' && key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out $1.key; "
        "} && ca() { key $1 && openssl req -x509 -key $1.key -out $1.pem -days 2 -subj /CN=$1; } "
        "&& cert() { key $1 && openssl req -new -key $1.key -subj /CN=central -out $1.csr && echo "
        "subjectAltName=$2 > $1.ext && openssl x509 -req -in $1.csr -CA ca.pem -CAkey ca.key "
        "-CAcreateserial -days $3 -extfile $1.ext -out $1.pem; } && ca ca && ca other && "
        "cert good IP:127.0.0.1 2 && cert wronghost DNS:central.invalid 2 && "
        "cert expired IP:127.0.0.1 -1 && chmod 600 *.key";
    ASSERT_EQ(std::system((script + " 2>/dev/null").c_str()), 0) << script;

    struct Case {
        const char* name;
        const char* certificate;
        const char* caFile;
        bool carries;
        const char* says;  // in the dump file
    };
    const Case cases[] = {
        {"a chain it trusts", "good", "ca.pem", true, ""},
        {"another host's certificate", "wronghost", "ca.pem", false,
         "is not made out to the host name 127.0.0.1"},
        {"an expired certificate", "expired", "ca.pem", false, "certificate has expired"},
        {"an unknown authority", "good", "other.pem", false, "unable to get local issuer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(dir / "shop");
        std::filesystem::remove_all(dir / "central");
        std::filesystem::create_directories(dir / "central");
        const std::string certificate = (pki / c.certificate).string();
        central::LocalService central(
            dir / "central", {test::RunningCentral::User, "mv5529", test::RunningCentral::Database},
            central::Shop{"S0001", "데모 식당", "H01", "본사창고", "01", "카운터1"}, 2,
            central::LocalService::Tls{certificate + ".pem", certificate + ".key"});
        const auto shop = makeShop(5, false, central.url(), demodb::Kind::Retail);
        set(shop, "CA인증서", (pki / c.caFile).string());

        const test::ToolRun r = scan(shop);
        auto local = createConnection();
        local->open("Dbq=POS.MDB;DefaultDir=" + shop.dataFolder.string());
        const long marked = static_cast<long>(
            local->openRecordset("SELECT COUNT(*) FROM SL WHERE SL_SND = 7")->field(0).toNumber());
        EXPECT_EQ(marked, central.rows("SALE_HDR"));
        if (c.carries) {
            EXPECT_EQ(r.status, 0) << r.out << r.err;
            EXPECT_EQ(marked, 5);
            continue;
        }
        EXPECT_EQ(marked, 0);
        std::string dumps;
        for (const auto& f : std::filesystem::directory_iterator(shop.programFolder / "log")) {
            dumps += test::readFile(f.path());
        }
        EXPECT_NE(dumps.find(c.says), std::string::npos) << dumps << r.out;
    }
}

// The agent killed while the service holds an upload it has not answered yet: nothing is marked
// that the service did not answer for, and the runs that follow converge without storing
// anything twice.
TEST_F(TransferCommand, AnAgentKilledMidBatchLeavesNothingMarkedAndConvergesWithoutDoubles) {
    test::RunningCentral central(dir.path());
    std::atomic<int> holdAt{0};  // 1: putcard, 2: PUTSQL; the relay then stores and goes silent
    std::atomic<bool> held{false};
    test::ScriptedService relay([&](const test::ScriptedService::Call& call, auto& out) {
        httplib::Client service("127.0.0.1", central.port());
        auto answer = service.Post(call.path, call.body, "application/json; charset=utf-8");
        if (!answer) {
            return false;
        }
        const std::string method = call.path.substr(call.path.rfind('/') + 1);
        if ((holdAt == 1 && method == "putcard") || (holdAt == 2 && method == "PUTSQL")) {
            held = true;
            out.wait(std::chrono::seconds(60));
            return false;
        }
        return out.write(test::ScriptedService::answer(answer->body, answer->status));
    });
    const auto shop = makeShop(12, false, relay.server(), demodb::Kind::Retail);
    auto local = createConnection();
    local->open("Dbq=POS.MDB;DefaultDir=" + shop.dataFolder.string());
    auto count = [&](const std::string& query) {
        return static_cast<long>(local->openRecordset(query)->field(0).toNumber());
    };
    for (int i = 1; i <= 3; ++i) {
        local->execute(
            "INSERT INTO DELSSL (DEL_DATE, DEL_POS, DEL_MENU, DEL_UNIT, DEL_PRICE, "
            "DEL_QTY, DEL_AMT, DEL_NO, DEL_ID) VALUES ('2026-12-06 11:0" +
            std::to_string(i) + ":00', '0001', '우유', '개', 1500, " + std::to_string(i) +
            ", 1500, '01', " + std::to_string(900 + i) + ")");
    }
    const long cards = count("SELECT COUNT(*) FROM CREDIT");
    const long deleted = count("SELECT COUNT(*) FROM DELSSL");
    ASSERT_GT(cards, 1);

    auto killedScan = [&](int phase) {
        holdAt = phase;
        held = false;
        const pid_t pid = start(shop, "scan", dir / "killed.out");
        for (int i = 0; i < 400 && !held; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return held.load();
    };

    ASSERT_TRUE(killedScan(1));  // the service stored the batch, the agent never heard
    EXPECT_EQ(count("SELECT COUNT(*) FROM CREDIT WHERE C_SND = 7"), 0);
    EXPECT_EQ(central.rows("CARD_APR"), cards);
    ASSERT_TRUE(killedScan(2));  // the same for the deleted lines
    EXPECT_EQ(count("SELECT COUNT(*) FROM DELSSL WHERE DEL_SD = '7'"), 0);
    EXPECT_EQ(central.rows("DELPSS13"), deleted);

    set(shop, "1차서버", central.server());
    // Each run marks the approval the service names as held, so the batch converges run by run.
    for (int run = 0; run <= cards && count("SELECT COUNT(*) FROM CREDIT WHERE C_SND <> 7") > 0;
         ++run) {
        scan(shop);
    }
    EXPECT_EQ(count("SELECT COUNT(*) FROM SL WHERE iif(SL_SND is null,0,SL_SND) <> 7"), 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM CREDIT WHERE C_SND <> 7"), 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM DELSSL WHERE DEL_SD = '7'"), deleted);
    EXPECT_EQ(central.rows("SALE_HDR"), count("SELECT COUNT(*) FROM SL"));
    EXPECT_EQ(central.rows("CARD_APR"), cards);
    EXPECT_EQ(central.rows("DELPSS13"), deleted);
}

}  // namespace
}  // namespace veldon
