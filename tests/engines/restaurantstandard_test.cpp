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
#include "tests/support/tempdir.h"
#include "tools/demodb.h"

namespace veldon {
namespace {

using Columns = std::map<std::string, std::string>;  // column -> SQL literal
using Rows = std::vector<std::vector<std::string>>;

std::string q(const std::string& text) {
    return "'" + text + "'";
}

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

class StandardEngine : public ::testing::Test {
protected:
    StandardEngine() : settings(dir / "config") {
        std::filesystem::create_directories(program() / "log");
        std::filesystem::create_directories(data());
        std::filesystem::create_directories(dir / "central");
        central = std::make_unique<test::RunningCentral>(dir / "central");
        form = std::make_unique<Form1>(Form1Services{settings, messages, clock, program()});
        form->ServerInfo = {central->server(), "", "", "lumora.demon"};
        form->LocalInfo = {data().string(), "FOOD.MDB", "1", "0", "1", ""};
        form->LocalConnStr =
            "PROVIDER=MSDataShape;Driver={Microsoft Access Driver (*.mdb)};Dbq=FOOD.MDB;"
            "DefaultDir=" +
            data().string() + ";Uid=Admin;pwd=qtrk48207";
        form->CenterConnStr = test::RunningCentral::Connection;
        form->StoreCode = "S0001";
        form->StoreName = "데모 식당";
        form->DepotCode = "H01";
        form->DepotName = "본사창고";
        form->PosId = "01";
        form->ServiceType = "1";
        form->SendDelivery = "0";
        form->CfOptionValue = 1;
    }

    std::filesystem::path program() const { return dir / "program"; }
    std::filesystem::path data() const { return dir / "data"; }

    void run() { TransferRestaurantStandard(*form); }

    // A FOOD.MDB of `sales` realistic sales (none: only products and settings) plus product P1.
    void database(long sales = 0) {
        demodb::DemoDbOptions o;
        o.kind = demodb::Kind::Restaurant;
        o.sales = sales;
        o.today = clock.now();
        demodb::makeDemoDb(o, data() / "FOOD.MDB");
        insert("PR", {{"PR_CODE", q("P1")},
                      {"PR_NAME", q("김치찌개")},
                      {"PR_TAX", q("1")},
                      {"PR_COST", "1500"}});
    }

    void sql(const std::string& statement) {
        auto db = createConnection();
        db->open(form->LocalConnStr);
        db->execute(statement);
    }
    std::string local(const std::string& query) {
        auto db = createConnection();
        db->open(form->LocalConnStr);
        auto rs = db->openRecordset(query);
        return rs->eof() ? "<none>" : rs->field(0).textOr("<null>");
    }
    void insert(const std::string& table, const Columns& columns) {
        std::string names, values;
        for (const auto& [name, value] : columns) {
            names += (names.empty() ? "" : ",") + name;
            values += (values.empty() ? "" : ",") + value;
        }
        sql("INSERT INTO " + table + " (" + names + ") VALUES (" + values + ")");
    }
    static Columns with(Columns base, const Columns& changes) {
        for (const auto& [name, value] : changes) {
            base[name] = value;
        }
        return base;
    }

    void header(const std::string& id, const Columns& changes = {}) {
        insert("PE", with({{"PE_ID", q(id)},
                           {"PE_DATE", q("2024-03-05")},
                           {"PE_AMT", "8182"},
                           {"PE_VAT", "818"},
                           {"PE_TOT", "9000"},
                           {"PE_DAMT", "0"},
                           {"PE_RPOINT", "0"},
                           {"PE_DPOINT", "0"},
                           {"PE_SDATE", q("2024-03-05 12:00:00")},
                           {"PE_EDATE", q("2024-03-05 12:40:00")},
                           {"PE_NTBID", q("05")},
                           {"PE_PSN", "2"},
                           {"PE_BAMT", "9000"},
                           {"PE_SVC", "0"},
                           {"PE_TIP", "0"},
                           {"PE_CK", "-1"}},
                          changes));
    }
    void entry(const std::string& id, int no, const std::string& account, const std::string& amount,
               const Columns& changes = {}) {
        insert("AC", with({{"PE_ID", q(id)},
                           {"AC_NO", std::to_string(no)},
                           {"AC_PDATE", q("2024-03-05")},
                           {"AC_SDATE", q("2024-03-05 12:40:00")},
                           {"AC_FNCD1", q(account)},
                           {"AC_FNCD2", q("00")},
                           {"AC_AMT", amount},
                           {"AC_DC", q("D")},
                           {"AC_UCODE", q("U01")},
                           {"AC_GU", q("AC11")}},
                          changes));
    }
    void line(const std::string& id, int no, const std::string& amount, const std::string& vat,
              const Columns& changes = {}) {
        insert("PS", with({{"PE_ID", q(id)},
                           {"PS_NO", std::to_string(no)},
                           {"PS_DATE", q("2024-03-05")},
                           {"PS_PRNAME", q("김치찌개")},
                           {"PS_UP", "5000"},
                           {"PS_QTY", "1"},
                           {"PS_AMT", amount},
                           {"PS_VAT", vat},
                           {"PS_PRCODE", q("P1")},
                           {"PS_TYPE", q("SS00")}},
                          changes));
    }
    void card(const std::string& id, const Columns& changes = {}) {
        insert("CREDIT", with({{"AC_ID", q(id)},
                               {"AC_BILLNO", q("01")},
                               {"CD_DATE", q("2024-03-05")},
                               {"CD_GU", q("1")},
                               {"CD_NO", q("9410123456781234=2712101")},
                               {"CD_MONTH", q("00")},
                               {"CD_NAME", q("신한카드")},
                               {"CD_CTNAME", q("BC카드")},
                               {"CD_INS", q("03")},
                               {"CD_AMT", "9000"},
                               {"CD_CTNO", q("00911111")},
                               {"CD_APRNO", q("30012345")},
                               {"CD_SD", "0"}},
                              changes));
    }
    // The sale of the documented discount example: lines 4545 + 4546 and taxes 455 + 454
    // against a header of 8182, 818 and 9000, discount 1000, 10000 before it, no service charge.
    void discountedSale(const std::string& id, const Columns& changes = {}) {
        header(id, with({{"PE_DAMT", "1000"}, {"PE_BAMT", "10000"}}, changes));
        entry(id, 1, "111010", "9000");
        line(id, 1, "4545", "455");
        line(id, 2, "4546", "454");
    }

    // What the service stored: the slots of one array of sale `id`, one vector per row.
    Rows stored(const std::string& table, const std::string& array, int slots,
                const std::string& id) {
        std::string columns;
        for (int s = 0; s < slots; ++s) {
            columns += (s ? "," : "") + array + "_" + (s < 10 ? "0" : "") + std::to_string(s);
        }
        std::string where;
        if (table == "SALE_HDR") {
            where = " WHERE TPE_00 = " + q(id);
        } else {
            where = " WHERE SALE_ID = (SELECT SALE_ID FROM SALE_HDR WHERE TPE_00 = " + q(id) +
                    ") ORDER BY ROW_NO";
        }
        return centralQuery("SELECT " + columns + " FROM " + table + where);
    }
    Rows centralQuery(const std::string& query) {
        auto db = createConnection();
        db->open("Dbq=central.db;DefaultDir=" + central->file().parent_path().string());
        auto rs = db->openRecordset(query);
        Rows rows;
        for (; !rs->eof(); rs->moveNext()) {
            std::vector<std::string> row;
            for (int f = 0; f < rs->fieldCount(); ++f) {
                row.push_back(rs->field(f).textOr("<null>"));
            }
            rows.push_back(row);
        }
        return rows;
    }

    // Dump files of one kind ("e", "c", "p", "DC"), decoded.
    std::vector<std::string> dumps(const std::string& kind) {
        std::vector<std::string> texts;
        for (const auto& file : std::filesystem::directory_iterator(program() / "log")) {
            const std::string name = file.path().filename().string();
            if (name.rfind(kind, 0) == 0 && name.size() == kind.size() + 17) {
                texts.push_back(cp949ToUtf8(test::readFile(file.path())));
            }
        }
        return texts;
    }
    static std::string secondLine(const std::string& dump) {
        const std::size_t start = dump.find("\r\n") + 2;
        return dump.substr(start, dump.find("\r\n", start) - start);
    }

    test::TempDir dir;
    test::FakeClock clock;
    IniSettingsStore settings;
    test::RecordingMessageSink messages;
    std::unique_ptr<test::RunningCentral> central;
    std::unique_ptr<Form1> form;
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
