#include "tools/makeshop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/inifile.h"
#include "platform/settingsstore.h"
#include "tests/support/tempdir.h"

namespace veldon::demodb {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> entriesOf(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Each "KEY=VALUE" of `expected` is stored so; "KEY" alone is never stored.
void expectSettings(const IniSettingsStore& store, const std::string& app,
                    const std::string& section, const std::vector<std::string>& expected) {
    const std::string unset = "\n";  // a value never stored: a line break cannot be
    for (const std::string& kv : expected) {
        const auto eq = kv.find('=');
        EXPECT_EQ(store.get(app, section, kv.substr(0, eq), unset),
                  eq == std::string::npos ? unset : kv.substr(eq + 1))
            << app << "\\" << kv;
    }
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

    test::TempDir m_dir;
    const DateTime m_today{2026, 3, 1, 12, 0, 0};
};

TEST_F(MakeShopTest, RestaurantWithDeliveryIsACompleteInstallation) {
    ShopOptions o = options(Kind::Restaurant);
    o.delivery = true;
    makeShop(o, m_dir / "shop", m_today);

    const fs::path root = fs::canonical(m_dir / "shop");
    EXPECT_EQ(entriesOf(root), (std::vector<std::string>{"config", "data", "program"}));
    EXPECT_EQ(entriesOf(root / "program"),
              (std::vector<std::string>{"MyCF.MDB", "UpdatePath.ini", "log"}));
    EXPECT_TRUE(fs::is_empty(root / "program" / "log"));
    EXPECT_EQ(entriesOf(root / "data"), std::vector<std::string>{"FOOD.MDB"});

    const fs::path ini = root / "program" / "UpdatePath.ini";
    EXPECT_EQ(readProfileString(ini, "PING-CHECK", "DNS"), "127.0.0.1");
    EXPECT_EQ(readProfileString(ini, "PING-CHECK", "DNSUSE"), "N");
    EXPECT_EQ(readProfileString(ini, "업데이트정보", "업데이트경로"), "외식업후불");

    const IniSettingsStore store(root / "config" / "VB and VBA Program Settings");
    expectSettings(store, "TORVANE", "Settings",
                   {"1차서버=127.0.0.1:8750", "2차서버=", "개체명=lumora.demon", "서비스형태=1",
                    "가맹점=S0001", "가맹점명=데모 식당", "하치장=H01", "하치장명=본사창고",
                    "카운터=01", "카운터명=카운터1", "스캔방법=1", "일일스캔=0", "스캔시간=1",
                    "배송정보전송=1", "삭제자료전송=0", "서비스상태=종료", "DB서버=127.0.0.1",
                    "DBUser=veldon", "DBName=veldon_demo"});
    // A first start: the version has never been reported.
    expectSettings(store, "MERIDEX_II", "DBLOC", {"KESTVERSION", "KESTPGVERSION"});
    EXPECT_EQ(store.applications(), (std::vector<std::string>{"TORVANE", "외식업"}));

    // The POS program's folder key leads start-up to the generated database.
    EXPECT_EQ(fs::path(store.get("외식업", "LOCATION", "ID")), root / "data");
}

// What differs by kind and what follows from the server; the rest as for a restaurant.
TEST_F(MakeShopTest, RetailShopInAnEmptyFolder) {
    ShopOptions o = options(Kind::Retail);
    o.server = "localhost:18080";
    o.posName = "계산대 2";
    const fs::path out = m_dir / "empty";
    fs::create_directory(out);
    makeShop(o, out, m_today);

    EXPECT_EQ(entriesOf(out / "data"), std::vector<std::string>{"POS.MDB"});
    const IniSettingsStore store(out / "config" / "VB and VBA Program Settings");
    expectSettings(
        store, "TORVANE", "Settings",
        {"1차서버=localhost:18080", "개체명=VARNIK.MEM", "서비스형태=0", "가맹점명=데모 마트",
         "카운터명=계산대 2", "배송정보전송=0", "삭제자료전송=1", "DB서버=localhost"});
    expectSettings(store, "MERIDEX_II", "DBLOC",
                   {"DCCODE3=" + std::string(kRetailDiscountPos), "KESTPGVERSION", "KESTVERSION"});
    EXPECT_EQ(store.applications(), (std::vector<std::string>{"MERIDEX_II", "TORVANE"}));
    EXPECT_EQ(fs::path(store.get("MERIDEX_II", "DBLOC", "ID")), fs::canonical(out) / "data");
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

    test::writeFile(m_dir / "file", "data");
    EXPECT_THROW(makeShop(options(Kind::Retail), m_dir / "file", m_today), Error);
    EXPECT_EQ(test::readFile(m_dir / "file"), "data");

    // What is refused after the program folder was made is taken back again, the folder it made
    // included, and a folder that was empty before is empty again.
    ShopOptions badServer = options(Kind::Retail);
    badServer.server = "127.0.0.1";
    ShopOptions tooMany = options(Kind::Restaurant);
    tooMany.sales = kMaxSalesPerDay * tooMany.days + 1;
    ShopOptions broken = options(Kind::Restaurant);
    broken.storeName = "line\nbreak";
    for (const ShopOptions& o : {badServer, tooMany, broken}) {
        EXPECT_THROW(makeShop(o, m_dir / "a", m_today), Error);
        EXPECT_FALSE(fs::exists(m_dir / "a"));
    }
    fs::create_directory(m_dir / "c");
    EXPECT_THROW(makeShop(tooMany, m_dir / "c", m_today), Error);
    EXPECT_TRUE(fs::is_empty(m_dir / "c"));
}

TEST(HostOfServer, AcceptsOnlyHostAndPortWithOrWithoutItsScheme) {
    const std::pair<const char*, const char*> good[] = {
        {"127.0.0.1:8750", "127.0.0.1"},
        {"localhost:1", "localhost"},
        {"central-1.shop_net:65535", "central-1.shop_net"},
        {"[::1]:8080", "::1"},
        {"https://127.0.0.1:8750", "127.0.0.1"}};
    for (const auto& [text, host] : good) {
        EXPECT_EQ(hostOfServer(text), host) << text;
    }
    for (const char* text :
         {"", "127.0.0.1", "127.0.0.1:", ":8080", "127.0.0.1:0", "127.0.0.1:65536",
          "127.0.0.1:099999", "127.0.0.1:+80", "127.0.0.1:80x", "127.0.0.1: 80", "::1:8080",
          "[]:80", "[::1:8080", "two words:80", "ftp://127.0.0.1:80"}) {
        EXPECT_EQ(hostOfServer(text), std::nullopt) << text;
    }
}

}  // namespace
}  // namespace veldon::demodb
