// Start-up, settings and schema upgrades of the main form, on a scratch installation of real
// files: a settings store, UpdatePath.ini, MyCF.MDB and a POS database.
#include "app/form1.h"

#include <gtest/gtest.h>

#include "app/mdudbcon.h"
#include "platform/error.h"
#include "platform/textcodec.h"
#include "tests/support/central.h"
#include "tests/support/fakes.h"
#include "tests/support/tempdir.h"
#include "tools/demodb.h"

namespace veldon {
namespace {

using demodb::Kind;

class Installation : public ::testing::Test {
protected:
    Installation() : store(dir / "config") {
        std::filesystem::create_directories(program());
        std::filesystem::create_directories(data());
        demodb::makeConfigDb(program() / "MyCF.MDB", false);
        writeIni("[PING-CHECK]\nDNS= 127.0.0.1 \nDNSUSE=N\n");
    }

    std::filesystem::path program() const { return dir / "program"; }
    std::filesystem::path data() const { return dir / "data"; }
    void writeIni(const std::string& text) const {
        test::writeFile(program() / "UpdatePath.ini", text);
    }

    // A shop of the given kind with a few unsent sales and complete central connection data.
    void shop(Kind kind, bool preUpgrade = false, long sales = 5) {
        demodb::DemoDbOptions o;
        o.kind = kind;
        o.sales = sales;
        o.preUpgrade = preUpgrade;
        o.today = clock.now();
        demodb::makeDemoDb(o, data() / std::string(demodb::databaseFileName(kind)));
        set("서비스형태", kind == Kind::Retail ? "0" : "1");
        store.set(kind == Kind::Retail ? "MERIDEX_II" : "외식업",
                  kind == Kind::Retail ? "DBLOC" : "LOCATION", "ID", data().string());
        set("DB서버", "127.0.0.1");
        set("DBUser", "veldon");
        set("DBName", "central");
    }

    void set(const std::string& key, const std::string& value) {
        store.set("TORVANE", "Settings", key, value);
    }
    std::string get(const std::string& key) { return store.get("TORVANE", "Settings", key); }

    std::unique_ptr<Form1> form() {
        auto f = std::make_unique<Form1>(Form1Services{store, messages, clock, program()});
        f->removeTrayIcon = [this] { ++trayRemoved; };
        f->forcedScan = [this, raw = f.get()] {
            ++forcedScans;
            catchUpDuringScan = raw->CatchUpScan;
        };
        return f;
    }

    // Every column of a database's tables, for telling whether a start changed the schema.
    std::string schemaOf(const std::filesystem::path& file) {
        auto db = createConnection();
        db->open("Dbq=" + file.filename().string() + ";DefaultDir=" + file.parent_path().string());
        auto rs = db->openRecordset("SELECT sql FROM sqlite_schema ORDER BY name");
        std::string schema;
        for (; !rs->eof(); rs->moveNext()) {
            schema += rs->field("sql").textOr("") + "\n";
        }
        return schema;
    }

    void execute(const std::filesystem::path& file, const std::string& sql) {
        auto db = createConnection();
        db->open("Dbq=" + file.filename().string() + ";DefaultDir=" + file.parent_path().string());
        db->execute(sql);
    }

    test::TempDir dir;
    IniSettingsStore store;
    test::RecordingMessageSink messages;
    test::FakeClock clock{{2024, 3, 5, 14, 7, 9}};
    int trayRemoved = 0;
    int forcedScans = 0;
    bool catchUpDuringScan = false;
};

// --- Settings --------------------------------------------------------------------------------

TEST_F(Installation, FreshInstallationGetsDefaultsAndShowsTheRetailForm) {
    auto f = form();
    f->LoadSettings();
    EXPECT_EQ(f->LocalInfo[2], "1");
    EXPECT_EQ(f->LocalInfo[3], "1");
    EXPECT_EQ(f->LocalInfo[4], "1");
    EXPECT_EQ(f->ServerInfo[0], "");
    f->ShowSettings();
    EXPECT_EQ(f->controls.Check1[0].Value, 1);
    EXPECT_TRUE(f->controls.Option1[0].Value);
    EXPECT_FALSE(f->controls.Option1[1].Value);
    EXPECT_EQ(f->controls.Text3.Text, "1");
    EXPECT_EQ(f->controls.Combo1.ListIndex, 0);  // an empty business type reads as 0
    EXPECT_TRUE(f->controls.Check2.Visible);
    EXPECT_FALSE(f->controls.chkDelivery.Visible);
    EXPECT_EQ(f->SendDeleted, "0");
}

TEST_F(Installation, RestaurantKindComesFromTheFirstFiveCharactersOfTheUpdatePath) {
    struct Case {
        std::string path;
        std::string kind;
    };
    for (const Case& c :
         {Case{"외식업후불_서울본점", "1"}, Case{" 외식업선불", "2"}, Case{"전문점", "3"},
          Case{"전문점 강남", "unchanged"}, Case{"", "unchanged"}}) {
        // Written in CP949, as the Windows updater writes the file.
        writeIni(utf8ToCp949(
            "[PING-CHECK]\r\nDNS=127.0.0.2 \r\n[업데이트정보]\r\n업데이트경로=" + c.path + "\r\n"));
        set("서비스형태", "1");
        auto f = form();
        f->RestaurantKind = "unchanged";
        f->LoadSettings();
        EXPECT_EQ(f->RestaurantKind, c.kind) << c.path;
        EXPECT_EQ(f->DnsAddress, "127.0.0.2");
    }
}

TEST_F(Installation, DataFolderAndFileComeFromThePosProgramAndAreSavedBack) {
    set("경로", "/own/folder");
    set("로컬DB", "OWN.MDB");
    store.set("외식업", "LOCATION", "ID", "/pos/food");
    store.set("MERIDEX_II", "DBLOC", "ID", "/pos/retail");

    set("서비스형태", "1");
    auto f = form();
    f->LoadSettings();
    EXPECT_EQ(f->LocalInfo[0], "/pos/food");
    EXPECT_EQ(f->LocalInfo[1], "FOOD.MDB");
    f->ShowSettings();
    f->SaveSettings();
    EXPECT_EQ(get("경로"), "/pos/food");  // the POS program's folder, loaded into LaPath
    EXPECT_EQ(get("서비스형태"), "1");

    set("서비스형태", "0");
    f->LoadSettings();
    EXPECT_EQ(f->LocalInfo[0], "/pos/retail");
    EXPECT_EQ(f->LocalInfo[1], "POS.MDB");

    set("서비스형태", "2");
    set("경로", "/own/folder");
    set("로컬DB", "OWN.MDB");  // the save above stored the POS program's values
    f->LoadSettings();
    EXPECT_EQ(f->LocalInfo[0], "/own/folder");
    EXPECT_EQ(f->LocalInfo[1], "OWN.MDB");
    f->ShowSettings();
    EXPECT_EQ(f->controls.Combo1.ListIndex, -1);
}

TEST_F(Installation, SavingStoresEveryControlAndOnlyTheBatchMethodTheInterval) {
    set("스캔시간", "5");
    auto f = form();
    auto& c = f->controls;
    c.Text1[0].Text = "127.0.0.1:8750";
    c.Text1[1].Text = "backup";
    c.Text1[2].Text = "config";
    c.Text1[3].Text = "lumora.demon";
    c.LaPath.Caption = "/data";
    c.Text2.Text = "FOOD.MDB";
    c.Combo1.ListIndex = 1;
    c.Text4.Text = "S0001";
    c.Check2.Value = 0;
    c.chkDelivery.Value = 1;
    c.Text3.Text = "9";
    // Real time: the daily choice comes from its own pair of options; the interval box is typed
    // in but not stored.
    c.Check1[0].Value = 0;
    c.Option1[2].Value = true;
    f->SaveSettings();
    const char* const stored[] = {"1차서버=127.0.0.1:8750",
                                  "2차서버=backup",
                                  "사용자구성=config",
                                  "개체명=lumora.demon",
                                  "경로=/data",
                                  "로컬DB=FOOD.MDB",
                                  "스캔방법=0",
                                  "서비스형태=1",
                                  "일일스캔=1",
                                  "스캔시간=5",
                                  "사업자=S0001",
                                  "삭제자료전송=0",
                                  "배송정보전송=1"};
    for (const std::string entry : stored) {
        const auto eq = entry.find('=');
        EXPECT_EQ(get(entry.substr(0, eq)), entry.substr(eq + 1)) << entry;
    }
    c.Check1[0].Value = 1;
    c.Option1[0].Value = false;
    c.Option1[1].Value = true;
    f->SaveSettings();
    EXPECT_EQ(get("스캔방법"), "1");
    EXPECT_EQ(get("일일스캔"), "0");
    EXPECT_EQ(get("스캔시간"), "9");

    // Shown again as real time, the daily scan is checked by the option captioned "전체스캔".
    set("스캔방법", "0");
    set("일일스캔", "1");
    f->LoadSettings();
    f->ShowSettings();
    EXPECT_EQ(c.Check1[1].Value, 1);
    EXPECT_TRUE(c.Option1[2].Value);
    EXPECT_FALSE(c.Option1[3].Value);
}

// --- Start-up --------------------------------------------------------------------------------

TEST_F(Installation, RestaurantStartBuildsTheConnectionsUpgradesCatchesUpAndResumes) {
    shop(Kind::Restaurant, /*preUpgrade=*/true);
    set("서비스상태", "시작");
    auto f = form();
    ASSERT_EQ(f->Form_Load(), StartupOutcome::Running);
    EXPECT_TRUE(messages.messages.empty());
    EXPECT_EQ(f->LocalConnStr,
              "PROVIDER=MSDataShape;Driver={Microsoft Access Driver (*.mdb)};Dbq=FOOD.MDB;"
              "DefaultDir=" +
                  data().string() + ";Uid=Admin;pwd=qtrk48207");
    EXPECT_EQ(f->CenterConnStr,
              "DRIVER={MySQL ODBC 3.51 Driver};SERVER=127.0.0.1;DATABASE=central;UID=veldon;"
              "PWD=mv5529;OPTION=16386");
    EXPECT_EQ(f->ProgramVersion, "1.0.19");
    EXPECT_EQ(forcedScans, 1);
    EXPECT_TRUE(catchUpDuringScan);
    EXPECT_FALSE(f->CatchUpScan);
    EXPECT_EQ(f->controls.Timer1.Interval, 60000);
    EXPECT_FALSE(f->controls.Command2[2].Enabled);
    EXPECT_TRUE(f->controls.Command2[3].Enabled);
    EXPECT_NE(schemaOf(data() / "FOOD.MDB").find("PE_BAN TEXT"), std::string::npos);
    EXPECT_EQ(f->CfOptionValue, 1);  // the generated CF row ('영업3', 12) holds "1"
    EXPECT_NE(f->ConfigDb, nullptr);
    EXPECT_TRUE(f->ConfigDb->isOpen());
}

TEST_F(Installation, StoppedServiceWithNothingUnsentStaysQuiet) {
    shop(Kind::Restaurant, false, 0);
    auto f = form();
    ASSERT_EQ(f->Form_Load(), StartupOutcome::Running);
    EXPECT_EQ(forcedScans, 0);
    EXPECT_EQ(f->controls.Timer1.Interval, 0);
    EXPECT_TRUE(f->controls.Command2[2].Enabled);
}

// The version the central service holds for counter 01 of store S0001 ("" when none).
std::string centralVersion(test::RunningCentral& central) {
    auto db = createConnection();
    db->open("Dbq=" + central.file().filename().string() +
             ";DefaultDir=" + central.file().parent_path().string());
    auto rs =
        db->openRecordset("SELECT VELDON_VER FROM POS WHERE POS_ID = '01' AND RCT_CODE = 'S0001'");
    return rs->eof() ? "" : rs->field("VELDON_VER").textOr("");
}

TEST_F(Installation, FirstStartReportsTheVersionOnceAndStoresItOnlyOnSuccess) {
    test::RunningCentral central(dir.path(), /*registerShop=*/false);
    shop(Kind::Restaurant);
    set("1차서버", central.server());
    set("가맹점", "S0001");
    set("카운터", "01");

    form()->Form_Load();  // the service does not know the counter yet: refused
    EXPECT_EQ(store.get("MERIDEX_II", "DBLOC", "KESTVERSION"), "");

    central.store().addShop({"S0001", "데모 식당", "H01", "본사창고", "01", "카운터1"});
    form()->Form_Load();
    EXPECT_EQ(store.get("MERIDEX_II", "DBLOC", "KESTVERSION"), "1.0.19");
    EXPECT_EQ(centralVersion(central), "1.0.19");

    // Reported once: a later start leaves what the service holds alone.
    auto db = createConnection();
    db->open("Dbq=central.db;DefaultDir=" + dir.path().string());
    db->execute("UPDATE POS SET VELDON_VER = 'seen' WHERE POS_ID = '01'");
    form()->Form_Load();
    EXPECT_EQ(centralVersion(central), "seen");
}

TEST_F(Installation, RetailReportsOnlyAVersionThatSortsAfterTheStoredOne) {
    test::RunningCentral central(dir.path());
    shop(Kind::Retail);
    set("1차서버", central.server());
    set("가맹점", "S0001");
    set("카운터", "01");

    store.set("MERIDEX_II", "DBLOC", "KESTPGVERSION", "1.10");
    auto f = form();
    f->Form_Load();
    EXPECT_EQ(f->ProgramVersion, "1.019");   // minor and revision run together
    EXPECT_EQ(centralVersion(central), "");  // "1.10" sorts after "1.019": nothing reported

    store.set("MERIDEX_II", "DBLOC", "KESTPGVERSION", "1.018");
    form()->Form_Load();
    EXPECT_EQ(centralVersion(central), "1.019");
    EXPECT_EQ(store.get("MERIDEX_II", "DBLOC", "KESTPGVERSION"), "1.019");
}

TEST_F(Installation, TheOrderTerminalCheckStopsOnItsFlagAndOnErrorsOfAnOpenDatabase) {
    shop(Kind::Restaurant);
    struct Case {
        const char* name;
        const char* change;  // applied to a fresh MyCF.MDB
        StartupOutcome outcome;
        const char* text;
        MessageIcon icon;
        const char* title;
    };
    const Case cases[] = {
        {"flag with blanks",
         "UPDATE CF SET CF_CONTENTS = ' 1 ' WHERE CF_PART = 'POS' AND CF_IDX = 3",
         StartupOutcome::OrderTerminal, "주문기에서 veldon실행은 불가능합니다.",
         MessageIcon::Information, "POS 확인"},
        {"Null flag", "UPDATE CF SET CF_CONTENTS = NULL WHERE CF_PART = 'POS' AND CF_IDX = 3",
         StartupOutcome::UnhandledError, "Run-time error '94':\r\rInvalid use of Null",
         MessageIcon::Critical, "veldon"},
        {"no CF table", "DROP TABLE CF", StartupOutcome::UnhandledError, "Run-time error '",
         MessageIcon::Critical, "veldon"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(program() / "MyCF.MDB");
        demodb::makeConfigDb(program() / "MyCF.MDB", false);
        execute(program() / "MyCF.MDB", c.change);
        messages.messages.clear();
        trayRemoved = 0;
        auto f = form();
        EXPECT_EQ(f->Form_Load(), c.outcome);
        ASSERT_EQ(messages.messages.size(), 1u);
        EXPECT_EQ(messages.messages[0].text.rfind(c.text, 0), 0u) << messages.messages[0].text;
        EXPECT_EQ(messages.messages[0].icon, c.icon);
        EXPECT_EQ(messages.messages[0].title, c.title);
        EXPECT_EQ(trayRemoved, 1);
        EXPECT_EQ(forcedScans, 0);
        EXPECT_EQ(f->CenterConnStr, "");
    }
}

TEST_F(Installation, IncompleteCentralConnectionDataStops) {
    shop(Kind::Restaurant);
    set("DB서버", " ");
    auto f = form();
    EXPECT_EQ(f->Form_Load(), StartupOutcome::MissingConnectionData);
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_EQ(messages.messages[0].text,
              "서비스연결정보가 부족합니다.\r\rPOS프로그램에서 회사ID를 입력하면 자동으로 "
              "부여받습니다.");
    EXPECT_EQ(messages.messages[0].icon, MessageIcon::Critical);
    EXPECT_EQ(messages.messages[0].title, "서비스");
    EXPECT_EQ(trayRemoved, 1);
    EXPECT_EQ(forcedScans, 0);
}

TEST_F(Installation, AnEmptyBusinessTypeRunsAsRetailButUpgradesNothing) {
    shop(Kind::Retail, /*preUpgrade=*/true);
    set("서비스형태", "");
    set("경로", data().string());  // no real type: VELDON's own folder and file settings count
    set("로컬DB", "POS.MDB");
    const std::string before = schemaOf(data() / "POS.MDB");
    auto f = form();
    ASSERT_EQ(f->Form_Load(), StartupOutcome::Running);
    EXPECT_EQ(f->LocalConnStr, localConnectionString(0, data().string(), "POS.MDB"));
    EXPECT_EQ(f->ProgramVersion, "1.019");
    EXPECT_EQ(schemaOf(data() / "POS.MDB"), before);
    EXPECT_EQ(forcedScans, 1);  // the retail count query found the unsent sales
}

TEST_F(Installation, AnUnknownBusinessTypeReportsTheFailedCountAndGoesOn) {
    test::RunningCentral central(dir.path());
    shop(Kind::Restaurant);
    set("서비스형태", "2");
    set("1차서버", central.server());
    set("가맹점", "S0001");
    set("카운터", "01");
    auto f = form();
    ASSERT_EQ(f->Form_Load(), StartupOutcome::Running);
    EXPECT_EQ(f->LocalConnStr, "");
    EXPECT_EQ(f->ProgramVersion, "");
    EXPECT_EQ(centralVersion(central), "");  // no report
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_EQ(messages.messages[0].title, "전송에러");
    EXPECT_EQ(messages.messages[0].icon, MessageIcon::Exclamation);
    EXPECT_EQ(forcedScans, 0);
}

TEST_F(Installation, AMissingConfigurationDatabaseIsReportedAndTheStartGoesOn) {
    shop(Kind::Restaurant);
    std::filesystem::remove(program() / "MyCF.MDB");
    auto f = form();
    EXPECT_EQ(f->Form_Load(), StartupOutcome::Running);
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_EQ(messages.messages[0].title, "Error");
    EXPECT_EQ(messages.messages[0].icon, MessageIcon::Information);
    EXPECT_NE(messages.messages[0].text.find("MyCF.MDB"), std::string::npos);
}

// --- Schema upgrades -------------------------------------------------------------------------

TEST_F(Installation, ASecondStartAgainstAnUpgradedDatabaseChangesAndShowsNothing) {
    shop(Kind::Retail, /*preUpgrade=*/true);
    form()->Form_Load();
    const std::string upgraded = schemaOf(data() / "POS.MDB");
    EXPECT_NE(upgraded.find("SL_UPTRANSNO"), std::string::npos);
    EXPECT_NE(upgraded.find("CREATE TABLE BAS"), std::string::npos);
    form()->Form_Load();
    EXPECT_EQ(schemaOf(data() / "POS.MDB"), upgraded);
    EXPECT_TRUE(messages.messages.empty());
}

TEST_F(Installation, TheRestaurantOptionIsReadAsASixteenBitNumber) {
    shop(Kind::Restaurant);
    auto optionAfterStart = [&](const std::string& contents, const std::string& kindPath) {
        execute(data() / "FOOD.MDB", "DELETE FROM CF WHERE CF_PART IN ('영업3', '영업4')");
        if (!contents.empty()) {
            execute(data() / "FOOD.MDB", "INSERT INTO CF VALUES ('영업3', 12, '" + contents + "')");
            execute(data() / "FOOD.MDB", "INSERT INTO CF VALUES ('영업4', 3, '7')");
        }
        writeIni("[업데이트정보]\n업데이트경로=" + kindPath + "\n");
        auto f = form();
        f->Form_Load();
        return f->CfOptionValue;
    };
    EXPECT_EQ(optionAfterStart("2 ", "외식업후불"), 2);
    EXPECT_EQ(optionAfterStart("abc", "외식업후불"), 0);
    EXPECT_EQ(optionAfterStart("99999", "외식업후불"), 0);  // too large: the value stays
    EXPECT_EQ(optionAfterStart("", "외식업후불"), 0);       // no row: the value stays
    EXPECT_EQ(optionAfterStart("1", "전문점"), 7);          // specialty shops read '영업4'
}

TEST_F(Installation, DeletedLinesUpgradeAddsItsColumnOrFailsSilently) {
    shop(Kind::Retail, /*preUpgrade=*/true);
    auto f = form();
    f->Form_Load();
    EXPECT_EQ(schemaOf(data() / "POS.MDB").find("DEL_SD"), std::string::npos);
    f->UpgradeDeletedLines();
    EXPECT_NE(schemaOf(data() / "POS.MDB").find("DEL_SD"), std::string::npos);
    execute(data() / "POS.MDB", "DROP TABLE DELSSL");
    f->UpgradeDeletedLines();
    EXPECT_TRUE(messages.messages.empty());
}

TEST(ConnectionStrings, PasswordsAreMaskedForDisplayOnly) {
    EXPECT_EQ(maskPasswords(centerConnectionString("db", "central", "shop")),
              "DRIVER={MySQL ODBC 3.51 Driver};SERVER=db;DATABASE=central;UID=shop;PWD=****;"
              "OPTION=16386");
    EXPECT_EQ(maskPasswords(localConnectionString(0, "/d", "POS.MDB")),
              "PROVIDER=MSDataShape;Driver={Microsoft Access Driver (*.mdb)};Dbq=POS.MDB;"
              "DefaultDir=/d;Uid=Admin;pwd=****");
}

}  // namespace
}  // namespace veldon
