#include "tools/demodb.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/error.h"
#include "tests/support/tempdir.h"

namespace veldon::demodb {
namespace {

using test::TempDir;

// Read-only access to a made file through SQLite itself, independent of the program's layer.
class SqliteFile {
public:
    explicit SqliteFile(const std::filesystem::path& file) {
        if (sqlite3_open_v2(file.string().c_str(), &m_db, SQLITE_OPEN_READONLY, nullptr) !=
            SQLITE_OK) {
            throw std::runtime_error("cannot open " + file.string());
        }
    }
    ~SqliteFile() { sqlite3_close(m_db); }

    // Every row of the query, each value as "type:text" joined by '|'.
    std::vector<std::string> rows(const std::string& sql) const {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
            throw std::runtime_error(sql + ": " + sqlite3_errmsg(m_db));
        }
        std::vector<std::string> result;
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                const auto* text = sqlite3_column_text(stmt, i);
                row += (i ? "|" : "") + std::to_string(sqlite3_column_type(stmt, i)) + ":" +
                       (text ? reinterpret_cast<const char*>(text) : "");
            }
            result.push_back(row);
        }
        sqlite3_finalize(stmt);
        return result;
    }

    // The single value of a query as text ("" for NULL).
    std::string value(const std::string& sql) const {
        const auto r = rows(sql);
        if (r.size() != 1) {
            throw std::runtime_error(sql + ": " + std::to_string(r.size()) + " rows");
        }
        return r[0].substr(r[0].find(':') + 1);
    }
    long count(const std::string& sql) const { return std::stol(value(sql)); }

    bool hasTable(const std::string& table) const {
        return count("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = '" +
                     table + "'") == 1;
    }
    bool hasColumn(const std::string& table, const std::string& column) const {
        return count("SELECT COUNT(*) FROM pragma_table_info('" + table + "') WHERE name = '" +
                     column + "'") == 1;
    }

    // All rows of all tables, in a fixed order.
    std::string dump() const {
        std::string all;
        for (const std::string& t :
             rows("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")) {
            const std::string table = t.substr(t.find(':') + 1);
            all += "== " + table + "\n";
            for (const std::string& row : rows("SELECT * FROM " + table + " ORDER BY rowid")) {
                all += row + "\n";
            }
        }
        return all;
    }

private:
    sqlite3* m_db = nullptr;
};

constexpr DateTime kNow{2024, 3, 5, 14, 7, 9};

DemoDbOptions options(Kind kind, long sales, std::uint64_t seed = 1, bool preUpgrade = false) {
    DemoDbOptions o;
    o.kind = kind;
    o.sales = sales;
    o.seed = seed;
    o.preUpgrade = preUpgrade;
    o.today = kNow;
    return o;
}

class DemoDbTest : public ::testing::Test {
protected:
    std::filesystem::path make(const DemoDbOptions& o, const std::string& name = "demo.mdb") {
        const auto file = m_dir / name;
        makeDemoDb(o, file);
        return file;
    }

    TempDir m_dir;
};

// ---------------------------------------------------------------------------------------------

TEST_F(DemoDbTest, SameSeedGivesSameRowsAndOtherSeedsDiffer) {
    for (Kind kind : {Kind::Restaurant, Kind::Retail}) {
        SCOPED_TRACE(std::string(kindName(kind)));
        const std::string a = SqliteFile(make(options(kind, 300, 7), "a.mdb")).dump();
        const std::string b = SqliteFile(make(options(kind, 300, 7), "b.mdb")).dump();
        const std::string c = SqliteFile(make(options(kind, 300, 8), "c.mdb")).dump();
        EXPECT_EQ(a, b);
        EXPECT_NE(a, c);
        std::filesystem::remove(m_dir / "a.mdb");
        std::filesystem::remove(m_dir / "b.mdb");
        std::filesystem::remove(m_dir / "c.mdb");
    }
}

TEST_F(DemoDbTest, MakesExactlyTheSalesAskedAndReportsTheRowsWritten) {
    for (Kind kind : {Kind::Restaurant, Kind::Retail}) {
        for (long sales : {0L, 1L, 777L}) {
            SCOPED_TRACE(std::string(kindName(kind)) + " " + std::to_string(sales));
            const auto file = m_dir / ("n" + std::to_string(sales) + ".mdb");
            const DemoDbSummary summary = makeDemoDb(options(kind, sales), file);
            SqliteFile db(file);
            EXPECT_EQ(db.count(kind == Kind::Restaurant ? "SELECT COUNT(*) FROM PE"
                                                        : "SELECT COUNT(*) FROM SL"),
                      sales);
            EXPECT_EQ(summary.file, file);
            for (const TableRows& t : summary.tables) {
                EXPECT_EQ(db.count("SELECT COUNT(*) FROM " + t.table), t.rows) << t.table;
            }
            EXPECT_EQ(summary.tables.size(),
                      static_cast<std::size_t>(
                          db.count("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table'")));
            std::filesystem::remove(file);
        }
    }
}

TEST_F(DemoDbTest, RestaurantSalesAddUp) {
    SqliteFile db(make(options(Kind::Restaurant, 500)));
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM PE WHERE PE_ID NOT IN (SELECT PE_ID FROM PS)"), 0);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM PE WHERE PE_CK <> 0 AND "
                       "PE_ID NOT IN (SELECT PE_ID FROM AC)"),
              0);
    // Open sales (PE_CK 0) exist but are not settled yet.
    EXPECT_GT(db.count("SELECT COUNT(*) FROM PE WHERE PE_CK = 0"), 0);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM PE WHERE PE_CK NOT IN (0, -1)"), 0);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM AC JOIN PE USING (PE_ID) WHERE PE_CK = 0"), 0);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM PE WHERE ABS(PE_AMT + PE_VAT - PE_TOT) > 0.001"), 0);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM PE WHERE PE_TOT <> PE_BAMT - PE_SVC - PE_DAMT"), 0);
    EXPECT_GT(db.count("SELECT COUNT(*) FROM PE WHERE PE_DAMT > 0"), 0);
    EXPECT_GT(db.count("SELECT COUNT(*) FROM PE WHERE typeof(PE_VAT) = 'real'"), 0);
    // The payments of a settled sale cover its total and tip; the AC73 entries are bookkeeping.
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM PE WHERE PE_CK <> 0 AND PE_TOT + PE_TIP <> "
                       "(SELECT SUM(CASE AC_DC WHEN 'D' THEN AC_AMT ELSE -AC_AMT END) FROM AC "
                       " WHERE AC.PE_ID = PE.PE_ID AND AC_GU <> 'AC73')"),
              0);
    // Complimentary lines make up the service amount.
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM PE WHERE PE_SVC <> (SELECT "
                       "IFNULL(SUM(PS_AMT + PS_VAT), 0) FROM PS WHERE PS.PE_ID = PE.PE_ID AND "
                       "PS_TYPE = 'SS01')"),
              0);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM PS WHERE PS_PRCODE NOT IN (SELECT PR_CODE FROM PR)"),
              0);
    const std::set<std::string> names = [&] {
        auto r = db.rows("SELECT PR_NAME FROM PR");
        return std::set<std::string>(r.begin(), r.end());
    }();
    EXPECT_EQ(names.size(), 200u);
    EXPECT_TRUE(names.count("3:김치찌개"));
}

TEST_F(DemoDbTest, RestaurantCoversEveryAccountTheEnginesSingleOut) {
    SqliteFile db(make(options(Kind::Restaurant, 500)));
    for (const char* account : {"111010", "111055", "111050", "211060", "211021"}) {
        EXPECT_GT(
            db.count(std::string("SELECT COUNT(*) FROM AC WHERE AC_FNCD1 = '") + account + "'"), 0)
            << account;
    }
    EXPECT_GT(db.count("SELECT COUNT(*) FROM AC WHERE AC_FNCD1 || AC_FNCD2 = '11103001'"), 0);
    EXPECT_GT(db.count("SELECT COUNT(*) FROM AC WHERE AC_DC = 'C'"), 0);
    EXPECT_GT(db.count("SELECT COUNT(*) FROM AC WHERE AC_GU = 'AC73'"), 0);
    // The engines subtract receivable entries counted over all AC rows from the rows they read
    // without AC73: an AC73 receivable would overrun their entry array.
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM AC WHERE AC_GU = 'AC73' AND "
                       "AC_FNCD1 IN ('111050', '211060')"),
              0);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM AC WHERE AC_GU IS NULL"), 0);
    EXPECT_GT(db.count("SELECT COUNT(*) FROM PS WHERE PS_TYPE = 'SS01'"), 0);
    EXPECT_GT(db.count("SELECT COUNT(*) FROM PE WHERE PE_BAN = '1'"), 0);
    EXPECT_GT(db.count("SELECT COUNT(*) FROM PE WHERE PE_SD = 0"), 0);
    EXPECT_GT(db.count("SELECT COUNT(*) FROM PE WHERE PE_SD IS NULL"), 0);
}

TEST_F(DemoDbTest, RestaurantCardApprovalsAndCustomers) {
    SqliteFile db(make(options(Kind::Restaurant, 500)));
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM CREDIT"),
              db.count("SELECT COUNT(*) FROM AC WHERE AC_FNCD1 = '111055'"));
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM CREDIT WHERE AC_ID NOT IN (SELECT PE_ID FROM PE)"), 0);
    EXPECT_GT(db.count("SELECT COUNT(*) FROM CREDIT WHERE CD_NO LIKE '%=%'"), 0);
    EXPECT_GT(db.count("SELECT COUNT(*) FROM CREDIT WHERE CD_NO NOT LIKE '%=%'"), 0);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM CREDIT WHERE CD_SD <> 0 OR length(CD_APRNO) <> 8"), 0);

    // Walk-ins carry no customer at all; customers carry code and name down to the entries.
    const long walkIns = db.count("SELECT COUNT(*) FROM PE WHERE CT_CODE IS NULL");
    EXPECT_GT(walkIns, 250);
    EXPECT_LT(walkIns, 500);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM PE WHERE (CT_CODE IS NULL) <> (CT_NAME IS NULL)"), 0);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM PE WHERE CT_CODE = ''"), 0);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM AC JOIN PE USING (PE_ID) "
                       "WHERE AC_CTCODE IS NOT CT_CODE OR AC_CTNAME IS NOT CT_NAME"),
              0);
    EXPECT_GT(db.count("SELECT COUNT(*) FROM PE WHERE PE_MEMCODE IS NOT NULL"), 0);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM PE WHERE PE_MEMCODE IS NOT NULL AND CT_CODE IS NULL"),
              0);

    EXPECT_EQ(db.count("SELECT COUNT(*) FROM PSN WHERE PE_ID NOT IN (SELECT PE_ID FROM PE)"), 0);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM PSN JOIN PE USING (PE_ID) "
                       "WHERE PSN_MAN + PSN_WOMAN <> PE_PSN"),
              0);
    EXPECT_GT(db.count("SELECT COUNT(*) FROM DELIVERY WHERE D_ADDR2 IS NULL"), 0);
    EXPECT_GT(db.count("SELECT COUNT(*) FROM DELIVERY WHERE D_RNAME IS NULL"), 0);
}

// The engines copy these columns without a test for Null; one Null ends a whole transfer run.
TEST_F(DemoDbTest, NoNullWhereTheEnginesNeedAValue) {
    const std::vector<std::string> restaurant = {
        "PE WHERE PE_CK <> 0 AND (PE_DATE || PE_AMT || PE_VAT || PE_TOT || PE_DAMT || PE_RPOINT "
        "|| PE_DPOINT || PE_SDATE || PE_EDATE || PE_NTBID || PE_PSN || PE_BAMT || PE_SVC || "
        "PE_TIP) IS NULL",
        "AC WHERE (AC_NO || AC_PDATE || AC_SDATE || AC_FNCD1 || AC_AMT || AC_UCODE || AC_GU) IS "
        "NULL OR (AC_FNCD1 <> '111010' AND AC_FNCD2 IS NULL)",
        "PS WHERE (PS_NO || PS_DATE || PS_UP || PS_QTY || PS_AMT || PS_VAT || PS_PRCODE || "
        "PS_TYPE) IS NULL",
        "PR WHERE (PR_NAME || PR_TAX || PR_COST) IS NULL",
        "CREDIT WHERE (AC_ID || AC_BILLNO || CD_DATE || CD_GU || CD_NO || CD_MONTH || CD_NAME || "
        "CD_CTNAME || CD_INS || CD_AMT || CD_APRNO) IS NULL",
        "DELIVERY WHERE (D_CODE || D_NAME || D_TEL || D_ADDR1) IS NULL",
        "PSN WHERE PSN_PGRADE IS NULL",
    };
    const std::vector<std::string> retail = {
        "SL WHERE (SL_DATE || SL_SALEAMT || SL_TAX || SL_SUBTOTE || SL_MISU || SL_CASH || SL_CARD "
        "|| SL_SAVEAMT || SL_MEMCPOINT || SL_UCODE || SL_NO || SL_PAYAMT || SL_CHANGE || "
        "SL_MEMRPOINT || SL_UPOINT || SL_UPTRANSNO) IS NULL",
        "SL WHERE SL_CARD <> 0 AND (SL_APRNO || SL_CARDNO || SL_CARDNAME) IS NULL",
        "SL WHERE SL_MEMNO IS NULL OR SL_MEMNAME IS NULL",
        "SSL WHERE (SSL_NO || SSL_DATE || SSL_POS || SSL_UNIT || SSL_PRICE || SSL_QTY || SSL_AMT "
        "|| SSL_VAT || SSL_INAMT || SSL_GU) IS NULL",
        "MENU WHERE (MENU_CODE || MENU_NAME || MENU_CK) IS NULL",
        "CREDIT WHERE (C_SLID || C_DATE || C_SLNO || C_GU || C_CARD || C_CARDNO || C_CARDMN || "
        "C_APRNO) IS NULL",
    };
    SqliteFile food(make(options(Kind::Restaurant, 500), "food.mdb"));
    for (const std::string& q : restaurant) {
        EXPECT_EQ(food.count("SELECT COUNT(*) FROM " + q), 0) << q;
    }
    SqliteFile pos(make(options(Kind::Retail, 500), "pos.mdb"));
    for (const std::string& q : retail) {
        EXPECT_EQ(pos.count("SELECT COUNT(*) FROM " + q), 0) << q;
    }
}

TEST_F(DemoDbTest, SchemaBeforeAndAfterTheUpgrade) {
    SqliteFile oldFood(make(options(Kind::Restaurant, 20, 1, true), "old-food.mdb"));
    EXPECT_FALSE(oldFood.hasColumn("PE", "PE_BAN"));
    EXPECT_FALSE(oldFood.hasColumn("PSN", "PSN_ETC"));
    EXPECT_TRUE(oldFood.hasColumn("PE", "PE_MEMCODE"));

    SqliteFile food(make(options(Kind::Restaurant, 20), "food.mdb"));
    EXPECT_TRUE(food.hasColumn("PE", "PE_BAN"));
    EXPECT_TRUE(food.hasColumn("PSN", "PSN_ETC"));
    EXPECT_EQ(food.rows("SELECT CF_PART, CF_IDX, CF_CONTENTS FROM CF ORDER BY rowid"),
              (std::vector<std::string>{"3:영업3|1:12|3:1", "3:영업4|1:3|3:0", "3:POS|1:3|3:0"}));

    SqliteFile oldPos(make(options(Kind::Retail, 20, 1, true), "old-pos.mdb"));
    EXPECT_FALSE(oldPos.hasColumn("SL", "SL_EDATE"));
    EXPECT_FALSE(oldPos.hasColumn("SL", "SL_UPTRANSNO"));
    EXPECT_FALSE(oldPos.hasColumn("DELSSL", "DEL_SD"));
    EXPECT_FALSE(oldPos.hasTable("BAS"));
    EXPECT_TRUE(oldPos.hasTable("DELSSL"));

    SqliteFile pos(make(options(Kind::Retail, 20), "pos.mdb"));
    EXPECT_TRUE(pos.hasColumn("SL", "SL_EDATE"));
    EXPECT_TRUE(pos.hasColumn("SL", "SL_UPTRANSNO"));
    EXPECT_TRUE(pos.hasColumn("DELSSL", "DEL_SD"));
    EXPECT_EQ(pos.rows("SELECT BAS_CODE, BS_M1 FROM BAS ORDER BY BAS_CODE"),
              (std::vector<std::string>{"3:ZA16|3:1", "3:ZA20|3:0"}));
    EXPECT_EQ(pos.count("SELECT COUNT(*) FROM BAS WHERE BS_NAME1 IS NULL OR BS_NAME2 IS NULL"), 0);
}

TEST_F(DemoDbTest, NeverOverwritesAndLeavesNothingBehindOnRefusal) {
    const auto existing = m_dir / "FOOD.MDB";
    test::writeFile(existing, "the shop's sales");
    EXPECT_THROW(makeDemoDb(options(Kind::Restaurant, 10), existing), Error);
    EXPECT_EQ(test::readFile(existing), "the shop's sales");
    EXPECT_THROW(makeConfigDb(existing, false), Error);
    EXPECT_EQ(test::readFile(existing), "the shop's sales");

    EXPECT_THROW(makeDemoDb(options(Kind::Retail, 10), m_dir / "missing" / "POS.MDB"), Error);
    EXPECT_FALSE(std::filesystem::exists(m_dir / "missing"));

    DemoDbOptions noDays = options(Kind::Retail, 10);
    noDays.days = 0;
    DemoDbOptions crowded = options(Kind::Retail, 2 * kMaxSalesPerDay + 1);
    crowded.days = 2;
    DemoDbOptions badToday = options(Kind::Retail, 10);
    badToday.today = {2023, 2, 29, 0, 0, 0};
    for (const DemoDbOptions& o : {noDays, crowded, badToday}) {
        EXPECT_THROW(makeDemoDb(o, m_dir / "POS.MDB"), Error);
        EXPECT_FALSE(std::filesystem::exists(m_dir / "POS.MDB"));
    }
}

TEST_F(DemoDbTest, SalesLieInTheLastDaysUpToNow) {
    // Three days ending on 1 March of a leap year: 28 and 29 February, 1 March.
    DemoDbOptions o = options(Kind::Restaurant, 600);
    o.days = 3;
    o.today = {2024, 3, 1, 12, 0, 0};
    SqliteFile food(make(o, "food.mdb"));
    EXPECT_EQ(food.rows("SELECT DISTINCT PE_DATE FROM PE ORDER BY 1"),
              (std::vector<std::string>{"3:2024-02-28", "3:2024-02-29", "3:2024-03-01"}));
    EXPECT_EQ(food.count("SELECT COUNT(*) FROM PE WHERE PE_ID NOT GLOB '[0-9][0-9][0-9][0-9]"
                         "[0-9][0-9][0-9][0-9][0-9][0-9]' OR substr(PE_ID, 1, 6) <> "
                         "substr(PE_DATE, 3, 2) || substr(PE_DATE, 6, 2) || substr(PE_DATE, 9, 2)"),
              0);
    EXPECT_EQ(food.count("SELECT COUNT(*) FROM PE WHERE substr(PE_SDATE, 1, 10) <> PE_DATE OR "
                         "length(PE_SDATE) <> 19 OR PE_EDATE < PE_SDATE"),
              0);
    EXPECT_EQ(food.count("SELECT COUNT(*) FROM PE WHERE PE_SDATE > '2024-03-01 12:00:00'"), 0);
    // Sale numbers count up through the day in time order.
    EXPECT_EQ(food.count("SELECT COUNT(*) FROM PE a JOIN PE b ON b.PE_ID > a.PE_ID AND "
                         "b.PE_DATE = a.PE_DATE AND b.PE_SDATE < a.PE_SDATE"),
              0);

    o.kind = Kind::Retail;
    o.days = 40;
    SqliteFile pos(make(o, "pos.mdb"));
    EXPECT_EQ(pos.value("SELECT MIN(SL_DATE) FROM SL"), "2024-01-22");
    EXPECT_EQ(pos.value("SELECT MAX(SL_DATE) FROM SL"), "2024-03-01");
    EXPECT_EQ(pos.count("SELECT COUNT(*) FROM SSL JOIN SL USING (SL_ID) WHERE SSL_DATE <> SL_DATE"),
              0);
}

TEST_F(DemoDbTest, RetailSalesAddUpAndJoin) {
    SqliteFile db(make(options(Kind::Retail, 800)));
    EXPECT_EQ(db.count("SELECT COUNT(DISTINCT SL_UPTRANSNO) FROM SL"), 800);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM SL WHERE length(SL_UPTRANSNO) <> 18"), 0);
    EXPECT_EQ(db.value("SELECT MIN(SL_ID) || '-' || MAX(SL_ID) FROM SL"), "1-800");
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM SL WHERE SL_ID NOT IN (SELECT SL_ID FROM SSL)"), 0);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM SSL WHERE SSL_POS NOT IN (SELECT MENU_POS FROM MENU)"),
              0);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM SL WHERE SL_CASH + SL_CARD + SL_MISU + SL_UPOINT <> "
                       "SL_SUBTOTE OR ABS(SL_SALEAMT + SL_TAX - SL_SUBTOTE) > 0.001"),
              0);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM SL WHERE SL_SUBTOTE <> (SELECT SUM(SSL_AMT) FROM SSL "
                       "WHERE SSL.SL_ID = SL.SL_ID)"),
              0);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM SL WHERE SL_PAYAMT - SL_CHANGE <> SL_CASH"), 0);

    // Every way of paying, and every way a POS leaves a walk-in's member number blank.
    for (const char* paid : {"SL_CASH > 0 AND SL_CARD = 0", "SL_CARD > 0 AND SL_CASH = 0",
                             "SL_CASH > 0 AND SL_CARD > 0", "SL_MISU > 0", "SL_UPOINT > 0"}) {
        EXPECT_GT(db.count(std::string("SELECT COUNT(*) FROM SL WHERE ") + paid), 0) << paid;
    }
    for (const char* variant :
         {"SL_MEMNO = ''", "SL_MEMNO = '  '", "TRIM(SL_MEMNO) <> ''", "SL_SND IS NULL",
          "SL_SND = 0", "SL_EDATE IS NULL", "SL_APRNO = '00000000'"}) {
        EXPECT_GT(db.count(std::string("SELECT COUNT(*) FROM SL WHERE ") + variant), 0) << variant;
    }
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM SL WHERE SL_SND <> 0"), 0);

    EXPECT_EQ(db.count("SELECT COUNT(*) FROM CREDIT"),
              db.count("SELECT COUNT(*) FROM SL WHERE SL_CARD > 0"));
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM CREDIT JOIN SL ON C_SLID = SL_ID "
                       "WHERE C_CARD <> SL_CARD OR C_APRNO <> SL_APRNO OR C_DATE <> SL_DATE"),
              0);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM CREDIT WHERE C_CARDNAME NOT LIKE '%_/_%' OR "
                       "C_SND <> 0"),
              0);
    EXPECT_GT(db.count("SELECT COUNT(*) FROM SL WHERE SL_CARDNAME NOT LIKE '%/%'"), 0);

    const long deleted = db.count("SELECT COUNT(*) FROM DELSSL");
    EXPECT_GT(deleted, 10);
    EXPECT_LT(deleted, 100);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM DELSSL WHERE DEL_SD IS NOT NULL OR "
                       "DEL_ID NOT IN (SELECT SL_ID FROM SL)"),
              0);
}

TEST_F(DemoDbTest, ConfigDatabaseMarksTheOrderTerminal) {
    makeConfigDb(m_dir / "cashier.mdb", false);
    makeConfigDb(m_dir / "terminal.mdb", true);
    EXPECT_EQ(SqliteFile(m_dir / "cashier.mdb").rows("SELECT * FROM CF"),
              std::vector<std::string>{"3:POS|1:3|3:0"});
    EXPECT_EQ(SqliteFile(m_dir / "terminal.mdb").rows("SELECT * FROM CF"),
              std::vector<std::string>{"3:POS|1:3|3:1"});
}

}  // namespace
}  // namespace veldon::demodb
