// The built veldonctl, run as an operator runs it, with its settings in a temporary folder.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "logs/refusaljournal.h"
#include "tests/support/fakes.h"
#include "tests/support/tempdir.h"
#include "tests/support/toolrun.h"

namespace veldon {
namespace {

class VeldonctlTest : public ::testing::Test {
protected:
    // Runs the tool with `args`; the settings store lives below the test's own folder.
    test::ToolRun run(const std::vector<std::string>& args) {
        return test::runTool("tools/veldonctl", args, m_dir / "config", m_dir.path());
    }

    // make-shop into m_dir/shop, its store moved to where `run` looks; the program folder.
    std::string makeShop(std::vector<std::string> args) {
        args.insert(args.begin(), {"make-shop", "--server", "127.0.0.1:8750"});
        args.push_back((m_dir / "shop").string());
        EXPECT_EQ(run(args).status, 0);
        std::filesystem::rename(m_dir / "shop" / "config", m_dir / "config");
        return (m_dir / "shop" / "program").string();
    }

    // Runs one statement on a database file; the first column of its first row, if any.
    static std::string sql(const std::filesystem::path& file, const std::string& statement) {
        sqlite3* db = nullptr;
        sqlite3_open(file.string().c_str(), &db);
        std::string first;
        auto keepFirst = [](void* out, int, char** values, char**) {
            *static_cast<std::string*>(out) = values[0] ? values[0] : "";
            return 1;
        };
        sqlite3_exec(db, statement.c_str(), keepFirst, &first, nullptr);
        sqlite3_close(db);
        return first;
    }

    test::TempDir m_dir;
};

// Help goes to stdout with status 0; a wrong command line is said on stderr with status 2, a
// command that cannot do its work with 1, and neither leaves anything behind.
TEST_F(VeldonctlTest, CommandLinesExitWithTheirStatusAndSayWhy) {
    const std::string x = (m_dir / "x").string();
    const auto shop = m_dir / "POS.MDB";
    test::writeFile(shop, "the shop's sales");
    const auto retail = [](const char* command, std::vector<std::string> args) {
        args.insert(args.begin(), {command, "--kind", "retail"});
        return args;
    };
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string said;  // on stdout with status 0, else on stderr
    };
    const std::vector<Case> cases = {
        {{"--help"}, 0, "Usage: veldonctl [--program-folder DIR] COMMAND"},
        {retail("make-db", {"-h"}), 0, "Usage: veldonctl make-db"},
        {{"--version"}, 0, "veldonctl "},
        {{}, 2, "Usage: veldonctl"},
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{"--colour"}, 2, "unknown option --colour"},
        {{"--program-folder", (m_dir / "nowhere").string(), "unsent"}, 2, "does not exist"},
        // The build folder is no shop's program folder: the commands that start up say so.
        {{"status"}, 2, "no MyCF.MDB in "},
        {{"settings"}, 2, "missing get, set or list"},
        {{"settings", "get", "TORVANE", "Settings"}, 2, "missing APP SECTION KEY"},
        {{"settings", "set", "TORVANE", "Settings", "a", "b", "c"}, 2, "unexpected argument 'c'"},
        {{"settings", "get", "TORVANE", "Settings", "없는키"}, 1, "없는키 is not set"},
        // Values the program would read as something else are refused unless forced.
        {{"settings", "set", "TORVANE", "Settings", "스캔시간", "0"}, 1, "--force"},
        {{"settings", "set", "TORVANE", "Settings", "스캔시간", "5 "}, 1, "--force"},
        {{"settings", "set", "TORVANE", "Settings", "서비스형태", "2"}, 1, "--force"},
        {{"settings", "set", "TORVANE", "Settings", "1차서버", "127.0.0.1"}, 1, "--force"},
        {retail("make-db", {"--sales", "abc", "--out", x}), 2, "--sales"},
        {retail("make-db", {"--sales", "-5", "--out", x}), 2, "--sales"},
        {retail("make-db", {"--sales", "12abc", "--out", x}), 2, "'12abc'"},
        {retail("make-db", {"--sales", "10", "--days", "0", "--out", x}), 2, "--days"},
        {{"make-db", "--kind", "diner", "--sales", "10", "--out", x}, 2, "restaurant or retail"},
        {retail("make-db", {"--sales", "10"}), 2, "--out is required"},
        {retail("make-db", {"--sales", "30000", "--days", "2", "--out", x}), 2, "a day"},
        {retail("make-db", {"--sales", "1", "--sales", "2", "--out", x}), 2, "given twice"},
        {retail("make-db", {"--sales", "5", "--out", shop.string()}), 1, "not overwritten"},
        {retail("unsent", {}), 2, "missing FILE"},
        {retail("unsent", {(m_dir / "missing.mdb").string()}), 1, "missing.mdb not found"},
        {{"refusals", "resend"}, 2, "missing --all or KEY"},
        {{"refusals", "--kind", "bill"}, 2, "sale or card"},
        {retail("make-shop", {"--sales", "5", "--server", "127.0.0.1", x}), 2, "HOST:PORT"},
        {retail("make-shop", {"--sales", "5", x}), 2, "--server is required"},
        {retail("make-shop", {"--sales", "5", "--server", "127.0.0.1:80", "--delivery", x}), 2,
         "restaurants only"},
        {retail("make-shop", {"--sales", "5", "--server", "127.0.0.1:80"}), 2, "missing OUT_DIR"},
        {retail("make-shop", {"--sales", "5", "--server", "127.0.0.1:80", "--db-name", " ", x}), 2,
         "--db-name must not be blank"},
    };
    for (const Case& c : cases) {
        const test::ToolRun r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.said << ": " << r.err;
        EXPECT_NE((c.status == 0 ? r.out : r.err).find(c.said), std::string::npos)
            << r.out << r.err;
        EXPECT_EQ(c.status == 0 ? r.err : r.out, "") << c.said;
    }
    EXPECT_FALSE(std::filesystem::exists(m_dir / "x"));
    EXPECT_FALSE(std::filesystem::exists(m_dir / "missing.mdb"));
    EXPECT_EQ(test::readFile(shop), "the shop's sales");
    EXPECT_EQ(run({"settings", "list"}).out, "");
}

TEST_F(VeldonctlTest, SettingsRoundTripIncludingKoreanNames) {
    for (std::vector<std::string> set : std::vector<std::vector<std::string>>{
             {"TORVANE", "Settings", "1차서버", "127.0.0.1:8750"},
             {"외식업", "LOCATION", "경로", "/srv/pos 데이터"},
             {"TORVANE", "Settings", "카운터", "--", "-01"},
             {"TORVANE", "Settings", "빈값", ""},
             {"TORVANE", "Settings", "보정", "-5"},
             {"--force", "TORVANE", "Settings", "스캔시간", "0"}}) {
        set.insert(set.begin(), {"settings", "set"});
        ASSERT_EQ(run(set).status, 0) << set[set.size() - 2];
    }
    const std::string listed = run({"settings", "list"}).out;
    EXPECT_EQ(
        listed,
        "[TORVANE\\Settings]\n1차서버=127.0.0.1:8750\n카운터=-01\n빈값=\n보정=-5\n스캔시간=0\n"
        "[외식업\\LOCATION]\n경로=/srv/pos 데이터\n");
    EXPECT_EQ(run({"settings", "list", "TORVANE"}).out, listed.substr(0, listed.find("[외식업")));
    // An empty value is an empty line.
    EXPECT_EQ(run({"settings", "get", "TORVANE", "Settings", "빈값"}).out, "\n");
}

TEST_F(VeldonctlTest, MakeDbThenUnsentCountsWhatTheEnginesWouldSend) {
    const auto food = m_dir / "FOOD.MDB";
    test::ToolRun r = run({"make-db", "--kind", "restaurant", "--sales", "400", "--days", "7",
                           "--seed", "3", "--out", food.string()});
    EXPECT_NE(r.out.find("400 sales over 7 days"), std::string::npos) << r.out << r.err;
    const std::string closed = sql(food, "SELECT COUNT(*) FROM PE WHERE PE_CK <> 0");
    ASSERT_NE(closed, "400");  // open sales are not offered
    EXPECT_EQ(run({"unsent", "--kind", "restaurant", food.string()}).out,
              "unsent sales: " + closed +
                  "\nunsent card approvals: " + sql(food, "SELECT COUNT(*) FROM CREDIT") + "\n");

    const auto pos = m_dir / "POS.MDB";
    ASSERT_EQ(run({"make-db", "--kind=retail", "--sales=250", "--out", pos.string()}).status, 0);
    EXPECT_EQ(
        run({"unsent", "--kind", "retail", pos.string()}).out,
        "unsent sales: 250\nunsent card approvals: " + sql(pos, "SELECT COUNT(*) FROM CREDIT") +
            "\nunsent deleted lines: " + sql(pos, "SELECT COUNT(*) FROM DELSSL") + "\n");

    // Before the upgrade there is no DEL_SD to read: a note, not a failure.
    const std::string old = (m_dir / "OLD.MDB").string();
    run({"make-db", "--kind=retail", "--sales=20", "--pre-upgrade", "--out", old});
    r = run({"unsent", "--kind", "retail", old});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("unsent sales: 20\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("unsent deleted lines: unknown"), std::string::npos) << r.out;
}

// make-shop writes the shop's own store only, and the command it prints runs the shop as it
// stands (here against no service: exit status 3).
TEST_F(VeldonctlTest, MakeShopPrintsWhatRunsTheShop) {
    const auto out = m_dir / "my shop";
    const test::ToolRun r =
        run({"make-shop", "--kind", "restaurant", "--sales", "25", "--server", "127.0.0.1:8750",
             "--delivery", "--db-user", "demo", out.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(std::filesystem::exists(m_dir / "config"));
    const auto root = std::filesystem::canonical(out);
    EXPECT_NE(r.out.find("\nexport XDG_CONFIG_HOME='" + (root / "config").string() + "'\n"),
              std::string::npos)
        << r.out;
    for (const char* said : {"mv5529", "veldon_demo", "user demo", "TORVANE.ini", "FOOD.MDB"}) {
        EXPECT_NE(r.out.find(said), std::string::npos) << said << "\n" << r.out;
    }
    const std::size_t hint = r.out.find("  XDG_CONFIG_HOME=");
    ASSERT_NE(hint, std::string::npos) << r.out;
    const std::string command = r.out.substr(hint, r.out.find('\n', hint) - hint);
    const int status = std::system((command + " > '" + (m_dir / "hint").string() + "'").c_str());
    EXPECT_EQ(WEXITSTATUS(status), 3) << command;
    const std::string scan = test::readFile(m_dir / "hint");
    EXPECT_NE(scan.find("transfer from " + (root / "program").string()), std::string::npos) << scan;

    // Without --store, scratch shops in different folders get different store codes.
    std::string stores[2];
    for (const int i : {0, 1}) {
        const auto folder = m_dir / std::to_string(i);
        run({"make-shop", "--kind=retail", "--sales=1", "--server=127.0.0.1:9000",
             folder.string()});
        stores[i] =
            test::readFile(folder / "config" / "VB and VBA Program Settings" / "TORVANE.ini");
    }
    EXPECT_NE(stores[0], stores[1]);  // in 가맹점, the only setting that differs
    EXPECT_NE(stores[0].find("가맹점=S"), std::string::npos) << stores[0];
}

TEST_F(VeldonctlTest, StatusShowsTheStartStateOrWhyTheProgramWouldStop) {
    const std::string program = makeShop({"--kind", "retail", "--sales", "40", "--store", "S7"});
    const std::string shop = (m_dir / "shop").string();
    const auto pos = m_dir / "shop" / "data" / "POS.MDB";
    const std::string stuck = sql(pos, "SELECT SL_ID FROM SL ORDER BY SL_ID LIMIT 1 OFFSET 5");
    sql(pos, "UPDATE SL SET SL_UPTRANSNO = NULL WHERE SL_ID >= " + stuck);

    test::ToolRun r = run({"--program-folder", program, "status"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const std::string& said : std::vector<std::string>{
             "ServiceType      0", "StoreCode        S7", "unsent sales     40",
             "version report   pending: the service has not accepted 1.019 yet",
             "stops at         sale SL_ID " + stuck + ": its SL_UPTRANSNO is Null",
             "Dbq=POS.MDB;DefaultDir=" + shop + "/data;Uid=Admin;pwd=****"}) {
        EXPECT_NE(r.out.find(said), std::string::npos) << said << "\n" << r.out;
    }
    EXPECT_EQ(r.out.find("mv5529"), std::string::npos);  // passwords never shown
    EXPECT_EQ(r.out.find("%%%4172"), std::string::npos);

    ASSERT_EQ(run({"settings", "set", "TORVANE", "Settings", "DB서버", " "}).status, 0);
    r = run({"--program-folder", program, "status"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "서비스: 서비스연결정보가 부족합니다.\n\nPOS프로그램에서 회사ID를 입력하면 자동으로 "
              "부여받습니다.\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(VeldonctlTest, RefusalsListsTheJournalAndResendClearsExactlyTheMarksItHolds) {
    const std::string program = makeShop({"--kind", "restaurant", "--sales", "20"});
    const auto food = m_dir / "shop" / "data" / "FOOD.MDB";
    const std::string refused = sql(food, "SELECT MIN(PE_ID) FROM PE");
    const std::string sent = sql(food, "SELECT MAX(PE_ID) FROM PE");
    const std::string card = sql(food, "SELECT MIN(AC_ID) FROM CREDIT");
    sql(food, "UPDATE PE SET PE_SD = 7 WHERE PE_ID IN ('" + refused + "', '" + sent + "')");
    sql(food, "UPDATE CREDIT SET CD_SD = 7 WHERE AC_ID = '" + card + "'");
    const std::string marks =  // of the refused sale, the sent sale and the card approval
        "SELECT (SELECT PE_SD FROM PE WHERE PE_ID = '" + refused + "') || (SELECT PE_SD FROM PE " +
        "WHERE PE_ID = '" + sent + "') || (SELECT MAX(CD_SD) FROM CREDIT WHERE AC_ID = '" + card +
        "')";
    test::FakeClock clock;
    RefusalJournal journal(program, clock);
    journal.append({"sale", "refused", "PutPSM13_SIN", refused, "0:거래처 없음", {}});
    journal.append({"card", "failed", "putcard", card, "-2147012867 연결 실패", {}});

    test::ToolRun r = run({"--program-folder", program, "refusals"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("sale  refused  " + refused), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 refusals in"), std::string::npos) << r.out;

    r = run({"--program-folder", program, "refusals", "resend", "--all"});
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_EQ(sql(food, marks), "070");

    // A key the journal does not hold is reported; one holding quotes cannot widen the statement.
    const std::string quoted = "x' OR PE_SD = 7 OR PE_ID = 'x";
    journal.append({"sale", "refused", "PutPSM13_SIN", quoted, "", {}});
    r = run({"--program-folder", program, "refusals", "resend", sent, quoted});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(sent + ": the journal holds no"), std::string::npos) << r.err;
    EXPECT_EQ(sql(food, marks), "070");
}

}  // namespace
}  // namespace veldon
