// The restaurant engine with delivery, end to end: a real FOOD.MDB (SQLite), the real reference
// central service on 127.0.0.1 (or a scripted one), and the dump files below a scratch program
// folder. What the service received is read back from its own SQLite file.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "tests/support/poswriter.h"
#include "tests/support/restaurantshop.h"
#include "tests/support/scriptedservice.h"

namespace veldon {
namespace {

using test::q;
using test::ScriptedService;

class DeliveryEngine : public test::RestaurantShopTest {
protected:
    DeliveryEngine() : RestaurantShopTest(true) {}
};

TEST_F(DeliveryEngine, FillsEveryArraySlotBySlot) {
    // No customer, decimal amounts, a receivable entry and an AC73 entry that stay out of TAC.
    const std::string a = "2403050001";
    header(a, columns("PE_AMT=8181.82; PE_VAT=818.18; PE_RPOINT=10; PE_DPOINT=5; PE_NTBID='D01'; "
                      "PE_PSN=3; PE_MEMCODE='20000037'"));
    entry(a, 1, "111010", "5000.25", {{"AC_FNCD2", "NULL"}});
    entry(a, 2, "111055", "3999.5",
          columns("AC_FNCD2='03'; AC_REM1='신한카드'; AC_REM2='12345678'; AC_UCODE='U02'; "
                  "AC_GU='AC12'"));
    entry(a, 3, "111050", "500", {{"AC_GU", q("AC13")}});
    entry(a, 4, "401010", "9000", columns("AC_DC='C'; AC_GU='AC73'"));
    line(a, 1, "4090.91", "409.09");
    line(a, 2, "2045.45", "204.55", columns("PS_QTY=0.5; PS_DC=500"));
    insert("PSN", "PE_ID='2403050001'; PSN_MAN=2; PSN_WOMAN=1; PSN_PGRADE='30'");
    insert("PSN", "PE_ID='2403050001'; PSN_PGRADE='20'; PSN_ETC=4");
    insert("DELIVERY",
           "PE_ID='2403050001'; D_CODE='D000123'; D_NAME='홍길동'; "
           "D_TEL='010-0000-1234'; D_ZIP='06236'; D_ADDR1='강남구 테헤란로 1'; "
           "D_ADDR2='101동 1203호'");
    card(a, {{"CD_AMT", "3999.5"}});
    // A customer sale refunded without a PE_BAN mark; its entry has a blank customer code.
    const std::string b = "2403050002";
    header(b, columns("CT_CODE='10001'; CT_NAME='김철수'; PE_TOT=-9000"));
    entry(b, 1, "111010", "-9000", columns("AC_CTCODE=' '; AC_CTNAME='김철수'"));
    line(b, 1, "-8182", "-818");
    insert("DELIVERY",
           "PE_ID='2403050002'; D_CODE='D000124'; D_NAME='김철수'; "
           "D_TEL='010-0000-5678'; D_RNAME='이영희'; D_ADDR1='마포구 1'");
    // A blank customer code counts as none; a refund with a PE_BAN mark keeps its "N".
    const std::string c = "2403050003";
    header(c, columns("CT_CODE='   '; PE_TOT=-100; PE_BAN='1'"));
    entry(c, 1, "111010", "-100");
    line(c, 1, "-91", "-9");
    insert("DELIVERY",
           "PE_ID='2403050003'; D_CODE='D000125'; D_NAME='박민수'; "
           "D_TEL='010-0000-9999'; D_RNAME='박민수'");

    run();

    ASSERT_FALSE(form->lastTransfer.errorNumber) << form->lastTransfer.errorDescription;
    EXPECT_EQ(
        stored("SALE_HDR", slots("TPE", 24), a),
        a + "|1|2024-03-05||S0001|데모 식당|1000000000000000|소비자|8181.82|818.18|9000|500|" +
            "8999.75|0|E006|||5|U02||" + a + "|01|20000037|");
    EXPECT_EQ(stored("SALE_RT", slots("TRT", 8), a),
              a + "|2024-03-05 12:40:00|2024-03-05 12:00:00|D01|3|9000|0|0");
    const std::string acFront =
        "|1|15|D|2024-03-05|2024-03-05 12:40:00|S0001|1000000000000000|소비자||";
    EXPECT_EQ(stored("SALE_AC", slots("TAC", 26), a),
              a + "|1" + acFront + "111010|00|5000.25|||||15|" + a + "||||||U01/" + a + "|2" +
                  acFront + "111055|03|3999.5|신한카드|12345678|||15|" + a + "||||||U02");
    EXPECT_EQ(stored("SALE_LINE", slots("TPS", 20), a),
              a + "|1|2024-03-05|P1|김치찌개||1|Ea|1|0|1500|4500|4090.91|409.09|U02|SS00||H01|" +
                  "본사창고|0/" + a +
                  "|2|2024-03-05|P1|김치찌개||1|Ea|0.5|0|1500|4500|2045.45|204.55|U02|SS00||H01|" +
                  "본사창고|500");
    EXPECT_EQ(stored("SALE_GUEST", slots("TPSN", 7), a),
              a + "|1|2|1|30|3|S0001/" + a + "|2|0|0|20|4|S0001");
    EXPECT_EQ(stored("SALE_DLV", slots("TDLV", 11), a),
              "D000123|홍길동|010-0000-1234|||06236|강남구 테헤란로 1 101동 1203호||||Y");
    EXPECT_EQ(stored("CARD_APR", slots("TCD", 13), a),
              a + "|S0001|01|2024-03-05|1|9410123456781234|00|신한카드|BC카드|03|3999.5||30012345");

    EXPECT_EQ(stored("SALE_HDR", "TPE_06, TPE_07, TPE_14, TPE_19, TPE_23", b),
              "10001|김철수|E000|Y|");
    EXPECT_EQ(stored("SALE_AC", "TAC_08, TAC_09", b), "1000000000000000|소비자");
    EXPECT_EQ(stored("SALE_DLV", "TDLV_06, TDLV_10", b), "마포구 1 |B");
    EXPECT_EQ(stored("SALE_HDR", "TPE_06, TPE_07, TPE_19, TPE_23", c),
              "1000000000000000|소비자||1");
    EXPECT_EQ(stored("SALE_DLV", "TDLV_10", c), "N");
}

TEST_F(DeliveryEngine, PaymentCodeCountsReceivablesThatStayOutOfTheAccountingRows) {
    struct Case {
        std::string id;
        std::vector<std::pair<std::string, std::string>> entries;  // account, amount
        std::string header;      // TPE slots 14, 12 and 11: code, accounting sum, receivable
        std::string accounting;  // TAC slots 11 and 13 of each row: account and amount
    };
    const std::vector<Case> cases = {
        {"2403050001", {{"111010", "9000"}}, "E000|9000|0", "111010|9000"},
        {"2403050002", {{"111055", "9000"}}, "E003|9000|0", "111055|9000"},
        {"2403050003", {{"111050", "9000"}}, "E005|0|9000", "|"},  // one empty TAC row
        {"2403050004", {{"211060", "9000"}}, "E005|0|9000", "|"},
        {"2403050005",
         {{"111010", "4000"}, {"111055", "5000"}},
         "E006|9000|0",
         "111010|4000/111055|5000"},
        {"2403050006", {{"111010", "5000"}, {"111050", "4000"}}, "E006|5000|4000", "111010|5000"},
        {"2403050007", {{"111030", "9000"}}, "E006|9000|0", "111030|9000"},
    };
    for (const Case& c : cases) {
        header(c.id);
        int no = 0;
        for (const auto& [account, amount] : c.entries) {
            entry(c.id, ++no, account, amount);
        }
        line(c.id, 1, "8182", "818");
    }

    run();

    ASSERT_FALSE(form->lastTransfer.errorNumber) << form->lastTransfer.errorDescription;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(stored("SALE_HDR", "TPE_14, TPE_12, TPE_11", c.id), c.header);
        EXPECT_EQ(stored("SALE_AC", "TAC_11, TAC_13", c.id), c.accounting);
    }
}

TEST_F(DeliveryEngine, DailyScanSendsOnlyYesterdayAndTodayAcrossMonthAndYearEnds) {
    const std::vector<std::string> ends = {
        "2023-12-30 23:59:59", "2023-12-31 10:00:00", "2024-01-01 00:00:00", "2024-02-28 23:59:59",
        "2024-02-29 00:00:00", "2024-03-01 09:00:00", "2024-03-02 09:00:00"};
    for (std::size_t i = 0; i < ends.size(); ++i) {
        const std::string id = "24030500" + std::to_string(10 + i);
        cashSale(id, {{"PE_EDATE", q(ends[i])}});
        card(id);
    }
    auto sent = [&] {
        std::string days;
        for (const auto& row : centralQuery("SELECT TRT_01 FROM SALE_RT ORDER BY TRT_01")) {
            days += row[0].substr(0, 10) + " ";
        }
        return days;
    };
    form->LocalInfo[3] = "1";

    clock.set({2024, 1, 1, 10, 0, 0});
    run();
    EXPECT_EQ(sent(), "2023-12-31 2024-01-01 ");
    // Card approvals carry no date filter.
    EXPECT_EQ(local("SELECT COUNT(*) FROM CREDIT WHERE CD_SD = 7"), "7");

    clock.set({2024, 3, 1, 10, 0, 0});
    run();
    EXPECT_EQ(sent(), "2023-12-31 2024-01-01 2024-02-29 2024-03-01 ");

    form->CatchUpScan = true;
    run();
    EXPECT_EQ(central->rows("SALE_RT"), 7);
}

// The service going away mid-run: the sales before are marked, the one it was needed for is
// dumped, none after it goes. A card call that finds no service leaves the card unmarked.
TEST_F(DeliveryEngine, ServiceGoneEndsTheRunWhereItWasNeeded) {
    for (const char* id : {"2403050001", "2403050002", "2403050003", "2403050004"}) {
        cashSale(id);
    }
    card("2403050001");
    form->onSaleDone = [this](long done, long) {
        if (done == 2) {
            central.reset();
        }
    };

    run();

    EXPECT_EQ(form->lastTransfer.errorNumber, errc::CannotConnect);
    EXPECT_EQ(form->lastTransfer.salesSent, 2);
    EXPECT_EQ(local("SELECT COUNT(*) FROM PE WHERE PE_SD = 7"), "2");
    EXPECT_EQ(local("SELECT PE_ID FROM PE WHERE PE_SD = 7 ORDER BY PE_ID DESC"), "2403050002");
    EXPECT_EQ(local("SELECT CD_SD FROM CREDIT"), "0");
    EXPECT_EQ(why("e").rfind(std::to_string(errc::CannotConnect) + "  처리전송시오류: ", 0), 0u)
        << dump("e");
    EXPECT_NE(dump("e").find(" TPE(0)=\"2403050003\""), std::string::npos);

    sql("UPDATE PE SET PE_SD = 7");
    run();

    EXPECT_EQ(form->lastTransfer.errorNumber, errc::CannotConnect);
    EXPECT_EQ(local("SELECT CD_SD FROM CREDIT"), "0");
    EXPECT_EQ(why("c"), "처리전송시오류: ");
    EXPECT_NE(dump("c").find(" TCD(0,0)=\"2403050001\""), std::string::npos);
}

// The POS program must be able to write its database at any moment of a run: the agent holds no
// lock while a call is in flight, however slowly the service answers.
TEST_F(DeliveryEngine, TheTillWritesFreelyWhileTheServiceTakesItsTime) {
    ScriptedService slow([](const ScriptedService::Call&, auto& out) {
        return out.wait(std::chrono::milliseconds(300)) &&
               out.write(ScriptedService::uploadAnswer(true));
    });
    form->ServerInfo[0] = slow.server();
    for (const char* id : {"2403050001", "2403050002", "2403050003", "2403050004"}) {
        cashSale(id);
        card(id);
    }
    test::PosWriter till(data() / "FOOD.MDB", std::chrono::milliseconds(100));

    run();
    till.stop();

    EXPECT_FALSE(form->lastTransfer.errorNumber) << form->lastTransfer.errorDescription;
    EXPECT_EQ(till.failures(), 0) << till.firstFailure();
    EXPECT_GT(till.writes(), 100);
    EXPECT_EQ(local("SELECT COUNT(*) FROM PE WHERE PE_CK <> 0 AND PE_SD = 7"), "4");
    EXPECT_EQ(local("SELECT COUNT(*) FROM CREDIT WHERE CD_SD = 7"), "4");
}

// Only a well-formed answer counts, and no answer may take longer than the deadline: whatever the
// service does wrong, the run ends at the first sale with nothing marked, journaling why.
TEST_F(DeliveryEngine, AnAnswerThatIsNotTheProtocolOrLateEndsTheRunWithNothingMarked) {
    using Out = ScriptedService::Connection;
    auto answer = [](const std::string& body) {
        return [body](Out& out) { return out.write(ScriptedService::answer(body)); };
    };
    const struct {
        const char* name;
        std::function<bool(Out&)> answer;
        const char* cause;
    } cases[] = {
        {"a recordset as result", answer("{\"result\":{\"fields\":[],\"rows\":[]}}"),
         "its result is no Boolean"},
        {"the text true", answer("{\"result\":\"true\"}"), "not the protocol"},
        {"a proxy's page", answer("<html>bad gateway</html>"), "not the protocol"},
        {"oversize",
         answer("{\"result\":false,\"byref\":{\"6\":\"" + std::string(5 << 20, 'x') + "\"}}"),
         "larger than 4 MB"},
        {"cut off",
         [](Out& out) {
             out.write(ScriptedService::answer("{\"result\":true}").substr(0, 70));
             return false;
         },
         "no answer"},
        {"dripping",
         [](Out& out) {
             for (char c : ScriptedService::answer("{\"result\":true}")) {
                 if (!out.write(std::string(1, c)) || !out.wait(std::chrono::milliseconds(200))) {
                     return false;
                 }
             }
             return true;
         },
         "within 1 s"},
    };
    cashSale("2403050001");
    card("2403050001");
    form->CallLimits.deadline = std::chrono::seconds(1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedService service(
            [&](const ScriptedService::Call&, Out& out) { return c.answer(out); });
        form->ServerInfo[0] = service.server();

        run();

        EXPECT_TRUE(form->lastTransfer.errorNumber);
        EXPECT_EQ(local("SELECT COUNT(*) FROM PE WHERE PE_SD = 7"), "0");
        EXPECT_EQ(local("SELECT CD_SD FROM CREDIT"), "0");  // the card stage never came
        const auto journal = form->journal().read();
        ASSERT_FALSE(journal.empty());
        EXPECT_EQ(journal.back().refusal.outcome + " " + journal.back().refusal.key,
                  "failed 2403050001");
        EXPECT_NE(journal.back().refusal.reply.find(c.cause), std::string::npos);
    }
}

}  // namespace
}  // namespace veldon
