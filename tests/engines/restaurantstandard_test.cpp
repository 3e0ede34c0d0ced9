// The standard restaurant engine, end to end: a real FOOD.MDB (SQLite), the real reference central
// service on 127.0.0.1 (or, for card replies the service never gives, a stand-in speaking the same
// wire protocol), and the dump and daily-log files below a scratch program folder.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engines/restaurant.h"
#include "platform/error.h"
#include "platform/settingsstore.h"
#include "platform/textcodec.h"
#include "remote/wire.h"
#include "tests/support/central.h"
#include "tests/support/fakes.h"
#include "tests/support/restaurantshop.h"
#include "tests/support/tempdir.h"
#include "tools/demodb.h"

namespace veldon {
namespace {

using test::Columns;
using test::q;
using test::Rows;

// A central service that accepts every sale and answers every card approval with false and a
// fixed reply text.
class CardReplyStandIn {
public:
    explicit CardReplyStandIn(std::string reply) : m_reply(std::move(reply)) {
        m_server.Post(R"(/rds/.+)", [this](const httplib::Request& req, httplib::Response& res) {
            const auto call = wire::parseCallPath(req.path);
            wire::Answer answer;
            if (call && call->second == "putcard") {
                answer.result = false;
                answer.byref[1] = m_reply;
            } else {
                answer.result = true;
            }
            res.set_content(wire::encodeAnswer(answer), "application/json; charset=utf-8");
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~CardReplyStandIn() {
        m_server.stop();
        m_thread.join();
    }
    std::string server() const { return "127.0.0.1:" + std::to_string(m_port); }

private:
    std::string m_reply;
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
};

class StandardEngine : public test::RestaurantShopTest {
protected:
    StandardEngine() : RestaurantShopTest(false) { unitPrice = "5000"; }
    void run() { TransferRestaurantStandard(*form); }

    // The sale of the documented discount example: lines 4545 + 4546 and taxes 455 + 454
    // against a header of 8182, 818 and 9000, discount 1000, 10000 before it, no service charge.
    void discountedSale(const std::string& id, const Columns& changes = {}) {
        header(id, with({{"PE_DAMT", "1000"}, {"PE_BAMT", "10000"}}, changes));
        entry(id, 1, "111010", "9000");
        line(id, 1, "4545", "455");
        line(id, 2, "4546", "454");
    }
};

TEST_F(StandardEngine, SendsEveryUnsentSaleAndCardOnceAndThenNothing) {
    database(50);
    form->CatchUpScan = true;
    const long closed = std::stol(local("SELECT COUNT(*) FROM PE WHERE PE_CK <> 0"));
    const long cards = std::stol(local("SELECT COUNT(*) FROM CREDIT"));
    ASSERT_GT(closed, 40);
    ASSERT_GT(cards, 5);

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
    EXPECT_EQ(central->rows("CARD_APR"), cards);
    EXPECT_EQ(central->rows("SALE_DLV"), 0);
    EXPECT_EQ(centralQuery("SELECT DISTINCT METHOD FROM SALE_HDR"), (Rows{{"PutPSM13_PSN"}}));
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

TEST_F(StandardEngine, HeaderCarriesBanInSlot16AndLinesAnAbsentTypeAsEmpty) {
    database();
    header("2403050001", {{"CT_CODE", q("10001")},
                          {"CT_NAME", q("김철수")},
                          {"PE_BAN", q("1")},
                          {"PE_DPOINT", "90"}});
    entry("2403050001", 1, "111055", "9000", {{"AC_UCODE", q("U07")}});
    line("2403050001", 1, "8182", "818", {{"PS_TYPE", "NULL"}});

    run();

    ASSERT_FALSE(form->lastTransfer.errorNumber) << form->lastTransfer.errorDescription;
    EXPECT_EQ(stored("SALE_HDR", "TPE", 24, "2403050001"),
              (Rows{{"2403050001", "1",      "2024-03-05", "",    "S0001",  "데모 식당",
                     "10001",      "김철수", "8182",       "818", "9000",   "0",
                     "9000",       "0",      "E003",       "",    "1",      "90",
                     "U07",        "Y",      "2403050001", "01",  "<null>", "<null>"}}));
    const Rows lines = stored("SALE_LINE", "TPS", 20, "2403050001");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0][15], "");
    EXPECT_EQ(lines[0][14], "U07");
}

struct DiscountCase {
    std::string name;
    Columns header;
    std::int16_t cfOption = 1;
    std::optional<std::string> thirdLineType;  // a third line of 500 with tax 0, of this type
    std::optional<std::vector<std::string>> discountLine;
    std::string headerDiscount;         // TPE slot 13 as sent
    std::optional<std::string> dcDump;  // its amounts line
    std::vector<std::pair<std::string, std::string>> lines{{"4545", "455"}, {"4546", "454"}};
};
// Cases print by name, so that ctest lists them readably.
void PrintTo(const DiscountCase& c, std::ostream* out) {
    *out << c.name;
}

class DiscountLine : public StandardEngine, public ::testing::WithParamInterface<DiscountCase> {};

TEST_P(DiscountLine, FollowsTheHeaderDiscountTheLinesDoNotShow) {
    const DiscountCase& c = GetParam();
    const std::string id = "2403050001";
    database();
    form->CfOptionValue = c.cfOption;
    header(id, with({{"PE_DAMT", "1000"}, {"PE_BAMT", "10000"}}, c.header));
    entry(id, 1, "111010", "9000");
    for (std::size_t n = 0; n < c.lines.size(); ++n) {
        line(id, static_cast<int>(n) + 1, c.lines[n].first, c.lines[n].second);
    }
    if (c.thirdLineType) {
        line(id, 3, "500", "0", {{"PS_TYPE", q(*c.thirdLineType)}});
    }

    run();

    ASSERT_FALSE(form->lastTransfer.errorNumber) << form->lastTransfer.errorDescription;
    const Rows lines = stored("SALE_LINE", "TPS", 20, id);
    const std::size_t itemLines = c.thirdLineType ? 3 : 2;
    ASSERT_EQ(lines.size(), itemLines + (c.discountLine ? 1 : 0));
    if (c.discountLine) {
        EXPECT_EQ(lines.back(), *c.discountLine);
    }
    EXPECT_EQ(stored("SALE_HDR", "TPE", 22, id)[0][13], c.headerDiscount);
    const auto dc = dumps("DC");
    if (c.dcDump) {
        ASSERT_EQ(dc.size(), 1u);
        EXPECT_EQ(dc[0], "발생일자 : 2024-03-05 14:07:09\r\nSale DC\r\n" + *c.dcDump + "\r\n\r\n");
    } else {
        EXPECT_TRUE(dc.empty());
    }
    EXPECT_EQ(local("SELECT PE_SD FROM PE"), "7");
}

std::vector<std::string> discountRow(const std::string& no, const std::string& total,
                                     const std::string& amount, const std::string& tax) {
    return {"2403050001", no,    "2024-03-05", "99999998", "할인", "", "2", "Ea",  "1",        "0",
            "0",          total, amount,       tax,        "U01",  "", "",  "H01", "본사창고", ""};
}

INSTANTIATE_TEST_SUITE_P(
    StandardEngine, DiscountLine,
    ::testing::Values(
        DiscountCase{
            "DocumentedExample", {}, 1, {}, discountRow("3", "-1000", "-909", "-91"), "0", {}},
        DiscountCase{"AmountsNotAddingUpAreDumped",
                     {{"PE_DAMT", "990"}},
                     1,
                     {},
                     discountRow("3", "-1000", "-909", "-91"),
                     "0",
                     "PSAMT : -909  PSVAT : -91  PEDC : -990"},
        DiscountCase{
            "TotalMatchesAmountBeforeDiscount", {{"PE_BAMT", "9000"}}, 1, {}, {}, "1000", {}},
        DiscountCase{"PosOptionOff", {}, 0, {}, {}, "1000", {}},
        DiscountCase{"NoDiscount", {{"PE_DAMT", "0"}}, 1, {}, {}, "0", {}},
        DiscountCase{"ComplimentaryLineStaysOutOfTheSums",
                     {},
                     1,
                     "SS01",
                     discountRow("4", "-1000", "-909", "-91"),
                     "0",
                     {}},
        DiscountCase{"ChargedLineCountsInTheSums",
                     {},
                     1,
                     "SS00",
                     discountRow("4", "-1500", "-1409", "-91"),
                     "0",
                     "PSAMT : -1409  PSVAT : -91  PEDC : -1000"},
        // Each sum is rounded half to even after every addition: 4546, then 9092; 454, then 908.
        DiscountCase{"SumsRoundHalfEvenAfterEachLine",
                     {},
                     1,
                     {},
                     discountRow("3", "-1000", "-910", "-90"),
                     "0",
                     {},
                     {{"4545.5", "454.5"}, {"4545.5", "454.5"}}}),
    [](const ::testing::TestParamInfo<DiscountCase>& p) { return p.param.name; });

TEST_F(StandardEngine, VoucherEntriesCarryTheirSecondRemarkAndTheSaleId) {
    database();
    const std::string id = "2403050001";
    header(id, {{"PE_RPOINT", "10"}, {"PE_DPOINT", "5"}, {"PE_TOT", "30000"}});
    entry(id, 1, "111030", "10000", {{"AC_FNCD2", q("01")}, {"AC_REM2", q("GV00000001")}});
    entry(id, 2, "111030", "10000", {{"AC_FNCD2", q("02")}, {"AC_REM2", q("GV00000002")}});
    entry(id, 3, "111010", "10000", {{"AC_FNCD2", q("01")}});
    line(id, 1, "8182", "818");

    run();

    ASSERT_FALSE(form->lastTransfer.errorNumber) << form->lastTransfer.errorDescription;
    const Rows tac = stored("SALE_AC", "TAC", 26, id);
    ASSERT_EQ(tac.size(), 3u);
    EXPECT_EQ(tac[0][10], "GV00000001");
    EXPECT_EQ(tac[0][15], "GV00000001");
    EXPECT_EQ(tac[0][18], id);
    EXPECT_EQ(tac[1][10], "");
    EXPECT_EQ(tac[1][18], "15");
    // The query turns the cash sub-account into "00", so cash never matches.
    EXPECT_EQ(tac[2][12], "00");
    EXPECT_EQ(tac[2][10], "");
    EXPECT_EQ(tac[2][18], "15");
    for (const auto& row : tac) {
        EXPECT_EQ(row[19], id);
    }
    EXPECT_EQ(stored("SALE_HDR", "TPE", 22, id)[0][12], "30000");
}

struct CardReplyCase {
    std::string name;
    std::string reply;
    bool markedSent;
};
void PrintTo(const CardReplyCase& c, std::ostream* out) {
    *out << c.name;
}

class CardReply : public StandardEngine, public ::testing::WithParamInterface<CardReplyCase> {};

TEST_P(CardReply, MarksDuplicatesAndDumpsEveryRefusal) {
    const CardReplyCase& c = GetParam();
    CardReplyStandIn service(c.reply);
    form->ServerInfo[0] = service.server();
    database();
    card("2403050001");

    run();

    EXPECT_FALSE(form->lastTransfer.errorNumber) << form->lastTransfer.errorDescription;
    EXPECT_EQ(local("SELECT CD_SD FROM CREDIT"), c.markedSent ? "7" : "0");
    EXPECT_EQ(form->lastTransfer.cardsDuplicate, c.markedSent ? 1 : 0);
    EXPECT_EQ(form->lastTransfer.cardsRefused, c.markedSent ? 0 : 1);
    const auto cards = dumps("c");
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(secondLine(cards[0]), "COM +  카드전송시오류: " + c.reply);
}

INSTANTIATE_TEST_SUITE_P(
    StandardEngine, CardReply,
    ::testing::Values(CardReplyCase{"HeldRow", "1:중복DATA", true},
                      CardReplyCase{"DuplicateEntry", "0:Duplicate entry", true},
                      CardReplyCase{"DuplicateWithoutColon", "Duplicate entry", true},
                      CardReplyCase{"Timeout", "9:timeout", false},
                      CardReplyCase{"TextWithoutColon", "timeout", false}),
    [](const ::testing::TestParamInfo<CardReplyCase>& p) { return p.param.name; });

TEST_F(StandardEngine, CardHeldCentrallyIsMarkedAndDumped) {
    database();
    card("2403050001");
    run();
    ASSERT_EQ(form->lastTransfer.cardsSent, 1);
    EXPECT_TRUE(dumps("c").empty());
    sql("UPDATE CREDIT SET CD_SD = 0");

    run();

    EXPECT_EQ(form->lastTransfer.cardsDuplicate, 1);
    EXPECT_EQ(local("SELECT CD_SD FROM CREDIT"), "7");
    EXPECT_EQ(central->rows("CARD_APR"), 1);
    const auto cards = dumps("c");
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(secondLine(cards[0]), "COM +  카드전송시오류: 0:중복DATA");
}

TEST_F(StandardEngine, RefusedSaleAndCardAreDumpedAndLeftUnsent) {
    std::filesystem::create_directories(dir / "unregistered");
    central = std::make_unique<test::RunningCentral>(dir / "unregistered", false);
    form->ServerInfo[0] = central->server();
    database();
    discountedSale("2403050001");
    card("2403050001");

    run();

    EXPECT_EQ(form->lastTransfer.salesRefused, 1);
    EXPECT_EQ(form->lastTransfer.cardsRefused, 1);
    EXPECT_EQ(local("SELECT PE_SD FROM PE"), "<null>");
    EXPECT_EQ(local("SELECT CD_SD FROM CREDIT"), "0");
    const auto sales = dumps("e");
    ASSERT_EQ(sales.size(), 1u);
    EXPECT_EQ(secondLine(sales[0]).rfind("  COM +  전송시오류: ", 0), 0u) << sales[0];
    // The dump shows the sale as it was sent: with its discount line, the header's discount 0.
    EXPECT_NE(sales[0].find(" TPS(2,3)=\"99999998\""), std::string::npos);
    EXPECT_NE(sales[0].find(" TPE(13)=\"0\""), std::string::npos);
    const auto cards = dumps("c");
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(secondLine(cards[0]).rfind("COM +  카드전송시오류: ", 0), 0u) << cards[0];
}

TEST_F(StandardEngine, SaleWithoutLinesKeepsItsDiscountInTheHeader) {
    database();
    header("2403050001", {{"PE_DAMT", "1000"}, {"PE_BAMT", "10000"}});
    entry("2403050001", 1, "111010", "9000");

    run();

    ASSERT_FALSE(form->lastTransfer.errorNumber) << form->lastTransfer.errorDescription;
    EXPECT_EQ(local("SELECT PE_SD FROM PE"), "7");
    EXPECT_EQ(stored("SALE_LINE", "TPS", 20, "2403050001"),
              (Rows{std::vector<std::string>(20, "")}));
    EXPECT_EQ(stored("SALE_HDR", "TPE", 22, "2403050001")[0][13], "1000");
    const auto noLines = dumps("p");
    ASSERT_EQ(noLines.size(), 1u);
    EXPECT_EQ(secondLine(noLines[0]), "순번없음:     전송된ID : 2403050001");
    EXPECT_TRUE(dumps("DC").empty());
}

TEST_F(StandardEngine, LineSumBeyond32BitsEndsTheRunAsOverflow) {
    database();
    header("2403050001");
    entry("2403050001", 1, "111010", "9000");
    line("2403050001", 1, "2147483000", "0");
    line("2403050001", 2, "1000", "0");
    card("2403050001");

    run();

    ASSERT_TRUE(form->lastTransfer.errorNumber);
    EXPECT_EQ(*form->lastTransfer.errorNumber, errc::Overflow);
    EXPECT_EQ(local("SELECT PE_SD FROM PE"), "<null>");
    EXPECT_EQ(local("SELECT CD_SD FROM CREDIT"), "0");
    const auto sales = dumps("e");
    ASSERT_EQ(sales.size(), 1u);
    EXPECT_EQ(secondLine(sales[0]), "6  처리전송시오류: Overflow");
}

TEST_F(StandardEngine, LineWithoutItsProductEndsTheRunBeforeLaterSales) {
    database();
    header("2403050001");
    entry("2403050001", 1, "111010", "9000");
    line("2403050001", 1, "8182", "818", {{"PS_PRCODE", q("GONE")}});
    header("2403050002");
    entry("2403050002", 1, "111010", "9000");
    line("2403050002", 1, "8182", "818");

    run();

    ASSERT_TRUE(form->lastTransfer.errorNumber);
    EXPECT_EQ(*form->lastTransfer.errorNumber, errc::InvalidUseOfNull);
    EXPECT_EQ(local("SELECT COUNT(*) FROM PE WHERE PE_SD = 7"), "0");
    EXPECT_EQ(central->rows("SALE_HDR"), 0);
    const auto sales = dumps("e");
    ASSERT_EQ(sales.size(), 1u);
    EXPECT_EQ(secondLine(sales[0]), "94  처리전송시오류: Invalid use of Null");
}

}  // namespace
}  // namespace veldon
