#include "tools/demodb.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "platform/error.h"
#include "tests/support/tempdir.h"

namespace veldon::demodb {
namespace {

// Read-only access to a made file through SQLite itself, independent of the program's layer.
class SqliteFile {
public:
    explicit SqliteFile(const std::filesystem::path& file) {
        sqlite3_open_v2(file.string().c_str(), &m_db, SQLITE_OPEN_READONLY, nullptr);
    }
    ~SqliteFile() { sqlite3_close(m_db); }

    // Every row of the query, each value as "type:text" joined by '|'.
    std::vector<std::string> rows(const std::string& sql) const {
        sqlite3_stmt* stmt = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(m_db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK)
            << sql << ": " << sqlite3_errmsg(m_db);
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

    // The first value of a query as a number (after its one-digit type).
    long count(const std::string& sql) const { return std::stol(rows(sql).at(0).substr(2)); }

    // Each query ("TABLE WHERE ...") matches no row of the file, or some.
    void expectRows(const std::vector<std::string>& none,
                    const std::vector<std::string>& some) const {
        for (const std::string& q : none) {
            EXPECT_EQ(count("SELECT COUNT(*) FROM " + q), 0) << q;
        }
        for (const std::string& q : some) {
            EXPECT_GT(count("SELECT COUNT(*) FROM " + q), 0) << q;
        }
    }

private:
    sqlite3* m_db = nullptr;
};

DemoDbOptions options(Kind kind, long sales, std::uint64_t seed = 1, bool preUpgrade = false) {
    return {.kind = kind,
            .sales = sales,
            .seed = seed,
            .preUpgrade = preUpgrade,
            .today = {2024, 3, 5, 14, 7, 9}};
}

class DemoDbTest : public ::testing::Test {
protected:
    std::filesystem::path make(const DemoDbOptions& o, const std::string& name) {
        const auto file = m_dir / name;
        makeDemoDb(o, file);
        return file;
    }

    test::TempDir m_dir;
};

TEST_F(DemoDbTest, MakesExactlyTheSalesAskedAlikeForTheSameSeedAndReportsTheRowsWritten) {
    for (Kind kind : {Kind::Restaurant, Kind::Retail}) {
        const std::string k(kindName(kind));
        for (long sales : {0L, 1L, 777L}) {
            const auto file = m_dir / (k + std::to_string(sales));
            const DemoDbSummary summary = makeDemoDb(options(kind, sales, 7), file);
            SqliteFile db(file);
            EXPECT_EQ(summary.rows(kind == Kind::Restaurant ? "PE" : "SL"), sales) << k;
            for (const TableRows& t : summary.tables) {
                EXPECT_EQ(db.count("SELECT COUNT(*) FROM " + t.table), t.rows) << k << t.table;
            }
            EXPECT_EQ(summary.tables.size(),
                      db.rows("SELECT name FROM sqlite_master WHERE type = 'table'").size());
        }
        const std::string a = test::readFile(m_dir / (k + "777"));
        EXPECT_EQ(a, test::readFile(make(options(kind, 777, 7), k + "b"))) << k;
        EXPECT_NE(a, test::readFile(make(options(kind, 777, 8), k + "c"))) << k;
    }
}

// What the engines rely on and what they single out. The engines copy most columns without a
// test for Null, and one Null ends a whole transfer run.
TEST_F(DemoDbTest, RestaurantSalesAddUpAndCoverWhatTheEnginesSingleOut) {
    SqliteFile db(make(options(Kind::Restaurant, 500), "FOOD.MDB"));
    db.expectRows(
        {"PE WHERE PE_ID NOT IN (SELECT PE_ID FROM PS)",
         "PE WHERE PE_CK <> 0 AND PE_ID NOT IN (SELECT PE_ID FROM AC)",
         "PE WHERE PE_CK NOT IN (0, -1)", "AC JOIN PE USING (PE_ID) WHERE PE_CK = 0",
         "PE WHERE ABS(PE_AMT + PE_VAT - PE_TOT) > 0.001",
         "PE WHERE PE_TOT <> PE_BAMT - PE_SVC - PE_DAMT",
         // The payments cover total and tip; the AC73 entries are bookkeeping.
         "PE WHERE PE_CK <> 0 AND PE_TOT + PE_TIP <> (SELECT SUM(CASE AC_DC WHEN 'D' THEN "
         "AC_AMT ELSE -AC_AMT END) FROM AC WHERE AC.PE_ID = PE.PE_ID AND AC_GU <> 'AC73')",
         // Complimentary lines make up the service amount.
         "PE WHERE PE_SVC <> (SELECT IFNULL(SUM(PS_AMT + PS_VAT), 0) FROM PS WHERE "
         "PS.PE_ID = PE.PE_ID AND PS_TYPE = 'SS01')",
         "PS WHERE PS_PRCODE NOT IN (SELECT PR_CODE FROM PR)",
         // The engines subtract receivables counted over all AC rows from the rows they read
         // without AC73: an AC73 receivable would overrun their entry array.
         "AC WHERE AC_GU = 'AC73' AND AC_FNCD1 IN ('111050', '211060')", "AC WHERE AC_GU IS NULL",
         "CREDIT WHERE AC_ID NOT IN (SELECT PE_ID FROM PE)",
         "CREDIT WHERE CD_SD <> 0 OR length(CD_APRNO) <> 8",
         // Walk-ins carry no customer at all; customers carry code and name to the entries.
         "PE WHERE (CT_CODE IS NULL) <> (CT_NAME IS NULL) OR CT_CODE = ''",
         "AC JOIN PE USING (PE_ID) WHERE AC_CTCODE IS NOT CT_CODE OR AC_CTNAME IS NOT CT_NAME",
         "PE WHERE PE_MEMCODE IS NOT NULL AND CT_CODE IS NULL",
         "PSN WHERE PE_ID NOT IN (SELECT PE_ID FROM PE)",
         "PSN JOIN PE USING (PE_ID) WHERE PSN_MAN + PSN_WOMAN <> PE_PSN",
         "PE WHERE PE_CK <> 0 AND (PE_DATE || PE_AMT || PE_VAT || PE_TOT || PE_DAMT || "
         "PE_RPOINT || PE_DPOINT || PE_SDATE || PE_EDATE || PE_NTBID || PE_PSN || PE_BAMT || "
         "PE_SVC || PE_TIP) IS NULL",
         "AC WHERE (AC_NO || AC_PDATE || AC_SDATE || AC_FNCD1 || AC_AMT || AC_UCODE || AC_GU) "
         "IS NULL OR (AC_FNCD1 <> '111010' AND AC_FNCD2 IS NULL)",
         "PS WHERE (PS_NO || PS_DATE || PS_UP || PS_QTY || PS_AMT || PS_VAT || PS_PRCODE || "
         "PS_TYPE) IS NULL",
         "PR WHERE (PR_NAME || PR_TAX || PR_COST) IS NULL",
         "CREDIT WHERE (AC_ID || AC_BILLNO || CD_DATE || CD_GU || CD_NO || CD_MONTH || "
         "CD_NAME || CD_CTNAME || CD_INS || CD_AMT || CD_APRNO) IS NULL",
         "DELIVERY WHERE (D_CODE || D_NAME || D_TEL || D_ADDR1) IS NULL",
         "PE WHERE PE_ID NOT GLOB '[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]' OR "
         "substr(PE_ID, 1, 6) <> substr(PE_DATE, 3, 2) || substr(PE_DATE, 6, 2) || "
         "substr(PE_DATE, 9, 2)",
         "PE WHERE substr(PE_SDATE, 1, 10) <> PE_DATE OR length(PE_SDATE) <> 19 OR "
         "PE_EDATE < PE_SDATE OR PE_SDATE > '2024-03-05 14:07:09'",
         // Sale numbers count up through the day in time order.
         "PE a JOIN PE b ON b.PE_ID > a.PE_ID AND b.PE_DATE = a.PE_DATE AND "
         "b.PE_SDATE < a.PE_SDATE",
         "PSN WHERE PSN_PGRADE IS NULL"},
        {"PE WHERE PE_CK = 0", "PE WHERE PE_DAMT > 0", "PE WHERE typeof(PE_VAT) = 'real'",
         "PE WHERE PE_BAN = '1'", "PE WHERE PE_SD = 0", "PE WHERE PE_SD IS NULL",
         "PE WHERE PE_MEMCODE IS NOT NULL", "PS WHERE PS_TYPE = 'SS01'",
         "AC WHERE AC_FNCD1 || AC_FNCD2 = '11103001'", "AC WHERE AC_DC = 'C'",
         "AC WHERE AC_GU = 'AC73'", "CREDIT WHERE CD_NO LIKE '%=%'",
         "CREDIT WHERE CD_NO NOT LIKE '%=%'", "DELIVERY WHERE D_ADDR2 IS NULL",
         "DELIVERY WHERE D_RNAME IS NULL"});
    EXPECT_EQ(db.count("SELECT COUNT(DISTINCT AC_FNCD1) FROM AC WHERE AC_FNCD1 IN ('111010', "
                       "'111055', '111050', '211060', '211021')"),
              5);
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM CREDIT"),
              db.count("SELECT COUNT(*) FROM AC WHERE AC_FNCD1 = '111055'"));
    EXPECT_EQ(db.count("SELECT COUNT(*) BETWEEN 251 AND 499 FROM PE WHERE CT_CODE IS NULL"), 1);
}

// Every way of paying, and every way a POS leaves a walk-in's member number blank.
TEST_F(DemoDbTest, RetailSalesAddUpAndCoverWhatTheEngineSinglesOut) {
    SqliteFile db(make(options(Kind::Retail, 800), "POS.MDB"));
    db.expectRows(
        {"SL WHERE length(SL_UPTRANSNO) <> 18", "SL WHERE SL_ID NOT IN (SELECT SL_ID FROM SSL)",
         "SSL WHERE SSL_POS NOT IN (SELECT MENU_POS FROM MENU)",
         "SL WHERE SL_CASH + SL_CARD + SL_MISU + SL_UPOINT <> SL_SUBTOTE OR "
         "ABS(SL_SALEAMT + SL_TAX - SL_SUBTOTE) > 0.001",
         "SL WHERE SL_SUBTOTE <> (SELECT SUM(SSL_AMT) FROM SSL WHERE SSL.SL_ID = SL.SL_ID)",
         "SL WHERE SL_PAYAMT - SL_CHANGE <> SL_CASH", "SL WHERE SL_SND <> 0",
         "SSL JOIN SL USING (SL_ID) WHERE SSL_DATE <> SL_DATE",
         "CREDIT JOIN SL ON C_SLID = SL_ID WHERE C_CARD <> SL_CARD OR C_APRNO <> SL_APRNO OR "
         "C_DATE <> SL_DATE",
         "CREDIT WHERE C_CARDNAME NOT LIKE '%_/_%' OR C_SND <> 0",
         "DELSSL WHERE DEL_SD IS NOT NULL OR DEL_ID NOT IN (SELECT SL_ID FROM SL)",
         "SL WHERE (SL_DATE || SL_SALEAMT || SL_TAX || SL_SUBTOTE || SL_MISU || SL_CASH || "
         "SL_CARD || SL_SAVEAMT || SL_MEMCPOINT || SL_UCODE || SL_NO || SL_PAYAMT || SL_CHANGE "
         "|| SL_MEMRPOINT || SL_UPOINT || SL_UPTRANSNO) IS NULL",
         "SL WHERE SL_CARD <> 0 AND (SL_APRNO || SL_CARDNO || SL_CARDNAME) IS NULL",
         "SL WHERE SL_MEMNO IS NULL OR SL_MEMNAME IS NULL",
         "SSL WHERE (SSL_NO || SSL_DATE || SSL_POS || SSL_UNIT || SSL_PRICE || SSL_QTY || "
         "SSL_AMT || SSL_VAT || SSL_INAMT || SSL_GU) IS NULL",
         "MENU WHERE (MENU_CODE || MENU_NAME || MENU_CK) IS NULL",
         "CREDIT WHERE (C_SLID || C_DATE || C_SLNO || C_GU || C_CARD || C_CARDNO || C_CARDMN "
         "|| C_APRNO) IS NULL"},
        {"SL WHERE SL_CASH > 0 AND SL_CARD = 0", "SL WHERE SL_CARD > 0 AND SL_CASH = 0",
         "SL WHERE SL_CASH > 0 AND SL_CARD > 0", "SL WHERE SL_MISU > 0", "SL WHERE SL_UPOINT > 0",
         "SL WHERE SL_MEMNO = ''", "SL WHERE SL_MEMNO = '  '", "SL WHERE TRIM(SL_MEMNO) <> ''",
         "SL WHERE SL_SND IS NULL", "SL WHERE SL_SND = 0", "SL WHERE SL_EDATE IS NULL",
         "SL WHERE SL_APRNO = '00000000'", "SL WHERE SL_CARDNAME NOT LIKE '%/%'"});
    EXPECT_EQ(db.rows("SELECT MIN(SL_ID), MAX(SL_ID), COUNT(DISTINCT SL_UPTRANSNO), MIN(SL_DATE), "
                      "MAX(SL_DATE) FROM SL"),
              std::vector<std::string>{"1:1|1:800|1:800|3:2024-02-05|3:2024-03-05"});
    EXPECT_EQ(db.count("SELECT COUNT(*) FROM CREDIT"),
              db.count("SELECT COUNT(*) FROM SL WHERE SL_CARD > 0"));
    EXPECT_EQ(db.count("SELECT COUNT(*) BETWEEN 11 AND 99 FROM DELSSL"), 1);
}

TEST_F(DemoDbTest, SchemaBeforeAndAfterTheUpgrade) {
    const SqliteFile oldFood(make(options(Kind::Restaurant, 20, 1, true), "old-food"));
    const SqliteFile food(make(options(Kind::Restaurant, 20), "food"));
    const SqliteFile oldPos(make(options(Kind::Retail, 20, 1, true), "old-pos"));
    const SqliteFile pos(make(options(Kind::Retail, 20), "pos"));
    // The columns one file has and the other has not, as TABLE.COLUMN.
    const auto changed = [](const SqliteFile& a, const SqliteFile& b) {
        const std::string sql =
            "SELECT m.name || '.' || p.name FROM sqlite_master m, "
            "pragma_table_info(m.name) p WHERE m.type = 'table' ORDER BY 1";
        std::vector<std::string> x = a.rows(sql), y = b.rows(sql), diff;
        std::set_symmetric_difference(x.begin(), x.end(), y.begin(), y.end(),
                                      std::back_inserter(diff));
        return diff;
    };
    EXPECT_EQ(changed(oldFood, food), (std::vector<std::string>{"3:PE.PE_BAN", "3:PSN.PSN_ETC"}));
    EXPECT_EQ(
        changed(oldPos, pos),
        (std::vector<std::string>{"3:BAS.BAS_CODE", "3:BAS.BS_M1", "3:BAS.BS_M2", "3:BAS.BS_M3",
                                  "3:BAS.BS_M4", "3:BAS.BS_NAME1", "3:BAS.BS_NAME2",
                                  "3:DELSSL.DEL_SD", "3:SL.SL_EDATE", "3:SL.SL_UPTRANSNO"}));
    EXPECT_EQ(food.rows("SELECT CF_PART, CF_IDX, CF_CONTENTS FROM CF ORDER BY rowid"),
              (std::vector<std::string>{"3:영업3|1:12|3:1", "3:영업4|1:3|3:0", "3:POS|1:3|3:0"}));
    EXPECT_EQ(pos.rows("SELECT BAS_CODE, BS_M1 FROM BAS ORDER BY BAS_CODE"),
              (std::vector<std::string>{"3:ZA16|3:1", "3:ZA20|3:0"}));
    pos.expectRows({"BAS WHERE BS_NAME1 IS NULL OR BS_NAME2 IS NULL"}, {});
}

TEST_F(DemoDbTest, NeverOverwritesAndLeavesNothingBehindOnRefusal) {
    const auto existing = m_dir / "FOOD.MDB";
    test::writeFile(existing, "the shop's sales");
    EXPECT_THROW(makeDemoDb(options(Kind::Restaurant, 10), existing), Error);
    EXPECT_THROW(makeConfigDb(existing, false), Error);
    EXPECT_EQ(test::readFile(existing), "the shop's sales");

    EXPECT_THROW(makeDemoDb(options(Kind::Retail, 10), m_dir / "missing" / "POS.MDB"), Error);
    EXPECT_FALSE(std::filesystem::exists(m_dir / "missing"));

    // No days, more sales than the days hold, a today that does not exist.
    DemoDbOptions noDays = options(Kind::Retail, 10), badToday = noDays,
                  crowded = options(Kind::Retail, 2 * kMaxSalesPerDay + 1);
    noDays.days = 0;
    crowded.days = 2;
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
    SqliteFile food(make(o, "FOOD.MDB"));
    EXPECT_EQ(food.rows("SELECT DISTINCT PE_DATE FROM PE ORDER BY 1"),
              (std::vector<std::string>{"3:2024-02-28", "3:2024-02-29", "3:2024-03-01"}));
}

}  // namespace
}  // namespace veldon::demodb
