// The restaurant engines end to end: a real FOOD.MDB (SQLite), the real reference central service
// on 127.0.0.1, and the dump and daily-log files below a scratch program folder. First what both
// engines do alike, run on each, then the standard engine's own: slot 16 and the discount line.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

#include "platform/error.h"
#include "platform/textcodec.h"
#include "tests/support/restaurantshop.h"

namespace veldon {
namespace {

using test::q;

// Table rows print by name, so that ctest lists them readably.
template <class Row>
requires requires(Row row) {
    row.name;
}
void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

struct Engine {
    const char* name;
    bool delivery;
    const char* method;
    std::size_t saleArrays;          // in a journaled sale
    const char* refusedCardsMarked;  // of 12
    const char* headerDiscountSent;  // of the documented discount example
};
const Engine engines[] = {{"Delivery", true, "PutPSM13_SIN", 6, "12", "1000"},
                          {"Standard", false, "PutPSM13_PSN", 5, "0", "0"}};

class RestaurantEngine : public test::RestaurantShopTest,
                         public ::testing::WithParamInterface<Engine> {
protected:
    RestaurantEngine() : RestaurantShopTest(GetParam().delivery) {}
};
INSTANTIATE_TEST_SUITE_P(, RestaurantEngine, ::testing::ValuesIn(engines),
                         ::testing::PrintToStringParamName());

class RestaurantBacklog : public test::RestaurantShopTest,
                          public ::testing::WithParamInterface<Engine> {
protected:
    RestaurantBacklog() : RestaurantShopTest(GetParam().delivery, 50) {}
};
INSTANTIATE_TEST_SUITE_P(, RestaurantBacklog, ::testing::ValuesIn(engines),
                         ::testing::PrintToStringParamName());

TEST_P(RestaurantBacklog, SendsEveryUnsentSaleAndCardOnceAndThenNothing) {
    const bool delivery = GetParam().delivery;
    form->CatchUpScan = true;
    const long closed = std::stol(local("SELECT COUNT(*) FROM PE WHERE PE_CK <> 0"));
    const long cards = std::stol(local("SELECT COUNT(*) FROM CREDIT"));
    const std::string addresses = local(
        "SELECT COUNT(*) FROM DELIVERY INNER JOIN PE ON "
        "PE.PE_ID = DELIVERY.PE_ID WHERE PE_CK <> 0");
    ASSERT_GT(closed, 40);
    ASSERT_GT(cards, 5);
    ASSERT_NE(addresses, "0");
    std::pair<long, long> progress;
    form->onSaleDone = [&](long done, long total) { progress = {done, total}; };

    run();

    const TransferReport& report = form->lastTransfer;
    EXPECT_FALSE(report.errorNumber) << report.errorDescription;
    EXPECT_EQ(report.salesTotal, closed);
    EXPECT_EQ(report.salesSent, closed);
    EXPECT_EQ(report.cardsSent, cards);
    EXPECT_EQ(progress, std::make_pair(closed, closed));
    EXPECT_EQ(central->rows("SALE_HDR"), closed);
    EXPECT_EQ(central->rows("CARD_APR"), cards);
    // Every sale of the delivery engine carries TDLV, most of it empty.
    EXPECT_EQ(central->rows("SALE_DLV"), delivery ? closed : 0);
    EXPECT_EQ(centralQuery("SELECT COUNT(*) FROM SALE_DLV WHERE TDLV_00 <> ''")[0][0],
              delivery ? addresses : "0");
    EXPECT_EQ(joined(centralQuery("SELECT DISTINCT METHOD FROM SALE_HDR")), GetParam().method);
    EXPECT_EQ(centralQuery("SELECT COUNT(*) FROM SALE_HDR WHERE SALE_KEY <> TPE_00 || '01'")[0][0],
              "0");
    EXPECT_EQ(dump("e") + dump("c"), "");
    EXPECT_EQ(form->controls.MousePointer, PointerShape::Default);
    EXPECT_FALSE(form->LocalDb);

    run();  // nothing left, not even a duplicate

    EXPECT_EQ(report.salesTotal + report.cardsSent + report.cardsDuplicate, 0);
}

TEST_P(RestaurantEngine, WhatTheServiceHoldsAlreadyIsMarkedLoggedAndDumped) {
    cashSale("2403050001");
    card("2403050001");
    // The backlog's only delivery record goes too.
    insert("DELIVERY", "PE_ID='2403050001'; D_CODE='D000123'; D_NAME=''; D_TEL=''");
    run();
    ASSERT_EQ(form->lastTransfer.salesSent + form->lastTransfer.cardsSent, 2);
    EXPECT_EQ(stored("SALE_DLV", "TDLV_00", "2403050001"), GetParam().delivery ? "D000123" : "");
    sql("UPDATE PE SET PE_SD = NULL");
    sql("UPDATE CREDIT SET CD_SD = 0");

    run();

    EXPECT_EQ(form->lastTransfer.salesDuplicate, 1);
    EXPECT_EQ(form->lastTransfer.cardsDuplicate, 1);
    EXPECT_EQ(local("SELECT PE_SD FROM PE"), "7");
    EXPECT_EQ(local("SELECT CD_SD FROM CREDIT"), "7");
    EXPECT_EQ(central->rows("SALE_HDR") + central->rows("CARD_APR"), 2);
    const std::string log = cp949ToUtf8(test::readFile(program() / "MERIDEX_LOG" / "20240305.TXT"));
    EXPECT_NE(log.find("]\r\n중복데이터\r\n2403050001\r\n"), std::string::npos) << log;
    EXPECT_EQ(dump("e"), "");
    EXPECT_EQ(why("c"), "COM +  카드전송시오류: 0:중복DATA");
}

TEST_P(RestaurantEngine, RefusalsAreDumpedAsSentAndJournaledWhole) {
    std::filesystem::create_directories(dir / "unregistered");
    central = std::make_unique<test::RunningCentral>(dir / "unregistered", false);
    form->ServerInfo[0] = central->server();
    discountedSale("2403050001");
    for (int i = 10; i < 22; ++i) {  // more than the dump names of one second can tell apart
        card("24030500" + std::to_string(i));
    }

    run();

    EXPECT_FALSE(form->lastTransfer.errorNumber);
    EXPECT_EQ(form->lastTransfer.salesRefused, 1);
    EXPECT_EQ(form->lastTransfer.cardsRefused, 12);
    EXPECT_EQ(local("SELECT PE_SD FROM PE"), "<null>");
    EXPECT_EQ(local("SELECT COUNT(*) FROM CREDIT WHERE CD_SD = 7"), GetParam().refusedCardsMarked);
    EXPECT_EQ(why("e").rfind("  COM +  전송시오류: ", 0), 0u) << dump("e");
    const std::string asSent = " TPE(13)=\"" + std::string(GetParam().headerDiscountSent) + "\"";
    EXPECT_NE(dump("e").find(asSent), std::string::npos) << dump("e");
    const auto cards = dumps("c");
    ASSERT_FALSE(cards.empty());
    EXPECT_LE(cards.size(), 8u);  // the same second's names overwrite each other
    EXPECT_EQ(secondLine(cards[0]).rfind("COM +  카드전송시오류: ", 0), 0u) << cards[0];
    EXPECT_NE(cards[0].find(" TCD(0,5)=\"9410123456781234\""), std::string::npos);

    const auto journal = form->journal().read();
    ASSERT_EQ(journal.size(), 13u);
    EXPECT_EQ(journal[0].refusal.method, GetParam().method);
    EXPECT_EQ(journal[0].refusal.key, "2403050001");
    EXPECT_EQ(journal[0].refusal.arrays.size(), GetParam().saleArrays);
    for (std::size_t i = 1; i < journal.size(); ++i) {
        EXPECT_EQ(journal[i].refusal.kind + " " + journal[i].refusal.outcome, "card refused");
        EXPECT_EQ(journal[i].refusal.key, "24030500" + std::to_string(9 + i));
        EXPECT_NE(journal[i].refusal.reply.find("미등록"), std::string::npos);
    }
}

// A sale the engine cannot read ends the run there: the sale before it stays sent, it and the one
// after it unsent, the card stage never comes, and the dump says why.
struct StopCase {
    const char* name;
    bool delivery;
    const char* header;  // changes to the second sale's header
    const char* line;    // and to the first of its two lines
    long error;
    const char* why;
};
class RestaurantRunStop : public test::RestaurantShopTest,
                          public ::testing::WithParamInterface<StopCase> {
protected:
    RestaurantRunStop() : RestaurantShopTest(GetParam().delivery) {}
};

TEST_P(RestaurantRunStop, AtTheSaleItCannotRead) {
    const StopCase& c = GetParam();
    cashSale("2403050001");
    header("2403050002", columns(c.header));
    entry("2403050002", 1, "111010", "9000");
    line("2403050002", 1, "8182", "818", columns(c.line));
    line("2403050002", 2, "8182", "818");
    cashSale("2403050003");
    card("2403050001");

    run();

    EXPECT_EQ(form->lastTransfer.errorNumber, c.error);
    EXPECT_EQ(form->lastTransfer.salesSent, 1);
    EXPECT_EQ(local("SELECT COUNT(*) FROM PE WHERE PE_SD = 7"), "1");
    EXPECT_EQ(local("SELECT CD_SD FROM CREDIT"), "0");
    EXPECT_EQ(why("e"), c.why);
    EXPECT_NE(dump("e").find(" TPE(0)=\"2403050002\""), std::string::npos);
    EXPECT_EQ(dump("p"), "");  // a real line without its number is no missing line
}

INSTANTIATE_TEST_SUITE_P(
    , RestaurantRunStop,
    ::testing::Values(StopCase{"NullInAnUnguardedHeaderColumn", true, "PE_DATE=NULL", "",
                               errc::InvalidUseOfNull, "94  처리전송시오류: Invalid use of Null"},
                      StopCase{"LineWithoutItsNumber", true, "", "PS_NO=NULL",
                               errc::InvalidUseOfNull, "94  처리전송시오류: Invalid use of Null"},
                      StopCase{"LineWithoutItsProduct", false, "", "PS_PRCODE='GONE'",
                               errc::InvalidUseOfNull, "94  처리전송시오류: Invalid use of Null"},
                      StopCase{"LineSumBeyond32Bits", false, "", "PS_AMT=2147483000",
                               errc::Overflow, "6  처리전송시오류: Overflow"}),
    ::testing::PrintToStringParamName());

class StandardEngine : public test::RestaurantShopTest {
protected:
    StandardEngine() : RestaurantShopTest(false) {}
};

TEST_F(StandardEngine, HeaderCarriesBanInSlot16AndLinesAnAbsentTypeAsEmpty) {
    const std::string id = "2403050001";
    header(id, columns("CT_CODE='10001'; CT_NAME='김철수'; PE_BAN='1'; PE_DPOINT=90"));
    entry(id, 1, "111055", "9000", {{"AC_UCODE", q("U07")}});
    line(id, 1, "8182", "818", {{"PS_TYPE", "NULL"}});

    run();

    ASSERT_FALSE(form->lastTransfer.errorNumber) << form->lastTransfer.errorDescription;
    EXPECT_EQ(
        stored("SALE_HDR", slots("TPE", 24), id),
        id +
            "|1|2024-03-05||S0001|데모 식당|10001|김철수|8182|818|9000|0|9000|0|E003||1|90|U07|Y|" +
            id + "|01|<null>|<null>");
    EXPECT_EQ(stored("SALE_LINE", "TPS_14, TPS_15", id), "U07|");
}

// A header discount the lines do not show travels as a discount line when the POS option asks.
struct DiscountCase {
    const char* name;
    const char* header;  // changes to the documented example's
    int cfOption;
    const char* thirdLineType;  // a third line of 500 with tax 0, of this type
    const char* discountLine;   // its total, amount and tax; nullptr for none
    const char* headerDiscount;
    const char* dcDump;      // its amounts line, "" for none
    const char* lines = "";  // changes to both its lines
};
class DiscountLine : public StandardEngine, public ::testing::WithParamInterface<DiscountCase> {};

TEST_P(DiscountLine, FollowsTheHeaderDiscountTheLinesDoNotShow) {
    const DiscountCase& c = GetParam();
    const std::string id = "2403050001";
    form->CfOptionValue = c.cfOption;
    discountedSale(id, columns(c.header), columns(c.lines));
    if (c.thirdLineType) {
        line(id, 3, "500", "0", {{"PS_TYPE", q(c.thirdLineType)}});
    }

    run();

    ASSERT_FALSE(form->lastTransfer.errorNumber) << form->lastTransfer.errorDescription;
    EXPECT_EQ(joined(centralQuery("SELECT " + slots("TPS", 20) +
                                  " FROM SALE_LINE WHERE TPS_03 = '99999998'")),
              c.discountLine ? id + (c.thirdLineType ? "|4" : "|3") +
                                   "|2024-03-05|99999998|할인||2|Ea|1|0|0|" + c.discountLine +
                                   "|U01|||H01|본사창고|"
                             : "");
    EXPECT_EQ(stored("SALE_HDR", "TPE_13", id), c.headerDiscount);
    EXPECT_EQ(dump("DC"), *c.dcDump ? "발생일자 : 2024-03-05 14:07:09\r\nSale DC\r\n" +
                                          std::string(c.dcDump) + "\r\n\r\n"
                                    : "");
}

INSTANTIATE_TEST_SUITE_P(
    StandardEngine, DiscountLine,
    ::testing::Values(
        DiscountCase{"DocumentedExample", "", 1, nullptr, "-1000|-909|-91", "0", ""},
        DiscountCase{"AmountsNotAddingUpAreDumped", "PE_DAMT=990", 1, nullptr, "-1000|-909|-91",
                     "0", "PSAMT : -909  PSVAT : -91  PEDC : -990"},
        DiscountCase{"TotalMatchesAmountBeforeDiscount", "PE_BAMT=9000", 1, nullptr, nullptr,
                     "1000", ""},
        DiscountCase{"PosOptionOff", "", 0, nullptr, nullptr, "1000", ""},
        DiscountCase{"NoDiscount", "PE_DAMT=0", 1, nullptr, nullptr, "0", ""},
        DiscountCase{"ComplimentaryLineStaysOutOfTheSums", "", 1, "SS01", "-1000|-909|-91", "0",
                     ""},
        DiscountCase{"ChargedLineCountsInTheSums", "", 1, "SS00", "-1500|-1409|-91", "0",
                     "PSAMT : -1409  PSVAT : -91  PEDC : -1000"},
        // Each sum is rounded half to even after every addition: 4546, then 9092; 454, then 908.
        DiscountCase{"SumsRoundHalfEvenAfterEachLine", "", 1, nullptr, "-1000|-910|-90", "0", "",
                     "PS_AMT=4545.5; PS_VAT=454.5"}),
    ::testing::PrintToStringParamName());

TEST_F(StandardEngine, SaleWithoutLinesIsSentWithItsDiscountInTheHeader) {
    header("2403050001", columns("PE_DAMT=1000; PE_BAMT=10000"));
    entry("2403050001", 1, "111010", "9000");

    run();

    ASSERT_FALSE(form->lastTransfer.errorNumber) << form->lastTransfer.errorDescription;
    EXPECT_EQ(local("SELECT PE_SD FROM PE"), "7");
    EXPECT_EQ(stored("SALE_LINE", slots("TPS", 20), "2403050001"), std::string(19, '|'));
    EXPECT_EQ(stored("SALE_HDR", "TPE_13", "2403050001"), "1000");
    EXPECT_EQ(why("p"), "순번없음:     전송된ID : 2403050001");
    EXPECT_EQ(dump("DC"), "");
}

TEST_F(StandardEngine, VoucherEntriesCarryTheirSecondRemarkAndTheSaleId) {
    const std::string id = "2403050001";
    header(id, columns("PE_RPOINT=10; PE_DPOINT=5; PE_TOT=30000"));
    entry(id, 1, "111030", "10000", columns("AC_FNCD2='01'; AC_REM2='GV00000001'"));
    entry(id, 2, "111030", "10000", columns("AC_FNCD2='02'; AC_REM2='GV00000002'"));
    entry(id, 3, "111010", "10000", {{"AC_FNCD2", q("01")}});  // the query makes cash "00"
    line(id, 1, "8182", "818");

    run();

    ASSERT_FALSE(form->lastTransfer.errorNumber) << form->lastTransfer.errorDescription;
    EXPECT_EQ(stored("SALE_AC", "TAC_10, TAC_12, TAC_15, TAC_18, TAC_19", id),
              "GV00000001|01|GV00000001|" + id + "|" + id + "/|02|GV00000002|15|" + id +
                  "/|00||15|" + id);
    EXPECT_EQ(stored("SALE_HDR", "TPE_12", id), "30000");
}

}  // namespace
}  // namespace veldon
