// The retail engine end to end: a real POS.MDB (SQLite), the real reference service on 127.0.0.1
// or a scripted one where the test needs a particular answer, and the files below a scratch
// program folder.
#include "engines/retail.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/error.h"
#include "tests/support/scriptedservice.h"
#include "tests/support/shoptest.h"
#include "tools/demodb.h"

namespace veldon {
namespace {

using test::Columns;
using test::q;
using test::Rows;
using test::ScriptedService;

class RetailEngine : public test::ShopTest {
protected:
    RetailEngine() : ShopTest("0") {
        form->SendDeleted = "1";
        form->CatchUpScan = true;
        settings.set("MERIDEX_II", "DBLOC", "DCCODE3", std::string(demodb::kRetailDiscountPos));
        demodb::DemoDbOptions o;
        o.kind = demodb::Kind::Retail;
        o.sales = 0;  // items and the shop's options only (ZA20 0, ZA16 1)
        o.today = clock.now();
        demodb::makeDemoDb(o, data() / "POS.MDB");
    }

    void run() { TransferRetail(*form); }

    // A cash sale of 3300 on 5 March 2024 by a walk-in customer, unsent, and the rows below it.
    void sale(int id, const Columns& changes = {}) {
        const std::string n = std::to_string(id);
        insert(
            "SL",
            "SL_DATE='2024-03-05'; SL_MEMNO=''; SL_MEMNAME=''; SL_SALEAMT=3000; SL_TAX=300; "
            "SL_SUBTOTE=3300; SL_MISU=0; SL_CASH=3300; SL_CARD=0; SL_SAVEAMT=0; SL_MEMCPOINT=0; "
            "SL_UCODE='U1'; SL_NO=1; SL_PAYAMT=5000; SL_CHANGE=1700; SL_MEMRPOINT=0; SL_APRNO=''; "
            "SL_CARDNO=''; SL_CARDNAME=''; SL_UPOINT=0; SL_ID=" +
                n + "; SL_UPTRANSNO='T" + n + "'",
            changes);
    }
    void line(int id, int no, const std::string& amount, const std::string& vat,
              const Columns& changes = {}) {
        insert("SSL",
               "SSL_DATE='2024-03-05'; SSL_POS='0001'; SSL_MENU='우유'; SSL_UNIT='개'; SSL_QTY=1; "
               "SSL_INAMT=0; SSL_GU=0; SL_ID=" +
                   std::to_string(id) + "; SSL_NO=" + std::to_string(no) + "; SSL_PRICE=" + amount +
                   "; SSL_AMT=" + amount + "; SSL_VAT=" + vat,
               changes);
    }
    void card(int id, const std::string& approval, const Columns& changes = {}) {
        insert("CREDIT",
               "C_DATE='2024-03-05'; C_SLTBID='01'; C_SLNO=1; C_GU='1'; C_CARD=4000; "
               "C_CARDNAME='신한/비씨'; C_CARDNO='9410123456781234'; C_CARDMN='00'; C_UCODE='U1'; "
               "C_UNAME='김민수'; C_SND=0; C_SLID=" +
                   std::to_string(id) + "; C_APRNO=" + q(approval),
               changes);
    }
    void deletedLine(int id, const Columns& changes = {}) {
        insert("DELSSL",
               "DEL_DATE='2024-03-05 12:00:00'; DEL_POS='0001'; DEL_MENU='우유'; DEL_UNIT='개'; "
               "DEL_PRICE=1500; DEL_QTY=2; DEL_AMT=3000; DEL_NO='01'; DEL_ID=" +
                   std::to_string(id),
               changes);
    }
    std::string marks(const std::string& table, const std::string& column,
                      const std::string& order) {
        std::string all;
        auto db = createConnection();
        db->open(form->LocalConnStr);
        auto rs = db->openRecordset("SELECT " + column + " FROM " + table + " ORDER BY " + order);
        for (; !rs->eof(); rs->moveNext()) {
            all += rs->field(0).textOr("-");
        }
        return all;
    }
};

TEST_F(RetailEngine, SendsEachSaleWithItsArraysSlotBySlot) {
    // 1: a walk-in paying cash; ZA20 0, so the lines' sums replace the header's amounts, and the
    //    discount line's item stays out.
    sale(1, {{"SL_MEMNO", q("   ")}, {"SL_SND", "NULL"}, {"SL_SALEAMT", "1"}});
    line(1, 1, "1100", "100");
    line(1, 2, "2200", "200", {{"SSL_POS", q("0002")}, {"SSL_GU", "1"}, {"SSL_QTY", "2"}});
    line(1, 3, "-500", "0", {{"SSL_POS", q(std::string(demodb::kRetailDiscountPos))}});
    sale(2, {{"SL_SND", "7"}});  // sent already
    // 3: a member paying cash and card with an approval of zeros.
    sale(3, columns("SL_MEMNO='M001'; SL_MEMNAME='김민수'; SL_CASH=1300; SL_CARD=2000; "
                    "SL_APRNO='00000000'; SL_CARDNO='9410123456781234'; SL_CARDNAME='신한/비씨'"));
    line(3, 1, "3300", "300");
    // 4: its only line lies before the 200-day line window.
    sale(4, {{"SL_DATE", q("2023-01-02")}});
    line(4, 1, "3300", "300", {{"SSL_DATE", q("2023-01-02")}});
    // 5: card only, a card name without "/".
    sale(5, columns("SL_CASH=0; SL_CARD=3300; SL_APRNO='30012345'; SL_CARDNO='9410'; "
                    "SL_CARDNAME='KB국민'"));
    line(5, 1, "3300", "300");

    run();

    EXPECT_FALSE(form->lastTransfer.errorNumber) << form->lastTransfer.errorDescription;
    EXPECT_EQ(marks("SL", "SL_SND", "SL_ID"), "77777");
    EXPECT_EQ(joined(centralQuery("SELECT TPE_00 FROM SALE_HDR ORDER BY SALE_ID")), "1/3/4/5");
    EXPECT_EQ(stored("SALE_HDR", "METHOD, MARK_Y, SALE_KEY", "1"), "PutPSM13||T1");
    EXPECT_EQ(stored("SALE_HDR", slots("TPE", 22), "1"),
              "1|1|2024-03-05||S0001|데모 식당|1000000000000000|소비자|3000|300|3300|0|3300|0|E000|"
              "||0|U1||1|01");
    auto item = [&](const std::string& pos, const char* column = "MENU_CODE & '|' & MENU_NAME") {
        return local("SELECT " + std::string(column) + " FROM MENU WHERE MENU_POS = " + q(pos));
    };
    EXPECT_EQ(stored("SALE_LINE", slots("TPS", 19), "1"),
              "1|1|2024-03-05|" + item("0001") + "|0001|" + item("0001", "MENU_CK") +
                  "|개|1|0|0|1100|1000|100|U1|||H01|본사창고/1|2|2024-03-05|" + item("0002") +
                  "|0002|" + item("0002", "MENU_CK") + "|개|2|2|0|2200|2000|200|U1|||H01|본사창고");
    EXPECT_EQ(
        stored("SALE_AC", slots("TAC", 26), "1"),
        "1|1|1|15|D|2024-03-05|2024-03-05|S0001|1000000000000000|소비자||111010|00|3300||5000|"
        "1700||0|||||||U1");
    EXPECT_EQ(stored("SALE_RT", slots("TRT", 8), "1"), "1|2024-03-05|||0|0|0|0");

    EXPECT_EQ(stored("SALE_HDR", "TPE_06, TPE_07, TPE_14, TPE_19", "3"), "M001|김민수|E006|Y");
    const std::string payments = "TAC_01, TAC_11, TAC_13, TAC_14, TAC_15, TAC_16, TAC_17";
    EXPECT_EQ(stored("SALE_AC", payments, "3"),
              "1|111010|1300||5000|1700|/2|111055|2000||신한|비씨|00000000");
    EXPECT_EQ(stored("SALE_AC", payments, "5"), "2|111055|3300|9410|KB국민||30012345");

    EXPECT_EQ(stored("SALE_LINE", slots("TPS", 19), "4"), std::string(18, '|'));
    EXPECT_EQ(why("p"), "순번없음:     전송된ID : 4");
}

TEST_F(RetailEngine, TheShopsOptionsAndTheDailyWindowsChooseWhatIsSent) {
    struct Case {
        const char* name;
        const char* za16;  // BS_M1 of ZA16, or nullptr for no row
        bool catchUp;
        const char* sent;   // SL_SND of sales 1 to 3 afterwards
        const char* markY;  // of the first sale stored
    };
    // Sales of 28 February, 29 February and 1 March, on 1 March.
    const Case cases[] = {
        {"no ZA16 row, daily", nullptr, false, "-77", ""},
        {"ZA16 0, catch-up", "0", true, "777", "Y"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sql("DELETE FROM SL");
        sql("DELETE FROM BAS WHERE BAS_CODE = 'ZA16'");
        if (c.za16) {
            sql("INSERT INTO BAS (BAS_CODE, BS_NAME1, BS_NAME2, BS_M1) VALUES ('ZA16', '', '', " +
                q(c.za16) + ")");
        }
        clock.set({2024, 3, 1, 10, 0, 0});
        form->LocalInfo[3] = "1";
        form->CatchUpScan = c.catchUp;
        const char* days[] = {"2024-02-28", "2024-02-29", "2024-03-01"};
        for (int i = 0; i < 3; ++i) {
            sale(i + 1, {{"SL_DATE", q(days[i])}, {"SL_UPTRANSNO", q(c.name + std::to_string(i))}});
        }

        run();

        EXPECT_FALSE(form->lastTransfer.errorNumber) << form->lastTransfer.errorDescription;
        EXPECT_EQ(marks("SL", "SL_SND", "SL_ID"), c.sent);
        EXPECT_EQ(centralQuery("SELECT MARK_Y FROM SALE_HDR WHERE SALE_KEY = " +
                               q(c.name + std::string(c.catchUp ? "0" : "1"))),
                  (Rows{{c.markY}}));
    }
}

// The service's answers that only a scripted service gives at will; every call is recorded.
class ScriptedRetail : public RetailEngine {
protected:
    ScriptedRetail()
        : service([this](const ScriptedService::Call& call, ScriptedService::Connection& out) {
              const std::string method = call.path.substr(call.path.rfind('/') + 1);
              std::lock_guard lock(m_mutex);
              calls.push_back(call);
              return out.write(answers[method]);
          }) {
        form->ServerInfo[0] = service.server();
    }
    std::string methods() {
        std::lock_guard lock(m_mutex);
        std::string names;
        for (const auto& c : calls) {
            names += c.path.substr(c.path.rfind('/')) + " ";
        }
        return names;
    }

    std::map<std::string, std::string> answers{
        {"PutPSM13", ScriptedService::uploadAnswer(false, 4, "1:중복DATA   ")},
        {"putcard", ScriptedService::uploadAnswer(false, 1, "1:중복DATA")},
        {"PUTSQL", ScriptedService::uploadAnswer(true)}};
    std::vector<ScriptedService::Call> calls;
    std::mutex m_mutex;
    ScriptedService service;
};

TEST_F(ScriptedRetail, BatchesAreMarkedByTheAnswerAndDeletedLinesGoAsStatements) {
    sale(1);
    line(1, 1, "3300", "300");
    card(1, "1001");
    card(2, "1002", {{"C_CARDNAME", q("KB국민")}});
    card(3, "1003", {{"C_CARDNAME", "NULL"}});
    deletedLine(1);
    deletedLine(2, {{"DEL_PRICE", "NULL"}, {"DEL_MENU", "NULL"}});

    run();

    EXPECT_FALSE(form->lastTransfer.errorNumber) << form->lastTransfer.errorDescription;
    EXPECT_EQ(marks("SL", "SL_SND", "SL_ID"), "7");        // a duplicate reply with blanks after it
    EXPECT_EQ(marks("CREDIT", "C_SND", "C_SLID"), "070");  // only the row the reply names
    EXPECT_EQ(marks("DELSSL", "DEL_SD", "DEL_ID"), "77");
    ASSERT_EQ(methods(), "/PutPSM13 /putcard /PUTSQL ");
    const std::string batch = calls[1].body;
    EXPECT_NE(batch.find(R"("1","S0001","1","2024-03-05","1","9410123456781234","","신한","비씨")"),
              std::string::npos);
    EXPECT_NE(batch.find(R"(,"KB국민","",)"), std::string::npos);
    EXPECT_NE(batch.find(R"("9410123456781234","","","","00")"), std::string::npos);
    EXPECT_NE(
        calls[2].body.find(
            R"({"args":[[""," INSERT INTO DELPSS13 (DEL_DATE, PR_BCODE, PR_NAME, PR_UNIT, PR_UP, PR_QTY, PR_AMT, POS_ID, RCT_CODE )  VALUES ( '2024-03-05 12:00:00', '0001', '우유', '개', 1500, 2,           3000, '01', 'S0001' ) "," INSERT INTO DELPSS13 (DEL_DATE, PR_BCODE, PR_NAME, PR_UNIT, PR_UP, PR_QTY, PR_AMT, POS_ID, RCT_CODE )  VALUES ( '2024-03-05 12:00:00', '0001', '', '개', 0, 2,           3000, '01', 'S0001' ) "],)"),
        std::string::npos)
        << calls[2].body;

    // Any other card reply marks none and dumps the batch; without deleted lines to send, and
    // with 삭제자료전송 "0", DELSSL is not even read.
    answers["putcard"] = ScriptedService::uploadAnswer(false, 1, "9:timeout");
    sql("DROP TABLE DELSSL");
    form->SendDeleted = "0";
    calls.clear();
    run();
    EXPECT_FALSE(form->lastTransfer.errorNumber) << form->lastTransfer.errorDescription;
    EXPECT_EQ(marks("CREDIT", "C_SND", "C_SLID"), "070");
    EXPECT_EQ(why("c"), "COM +  카드전송시오류: 9:timeout");

    // No unsent approval: no card call at all. A refused sale stays unsent.
    sql("UPDATE CREDIT SET C_SND = 7");
    sale(2);
    answers["PutPSM13"] = ScriptedService::uploadAnswer(false, 4, "미등록 가맹점: S0001");
    calls.clear();
    run();
    EXPECT_EQ(methods(), "/PutPSM13 ");
    EXPECT_EQ(marks("SL", "SL_SND", "SL_ID"), "7-");
    EXPECT_EQ(form->lastTransfer.salesRefused, 1);
}

TEST_F(RetailEngine, ASaleWithoutItsTransactionNumberStopsEveryRunThere) {
    sale(1);
    sale(2, {{"SL_UPTRANSNO", "NULL"}});
    sale(3);
    for (int attempt = 0; attempt < 2; ++attempt) {
        run();
        EXPECT_EQ(form->lastTransfer.errorNumber, errc::InvalidUseOfNull);
        EXPECT_EQ(marks("SL", "SL_SND", "SL_ID"), "7--");
    }
    const auto sales = dumps("e");  // one a run, or one for both in the same second
    ASSERT_FALSE(sales.empty());
    EXPECT_EQ(secondLine(sales[0]), "  처리전송시오류: Invalid use of Null");
}

}  // namespace
}  // namespace veldon
