// The restaurant engine with delivery, end to end: a real FOOD.MDB (SQLite), the real reference
// central service on 127.0.0.1, and the dump and daily-log files below a scratch program folder.
// What the service received is read back from its own SQLite file.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engines/restaurant.h"
#include "platform/error.h"
#include "platform/settingsstore.h"
#include "platform/textcodec.h"
#include "tests/support/central.h"
#include "tests/support/fakes.h"
#include "tests/support/poswriter.h"
#include "tests/support/restaurantshop.h"
#include "tests/support/scriptedservice.h"
#include "tests/support/tempdir.h"
#include "tools/demodb.h"

namespace veldon {
namespace {

using test::Columns;
using test::q;
using test::Rows;

// A port on 127.0.0.1 that is bound but not listening: every connection to it is refused.
class DeadPort {
public:
    DeadPort() {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), size);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &size);
        m_port = ntohs(address.sin_port);
    }
    ~DeadPort() { ::close(m_fd); }
    std::string server() const { return "127.0.0.1:" + std::to_string(m_port); }

private:
    int m_fd;
    int m_port = 0;
};

class DeliveryEngine : public test::RestaurantShopTest {
protected:
    DeliveryEngine() : RestaurantShopTest(true) {}
    void run() { TransferRestaurantDelivery(*form); }
};

TEST_F(DeliveryEngine, SendsEveryUnsentSaleAndCardOnceAndThenNothing) {
    database(50);
    form->CatchUpScan = true;
    const long closed = std::stol(local("SELECT COUNT(*) FROM PE WHERE PE_CK <> 0"));
    const long cards = std::stol(local("SELECT COUNT(*) FROM CREDIT"));
    const long deliveries =
        std::stol(local("SELECT COUNT(*) FROM DELIVERY INNER JOIN PE ON PE.PE_ID = DELIVERY.PE_ID "
                        "WHERE PE_CK <> 0"));
    ASSERT_GT(closed, 40);
    ASSERT_GT(cards, 5);
    ASSERT_GT(deliveries, 0);
    std::vector<std::pair<long, long>> progress;
    form->onSaleDone = [&](long done, long total) { progress.emplace_back(done, total); };

    run();

    const TransferReport& report = form->lastTransfer;
    EXPECT_FALSE(report.errorNumber) << report.errorDescription;
    EXPECT_EQ(report.salesTotal, closed);
    EXPECT_EQ(report.salesSent, closed);
    EXPECT_EQ(report.cardsSent, cards);
    EXPECT_EQ(
        local("SELECT COUNT(*) FROM PE WHERE PE_CK <> 0 AND IIf(IsNull(PE_SD), 0, PE_SD) <> 7"),
        "0");
    EXPECT_EQ(local("SELECT COUNT(*) FROM CREDIT WHERE CD_SD <> 7"), "0");
    EXPECT_EQ(central->rows("SALE_HDR"), closed);
    EXPECT_EQ(central->rows("SALE_RT"), closed);
    EXPECT_EQ(central->rows("SALE_DLV"), closed);  // every sale carries TDLV, most of it empty
    EXPECT_EQ(central->rows("CARD_APR"), cards);
    EXPECT_EQ(centralQuery("SELECT COUNT(*) FROM SALE_DLV WHERE TDLV_00 <> ''")[0][0],
              std::to_string(deliveries));
    EXPECT_EQ(centralQuery("SELECT DISTINCT METHOD FROM SALE_HDR"), (Rows{{"PutPSM13_SIN"}}));
    EXPECT_EQ(centralQuery("SELECT COUNT(*) FROM SALE_HDR WHERE SALE_KEY <> TPE_00 || '01'")[0][0],
              "0");
    ASSERT_EQ(progress.size(), static_cast<std::size_t>(closed));
    EXPECT_EQ(progress.back(), std::make_pair(closed, closed));
    EXPECT_TRUE(dumps("e").empty());
    EXPECT_TRUE(dumps("c").empty());
    EXPECT_EQ(form->controls.MousePointer, PointerShape::Default);
    EXPECT_FALSE(form->LocalDb);

    run();

    EXPECT_EQ(form->lastTransfer.salesTotal, 0);
    EXPECT_EQ(form->lastTransfer.cardsSent, 0);
    EXPECT_EQ(central->rows("SALE_HDR"), closed);
    EXPECT_EQ(central->rows("CARD_APR"), cards);
}

TEST_F(DeliveryEngine, FillsEveryArraySlotBySlot) {
    database();
    // No customer, decimal amounts, a receivable entry and an AC73 entry that stay out of TAC.
    const std::string a = "2403050001";
    header(a, {{"PE_AMT", "8181.82"},
               {"PE_VAT", "818.18"},
               {"PE_RPOINT", "10"},
               {"PE_DPOINT", "5"},
               {"PE_NTBID", q("D01")},
               {"PE_PSN", "3"},
               {"PE_MEMCODE", q("20000037")}});
    entry(a, 1, "111010", "5000.25", {{"AC_FNCD2", "NULL"}});
    entry(a, 2, "111055", "3999.5",
          {{"AC_FNCD2", q("03")},
           {"AC_REM1", q("신한카드")},
           {"AC_REM2", q("12345678")},
           {"AC_UCODE", q("U02")},
           {"AC_GU", q("AC12")}});
    entry(a, 3, "111050", "500", {{"AC_GU", q("AC13")}});
    entry(a, 4, "401010", "9000", {{"AC_DC", q("C")}, {"AC_GU", q("AC73")}});
    line(a, 1, "4090.91", "409.09");
    line(a, 2, "2045.45", "204.55", {{"PS_QTY", "0.5"}, {"PS_DC", "500"}});
    insert("PSN", {{"PE_ID", q(a)}, {"PSN_MAN", "2"}, {"PSN_WOMAN", "1"}, {"PSN_PGRADE", q("30")}});
    insert("PSN", {{"PE_ID", q(a)}, {"PSN_PGRADE", q("20")}, {"PSN_ETC", "4"}});
    insert("DELIVERY", {{"PE_ID", q(a)},
                        {"D_CODE", q("D000123")},
                        {"D_NAME", q("홍길동")},
                        {"D_TEL", q("010-0000-1234")},
                        {"D_ZIP", q("06236")},
                        {"D_ADDR1", q("강남구 테헤란로 1")},
                        {"D_ADDR2", q("101동 1203호")}});
    card(a, {{"CD_AMT", "3999.5"}});
    // A customer sale refunded without a PE_BAN mark; its entry has a blank customer code.
    const std::string b = "2403050002";
    header(b, {{"CT_CODE", q("10001")}, {"CT_NAME", q("김철수")}, {"PE_TOT", "-9000"}});
    entry(b, 1, "111010", "-9000", {{"AC_CTCODE", q(" ")}, {"AC_CTNAME", q("김철수")}});
    line(b, 1, "-8182", "-818");
    insert("DELIVERY", {{"PE_ID", q(b)},
                        {"D_CODE", q("D000124")},
                        {"D_NAME", q("김철수")},
                        {"D_TEL", q("010-0000-5678")},
                        {"D_RNAME", q("이영희")},
                        {"D_ADDR1", q("마포구 1")}});
    // A blank customer code counts as none; a refund with a PE_BAN mark keeps its "N".
    const std::string c = "2403050003";
    header(c, {{"CT_CODE", q("   ")}, {"PE_TOT", "-100"}, {"PE_BAN", q("1")}});
    entry(c, 1, "111010", "-100");
    line(c, 1, "-91", "-9");
    insert("DELIVERY", {{"PE_ID", q(c)},
                        {"D_CODE", q("D000125")},
                        {"D_NAME", q("박민수")},
                        {"D_TEL", q("010-0000-9999")},
                        {"D_RNAME", q("박민수")}});

    run();

    ASSERT_FALSE(form->lastTransfer.errorNumber) << form->lastTransfer.errorDescription;
    EXPECT_EQ(stored("SALE_HDR", "TPE", 24, a), (Rows{{a,
                                                       "1",
                                                       "2024-03-05",
                                                       "",
                                                       "S0001",
                                                       "데모 식당",
                                                       "1000000000000000",
                                                       "소비자",
                                                       "8181.82",
                                                       "818.18",
                                                       "9000",
                                                       "500",
                                                       "8999.75",
                                                       "0",
                                                       "E006",
                                                       "",
                                                       "",
                                                       "5",
                                                       "U02",
                                                       "",
                                                       a,
                                                       "01",
                                                       "20000037",
                                                       ""}}));
    EXPECT_EQ(centralQuery("SELECT SALE_KEY FROM SALE_HDR WHERE TPE_00 = " + q(a)),
              (Rows{{a + "01"}}));
    EXPECT_EQ(
        stored("SALE_RT", "TRT", 8, a),
        (Rows{{a, "2024-03-05 12:40:00", "2024-03-05 12:00:00", "D01", "3", "9000", "0", "0"}}));
    EXPECT_EQ(stored("SALE_AC", "TAC", 26, a), (Rows{{a,
                                                      "1",
                                                      "1",
                                                      "15",
                                                      "D",
                                                      "2024-03-05",
                                                      "2024-03-05 12:40:00",
                                                      "S0001",
                                                      "1000000000000000",
                                                      "소비자",
                                                      "",
                                                      "111010",
                                                      "00",
                                                      "5000.25",
                                                      "",
                                                      "",
                                                      "",
                                                      "",
                                                      "15",
                                                      a,
                                                      "",
                                                      "",
                                                      "",
                                                      "",
                                                      "",
                                                      "U01"},
                                                     {a,
                                                      "2",
                                                      "1",
                                                      "15",
                                                      "D",
                                                      "2024-03-05",
                                                      "2024-03-05 12:40:00",
                                                      "S0001",
                                                      "1000000000000000",
                                                      "소비자",
                                                      "",
                                                      "111055",
                                                      "03",
                                                      "3999.5",
                                                      "신한카드",
                                                      "12345678",
                                                      "",
                                                      "",
                                                      "15",
                                                      a,
                                                      "",
                                                      "",
                                                      "",
                                                      "",
                                                      "",
                                                      "U02"}}));
    EXPECT_EQ(stored("SALE_LINE", "TPS", 20, a),
              (Rows{{a,     "1",    "2024-03-05", "P1",   "김치찌개", "",        "1",
                     "Ea",  "1",    "0",          "1500", "4500",     "4090.91", "409.09",
                     "U02", "SS00", "",           "H01",  "본사창고", "0"},
                    {a,     "2",    "2024-03-05", "P1",   "김치찌개", "",        "1",
                     "Ea",  "0.5",  "0",          "1500", "4500",     "2045.45", "204.55",
                     "U02", "SS00", "",           "H01",  "본사창고", "500"}}));
    EXPECT_EQ(stored("SALE_GUEST", "TPSN", 7, a), (Rows{{a, "1", "2", "1", "30", "3", "S0001"},
                                                        {a, "2", "0", "0", "20", "4", "S0001"}}));
    EXPECT_EQ(stored("SALE_DLV", "TDLV", 11, a),
              (Rows{{"D000123", "홍길동", "010-0000-1234", "", "", "06236",
                     "강남구 테헤란로 1 101동 1203호", "", "", "", "Y"}}));
    EXPECT_EQ(stored("CARD_APR", "TCD", 13, a),
              (Rows{{a, "S0001", "01", "2024-03-05", "1", "9410123456781234", "00", "신한카드",
                     "BC카드", "03", "3999.5", "", "30012345"}}));

    const Rows headerB = stored("SALE_HDR", "TPE", 24, b);
    ASSERT_EQ(headerB.size(), 1u);
    EXPECT_EQ(headerB[0][6], "10001");
    EXPECT_EQ(headerB[0][7], "김철수");
    EXPECT_EQ(headerB[0][19], "Y");
    EXPECT_EQ(headerB[0][14], "E000");
    const Rows accountingB = stored("SALE_AC", "TAC", 26, b);
    EXPECT_EQ(accountingB[0][8], "1000000000000000");
    EXPECT_EQ(accountingB[0][9], "소비자");
    EXPECT_EQ(stored("SALE_DLV", "TDLV", 11, b)[0][6], "마포구 1 ");
    EXPECT_EQ(stored("SALE_DLV", "TDLV", 11, b)[0][10], "B");

    const Rows headerC = stored("SALE_HDR", "TPE", 24, c);
    EXPECT_EQ(headerC[0][6], "1000000000000000");
    EXPECT_EQ(headerC[0][7], "소비자");
    EXPECT_EQ(headerC[0][19], "");
    EXPECT_EQ(headerC[0][23], "1");
    EXPECT_EQ(stored("SALE_DLV", "TDLV", 11, c)[0][10], "N");
}

TEST_F(DeliveryEngine, PaymentCodeCountsReceivablesThatStayOutOfTheAccountingRows) {
    database();
    struct Case {
        std::string id;
        std::vector<std::pair<std::string, std::string>> entries;  // account, amount
        std::string code;
        std::string accountingSum;
        std::size_t accountingRows;
    };
    const std::vector<Case> cases = {
        {"2403050001", {{"111010", "9000"}}, "E000", "9000", 1},
        {"2403050002", {{"111055", "9000"}}, "E003", "9000", 1},
        {"2403050003", {{"111050", "9000"}}, "E005", "0", 1},  // one empty TAC row
        {"2403050004", {{"211060", "9000"}}, "E005", "0", 1},
        {"2403050005", {{"111010", "4000"}, {"111055", "5000"}}, "E006", "9000", 2},
        {"2403050006", {{"111010", "5000"}, {"111050", "4000"}}, "E006", "5000", 1},
        {"2403050007", {{"111030", "9000"}}, "E006", "9000", 1},
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
        const Rows tpe = stored("SALE_HDR", "TPE", 24, c.id);
        ASSERT_EQ(tpe.size(), 1u);
        EXPECT_EQ(tpe[0][14], c.code);
        EXPECT_EQ(tpe[0][12], c.accountingSum);
        const Rows tac = stored("SALE_AC", "TAC", 26, c.id);
        ASSERT_EQ(tac.size(), c.accountingRows);
        for (const auto& row : tac) {
            EXPECT_NE(row[11], "111050");
            EXPECT_NE(row[11], "211060");
        }
    }
    EXPECT_EQ(stored("SALE_HDR", "TPE", 24, "2403050006")[0][11], "4000");
    EXPECT_EQ(stored("SALE_AC", "TAC", 26, "2403050003")[0], std::vector<std::string>(26, ""));
}

TEST_F(DeliveryEngine, SaleHeldCentrallyIsMarkedAndLoggedAsDuplicate) {
    database();
    cashSale("2403050001");
    // The backlog's only delivery record is sent too.
    insert("DELIVERY", {{"PE_ID", q("2403050001")},
                        {"D_CODE", q("D000123")},
                        {"D_NAME", q("")},
                        {"D_TEL", q("")}});
    run();
    ASSERT_EQ(form->lastTransfer.salesSent, 1);
    EXPECT_EQ(stored("SALE_DLV", "TDLV", 11, "2403050001")[0][0], "D000123");
    sql("UPDATE PE SET PE_SD = NULL");

    run();

    EXPECT_EQ(form->lastTransfer.salesDuplicate, 1);
    EXPECT_EQ(form->lastTransfer.salesSent, 0);
    EXPECT_EQ(local("SELECT PE_SD FROM PE"), "7");
    EXPECT_EQ(central->rows("SALE_HDR"), 1);
    const std::string log = cp949ToUtf8(test::readFile(program() / "MERIDEX_LOG" / "20240305.TXT"));
    EXPECT_NE(log.find("]\r\n중복데이터\r\n2403050001\r\n"), std::string::npos) << log;
    EXPECT_TRUE(dumps("e").empty());
}

TEST_F(DeliveryEngine, RefusedSaleIsDumpedAndLeftUnsentWhileRefusedCardStaysMarked) {
    std::filesystem::create_directories(dir / "unregistered");
    central = std::make_unique<test::RunningCentral>(dir / "unregistered", false);
    form->ServerInfo[0] = central->server();
    database();
    cashSale("2403050001");
    for (int i = 10; i < 22; ++i) {  // more than the dump names of one second can tell apart
        card("24030500" + std::to_string(i));
    }

    run();

    EXPECT_EQ(form->lastTransfer.salesRefused, 1);
    EXPECT_EQ(form->lastTransfer.cardsRefused, 12);
    EXPECT_FALSE(form->lastTransfer.errorNumber);
    EXPECT_EQ(local("SELECT PE_SD FROM PE"), "<null>");
    EXPECT_EQ(local("SELECT COUNT(*) FROM CREDIT WHERE CD_SD = 7"), "12");
    const auto sales = dumps("e");
    ASSERT_EQ(sales.size(), 1u);
    EXPECT_EQ(secondLine(sales[0]).rfind("  COM +  전송시오류: ", 0), 0u) << sales[0];
    EXPECT_NE(sales[0].find(" TPE(0)=\"2403050001\""), std::string::npos);
    const auto cards = dumps("c");
    ASSERT_FALSE(cards.empty());
    EXPECT_LE(cards.size(), 8u);  // the same second's names overwrite each other
    EXPECT_EQ(secondLine(cards[0]).rfind("COM +  카드전송시오류: ", 0), 0u) << cards[0];
    EXPECT_NE(cards[0].find(" TCD(0,5)=\"9410123456781234\""), std::string::npos);

    // The journal keeps every refusal whole.
    const auto journal = form->journal().read();
    ASSERT_EQ(journal.size(), 13u);
    EXPECT_EQ(journal[0].refusal.kind, "sale");
    EXPECT_EQ(journal[0].refusal.method, "PutPSM13_SIN");
    EXPECT_EQ(journal[0].refusal.key, "2403050001");
    EXPECT_EQ(journal[0].refusal.arrays.size(), 6u);
    EXPECT_EQ(journal[0].refusal.arrays.back().first, "TDLV");
    for (std::size_t i = 1; i < journal.size(); ++i) {
        EXPECT_EQ(journal[i].refusal.kind, "card");
        EXPECT_EQ(journal[i].refusal.outcome, "refused");
        EXPECT_EQ(journal[i].refusal.key, "24030500" + std::to_string(9 + i));
        EXPECT_NE(journal[i].refusal.reply.find("미등록"), std::string::npos);
    }
}

TEST_F(DeliveryEngine, DailyScanSendsOnlyYesterdayAndTodayAcrossMonthAndYearEnds) {
    database();
    const std::vector<std::string> ends = {
        "2023-12-30 23:59:59", "2023-12-31 10:00:00", "2024-01-01 00:00:00", "2024-02-28 23:59:59",
        "2024-02-29 00:00:00", "2024-03-01 09:00:00", "2024-03-02 09:00:00"};
    for (std::size_t i = 0; i < ends.size(); ++i) {
        const std::string id = "24030500" + std::to_string(10 + i);
        cashSale(id, {{"PE_EDATE", q(ends[i])}});
        card(id);
    }
    auto sent = [&] {
        std::vector<std::string> ids;
        for (const auto& row : centralQuery("SELECT TRT_01 FROM SALE_RT ORDER BY TRT_01")) {
            ids.push_back(row[0].substr(0, 10));
        }
        return ids;
    };
    form->LocalInfo[3] = "1";

    clock.set({2024, 1, 1, 10, 0, 0});
    run();
    EXPECT_EQ(sent(), (std::vector<std::string>{"2023-12-31", "2024-01-01"}));
    // Card approvals carry no date filter.
    EXPECT_EQ(local("SELECT COUNT(*) FROM CREDIT WHERE CD_SD = 7"), "7");

    clock.set({2024, 3, 1, 10, 0, 0});
    run();
    EXPECT_EQ(sent(),
              (std::vector<std::string>{"2023-12-31", "2024-01-01", "2024-02-29", "2024-03-01"}));

    form->CatchUpScan = true;
    run();
    EXPECT_EQ(sent().size(), ends.size());
}

TEST_F(DeliveryEngine, NullInAnUnguardedColumnEndsTheRunWithItsErrorNumber) {
    database();
    cashSale("2403050001");
    cashSale("2403050002", {{"PE_DATE", "NULL"}});
    cashSale("2403050003");
    card("2403050001");

    run();

    ASSERT_TRUE(form->lastTransfer.errorNumber);
    EXPECT_EQ(*form->lastTransfer.errorNumber, errc::InvalidUseOfNull);
    EXPECT_EQ(form->lastTransfer.salesSent, 1);
    EXPECT_EQ(local("SELECT COUNT(*) FROM PE WHERE PE_SD = 7"), "1");
    EXPECT_EQ(local("SELECT CD_SD FROM CREDIT"), "0");  // the card phase never came
    EXPECT_EQ(central->rows("SALE_HDR"), 1);
    const auto sales = dumps("e");
    ASSERT_EQ(sales.size(), 1u);
    EXPECT_EQ(secondLine(sales[0]), "94  처리전송시오류: Invalid use of Null");
    EXPECT_NE(sales[0].find(" TPE(0)=\"2403050002\""), std::string::npos);
    EXPECT_EQ(form->controls.MousePointer, PointerShape::Default);
    EXPECT_FALSE(form->LocalDb);
}

TEST_F(DeliveryEngine, UnreachableServiceEndsTheRunWithNothingMarked) {
    DeadPort dead;
    form->ServerInfo[0] = dead.server();
    database();
    cashSale("2403050001");
    card("2403050001");

    run();

    ASSERT_TRUE(form->lastTransfer.errorNumber);
    EXPECT_EQ(*form->lastTransfer.errorNumber, errc::CannotConnect);
    EXPECT_EQ(local("SELECT PE_SD FROM PE"), "<null>");
    EXPECT_EQ(local("SELECT CD_SD FROM CREDIT"), "0");
    const auto sales = dumps("e");
    ASSERT_EQ(sales.size(), 1u);
    EXPECT_EQ(
        secondLine(sales[0]).rfind(std::to_string(errc::CannotConnect) + "  처리전송시오류: ", 0),
        0u)
        << sales[0];
}

TEST_F(DeliveryEngine, ServiceStoppingMidRunLeavesTheFailingSaleAndTheRestUnsent) {
    database();
    for (const char* id : {"2403050001", "2403050002", "2403050003", "2403050004"}) {
        cashSale(id);
    }
    form->onSaleDone = [this](long done, long) {
        if (done == 2) {
            central.reset();  // the service goes away between the second and the third sale
        }
    };

    run();

    ASSERT_TRUE(form->lastTransfer.errorNumber);
    EXPECT_EQ(form->lastTransfer.salesSent, 2);
    EXPECT_EQ(local("SELECT COUNT(*) FROM PE WHERE PE_SD = 7"), "2");
    EXPECT_EQ(local("SELECT PE_ID FROM PE WHERE PE_SD = 7 ORDER BY PE_ID DESC"), "2403050002");
    const auto sales = dumps("e");
    ASSERT_EQ(sales.size(), 1u);  // the stage's dump, holding the failing sale
    EXPECT_NE(secondLine(sales[0]).find("  처리전송시오류: "), std::string::npos) << sales[0];
    EXPECT_NE(sales[0].find(" TPE(0)=\"2403050003\""), std::string::npos);
}

TEST_F(DeliveryEngine, FailedCardCallRollsBackTheCardsMark) {
    DeadPort dead;
    form->ServerInfo[0] = dead.server();
    database();
    card("2403050001");

    run();

    ASSERT_TRUE(form->lastTransfer.errorNumber);
    EXPECT_EQ(local("SELECT CD_SD FROM CREDIT"), "0");
    const auto cards = dumps("c");
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(secondLine(cards[0]), "처리전송시오류: ");
    EXPECT_NE(cards[0].find(" TCD(0,0)=\"2403050001\""), std::string::npos);
    EXPECT_TRUE(dumps("e").empty());
}

TEST_F(DeliveryEngine, SaleWithoutLinesIsDumpedAndStillSent) {
    database();
    header("2403050001");
    entry("2403050001", 1, "111010", "9000");

    run();

    EXPECT_FALSE(form->lastTransfer.errorNumber) << form->lastTransfer.errorDescription;
    EXPECT_EQ(local("SELECT PE_SD FROM PE"), "7");
    EXPECT_EQ(stored("SALE_LINE", "TPS", 20, "2403050001"),
              (Rows{std::vector<std::string>(20, "")}));
    const auto noLines = dumps("p");
    ASSERT_EQ(noLines.size(), 1u);
    EXPECT_EQ(secondLine(noLines[0]), "순번없음:     전송된ID : 2403050001");
}

TEST_F(DeliveryEngine, ARealLineWithAnAbsentNumberEndsTheRunAtItsSale) {
    database();
    cashSale("2403050001");
    header("2403050002");
    entry("2403050002", 1, "111010", "9000");
    line("2403050002", 1, "8182", "818", {{"PS_NO", "NULL"}});

    run();

    ASSERT_TRUE(form->lastTransfer.errorNumber);
    EXPECT_EQ(*form->lastTransfer.errorNumber, errc::InvalidUseOfNull);
    EXPECT_EQ(local("SELECT PE_ID FROM PE WHERE PE_SD = 7"), "2403050001");
    EXPECT_EQ(local("SELECT PE_SD FROM PE WHERE PE_ID = '2403050002'"), "<null>");
    EXPECT_TRUE(dumps("p").empty());
}

// The POS program must be able to write its database at any moment of a run: the agent holds no
// lock while a call is in flight, however slowly the service answers.
TEST_F(DeliveryEngine, TheTillWritesFreelyWhileTheServiceTakesItsTime) {
    test::ScriptedService slow([](const test::ScriptedService::Call&, auto& out) {
        return out.wait(std::chrono::milliseconds(300)) &&
               out.write(test::ScriptedService::uploadAnswer(true));
    });
    form->ServerInfo[0] = slow.server();
    database();
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

TEST_F(DeliveryEngine, TheTillWaitsLessThanASecondDuringAFastCatchUp) {
    database(2000);
    form->CatchUpScan = true;
    test::PosWriter till(data() / "FOOD.MDB", std::chrono::milliseconds(5000));

    run();
    till.stop();

    EXPECT_FALSE(form->lastTransfer.errorNumber) << form->lastTransfer.errorDescription;
    EXPECT_GT(form->lastTransfer.salesSent, 1900);
    EXPECT_EQ(till.failures(), 0) << till.firstFailure();
    EXPECT_LT(till.longestWait(), std::chrono::milliseconds(1000));
}

// Only a well-formed answer counts, and no answer may take longer than the deadline: whatever the
// service does wrong, the run ends at the first sale with nothing marked and a dump saying why.
TEST_F(DeliveryEngine, AnAnswerThatIsNotTheProtocolOrLateEndsTheRunWithNothingMarked) {
    using Out = test::ScriptedService::Connection;
    using test::ScriptedService;
    struct Case {
        const char* name;
        std::function<bool(Out&)> answer;
        const char* cause;  // in the dump's message
    };
    const std::string oversize = ScriptedService::answer("{\"result\":false,\"byref\":{\"6\":\"" +
                                                         std::string(5 << 20, 'x') + "\"}}");
    const Case cases[] = {
        {"a recordset as result",
         [](Out& out) {
             return out.write(ScriptedService::answer("{\"result\":{\"fields\":[],\"rows\":[]}}"));
         },
         "its result is no Boolean"},
        {"the text true",
         [](Out& out) { return out.write(ScriptedService::answer("{\"result\":\"true\"}")); },
         "not the protocol"},
        {"a proxy's page",
         [](Out& out) { return out.write(ScriptedService::answer("<html>bad gateway</html>")); },
         "not the protocol"},
        {"oversize", [&](Out& out) { return out.write(oversize); }, "larger than 4 MB"},
        {"cut off",
         [](Out& out) {
             out.write(ScriptedService::answer("{\"result\":true}").substr(0, 70));
             return false;
         },
         "no answer"},
        {"dripping",
         [](Out& out) {
             const std::string whole = ScriptedService::answer("{\"result\":true}");
             for (char c : whole) {
                 if (!out.write(std::string(1, c)) || !out.wait(std::chrono::milliseconds(200))) {
                     return false;
                 }
             }
             return true;
         },
         "within 1 s"},
    };
    database();
    cashSale("2403050001");
    card("2403050001");
    form->CallLimits.deadline = std::chrono::seconds(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedService service(
            [&](const ScriptedService::Call&, Out& out) { return c.answer(out); });
        form->ServerInfo[0] = service.server();
        std::filesystem::remove_all(program() / "log");
        std::filesystem::create_directories(program() / "log");
        const auto start = std::chrono::steady_clock::now();

        run();

        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
        EXPECT_TRUE(form->lastTransfer.errorNumber);
        EXPECT_EQ(local("SELECT COUNT(*) FROM PE WHERE PE_SD = 7"), "0");
        EXPECT_EQ(local("SELECT CD_SD FROM CREDIT"), "0");  // the card stage never came
        const auto sales = dumps("e");
        ASSERT_EQ(sales.size(), 1u);
        EXPECT_NE(secondLine(sales[0]).find(c.cause), std::string::npos) << secondLine(sales[0]);
        const auto journal = form->journal().read();
        ASSERT_FALSE(journal.empty());
        EXPECT_EQ(journal.back().refusal.outcome, "failed");
        EXPECT_EQ(journal.back().refusal.key, "2403050001");
        EXPECT_NE(journal.back().refusal.reply.find(c.cause), std::string::npos);
    }
}

}  // namespace
}  // namespace veldon
