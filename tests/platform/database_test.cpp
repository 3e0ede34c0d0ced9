// The local database layer against real SQLite files in the POS program's form, driven with the
// engines' own statements.
#include "platform/database.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sqlite3.h>
#endif

#include <functional>
#include <sstream>

#include "engines/queries.h"
#include "platform/error.h"
#include "platform/jetdialect.h"
#include "tests/support/tempdir.h"

namespace veldon {
namespace {

#ifdef _WIN32
// Through the ODBC backend itself: SQLite (through its ODBC driver) makes a database of an empty
// file.
void run(const std::filesystem::path& file, const char* sql) {
    if (!std::filesystem::exists(file)) {
        test::writeFile(file, "");
    }
    auto db = createConnection();
    db->open("Dbq=" + file.string());
    std::string statement;
    bool quoted = false;
    for (const char* c = sql; *c; ++c) {
        quoted ^= *c == '\'';
        if (*c == ';' && !quoted) {
            db->execute(statement);
            statement.clear();
        } else {
            statement += *c;
        }
    }
}
#else
void run(const std::filesystem::path& file, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.string().c_str(), &db), SQLITE_OK);
    char* message = nullptr;
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    std::string text = message ? message : "";
    sqlite3_free(message);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << text;
}
#endif

// The named fields of the rows from the current one on: '|' between fields, " / " between rows,
// Null shown as "Null".
std::string rows(Recordset& rs, const std::string& names) {
    std::string out;
    for (; !rs.eof(); rs.moveNext()) {
        std::istringstream in(names);
        std::string line, name;
        while (in >> name) {
            const Value v = rs.field(name);
            line += "|" + (v.isNull() ? "Null" : v.toText());
        }
        out += (out.empty() ? "" : " / ") + line.substr(1);
    }
    return out;
}

void expectError(const std::function<void()>& action, long number, const std::string& words) {
    try {
        action();
        ADD_FAILURE() << "no error, expected: " << words;
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), number) << e.description();
        EXPECT_NE(e.description().find(words), std::string::npos) << e.description();
    }
}

const char* const RestaurantSchema = R"(
CREATE TABLE PE (PE_ID TEXT PRIMARY KEY, PE_DATE TEXT, CT_CODE TEXT, CT_NAME TEXT, PE_AMT NUMERIC,
  PE_VAT NUMERIC, PE_TOT NUMERIC, PE_DAMT NUMERIC, PE_RPOINT NUMERIC, PE_DPOINT NUMERIC,
  PE_SD INTEGER, PE_SDATE TEXT, PE_EDATE TEXT, PE_NTBID TEXT, PE_PSN INTEGER, PE_BAMT NUMERIC,
  PE_SVC NUMERIC, PE_TIP NUMERIC, PE_MEMCODE TEXT, PE_CK INTEGER, PE_BAN TEXT(1));
CREATE TABLE AC (PE_ID TEXT, AC_NO INTEGER, AC_PDATE TEXT, AC_SDATE TEXT, AC_CTCODE TEXT,
  AC_CTNAME TEXT, AC_FNCD1 TEXT, AC_FNCD2 TEXT, AC_AMT NUMERIC, AC_DC TEXT, AC_REM1 TEXT,
  AC_REM2 TEXT, AC_REM3 TEXT, AC_REM4 TEXT, AC_UCODE TEXT, AC_GU TEXT);
CREATE TABLE PS (PE_ID TEXT, PS_NO INTEGER, PS_DATE TEXT, PS_PRNAME TEXT, PS_UP NUMERIC,
  PS_QTY NUMERIC, PS_AMT NUMERIC, PS_VAT NUMERIC, PS_PRCODE TEXT, PS_TYPE TEXT, PS_DC NUMERIC);
CREATE TABLE PR (PR_CODE TEXT PRIMARY KEY, PR_NAME TEXT, PR_TAX TEXT, PR_COST NUMERIC);
CREATE TABLE CREDIT (AC_ID TEXT, AC_BILLNO TEXT, CD_DATE TEXT, CD_GU TEXT, CD_NO TEXT,
  CD_MONTH TEXT, CD_NAME TEXT, CD_CTNAME TEXT, CD_INS TEXT, CD_AMT NUMERIC, CD_CTNO TEXT,
  CD_APRNO TEXT, CD_SD INTEGER DEFAULT 0);
CREATE TABLE DELIVERY (PE_ID TEXT, D_CODE TEXT, D_NAME TEXT, D_TEL TEXT, D_RNAME TEXT, D_RTEL TEXT,
  D_ZIP TEXT, D_ADDR1 TEXT, D_ADDR2 TEXT, D_MEMO TEXT);
CREATE TABLE PSN (PE_ID TEXT, PSN_MAN INTEGER, PSN_WOMAN INTEGER, PSN_PGRADE TEXT, PSN_ETC INTEGER);

INSERT INTO PE (PE_ID, CT_CODE, CT_NAME, PE_AMT, PE_RPOINT, PE_DPOINT, PE_SD, PE_EDATE, PE_NTBID,
  PE_CK, PE_BAN, PE_MEMCODE) VALUES ('2403050001',NULL,NULL,8182,10,20,NULL,'2024-03-05','T01',-1,
  NULL,NULL), ('2403050002','C001','김손님',4545.25,0,0,0,'2024-02-29 23:10:00','T02',-1,'1','M9'),
  ('2403050003',NULL,NULL,1,0,0,7,'2024-03-05','T03',-1,NULL,NULL),
  ('2403050004',NULL,NULL,1,0,0,NULL,'2024-03-05','T04',0,NULL,NULL);
INSERT INTO AC (PE_ID, AC_NO, AC_FNCD1, AC_FNCD2, AC_AMT, AC_DC, AC_REM1, AC_REM4, AC_UCODE, AC_GU)
  VALUES ('2403050001',1,'111010','05',5000,'D',NULL,NULL,'U1','AC11'),
  ('2403050001',2,'111055','01',4000,'D','r1',NULL,'U2','AC11'),
  ('2403050001',3,'111050','00',1000,'D',NULL,NULL,'U1','AC11'),
  ('2403050001',4,'111010','00',700,'C',NULL,NULL,'U1','AC73'),
  ('2403050001',5,'211021','01',20,'D','x','z','U1','AC11');
INSERT INTO PR VALUES ('P1','김치찌개','1',3000), ('P2','공기밥','1',300);
INSERT INTO PS VALUES ('2403050001',2,'2024-03-05','김치찌개',4545,1,4545,455,'P1',NULL,NULL);
INSERT INTO PS VALUES ('2403050001',1,'2024-03-05','공기밥',4546,1,4546,454,'P2','SS01',0);
INSERT INTO CREDIT (AC_ID, AC_BILLNO, CD_SD) VALUES ('2403050001','B1',0), ('2403050002','B2',0),
  ('2403050003','B3',7), ('2403050009','B9',NULL);
INSERT INTO DELIVERY (PE_ID, D_ADDR1, D_ADDR2) VALUES ('2403050001','서울시',NULL),
  ('2403050002','남원','광한루');
INSERT INTO PSN VALUES ('2403050001',1,1,'A',NULL);
)";

class RestaurantDb : public ::testing::Test {
protected:
    void SetUp() override {
        run(dir / "FOOD.MDB", RestaurantSchema);
        connection = createConnection();
        connection->open(connectionString("FOOD.MDB"));
    }

    std::string connectionString(const std::string& file) const {
        return "PROVIDER=MSDataShape;Driver={Microsoft Access Driver (*.mdb)};Dbq=" + file +
               ";DefaultDir=" + dir.path().string() + ";Uid=Admin;pwd=qtrk48207";
    }

    std::unique_ptr<Recordset> open(const std::string& sql, LockType lock = LockType::Optimistic) {
        return connection->openRecordset(sql, CursorType::ForwardOnly, lock);
    }

    test::TempDir dir;
    std::unique_ptr<Connection> connection;
};

TEST_F(RestaurantDb, TheEnginesQueriesReadTheTillsRows) {
    struct Case {
        const char* what;
        std::string sql;
        const char* filter;  // unquoted, as the engines narrow per sale
        const char* fields;
        const char* expected;
    };
    const Case cases[] = {
        {"headers: the sums count the AC73 credit and are Null without accounting rows, whose "
         "empty joined row still counts in pDCNUM",
         queries::restaurantHeaders("", true), "",
         "PE_ID CTCODE CTNAME PE_AMT pCASH pCARD pMISU pDCNUM pPOINT pUCODE PE_BAN PE_MEMCODE",
         "2403050001|||8182|4300|4000|1000|1|30|U2||Null / "
         "2403050002|C001|김손님|4545.25|Null|Null|Null|1|0|Null|1|M9"},
        {"daily filter across the month end",
         queries::restaurantHeaders(queries::restaurantDateFilter("2024-02-29", "2024-03-01"),
                                    false),
         "", "PE_ID", "2403050002"},
        {"unsent count", queries::restaurantUnsentCount(), "", "PE_ID", "2403050001 / 2403050002"},
        {"accounting without AC73; cash is sub-account 00, points (211021) blank their remarks",
         queries::restaurantAccounting(""), " PEID = 2403050001",
         "AC_NO FNCD2 ACREM1 ACREM4 ACREM5",
         "1|00|Null|Null|30 / 2|01|r1|Null|30 / 3|00|Null|Null|30 / 5|01| |20|30"},
        {"accounting: the empty joined row fails AC_GU <> 'AC73'",
         queries::restaurantAccounting(""), " PEID = 2403050002", "PEID", ""},
        {"lines", queries::restaurantLines(""), " PE_ID = 2403050001", "PS_NO PR_NAME pUNT pPOS",
         "1|공기밥|Ea| / 2|김치찌개|Ea|"},
        {"a sale without lines still yields its joined row", queries::restaurantLines(""),
         " PE_ID = 2403050002", "PS_NO", "Null"},
        {"delivery: a Null address line joins as empty", queries::restaurantDelivery(""), "",
         "PE_ID ADDR", "2403050001|서울시  / 2403050002|남원 광한루"},
        {"guests", queries::restaurantGuests(), " PE_ID = 2403050001", "PSN_MAN PSN_ETC", "1|Null"},
        {"cards: CD_SD 7 and Null left out", queries::restaurantCards(), "", "AC_ID CD_SD",
         "2403050001|0 / 2403050002|0"},
    };
    for (const Case& c : cases) {
        auto rs = open(c.sql);
        if (*c.filter) {
            rs->setFilter(c.filter);
        }
        EXPECT_EQ(rows(*rs, c.fields), c.expected) << c.what;
    }
    auto delivery = open(queries::restaurantDelivery(""));
    delivery->find("PE_ID = '2403050001'");  // the current row itself counts
    EXPECT_EQ(delivery->field("ADDR").toText(), "서울시 ");
    delivery->find("PE_ID = '2403059999'");
    EXPECT_TRUE(delivery->eof());
}

TEST_F(RestaurantDb, CardRowsAreMarkedThroughTheRecordsetInsideATransaction) {
    auto cards = open(queries::restaurantCards());
    ASSERT_TRUE(cards->updatable());
    EXPECT_FALSE(connection->openRecordset("SELECT * FROM CREDIT")->updatable());  // ADO's default

    connection->beginTrans();
    cards->setField("CD_SD", Value::integer(7));
    cards->update();
    EXPECT_EQ(cards->field("CD_SD").toText(), "7");
    connection->rollbackTrans();
    EXPECT_EQ(open(queries::restaurantCards())->recordCount(), 2);

    connection->beginTrans();
    cards->moveFirst();
    cards->setField("CD_SD", Value::integer(7));
    cards->moveNext();  // moving on saves the pending change, as ADO does
    EXPECT_EQ(connection->execute("UPDATE CREDIT SET CD_SD = 7 WHERE AC_ID = '2403050002' "), 1);
    connection->commitTrans();
    EXPECT_EQ(open(queries::restaurantCards())->recordCount(), 0);
}

TEST_F(RestaurantDb, ErrorsCarryNumbersAndSayWhatHappened) {
    auto none = open("SELECT PE_ID FROM PE WHERE PE_ID = 'none'");
    auto all = open("SELECT PE_ID FROM PE");
    auto grouped = open(queries::restaurantHeaders("", true));
    struct Case {
        std::function<void()> action;
        long number;
        const char* words;
    };
    const Case cases[] = {
        {[&] { connection->execute("SELEC nonsense"); }, errc::ProviderError, "syntax"},
        {[&] { open(" SELECT BS_M1 FROM BAS WHERE BAS_CODE ='ZA20'"); }, errc::ProviderError,
         "no such table: BAS"},
        {[&] { connection->execute(" ALTER TABLE PE ADD PE_BAN TEXT(1) "); }, errc::ProviderError,
         "duplicate column"},
        {[&] { connection->execute(" ALTER TABLE PE ADD PE_BAN TEXT(1) "); }, errc::ProviderError,
         "FOOD.MDB"},
#ifndef _WIN32  // through the SQLite ODBC driver, CDate of no date is Null
        {[&] { open("SELECT CDATE(PE_NTBID) FROM PE"); }, errc::ProviderError, "Type mismatch"},
#endif
        {[&] { connection->commitTrans(); }, errc::NoTransaction, "without first beginning"},
        {[&] { none->field("PE_ID"); }, errc::NoCurrentRecord, "BOF or EOF"},
        {[&] { none->setFilter("PE_ID = "); }, errc::BadArguments, "value missing"},
        {[&] { all->field("NOPE"); }, errc::ItemNotFound, "NOPE"},
        {[&] { all->setFilter("NOPE = 1"); }, errc::BadArguments, "no field NOPE"},
        {[&] { grouped->setField("PE_SD", Value::integer(7)); }, errc::NotUpdatable, ""},
        {[&] { createConnection()->open(connectionString("MISSING.MDB")); }, errc::ProviderError,
         "Could not find file"},
    };
    for (const Case& c : cases) {
        expectError(c.action, c.number, c.words);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "MISSING.MDB"));  // never created by opening

    auto c = createConnection();
    test::writeFile(dir / "BROKEN.MDB", "this is no database at all, just some text........");
    EXPECT_THROW(c->open(connectionString("BROKEN.MDB")), Error);
    EXPECT_FALSE(c->isOpen());
    c->open(connectionString("food.mdb"));  // names match without regard to case, as on Windows
    EXPECT_EQ(c->openRecordset("SELECT * FROM PE")->recordCount(), 4);
}

TEST_F(RestaurantDb, TransactionsAreSingleAndClosingRollsBack) {
    connection->beginTrans();
    EXPECT_THROW(connection->beginTrans(), Error);
    connection->execute("UPDATE PE SET PE_SD = 7");
    auto cards = open(queries::restaurantCards());
    connection->close();
    EXPECT_FALSE(connection->inTransaction());
    // The recordset stays readable but can no longer write.
    EXPECT_EQ(cards->recordCount(), 2);
    cards->setField("CD_SD", Value::integer(7));
    expectError([&] { cards->update(); }, errc::ObjectClosed, "closed");
    connection->open(connectionString("FOOD.MDB"));
    EXPECT_EQ(open(queries::restaurantHeaders("", true))->recordCount(), 2);
}

const char* const RetailSchema = R"(
CREATE TABLE SL (SL_ID INTEGER PRIMARY KEY, SL_DATE TEXT, SL_MEMNO TEXT, SL_MEMNAME TEXT,
  SL_SALEAMT NUMERIC, SL_TAX NUMERIC, SL_SUBTOTE NUMERIC, SL_MISU NUMERIC, SL_CASH NUMERIC,
  SL_CARD NUMERIC, SL_SAVEAMT NUMERIC, SL_MEMCPOINT NUMERIC, SL_UCODE TEXT, SL_NO INTEGER,
  SL_PAYAMT NUMERIC, SL_CHANGE NUMERIC, SL_MEMRPOINT NUMERIC, SL_APRNO TEXT, SL_CARDNO TEXT,
  SL_CARDNAME TEXT, SL_SND INTEGER, SL_UPOINT NUMERIC, SL_EDATE TEXT(10), SL_UPTRANSNO TEXT(18));
CREATE TABLE CREDIT (C_SLID INTEGER, C_DATE TEXT, C_SLTBID TEXT, C_SLNO INTEGER, C_GU TEXT,
  C_CARD NUMERIC, C_CARDNAME TEXT, C_CARDNO TEXT, C_CARDMN TEXT, C_APRNO TEXT, C_UCODE TEXT,
  C_UNAME TEXT, C_SND INTEGER DEFAULT 0);
CREATE TABLE DELSSL (DEL_DATE TEXT, DEL_POS TEXT, DEL_MENU TEXT, DEL_UNIT TEXT, DEL_PRICE NUMERIC,
  DEL_QTY NUMERIC, DEL_AMT NUMERIC, DEL_NO TEXT, DEL_ID INTEGER, DEL_SD TEXT(1));
INSERT INTO SL (SL_ID, SL_DATE, SL_SND, SL_UPTRANSNO) VALUES (17,'2024-03-05',NULL,'A'),
  (18,'2024-03-05',7,'B'), (19,'2024-03-04',0,'C');
INSERT INTO CREDIT VALUES (17,'2024-03-05','T',1,'1',1000,'신한/비씨','9410','00','111',NULL,NULL,0);
INSERT INTO CREDIT VALUES (17,'2024-03-05 00:00:00','T',2,'1',2000,'국민','9411','00','222',NULL,NULL,0);
INSERT INTO CREDIT VALUES (19,'2024-03-04','T',1,'1',3000,NULL,'9412','00','333',NULL,NULL,0);
INSERT INTO DELSSL VALUES ('2024-03-05','0001','라면','EA',1500,2,3000,'01',1,NULL);
INSERT INTO DELSSL VALUES ('2024-03-05','0002','우유','EA',900,1,900,'01',2,'7');
INSERT INTO DELSSL VALUES ('2024-03-05','0003','빵','EA',1200,1,1200,'01',3,'');
)";

TEST(RetailDb, IntegerKeysFilterUnquotedAndTextMarksAreWritten) {
    test::TempDir dir;
    run(dir / "POS.MDB", RetailSchema);
    auto c = createConnection();
    c->open("Dbq=POS.MDB;DefaultDir=" + dir.path().string() + ";Uid=Admin;pwd=%%%4172");

    auto headers =
        c->openRecordset(queries::retailHeaders(""), CursorType::ForwardOnly, LockType::Optimistic);
    EXPECT_EQ(rows(*headers, "SL_ID SL_UPTRANSNO"), "17|A / 19|C");  // a Null mark is unsent
    headers->setFilter(" SL_ID = 19");
    EXPECT_EQ(rows(*headers, "SL_UPTRANSNO"), "C");

    // A duplicate card reply marks one approval by its date, whatever time the text carries.
    EXPECT_EQ(c->execute("UPDATE CREDIT SET C_SND = 7 WHERE C_SLID = 17 AND CDATE(C_DATE) = "
                         "'2024-03-05 00:00:00' AND C_APRNO = '222'"),
              1);
    EXPECT_EQ(c->openRecordset(queries::retailCards())->recordCount(), 2);

    auto deleted = c->openRecordset(queries::retailDeletedLines(), CursorType::Unspecified,
                                    LockType::Optimistic);
    ASSERT_EQ(deleted->recordCount(), 2);  // Null and '' are unsent, '7' is sent
    c->beginTrans();
    while (!deleted->eof()) {
        deleted->setField("DEL_SD", Value::text("7"));
        deleted->update();
        deleted->moveNext();
    }
    c->commitTrans();
    EXPECT_EQ(c->openRecordset(queries::retailDeletedLines())->recordCount(), 0);
    auto check = c->openRecordset("SELECT typeof(DEL_SD) AS T FROM DELSSL WHERE DEL_ID = 1");
    EXPECT_EQ(check->field("T").toText(), "text");
}

#ifndef _WIN32
// Where Jet's functions cannot be registered (SQLite through its ODBC driver), SQLite's own
// functions stand in for them: the same results on the dates the POS program keeps.
TEST(JetOnSqlite, BuiltInFunctionsAgreeWithTheRegisteredOnes) {
    test::TempDir dir;
    run(dir / "D.MDB",
        "CREATE TABLE T (K INTEGER, V); INSERT INTO T VALUES (1, '2024-03-05'), "
        "(2, '2024-02-29 23:10:05'), (3, 45356), (4, 45356.75), (5, NULL), (6, 'no date')");
    auto c = createConnection();
    c->open("Dbq=D.MDB;DefaultDir=" + dir.path().string());
    const std::pair<const char*, const char*> cases[] = {
        {"IIf(IsNull(V), 'none', V)", "K > 0"},
        {"Format(V, 'yyyy-mm-dd')", "K > 0"},
        {"Format(V, \"yyyy-mm-dd hh:nn:ss\")", "K > 0"},
        {"Format(V, 'hh:mm')", "K > 0"},
        {"CDate(V)", "K < 5"},  // Null and no date are errors of Jet's CDate
        {"K & V", "K > 0"},
    };
    for (const auto& [expression, where] : cases) {
        const std::string sql =
            std::string("SELECT ") + expression + " AS R FROM T WHERE " + where + " ORDER BY K";
        auto registered = c->openRecordset(sql);
        auto builtIn = c->openRecordset(jet::toSqlite(sql, jet::SqliteFunctions::BuiltIn));
        EXPECT_EQ(rows(*builtIn, "R"), rows(*registered, "R")) << expression;
    }
}
#endif

}  // namespace
}  // namespace veldon
