// The local database layer against real SQLite files in the POS program's form, driven with the
// engines' own statements.
#include "platform/database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>


#include "engines/queries.h"
#include "platform/error.h"
#include "tests/support/tempdir.h"

namespace veldon {
namespace {

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

INSERT INTO PE VALUES ('2403050001','2024-03-05',NULL,NULL,8182,818,9000,1000,10,20,NULL,
  '2024-03-05 12:00:00','2024-03-05','T01',2,10000,0,0,NULL,-1,NULL);
INSERT INTO PE VALUES ('2403050002','2024-02-29','C001','김손님',4545.25,454.75,5000,0,0,0,0,
  '2024-02-29 23:00:00','2024-02-29 23:10:00','T02',1,5000,0,0,'M9',-1,'1');
INSERT INTO PE VALUES ('2403050003','2024-03-05',NULL,NULL,1,0,1,0,0,0,7,'2024-03-05 12:00:00',
  '2024-03-05','T03',1,1,0,0,NULL,-1,NULL);
INSERT INTO PE VALUES ('2403050004','2024-03-05',NULL,NULL,1,0,1,0,0,0,NULL,'2024-03-05 12:00:00',
  '2024-03-05','T04',1,1,0,0,NULL,0,NULL);
INSERT INTO AC VALUES ('2403050001',1,'2024-03-05','2024-03-05',NULL,NULL,'111010','05',5000,'D',
  NULL,NULL,NULL,NULL,'U1','AC11');
INSERT INTO AC VALUES ('2403050001',2,'2024-03-05','2024-03-05',NULL,NULL,'111055','01',4000,'D',
  'r1','r2',NULL,NULL,'U2','AC11');
INSERT INTO AC VALUES ('2403050001',3,'2024-03-05','2024-03-05',NULL,NULL,'111050','00',1000,'D',
  NULL,NULL,NULL,NULL,'U1','AC11');
INSERT INTO AC VALUES ('2403050001',4,'2024-03-05','2024-03-05',NULL,NULL,'111010','00',700,'C',
  NULL,NULL,NULL,NULL,'U1','AC73');
INSERT INTO AC VALUES ('2403050001',5,'2024-03-05','2024-03-05',NULL,NULL,'211021','01',20,'D',
  'x','y',NULL,'z','U1','AC11');
INSERT INTO PR VALUES ('P1','김치찌개','1',3000), ('P2','공기밥','1',300);
INSERT INTO PS VALUES ('2403050001',2,'2024-03-05','김치찌개',4545,1,4545,455,'P1',NULL,NULL);
INSERT INTO PS VALUES ('2403050001',1,'2024-03-05','공기밥',4546,1,4546,454,'P2','SS01',0);
INSERT INTO CREDIT VALUES ('2403050001','B1','2024-03-05','1','9410123456781234=2512101','00',
  '신한','비씨','0',4000,'','12345678',0);
INSERT INTO CREDIT VALUES ('2403050002','B2','2024-02-29','1','9410','00','국민','국민','0',5000,'',
  '87654321',0);
INSERT INTO CREDIT VALUES ('2403050003','B3','2024-03-05','1','9411','00','x','y','0',1,'','1',7);
INSERT INTO CREDIT VALUES ('2403050009','B9','2024-03-05','1','9412','00','x','y','0',1,'','1',NULL);
INSERT INTO DELIVERY VALUES ('2403050001','D1','홍길동','010',NULL,NULL,NULL,'서울시',NULL,NULL);
INSERT INTO DELIVERY VALUES ('2403050002','D2','이몽룡','011','성춘향','012','12345','남원','광한루','문 앞');
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

TEST_F(RestaurantDb, HeaderQueryGroupsPaymentsAndSkipsSentAndOpenSales) {
    auto rs = open(queries::restaurantHeaders("", true));
    ASSERT_EQ(rs->recordCount(), 2);
    EXPECT_EQ(rs->field("PE_ID").toText(), "2403050001");
    EXPECT_EQ(rs->field("CTCODE").toText(), "");     // Null customer code becomes ''
    EXPECT_EQ(rs->field("pCASH").toText(), "4300");  // the sums count the AC73 credit too
    EXPECT_EQ(rs->field("pCARD").toText(), "4000");
    EXPECT_EQ(rs->field("pMISU").toText(), "1000");
    EXPECT_EQ(rs->field("pDCNUM").toText(), "1");
    EXPECT_EQ(rs->field("pPOINT").toText(), "30");
    EXPECT_EQ(rs->field("pUCODE").toText(), "U2");
    EXPECT_EQ(rs->field("PE_BAN").toText(), "");
    EXPECT_TRUE(rs->field("PE_MEMCODE").isNull());
    rs->moveNext();
    EXPECT_EQ(rs->field("CTNAME").toText(), "김손님");
    EXPECT_EQ(rs->field("PE_AMT").toText(), "4545.25");
    EXPECT_TRUE(rs->field("pCASH").isNull());      // no accounting rows: the sums are Null
    EXPECT_EQ(rs->field("pDCNUM").toText(), "1");  // ...but the empty joined row counts
    EXPECT_EQ(rs->field("PE_BAN").toText(), "1");
    rs->moveNext();
    EXPECT_TRUE(rs->eof());
}

TEST_F(RestaurantDb, DailyFilterFormatsDateTimesAndSpansTheMonthEnd) {
    auto rs = open(queries::restaurantHeaders(
        queries::restaurantDateFilter("2024-02-29", "2024-03-01"), false));
    ASSERT_EQ(rs->recordCount(), 1);
    EXPECT_EQ(rs->field("PE_ID").toText(), "2403050002");
    EXPECT_EQ(open(queries::restaurantUnsentCount())->recordCount(), 2);
}

TEST_F(RestaurantDb, AccountingAndLinesNarrowPerSaleByUnquotedFilters) {
    auto ac = open(queries::restaurantAccounting(""));
    ac->setFilter(" PEID = 2403050001");
    ASSERT_EQ(ac->recordCount(), 4);               // the AC73 row is left out
    EXPECT_EQ(ac->field("FNCD2").toText(), "00");  // cash always gets sub-account 00
    ac->moveNext();
    EXPECT_EQ(ac->field("ACREM1").toText(), "r1");
    ac->moveNext();
    ac->moveNext();
    EXPECT_EQ(ac->field("ACREM1").toText(), " ");  // points (211021) blank their remarks
    EXPECT_EQ(ac->field("ACREM4").toText(), "20");
    EXPECT_EQ(ac->field("ACREM5").toText(), "30");
    ac->setFilter(" PEID = 2403050002");
    EXPECT_EQ(ac->recordCount(), 0);  // the empty joined row fails AC_GU <> 'AC73'
    EXPECT_TRUE(ac->eof());

    auto lines = open(queries::restaurantLines(""));
    lines->setFilter(" PE_ID = 2403050001");
    ASSERT_EQ(lines->recordCount(), 2);
    EXPECT_EQ(lines->field("PS_NO").toText(), "1");
    EXPECT_EQ(lines->field("PR_NAME").toText(), "공기밥");
    EXPECT_EQ(lines->field("pUNT").toText(), "Ea");
    EXPECT_EQ(lines->field("pPOS").toText(), "");
    lines->setFilter(" PE_ID = 2403050002");
    ASSERT_EQ(lines->recordCount(), 1);  // a sale without lines still yields its joined row
    EXPECT_TRUE(lines->field("PS_NO").isNull());
}

TEST_F(RestaurantDb, DeliveryAddressJoinsNullAsEmptyAndIsFoundForward) {
    auto delivery = open(queries::restaurantDelivery(""));
    ASSERT_EQ(delivery->recordCount(), 2);
    delivery->moveFirst();
    delivery->find("PE_ID = '2403050002'");
    ASSERT_FALSE(delivery->eof());
    EXPECT_EQ(delivery->field("ADDR").toText(), "남원 광한루");
    delivery->moveFirst();
    delivery->find("PE_ID = '2403050001'");
    EXPECT_EQ(delivery->field("ADDR").toText(), "서울시 ");
    delivery->find("PE_ID = '2403059999'");
    EXPECT_TRUE(delivery->eof());

    auto guests = open(queries::restaurantGuests());
    guests->setFilter(" PE_ID = 2403050001");
    EXPECT_EQ(guests->recordCount(), 1);
    EXPECT_TRUE(guests->field("PSN_ETC").isNull());
}

TEST_F(RestaurantDb, CardRowsAreMarkedThroughTheRecordsetInsideATransaction) {
    auto cards = open(queries::restaurantCards());
    ASSERT_EQ(cards->recordCount(), 2);  // CD_SD 7 and Null are both left out
    ASSERT_TRUE(cards->updatable());

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

TEST_F(RestaurantDb, JoinedAndGroupedRecordsetsRefuseWrites) {
    auto headers = open(queries::restaurantHeaders("", true));
    EXPECT_FALSE(headers->updatable());
    try {
        headers->setField("PE_SD", Value::integer(7));
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), errc::NotUpdatable);
    }
    // Read-only is ADO's default lock.
    EXPECT_FALSE(connection->openRecordset("SELECT * FROM CREDIT")->updatable());
}

TEST_F(RestaurantDb, StatusUpdatesCountTheirRows) {
    EXPECT_EQ(connection->execute("UPDATE PE SET PE_SD = 7 WHERE PE_ID = '2403050001'"), 1);
    EXPECT_EQ(connection->execute("UPDATE PE SET PE_SD = 7 WHERE PE_ID = 'none'"), 0);
    EXPECT_EQ(open(queries::restaurantHeaders("", true))->recordCount(), 1);
}

TEST_F(RestaurantDb, SchemaUpgradesRunOnceAndThenFailAsDuplicates) {
    EXPECT_NO_THROW(connection->execute("ALTER TABLE PS ADD COLUMN PS_X TEXT(10) "));
    EXPECT_NO_THROW(connection->execute(" ALTER TABLE PR ADD PR_Y TEXT(1) "));
    EXPECT_NO_THROW(connection->execute(
        "CREATE TABLE BAS ( BAS_CODE   TEXT(6)  PRIMARY KEY ,  BS_NAME1   TEXT(26) NOT NULL ,  "
        "BS_NAME2   TEXT(26) NOT NULL ,   BS_M1      TEXT(128)         ,   BS_M2      TEXT(30)   "
        "       ,   BS_M3      TEXT(20)          ,   BS_M4      TEXT(12)        ) "));
    try {
        connection->execute(" ALTER TABLE PE ADD PE_BAN TEXT(1) ");
        FAIL() << "the column exists already";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), errc::ProviderError);
        EXPECT_NE(e.description().find("duplicate column"), std::string::npos) << e.description();
        EXPECT_NE(e.description().find("FOOD.MDB"), std::string::npos) << e.description();
    }
}

TEST_F(RestaurantDb, ErrorsCarryNumbersAndSayWhatHappened) {
    auto expectError = [](auto&& action, long number, const std::string& words) {
        try {
            action();
            ADD_FAILURE() << "no error, expected: " << words;
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), number) << e.description();
            EXPECT_NE(e.description().find(words), std::string::npos) << e.description();
        }
    };
    expectError([&] { connection->execute("SELEC nonsense"); }, errc::ProviderError, "syntax");
    expectError([&] { open(" SELECT BS_M1 FROM BAS WHERE BAS_CODE ='ZA20'"); }, errc::ProviderError,
                "no such table: BAS");
    expectError([&] { connection->commitTrans(); }, errc::NoTransaction, "without first beginning");
    auto rs = open("SELECT PE_ID FROM PE WHERE PE_ID = 'none'");
    expectError([&] { rs->field("PE_ID"); }, errc::NoCurrentRecord, "BOF or EOF");
    expectError([&] { rs->setFilter("PE_ID = "); }, errc::BadArguments, "value missing");
    auto all = open("SELECT PE_ID FROM PE");
    expectError([&] { all->field("NOPE"); }, errc::ItemNotFound, "NOPE");
    expectError([&] { all->setFilter("NOPE = 1"); }, errc::BadArguments, "no field NOPE");
    expectError([&] { open("SELECT CDATE(PE_NTBID) FROM PE"); }, errc::ProviderError,
                "Type mismatch");
}

TEST_F(RestaurantDb, OpeningNeedsAnExistingDatabaseFile) {
    auto c = createConnection();
    try {
        c->open(connectionString("MISSING.MDB"));
        FAIL();
    } catch (const Error& e) {
        EXPECT_NE(e.description().find("Could not find file"), std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "MISSING.MDB"));  // never created by opening

    test::writeFile(dir / "BROKEN.MDB", "this is no database at all, just some text........");
    EXPECT_THROW(c->open(connectionString("BROKEN.MDB")), Error);
    EXPECT_FALSE(c->isOpen());

    // File names match without regard to case, as on Windows.
    c->open(connectionString("food.mdb"));
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
    try {
        cards->update();
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), errc::ObjectClosed);
    }
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
    ASSERT_EQ(headers->recordCount(), 2);
    headers->setFilter(" SL_ID = 19");
    ASSERT_EQ(headers->recordCount(), 1);
    EXPECT_EQ(headers->field("SL_UPTRANSNO").toText(), "C");
    EXPECT_EQ(c->execute("UPDATE SL SET SL_SND = 7 WHERE SL_ID = 17"), 1);

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

}  // namespace
}  // namespace veldon
