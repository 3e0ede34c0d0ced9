#include "logs/transferlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <set>

#include "platform/error.h"
#include "platform/textcodec.h"
#include "platform/textfile.h"
#include "tests/support/fakes.h"
#include "tests/support/tempdir.h"

namespace veldon {
namespace {

namespace fs = std::filesystem;
using test::FakeClock;
using test::readFile;
using test::TempDir;

// The bytes a file must hold: UTF-8 text with "\r\n" line ends in the Korean code page.
std::string cp949(const std::string& utf8) {
    return utf8ToCp949(utf8);
}

std::vector<std::string> filesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The lines between a caption and the next caption (or the end of the file).
std::vector<std::string> section(const std::vector<std::string>& lines,
                                 const std::string& caption) {
    static const std::set<std::string> captions{"공통", "순번", "회계", "요식업"};
    auto from = std::find(lines.begin(), lines.end(), caption);
    if (from == lines.end()) {
        ADD_FAILURE() << "no section " << caption;
        return {};
    }
    ++from;
    auto to =
        std::find_if(from, lines.end(), [](const std::string& l) { return captions.count(l) > 0; });
    return std::vector<std::string>(from, to);
}

TextArray filledArray(std::size_t size, const std::string& tag) {
    TextArray array(size);
    for (std::size_t i = 0; i < size; ++i) {
        array(i) = tag + std::to_string(i);
    }
    return array;
}

TextTable filledTable(std::size_t rows, std::size_t slots) {
    TextTable table(rows, slots);
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t s = 0; s < slots; ++s) {
            table(r, s) = std::to_string(r) + "/" + std::to_string(s);
        }
    }
    return table;
}

class TransferLogTest : public ::testing::Test {
protected:
    TransferLogTest() { fs::create_directory(dumps()); }

    fs::path dumps() const { return dir / "log"; }
    fs::path dailyLogs() const { return dir / "MERIDEX_LOG"; }

    // A log whose dump digits come from `digits`, in order.
    TransferLog logWithDigits(std::deque<int> digits) {
        return TransferLog(dir.path(), clock, [digits]() mutable {
            const int d = digits.front();
            digits.pop_front();
            return d;
        });
    }

    TempDir dir;
    FakeClock clock;  // 2024-03-05 14:07:09
};

// Dump file names

TEST_F(TransferLogTest, DumpNamesCarryKindStampAndDigit) {
    TransferLog log = logWithDigits({3, 1, 8, 5});
    log.WRITE_SALE_DUMP({}, {}, {}, {}, "m", "");
    log.WRITE_CARD_DUMP({}, "m");
    log.WRITE_NOSEQ_DUMP({}, {}, {}, "m");
    log.WRITE_DC_DUMP(1, 2, 3);

    EXPECT_EQ(filesIn(dumps()),
              (std::vector<std::string>{"DC2403051407095.txt", "c2403051407091.txt",
                                        "e2403051407093.txt", "p2403051407098.txt"}));
    EXPECT_EQ(log.dumpsWritten(), 4);
}

TEST_F(TransferLogTest, StampUsesTwoDigitYearAndTwentyFourHourClock) {
    clock.set({1999, 12, 31, 23, 59, 58});
    TransferLog log = logWithDigits({2});
    log.WRITE_DC_DUMP(0, 0, 0);
    EXPECT_EQ(filesIn(dumps()), (std::vector<std::string>{"DC9912312359582.txt"}));

    fs::remove_all(dumps());
    fs::create_directory(dumps());
    clock.set({2100, 1, 2, 0, 0, 0});
    logWithDigits({7}).WRITE_CARD_DUMP({}, "m");
    EXPECT_EQ(filesIn(dumps()), (std::vector<std::string>{"c0001020000007.txt"}));
}

TEST_F(TransferLogTest, SameSecondDumpsDifferByDigitOrReplaceEachOther) {
    TransferLog log = logWithDigits({4, 6, 4});
    log.WRITE_CARD_DUMP({}, "first");
    log.WRITE_CARD_DUMP({}, "second");
    log.WRITE_CARD_DUMP({}, "third");

    EXPECT_EQ(filesIn(dumps()),
              (std::vector<std::string>{"c2403051407094.txt", "c2403051407096.txt"}));
    EXPECT_EQ(readCp949Lines(dumps() / "c2403051407094.txt").at(1), "third");
    EXPECT_EQ(readCp949Lines(dumps() / "c2403051407096.txt").at(1), "second");
    EXPECT_EQ(log.dumpsWritten(), 2);
    EXPECT_EQ(log.dumpsOverwritten(), 1);
}

TEST_F(TransferLogTest, DefaultDigitIsOneToEightAndVaries) {
    TransferLog log(dir.path(), clock);
    for (int i = 0; i < 400; ++i) {
        log.WRITE_DC_DUMP(i, 0, 0);
    }
    // All calls share one stamp, so the names left are one per digit drawn.
    std::set<char> digits;
    for (const std::string& name : filesIn(dumps())) {
        ASSERT_EQ(name.size(), std::string("DC2403051407091.txt").size()) << name;
        ASSERT_EQ(name.substr(0, 14), "DC240305140709") << name;
        digits.insert(name[14]);
    }
    EXPECT_EQ(digits, (std::set<char>{'1', '2', '3', '4', '5', '6', '7', '8'}));
    EXPECT_EQ(log.dumpsWritten(), 8);
    EXPECT_EQ(log.dumpsOverwritten(), 392);
}

// Dump contents

TEST_F(TransferLogTest, SaleDumpBytes) {
    TextArray TPE(3);
    TPE(0) = "2403050001";
    TPE(2) = "김밥 \"특\"";
    TextTable TPS(2, 2);
    TPS(0, 0) = "1";
    TPS(1, 1) = "라면";
    TextArray TRT(1);
    TRT(0) = "배달";
    TextTable TAC(1, 2);
    TAC(0, 1) = "5000";

    logWithDigits({1}).WRITE_SALE_DUMP(TPE, TPS, TRT, TAC, "처리전송시오류: Overflow", "6");

    EXPECT_EQ(readFile(dumps() / "e2403051407091.txt"),
              cp949("발생일자 : 2024-03-05 14:07:09\r\n"
                    "6  처리전송시오류: Overflow\r\n"
                    "\r\n"
                    "===================================================================\r\n"
                    "\r\n"
                    "공통\r\n"
                    " TPE(0)=\"2403050001\"\r\n"
                    " TPE(1)=\"\"\r\n"
                    " TPE(2)=\"김밥 \"특\"\"\r\n"
                    "순번\r\n"
                    " TPS(0,0)=\"1\"\r\n"
                    " TPS(0,1)=\"\"\r\n"
                    " TPS(1,0)=\"\"\r\n"
                    " TPS(1,1)=\"라면\"\r\n"
                    "회계\r\n"
                    " TAC(0,0)=\"\"\r\n"
                    " TAC(0,1)=\"5000\"\r\n"
                    "요식업\r\n"
                    " TRT(0)=\"배달\"\r\n"));
}

TEST_F(TransferLogTest, SaleDumpWithoutPrefixStartsMessageLineWithTwoBlanks) {
    logWithDigits({1}).WRITE_SALE_DUMP({}, {}, {}, {}, "COM +  전송시오류: 거부", "");

    EXPECT_EQ(readFile(dumps() / "e2403051407091.txt"),
              cp949("발생일자 : 2024-03-05 14:07:09\r\n"
                    "  COM +  전송시오류: 거부\r\n"
                    "\r\n"
                    "===================================================================\r\n"
                    "\r\n"
                    "공통\r\n"
                    "순번\r\n"
                    "회계\r\n"
                    "요식업\r\n"));
}

TEST_F(TransferLogTest, CardDumpBytes) {
    TextTable TCD(2, 2);
    TCD(0, 0) = "12345678";
    TCD(1, 1) = "신한";

    logWithDigits({2}).WRITE_CARD_DUMP(TCD, "COM +  카드전송시오류: 실패");

    EXPECT_EQ(readFile(dumps() / "c2403051407092.txt"),
              cp949("발생일자 : 2024-03-05 14:07:09\r\n"
                    "COM +  카드전송시오류: 실패\r\n"
                    "\r\n"
                    "===================================================================\r\n"
                    "\r\n"
                    "공통\r\n"
                    " TCD(0,0)=\"12345678\"\r\n"
                    " TCD(0,1)=\"\"\r\n"
                    " TCD(1,0)=\"\"\r\n"
                    " TCD(1,1)=\"신한\"\r\n"));
}

TEST_F(TransferLogTest, AMessageOfMegabytesIsCutOnACharacterBoundaryWithANote) {
    std::string reply;
    for (int i = 0; i < 1000; ++i) {
        reply += "한";  // 3 bytes each: 2,000 bytes end inside a character
    }
    logWithDigits({2}).WRITE_CARD_DUMP(TextTable(1, 1), reply);

    const std::string dump = readFile(dumps() / "c2403051407092.txt");
    const std::size_t start = dump.find("\r\n") + 2;
    EXPECT_EQ(dump.substr(start, dump.find("\r\n", start) - start),
              cp949(reply.substr(0, 1998) + " ...(cut: 3000 bytes in all)"));
}

TEST_F(TransferLogTest, NoLineItemDumpBytes) {
    TextArray TPE(2);
    TPE(1) = "x";
    TextArray TRT(1);
    TextTable TAC(1, 1);
    TAC(0, 0) = "현금";

    logWithDigits({8}).WRITE_NOSEQ_DUMP(TPE, TRT, TAC, "순번없음:     전송된ID : 2403050001");

    EXPECT_EQ(readFile(dumps() / "p2403051407098.txt"),
              cp949("발생일자 : 2024-03-05 14:07:09\r\n"
                    "순번없음:     전송된ID : 2403050001\r\n"
                    "\r\n"
                    "===================================================================\r\n"
                    "\r\n"
                    "공통\r\n"
                    " TPE(0)=\"\"\r\n"
                    " TPE(1)=\"x\"\r\n"
                    "회계\r\n"
                    " TAC(0,0)=\"현금\"\r\n"
                    "요식업\r\n"
                    " TRT(0)=\"\"\r\n"));
}

TEST_F(TransferLogTest, DiscountDumpBytes) {
    TransferLog log = logWithDigits({5, 6});
    log.WRITE_DC_DUMP(10000, 909, -500);
    log.WRITE_DC_DUMP(INT32_MIN, INT32_MAX, 0);

    EXPECT_EQ(readFile(dumps() / "DC2403051407095.txt"),
              cp949("발생일자 : 2024-03-05 14:07:09\r\n"
                    "Sale DC\r\n"
                    "PSAMT : 10000  PSVAT : 909  PEDC : -500\r\n"
                    "\r\n"));
    EXPECT_EQ(readCp949Lines(dumps() / "DC2403051407096.txt").at(2),
              "PSAMT : -2147483648  PSVAT : 2147483647  PEDC : 0");
}

// Fixed slot ranges

TEST_F(TransferLogTest, SaleDumpWritesEveryRowOverItsFixedSlots) {
    // Arrays wider than the ranges: the slots beyond them are left out.
    logWithDigits({1}).WRITE_SALE_DUMP(filledArray(24, "e"), filledTable(3, 25),
                                       filledArray(12, "r"), filledTable(1, 30), "m", "");
    const auto lines = readCp949Lines(dumps() / "e2403051407091.txt");

    const auto common = section(lines, "공통");
    ASSERT_EQ(common.size(), 22u);
    EXPECT_EQ(common.back(), " TPE(21)=\"e21\"");

    const auto items = section(lines, "순번");
    ASSERT_EQ(items.size(), 3u * 19u);
    EXPECT_EQ(items[0], " TPS(0,0)=\"0/0\"");
    EXPECT_EQ(items[18], " TPS(0,18)=\"0/18\"");
    EXPECT_EQ(items[19], " TPS(1,0)=\"1/0\"");
    EXPECT_EQ(items.back(), " TPS(2,18)=\"2/18\"");

    const auto accounts = section(lines, "회계");
    ASSERT_EQ(accounts.size(), 26u);
    EXPECT_EQ(accounts.back(), " TAC(0,25)=\"0/25\"");

    const auto restaurant = section(lines, "요식업");
    ASSERT_EQ(restaurant.size(), 8u);
    EXPECT_EQ(restaurant.back(), " TRT(7)=\"r7\"");
}

TEST_F(TransferLogTest, NoLineItemDumpUsesItsOwnRanges) {
    logWithDigits({1}).WRITE_NOSEQ_DUMP(filledArray(24, "e"), filledArray(12, "r"),
                                        filledTable(1, 30), "m");
    const auto lines = readCp949Lines(dumps() / "p2403051407091.txt");

    EXPECT_EQ(std::count(lines.begin(), lines.end(), "순번"), 0);
    const auto common = section(lines, "공통");
    ASSERT_EQ(common.size(), 19u);
    EXPECT_EQ(common.back(), " TPE(18)=\"e18\"");
    const auto accounts = section(lines, "회계");
    ASSERT_EQ(accounts.size(), 22u);
    EXPECT_EQ(accounts.back(), " TAC(0,21)=\"0/21\"");
    const auto restaurant = section(lines, "요식업");
    ASSERT_EQ(restaurant.size(), 10u);
    EXPECT_EQ(restaurant.back(), " TRT(9)=\"r9\"");
}

TEST_F(TransferLogTest, CardDumpWritesSlotsZeroToTwelveOfEveryRow) {
    logWithDigits({1}).WRITE_CARD_DUMP(filledTable(2, 20), "m");
    const auto cards = section(readCp949Lines(dumps() / "c2403051407091.txt"), "공통");
    ASSERT_EQ(cards.size(), 2u * 13u);
    EXPECT_EQ(cards[12], " TCD(0,12)=\"0/12\"");
    EXPECT_EQ(cards[13], " TCD(1,0)=\"1/0\"");
}

TEST_F(TransferLogTest, ShortArraysPrintOnlyTheSlotsTheyHave) {
    TransferLog log = logWithDigits({1, 2});
    log.WRITE_SALE_DUMP(filledArray(10, "e"), filledTable(1, 5), filledArray(3, "r"),
                        filledTable(2, 4), "m", "");
    log.WRITE_NOSEQ_DUMP(filledArray(10, "e"), {}, {}, "m");

    const auto sale = readCp949Lines(dumps() / "e2403051407091.txt");
    const auto common = section(sale, "공통");
    ASSERT_EQ(common.size(), 10u);
    EXPECT_EQ(common.back(), " TPE(9)=\"e9\"");
    EXPECT_EQ(section(sale, "순번").size(), 5u);
    EXPECT_EQ(section(sale, "회계").size(), 8u);
    EXPECT_EQ(section(sale, "요식업").size(), 3u);

    const auto noseq = readCp949Lines(dumps() / "p2403051407092.txt");
    EXPECT_EQ(section(noseq, "공통").size(), 10u);
    EXPECT_TRUE(section(noseq, "회계").empty());
    EXPECT_TRUE(section(noseq, "요식업").empty());
    EXPECT_EQ(log.dumpsWritten(), 2);
}

// Dump failures

TEST_F(TransferLogTest, WithoutLogFolderNoDumpIsWrittenAndNothingIsRaised) {
    fs::remove(dumps());
    TransferLog log = logWithDigits({1, 2, 3, 4});
    EXPECT_NO_THROW(log.WRITE_SALE_DUMP(filledArray(22, "e"), {}, {}, {}, "m", ""));
    EXPECT_NO_THROW(log.WRITE_CARD_DUMP({}, "m"));
    EXPECT_NO_THROW(log.WRITE_NOSEQ_DUMP({}, {}, {}, "m"));
    EXPECT_NO_THROW(log.WRITE_DC_DUMP(1, 2, 3));

    EXPECT_FALSE(fs::exists(dumps()));
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{});
    EXPECT_EQ(log.dumpsWritten(), 0);
}

TEST_F(TransferLogTest, DumpOverAFolderOfTheSameNameIsSkipped) {
    fs::create_directory(dumps() / "c2403051407091.txt");
    TransferLog log = logWithDigits({1, 2});
    EXPECT_NO_THROW(log.WRITE_CARD_DUMP({}, "m"));
    log.WRITE_CARD_DUMP({}, "m");
    EXPECT_TRUE(fs::is_directory(dumps() / "c2403051407091.txt"));
    EXPECT_TRUE(fs::is_regular_file(dumps() / "c2403051407092.txt"));
    EXPECT_EQ(log.dumpsWritten(), 1);
}

// The daily log

TEST_F(TransferLogTest, ErrLogAloneWritesThreeLinesToTheDaysFile) {
    TransferLog log(dir.path(), clock);
    log.INSERT_ERRLOG("인터넷 끊김");

    EXPECT_EQ(filesIn(dailyLogs()), std::vector<std::string>{"20240305.TXT"});
    EXPECT_EQ(readFile(dailyLogs() / "20240305.TXT"), cp949("[2024-03-05 14:07:09]\r\n"
                                                            "인터넷 끊김\r\n"
                                                            "\r\n"));
    EXPECT_EQ(log.dumpsWritten(), 0);
}

TEST_F(TransferLogTest, QueryTextsAreWrittenOnlyWhenNotEmpty) {
    TransferLog log(dir.path(), clock);
    log.INSERT_ERRLOG("중복데이터", "2403050001", "", "UPDATE PE SET PE_SD = 7");
    log.INSERT_ERRLOG("e", "", "q1", "q2", "q3");

    EXPECT_EQ(readFile(dailyLogs() / "20240305.TXT"), cp949("[2024-03-05 14:07:09]\r\n"
                                                            "중복데이터\r\n"
                                                            "2403050001\r\n"
                                                            "UPDATE PE SET PE_SD = 7\r\n"
                                                            "[2024-03-05 14:07:09]\r\n"
                                                            "e\r\n"
                                                            "\r\n"
                                                            "q1\r\n"
                                                            "q2\r\n"
                                                            "q3\r\n"));
}

TEST_F(TransferLogTest, RecordsAreAppendedPerDayAndANewDayStartsANewFile) {
    fs::create_directory(dailyLogs());
    test::writeFile(dailyLogs() / "20240305.TXT", "earlier\r\n");
    TransferLog log(dir.path(), clock);

    log.INSERT_ERRLOG("a");
    clock.set({2024, 3, 5, 23, 59, 59});
    log.INSERT_ERRLOG("b");
    clock.set({2024, 3, 6, 0, 0, 0});
    log.INSERT_ERRLOG("c");

    EXPECT_EQ(readFile(dailyLogs() / "20240305.TXT"),
              "earlier\r\n[2024-03-05 14:07:09]\r\na\r\n\r\n[2024-03-05 23:59:59]\r\nb\r\n\r\n");
    EXPECT_EQ(readFile(dailyLogs() / "20240306.TXT"), "[2024-03-06 00:00:00]\r\nc\r\n\r\n");
}

TEST_F(TransferLogTest, LogFolderIsMatchedByExactName) {
    // A folder that differs only in letter case is another folder: the record goes to a new
    // MERIDEX_LOG.
    fs::create_directory(dir / "meridex_log");
    TransferLog(dir.path(), clock).INSERT_ERRLOG("a");

    EXPECT_TRUE(fs::is_regular_file(dailyLogs() / "20240305.TXT"));
    EXPECT_TRUE(fs::is_empty(dir / "meridex_log"));
}

TEST_F(TransferLogTest, FailureToCreateTheLogFolderIsRaised) {
    TransferLog log(dir / "missing", clock);
    try {
        log.INSERT_ERRLOG("a");
        FAIL() << "no error raised";
    } catch (const Error& error) {
        EXPECT_EQ(error.number(), errc::PathNotFound);
        EXPECT_NE(error.description().find("missing"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST_F(TransferLogTest, FailureToWriteTheDailyLogIsIgnored) {
    // The day's file name taken by a folder: the record is lost, the caller goes on.
    fs::create_directories(dailyLogs() / "20240305.TXT");
    TransferLog log(dir.path(), clock);
    EXPECT_NO_THROW(log.INSERT_ERRLOG("a", "b", "c"));
    EXPECT_TRUE(fs::is_empty(dailyLogs() / "20240305.TXT"));

    // A file named MERIDEX_LOG is listed too, so no folder is made and the write just fails.
    fs::remove_all(dailyLogs());
    test::writeFile(dailyLogs(), "");
    EXPECT_NO_THROW(log.INSERT_ERRLOG("a"));
    EXPECT_TRUE(fs::is_regular_file(dailyLogs()));
}

}  // namespace
}  // namespace veldon
