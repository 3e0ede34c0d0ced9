#include "tools/makeshop.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/database.h"
#include "platform/error.h"
#include "platform/inifile.h"
#include "platform/recordset.h"
#include "platform/settingsstore.h"
#include "platform/value.h"
#include "tests/support/tempdir.h"
#include "tests/support/toolrun.h"

namespace veldon::demodb {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// A value never stored: a line break cannot be.
const std::string kUnset = "\n";

std::vector<std::string> entriesOf(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Opens a database as start-up does, from a folder and a file name, through the program's layer.
long countRows(const std::string& folder, const std::string& file, const std::string& sql) {
    const auto db = createConnection();
    db->open("Dbq=" + file + ";DefaultDir=" + folder + ";Uid=Admin;");
    const long n = db->openRecordset(sql)->recordCount();
    db->close();
    return n;
}

class MakeShopTest : public ::testing::Test {
protected:
    static ShopOptions options(Kind kind) {
        ShopOptions o;
        o.kind = kind;
        o.sales = 40;
        o.days = 5;
        o.seed = 7;
        o.server = "127.0.0.1:8750";
        return o;
    }

    static void expectSettings(const IniSettingsStore& store, const std::string& app,
                               const std::string& section,
                               const std::map<std::string, std::string>& expected) {
        for (const auto& [key, value] : expected) {
            EXPECT_EQ(store.get(app, section, key, kUnset), value) << app << "\\" << key;
        }
    }

    TempDir m_dir;
    const DateTime m_today{2026, 3, 1, 12, 0, 0};
};

TEST_F(MakeShopTest, RestaurantWithDeliveryIsACompleteInstallation) {
    ShopOptions o = options(Kind::Restaurant);
    o.delivery = true;
    const fs::path out = m_dir / "shop";
    const ShopSummary s = makeShop(o, out, m_today);

    const fs::path root = fs::canonical(out);
    EXPECT_EQ(s.root, root);
    EXPECT_EQ(s.programFolder, root / "program");
    EXPECT_EQ(s.dataFolder, root / "data");
    EXPECT_EQ(s.configHome, root / "config");
    EXPECT_EQ(entriesOf(root), (std::vector<std::string>{"config", "data", "program"}));
    EXPECT_EQ(entriesOf(root / "program"),
              (std::vector<std::string>{"MyCF.MDB", "UpdatePath.ini", "log"}));
    EXPECT_TRUE(fs::is_directory(root / "program" / "log"));
    EXPECT_TRUE(fs::is_empty(root / "program" / "log"));
    EXPECT_EQ(entriesOf(root / "data"), std::vector<std::string>{"FOOD.MDB"});
    EXPECT_GT(s.database.rows("PE"), 0);
    EXPECT_GT(s.database.rows("DELIVERY"), 0);

    const fs::path ini = root / "program" / "UpdatePath.ini";
    EXPECT_EQ(readProfileString(ini, "PING-CHECK", "DNS"), "127.0.0.1");
    EXPECT_EQ(readProfileString(ini, "PING-CHECK", "DNSUSE"), "N");
    EXPECT_EQ(readProfileString(ini, "업데이트정보", "업데이트경로"), "외식업후불");

    const IniSettingsStore store(root / "config" / "VB and VBA Program Settings");
    expectSettings(store, "TORVANE", "Settings",
                   {{"1차서버", "127.0.0.1:8750"},
                    {"2차서버", ""},
                    {"개체명", "lumora.demon"},
                    {"서비스형태", "1"},
                    {"가맹점", "S0001"},
                    {"가맹점명", "데모 식당"},
                    {"하치장", "H01"},
                    {"하치장명", "본사창고"},
                    {"카운터", "01"},
                    {"카운터명", "카운터1"},
                    {"스캔방법", "1"},
                    {"일일스캔", "0"},
                    {"스캔시간", "1"},
                    {"배송정보전송", "1"},
                    {"삭제자료전송", "0"},
                    {"서비스상태", "종료"},
                    {"DB서버", "127.0.0.1"},
                    {"DBUser", "veldon"},
                    {"DBName", "veldon_demo"}});
    // A first start: the version has never been reported.
    expectSettings(store, "MERIDEX_II", "DBLOC",
                   {{"KESTVERSION", kUnset}, {"KESTPGVERSION", kUnset}});
    EXPECT_EQ(store.applications(), (std::vector<std::string>{"TORVANE", "외식업"}));

    // The POS program's folder key leads start-up to the generated database.
    const std::string folder = store.get("외식업", "LOCATION", "ID");
    EXPECT_EQ(fs::path(folder), root / "data");
    EXPECT_EQ(countRows(folder, "FOOD.MDB", "SELECT PE_ID FROM PE"), s.database.rows("PE"));

    // Not an order terminal, so start-up goes on.
    const auto cf = createConnection();
    cf->open("Dbq=MyCF.MDB;DefaultDir=" + (root / "program").string() + ";");
    const auto rs =
        cf->openRecordset("SELECT CF_CONTENTS FROM CF WHERE CF_PART = 'POS' AND CF_IDX = 3");
    ASSERT_FALSE(rs->eof());
    EXPECT_EQ(rs->field("CF_CONTENTS").toText(), "0");
}

TEST_F(MakeShopTest, RetailShopInAnEmptyFolderWithItsOwnNames) {
    ShopOptions o = options(Kind::Retail);
    o.server = "localhost:18080";
    o.storeCode = "R0042";
    o.posName = "계산대 2";
    o.dbName = "central_retail";
    const fs::path out = m_dir / "empty";
    fs::create_directory(out);
    const ShopSummary s = makeShop(o, out, m_today);

    EXPECT_EQ(s.dbServer, "localhost");
    EXPECT_EQ(s.objectName, "VARNIK.MEM");
    EXPECT_EQ(entriesOf(out / "data"), std::vector<std::string>{"POS.MDB"});
    EXPECT_TRUE(fs::is_empty(out / "program" / "log"));
    EXPECT_TRUE(fs::exists(out / "program" / "MyCF.MDB"));
    const fs::path ini = out / "program" / "UpdatePath.ini";
    EXPECT_EQ(readProfileString(ini, "PING-CHECK", "DNS"), "127.0.0.1");
    EXPECT_EQ(readProfileString(ini, "PING-CHECK", "DNSUSE"), "N");

    const IniSettingsStore store(out / "config" / "VB and VBA Program Settings");
    expectSettings(store, "TORVANE", "Settings",
                   {{"1차서버", "localhost:18080"},
                    {"개체명", "VARNIK.MEM"},
                    {"서비스형태", "0"},
                    {"가맹점", "R0042"},
                    {"가맹점명", "데모 마트"},
                    {"카운터명", "계산대 2"},
                    {"배송정보전송", "0"},
                    {"삭제자료전송", "1"},
                    {"서비스상태", "종료"},
                    {"DB서버", "localhost"},
                    {"DBUser", "veldon"},
                    {"DBName", "central_retail"}});
    expectSettings(store, "MERIDEX_II", "DBLOC",
                   {{"DCCODE3", std::string(kRetailDiscountPos)},
                    {"KESTPGVERSION", kUnset},
                    {"KESTVERSION", kUnset}});
    EXPECT_EQ(store.applications(), (std::vector<std::string>{"MERIDEX_II", "TORVANE"}));

    const std::string folder = store.get("MERIDEX_II", "DBLOC", "ID");
    EXPECT_EQ(fs::path(folder), fs::canonical(out) / "data");
    EXPECT_EQ(countRows(folder, "POS.MDB", "SELECT SL_ID FROM SL"), 40);
}

TEST_F(MakeShopTest, NeverOverwritesAndLeavesNothingBehindOnFailure) {
    // A folder with anything in it is someone's installation.
    const fs::path used = m_dir / "used";
    fs::create_directories(used / "program");
    test::writeFile(used / "program" / "UpdatePath.ini", "[PING-CHECK]\r\nDNS=127.0.0.9\r\n");
    EXPECT_THROW(makeShop(options(Kind::Restaurant), used, m_today), Error);
    EXPECT_EQ(entriesOf(used), std::vector<std::string>{"program"});
    EXPECT_EQ(entriesOf(used / "program"), std::vector<std::string>{"UpdatePath.ini"});
    EXPECT_EQ(test::readFile(used / "program" / "UpdatePath.ini"),
              "[PING-CHECK]\r\nDNS=127.0.0.9\r\n");

    const fs::path file = m_dir / "file";
    test::writeFile(file, "data");
    EXPECT_THROW(makeShop(options(Kind::Retail), file, m_today), Error);
    EXPECT_EQ(test::readFile(file), "data");

    ShopOptions badServer = options(Kind::Retail);
    badServer.server = "127.0.0.1";
    EXPECT_THROW(makeShop(badServer, m_dir / "a", m_today), Error);
    EXPECT_FALSE(fs::exists(m_dir / "a"));

    // The database is refused after the program folder was made: that is taken back again, the
    // folder it made included, and a folder that was empty before is empty again.
    ShopOptions tooMany = options(Kind::Restaurant);
    tooMany.sales = kMaxSalesPerDay * tooMany.days + 1;
    EXPECT_THROW(makeShop(tooMany, m_dir / "b", m_today), Error);
    EXPECT_FALSE(fs::exists(m_dir / "b"));
    fs::create_directory(m_dir / "c");
    EXPECT_THROW(makeShop(tooMany, m_dir / "c", m_today), Error);
    EXPECT_TRUE(fs::is_empty(m_dir / "c"));

    ShopOptions broken = options(Kind::Restaurant);
    broken.storeName = "line\nbreak";
    EXPECT_THROW(makeShop(broken, m_dir / "d", m_today), Error);
    EXPECT_FALSE(fs::exists(m_dir / "d"));
}

TEST(HostOfServer, AcceptsOnlyHostAndPort) {
    const std::map<std::string, std::string> good = {
        {"127.0.0.1:8750", "127.0.0.1"},
        {"localhost:1", "localhost"},
        {"central-1.shop_net:65535", "central-1.shop_net"},
        {"[::1]:8080", "::1"},
    };
    for (const auto& [text, host] : good) {
        EXPECT_EQ(hostOfServer(text), host) << text;
    }
    for (const char* text :
         {"", "127.0.0.1", "127.0.0.1:", ":8080", "127.0.0.1:0", "127.0.0.1:65536",
          "127.0.0.1:099999", "127.0.0.1:+80", "127.0.0.1:80x", "127.0.0.1: 80", "::1:8080",
          "[]:80", "[::1:8080", "two words:80", "http://127.0.0.1:80"}) {
        EXPECT_EQ(hostOfServer(text), std::nullopt) << text;
    }
}

// The built tool, as the demo script and an operator run it.
class MakeShopCommandTest : public ::testing::Test {
protected:
    test::ToolRun run(const fs::path& configHome, const std::vector<std::string>& args) {
        return test::runTool("tools/veldonctl", args, configHome, m_dir.path());
    }

    TempDir m_dir;
};

TEST_F(MakeShopCommandTest, MakesAShopWhoseExportLineFindsItsSettings) {
    const fs::path userConfig = m_dir / "user-config";
    const fs::path out = m_dir / "my shop";
    test::ToolRun r = run(userConfig, {"make-shop", "--kind", "restaurant", "--sales", "25",
                                       "--server", "127.0.0.1:8750", "--delivery", "--store=S0777",
                                       "--db-user", "demo", out.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string made = r.out;
    const std::string config = (fs::canonical(out) / "config").string();
    EXPECT_NE(r.out.find("\nexport XDG_CONFIG_HOME='" + config + "'\n"), std::string::npos)
        << r.out;
    for (const char* said : {"mv5529", "veldon_demo", "demo", "TORVANE.ini", "FOOD.MDB"}) {
        EXPECT_NE(r.out.find(said), std::string::npos) << said << "\n" << r.out;
    }
    // Only the shop's own store was written, not the caller's.
    EXPECT_FALSE(fs::exists(userConfig));

    r = run(config, {"settings", "get", "TORVANE", "Settings", "가맹점"});
    EXPECT_EQ(r.out, "S0777\n");
    r = run(config, {"settings", "get", "TORVANE", "Settings", "배송정보전송"});
    EXPECT_EQ(r.out, "1\n");

    // A second run into the same folder changes nothing.
    const std::string before =
        test::readFile(out / "config" / "VB and VBA Program Settings" / "TORVANE.ini");
    r = run(userConfig, {"make-shop", "--kind", "retail", "--sales", "5", "--server",
                         "127.0.0.1:9000", out.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not empty"), std::string::npos) << r.err;
    EXPECT_EQ(test::readFile(out / "config" / "VB and VBA Program Settings" / "TORVANE.ini"),
              before);

    const std::string x = (m_dir / "x").string();
    struct Case {
        std::vector<std::string> args;
        std::string said;
    };
    const std::vector<Case> wrong = {
        {{"--kind", "retail", "--sales", "5", "--server", "127.0.0.1", x}, "HOST:PORT"},
        {{"--kind", "retail", "--sales", "5", "--server", "127.0.0.1:0", x}, "HOST:PORT"},
        {{"--kind", "retail", "--sales", "5", x}, "--server is required"},
        {{"--kind", "retail", "--sales", "5", "--server", "127.0.0.1:80", "--delivery", x},
         "restaurants only"},
        {{"--kind", "retail", "--sales", "5", "--server", "127.0.0.1:80"}, "missing OUT_DIR"},
        {{"--kind", "retail", "--sales", "5", "--server", "127.0.0.1:80", "--db-name", " ", x},
         "--db-name must not be blank"},
    };
    for (const Case& c : wrong) {
        std::vector<std::string> args = {"make-shop"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        r = run(userConfig, args);
        EXPECT_EQ(r.status, 2) << c.said << ": " << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(m_dir / "x"));

    // The printed command runs the shop as it stands (here against no service: exit status 3).
    const std::size_t hint = made.find("  XDG_CONFIG_HOME=");
    ASSERT_NE(hint, std::string::npos) << made;
    const std::string command = made.substr(hint, made.find('\n', hint) - hint);
    const int status =
        std::system((command + " > '" + (m_dir / "hint.out").string() + "'").c_str());
    EXPECT_EQ(WEXITSTATUS(status), 3) << command;
    EXPECT_NE(test::readFile(m_dir / "hint.out")
                  .find("transfer from " + (fs::canonical(out) / "program").string()),
              std::string::npos);

    // Without --store, scratch shops in different folders get different store codes.
    for (const char* folder : {"a", "b"}) {
        ASSERT_EQ(run(userConfig, {"make-shop", "--kind", "retail", "--sales", "1", "--server",
                                   "127.0.0.1:9000", (m_dir / folder).string()})
                      .status,
                  0);
    }
    auto storeOf = [&](const char* folder) {
        return run(m_dir / folder / "config", {"settings", "get", "TORVANE", "Settings", "가맹점"})
            .out;
    };
    EXPECT_NE(storeOf("a"), storeOf("b"));
    EXPECT_EQ(storeOf("a").rfind("S", 0), 0u);

    r = run(userConfig, {"make-shop", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: veldonctl make-shop", 0), 0u) << r.out;
}

}  // namespace
}  // namespace veldon::demodb
