// The built veldonctl, run as an operator runs it, with its settings in a temporary folder.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "logs/refusaljournal.h"
#include "tests/support/fakes.h"
#include "tests/support/tempdir.h"
#include "tests/support/toolrun.h"

namespace veldon {
namespace {

using test::TempDir;

using test::ToolRun;

class VeldonctlTest : public ::testing::Test {
protected:
    // Runs the tool with `args`; the settings store lives below the test's own folder.
    ToolRun run(const std::vector<std::string>& args) {
        return test::runTool("tools/veldonctl", args, m_dir / "config", m_dir.path());
    }

    long countRows(const std::filesystem::path& file, const std::string& sql) {
        sqlite3* db = nullptr;
        sqlite3_open_v2(file.string().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* stmt = nullptr;
        long n = -1;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            n = static_cast<long>(sqlite3_column_int64(stmt, 0));
        }
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return n;
    }

    // Runs one statement on a database file; the first column of its first row, if any.
    std::string sql(const std::filesystem::path& file, const std::string& statement) {
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

    TempDir m_dir;
};

TEST_F(VeldonctlTest, HelpAndVersion) {
    for (const char* help : {"--help", "-h"}) {
        const ToolRun r = run({help});
        EXPECT_EQ(r.status, 0);
        for (const char* command : {"settings", "make-db", "unsent"}) {
            EXPECT_NE(r.out.find(command), std::string::npos) << command;
        }
    }
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{"settings", "--help"},
                                               {"settings", "-h"},
                                               {"settings", "get", "--help"},
                                               {"make-db", "--help"},
                                               {"make-db", "--kind", "retail", "-h"},
                                               {"unsent", "--help"}}) {
        const ToolRun r = run(args);
        EXPECT_EQ(r.status, 0) << args[0] << " " << args[1];
        EXPECT_EQ(r.out.rfind("Usage: veldonctl " + args[0], 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
    }
    const ToolRun v = run({"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "veldonctl " + std::to_string(VELDON_VERSION_MAJOR) + "." +
                         std::to_string(VELDON_VERSION_MINOR) + "." +
                         std::to_string(VELDON_VERSION_REVISION) + "\n");
}

TEST_F(VeldonctlTest, WrongCommandLinesExitWithTwoAndSayWhy) {
    struct Case {
        std::vector<std::string> args;
        std::string said;
    };
    const std::vector<Case> cases = {
        {{}, "Usage: veldonctl"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"--colour"}, "unknown option --colour"},
        {{"--program-folder", (m_dir / "nowhere").string(), "unsent"}, "does not exist"},
        {{"settings"}, "missing get, set or list"},
        {{"settings", "get", "TORVANE", "Settings"}, "missing APP SECTION KEY"},
        {{"settings", "set", "TORVANE", "Settings", "a", "b", "c"}, "unexpected argument 'c'"},
        {{"make-db", "--kind", "retail", "--sales", "abc", "--out", "x"}, "--sales"},
        {{"make-db", "--kind", "retail", "--sales", "-5", "--out", "x"}, "--sales"},
        {{"make-db", "--kind", "retail", "--sales", "12abc", "--out", "x"}, "'12abc'"},
        {{"make-db", "--kind", "retail", "--sales", "10", "--days", "0", "--out", "x"}, "--days"},
        {{"make-db", "--kind", "diner", "--sales", "10", "--out", "x"}, "restaurant or retail"},
        {{"make-db", "--kind", "retail", "--sales", "10"}, "--out is required"},
        {{"make-db", "--kind", "retail", "--sales", "30000", "--days", "2", "--out", "x"}, "a day"},
        {{"make-db", "--kind", "retail", "--sales", "1", "--sales", "2", "--out", "x"},
         "given twice"},
        {{"unsent", "--kind", "retail"}, "missing FILE"},
        {{"refusals", "resend"}, "missing --all or KEY"},
        {{"refusals", "--kind", "bill"}, "sale or card"},
    };
    for (const Case& c : cases) {
        const ToolRun r = run(c.args);
        const std::string line = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(r.status, 2) << line << ": " << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << line << ": " << r.err;
        EXPECT_EQ(r.out, "") << line;
    }
    EXPECT_FALSE(std::filesystem::exists(m_dir / "x"));
}

TEST_F(VeldonctlTest, SettingsRoundTripIncludingKoreanNames) {
    ASSERT_EQ(run({"settings", "set", "TORVANE", "Settings", "1차서버", "127.0.0.1:8750"}).status,
              0);
    ASSERT_EQ(run({"settings", "set", "외식업", "LOCATION", "경로", "/srv/pos 데이터"}).status, 0);
    ASSERT_EQ(run({"settings", "set", "TORVANE", "Settings", "카운터", "--", "-01"}).status, 0);
    ASSERT_EQ(run({"settings", "set", "TORVANE", "Settings", "빈값", ""}).status, 0);
    ASSERT_EQ(run({"settings", "set", "TORVANE", "Settings", "보정", "-5"}).status, 0);

    ToolRun r = run({"settings", "get", "TORVANE", "Settings", "1차서버"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "127.0.0.1:8750\n");

    // Values the program would read as something else are refused unless forced.
    for (const auto& [key, value] :
         std::vector<std::pair<std::string, std::string>>{{"스캔시간", "0"},
                                                          {"스캔시간", "5 "},
                                                          {"서비스형태", "2"},
                                                          {"1차서버", "127.0.0.1"}}) {
        r = run({"settings", "set", "TORVANE", "Settings", key, value});
        EXPECT_EQ(r.status, 1) << key << "=" << value;
        EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
    }
    EXPECT_EQ(run({"settings", "get", "TORVANE", "Settings", "1차서버"}).out, "127.0.0.1:8750\n");
    ASSERT_EQ(run({"settings", "set", "--force", "TORVANE", "Settings", "스캔시간", "0"}).status,
              0);
    EXPECT_EQ(run({"settings", "get", "TORVANE", "Settings", "스캔시간"}).out, "0\n");
    EXPECT_EQ(run({"settings", "get", "외식업", "LOCATION", "경로"}).out, "/srv/pos 데이터\n");
    EXPECT_EQ(run({"settings", "get", "TORVANE", "Settings", "카운터"}).out, "-01\n");
    EXPECT_EQ(run({"settings", "get", "TORVANE", "Settings", "보정"}).out, "-5\n");
    // Registry names match without regard to letter case.
    EXPECT_EQ(run({"settings", "get", "torvane", "SETTINGS", "1차서버"}).out, "127.0.0.1:8750\n");

    r = run({"settings", "get", "TORVANE", "Settings", "빈값"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n");
    r = run({"settings", "get", "TORVANE", "Settings", "없는키"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("없는키 is not set"), std::string::npos) << r.err;

    r = run({"settings", "list", "TORVANE"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("[TORVANE\\Settings]\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1차서버=127.0.0.1:8750\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("외식업"), std::string::npos) << r.out;
    r = run({"settings", "list"});
    EXPECT_NE(r.out.find("[외식업\\LOCATION]\n경로=/srv/pos 데이터\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("카운터=-01\n"), std::string::npos) << r.out;

    // The store went where XDG_CONFIG_HOME points, nowhere else.
    EXPECT_TRUE(
        std::filesystem::exists(m_dir / "config" / "VB and VBA Program Settings" / "TORVANE.ini"));
}

TEST_F(VeldonctlTest, MakeDbThenUnsentCountsWhatTheEnginesWouldSend) {
    const auto food = m_dir / "FOOD.MDB";
    ToolRun r = run({"make-db", "--kind", "restaurant", "--sales", "400", "--days", "7", "--seed",
                     "3", "--out", food.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("400 sales over 7 days"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("PE"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" s\n"), std::string::npos) << r.out;

    const long closed = countRows(food, "SELECT COUNT(*) FROM PE WHERE PE_CK <> 0");
    ASSERT_GT(closed, 0);
    ASSERT_LT(closed, 400);  // open sales are not offered
    const long cards = countRows(food, "SELECT COUNT(*) FROM CREDIT");
    r = run({"unsent", "--kind", "restaurant", food.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "unsent sales: " + std::to_string(closed) +
                         "\nunsent card approvals: " + std::to_string(cards) + "\n");

    const auto pos = m_dir / "POS.MDB";
    ASSERT_EQ(run({"make-db", "--kind=retail", "--sales=250", "--out", pos.string()}).status, 0);
    r = run({"unsent", "--kind", "retail", pos.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "unsent sales: 250\nunsent card approvals: " +
                         std::to_string(countRows(pos, "SELECT COUNT(*) FROM CREDIT")) +
                         "\nunsent deleted lines: " +
                         std::to_string(countRows(pos, "SELECT COUNT(*) FROM DELSSL")) + "\n");

    // Before the upgrade there is no DEL_SD to read: a note, not a failure.
    const auto old = m_dir / "OLD.MDB";
    ASSERT_EQ(run({"make-db", "--kind", "retail", "--sales", "20", "--pre-upgrade", "--out",
                   old.string()})
                  .status,
              0);
    r = run({"unsent", "--kind", "retail", old.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("unsent sales: 20\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("unsent deleted lines: unknown"), std::string::npos) << r.out;
}

TEST_F(VeldonctlTest, FailuresExitWithOneAndTouchNothing) {
    // The build folder is no shop's program folder: the commands that start up say so.
    for (const char* command : {"status", "scan"}) {
        const ToolRun r = run({command});
        EXPECT_EQ(r.status, 2) << command;
        EXPECT_NE(r.err.find("no MyCF.MDB in "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("--program-folder DIR"), std::string::npos) << r.err;
    }
    const auto shop = m_dir / "POS.MDB";
    test::writeFile(shop, "the shop's sales");
    ToolRun r = run({"make-db", "--kind", "retail", "--sales", "5", "--out", shop.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not overwritten"), std::string::npos) << r.err;
    EXPECT_EQ(test::readFile(shop), "the shop's sales");

    r = run({"unsent", "--kind", "retail", (m_dir / "missing.mdb").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.mdb not found"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(m_dir / "missing.mdb"));
}

TEST_F(VeldonctlTest, StatusShowsTheStartStateOrWhyTheProgramWouldStop) {
    const std::string shop = (m_dir / "shop").string();
    // make-shop's own store is below the shop; status reads the store the caller points it at.
    ASSERT_EQ(run({"make-shop", "--kind", "retail", "--sales", "40", "--server", "127.0.0.1:8750",
                   "--store", "S7", shop})
                  .status,
              0);
    std::filesystem::rename(m_dir / "shop" / "config", m_dir / "config");
    const std::string program = shop + "/program";
    const std::string stuck = sql(m_dir / "shop" / "data" / "POS.MDB",
                                  "SELECT SL_ID FROM SL ORDER BY SL_ID LIMIT 1 OFFSET 5");
    sql(m_dir / "shop" / "data" / "POS.MDB",
        "UPDATE SL SET SL_UPTRANSNO = NULL WHERE SL_ID >= " + stuck);

    ToolRun r = run({"--program-folder", program, "status"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("ServiceType      0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("version report   pending: the service has not accepted 1.019 yet"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("stops at         sale SL_ID " + stuck + ": its SL_UPTRANSNO is Null"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("StoreCode        S7"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("unsent sales     40"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Dbq=POS.MDB;DefaultDir=" + shop + "/data;Uid=Admin;pwd=****"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("mv5529"), std::string::npos);  // passwords never shown
    EXPECT_EQ(r.out.find("%%%4172"), std::string::npos);
    r = run({"--program-folder", program, "refusals", "resend", "--all"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("nothing to resend"), std::string::npos) << r.out;

    ASSERT_EQ(run({"settings", "set", "TORVANE", "Settings", "DB서버", " "}).status, 0);
    r = run({"--program-folder", program, "status"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "서비스: 서비스연결정보가 부족합니다.\n\nPOS프로그램에서 회사ID를 입력하면 자동으로 "
              "부여받습니다.\n");
    EXPECT_EQ(r.out, "");

    ASSERT_EQ(run({"settings", "set", "TORVANE", "Settings", "DB서버", "127.0.0.1"}).status, 0);
    sqlite3* db = nullptr;
    sqlite3_open((program + "/MyCF.MDB").c_str(), &db);
    sqlite3_exec(db, "UPDATE CF SET CF_CONTENTS = '1' WHERE CF_PART = 'POS' AND CF_IDX = 3",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
    r = run({"--program-folder", program, "status"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "POS 확인: 주문기에서 veldon실행은 불가능합니다.\n");
}

TEST_F(VeldonctlTest, RefusalsListsTheJournalAndResendClearsExactlyTheMarksItHolds) {
    const std::string shop = (m_dir / "shop").string();
    ASSERT_EQ(run({"make-shop", "--kind", "restaurant", "--sales", "20", "--server",
                   "127.0.0.1:8750", shop})
                  .status,
              0);
    std::filesystem::rename(m_dir / "shop" / "config", m_dir / "config");
    const std::string program = shop + "/program";
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
    ASSERT_EQ(sql(food, marks), "777");
    test::FakeClock clock;
    RefusalJournal journal(program, clock);
    journal.append({"sale", "refused", "PutPSM13_SIN", refused, "0:거래처 없음", {}});
    journal.append({"card", "failed", "putcard", card, "-2147012867 연결 실패", {}});

    ToolRun r = run({"--program-folder", program, "refusals"});
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
