#include "logs/transferlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
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

const std::string kHead = "발생일자 : 2024-03-05 14:07:09\r\n";
const std::string kRule =
    "\r\n===================================================================\r\n\r\n";

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

TEST_F(TransferLogTest, DumpNamesCarryKindStampAndDigitAndSameNamesReplaceEachOther) {
    TransferLog log = logWithDigits({3, 1, 8, 5, 1});
    log.WRITE_SALE_DUMP({}, {}, {}, {}, "m", "");
    log.WRITE_CARD_DUMP({}, "first");
    log.WRITE_NOSEQ_DUMP({}, {}, {}, "m");
    log.WRITE_DC_DUMP(1, 2, 3);
    log.WRITE_CARD_DUMP({}, "second");
    EXPECT_EQ(filesIn(dumps()),
              (std::vector<std::string>{"DC2403051407095.txt", "c2403051407091.txt",
                                        "e2403051407093.txt", "p2403051407098.txt"}));
    EXPECT_EQ(readCp949Lines(dumps() / "c2403051407091.txt").at(1), "second");
    EXPECT_EQ(log.dumpsWritten(), 4);
    EXPECT_EQ(log.dumpsOverwritten(), 1);

    // Two-digit year, 24-hour clock.
    fs::remove_all(dumps());
    fs::create_directory(dumps());
    clock.set({2100, 1, 2, 23, 0, 0});
    logWithDigits({7}).WRITE_CARD_DUMP({}, "m");
    EXPECT_EQ(filesIn(dumps()), (std::vector<std::string>{"c0001022300007.txt"}));
}

TEST_F(TransferLogTest, DefaultDigitIsOneToEightAndVaries) {
    TransferLog log(dir.path(), clock);
    for (int i = 0; i < 400; ++i) {
        log.WRITE_DC_DUMP(i, 0, 0);
    }
    // All calls share one stamp, so the names left are one per digit drawn.
    std::set<std::string> names;
    for (const std::string& name : filesIn(dumps())) {
        names.insert(name);
    }
    std::set<std::string> expected;
    for (char d = '1'; d <= '8'; ++d) {
        expected.insert(std::string("DC240305140709") + d + ".txt");
    }
    EXPECT_EQ(names, expected);
    EXPECT_EQ(log.dumpsOverwritten(), 392);
}

TEST_F(TransferLogTest, DumpBytes) {
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
    std::string longReply;
    for (int i = 0; i < 1000; ++i) {
        longReply += "한";  // 3 bytes each: 2,000 bytes end inside a character
    }
    struct Case {
        const char* what;
        std::function<void(TransferLog&)> write;
        std::string file, utf8;
    };
    const Case cases[] = {
        {"sale with a prefix",
         [&](TransferLog& l) {
             l.WRITE_SALE_DUMP(TPE, TPS, TRT, TAC, "처리전송시오류: Overflow", "6");
         },
         "e2403051407091.txt",
         kHead + "6  처리전송시오류: Overflow\r\n" + kRule +
             "공통\r\n TPE(0)=\"2403050001\"\r\n TPE(1)=\"\"\r\n TPE(2)=\"김밥 \"특\"\"\r\n"
             "순번\r\n TPS(0,0)=\"1\"\r\n TPS(0,1)=\"\"\r\n TPS(1,0)=\"\"\r\n TPS(1,1)=\"라면\"\r\n"
             "회계\r\n TAC(0,0)=\"\"\r\n TAC(0,1)=\"5000\"\r\n요식업\r\n TRT(0)=\"배달\"\r\n"},
        {"sale without a prefix: two blanks",
         [](TransferLog& l) { l.WRITE_SALE_DUMP({}, {}, {}, {}, "COM +  전송시오류: 거부", ""); },
         "e2403051407091.txt",
         kHead + "  COM +  전송시오류: 거부\r\n" + kRule + "공통\r\n순번\r\n회계\r\n요식업\r\n"},
        {"card", [&](TransferLog& l) { l.WRITE_CARD_DUMP(TPS, "COM +  카드전송시오류: 실패"); },
         "c2403051407091.txt",
         kHead + "COM +  카드전송시오류: 실패\r\n" + kRule +
             "공통\r\n TCD(0,0)=\"1\"\r\n TCD(0,1)=\"\"\r\n TCD(1,0)=\"\"\r\n "
             "TCD(1,1)=\"라면\"\r\n"},
        {"a reply of kilobytes cut on a character boundary with a note",
         [&](TransferLog& l) { l.WRITE_CARD_DUMP({}, longReply); }, "c2403051407091.txt",
         kHead + longReply.substr(0, 1998) + " ...(cut: 3000 bytes in all)\r\n" + kRule +
             "공통\r\n"},
        {"no line items",
         [&](TransferLog& l) { l.WRITE_NOSEQ_DUMP(TPE, TRT, TAC, "순번없음:     전송된ID : 1"); },
         "p2403051407091.txt",
         kHead + "순번없음:     전송된ID : 1\r\n" + kRule +
             "공통\r\n TPE(0)=\"2403050001\"\r\n TPE(1)=\"\"\r\n TPE(2)=\"김밥 \"특\"\"\r\n"
             "회계\r\n TAC(0,0)=\"\"\r\n TAC(0,1)=\"5000\"\r\n요식업\r\n TRT(0)=\"배달\"\r\n"},
        {"discount", [](TransferLog& l) { l.WRITE_DC_DUMP(INT32_MIN, INT32_MAX, -500); },
         "DC2403051407091.txt",
         kHead + "Sale DC\r\nPSAMT : -2147483648  PSVAT : 2147483647  PEDC : -500\r\n\r\n"},
    };
    for (const Case& c : cases) {
        TransferLog log = logWithDigits({1});
        c.write(log);
        EXPECT_EQ(readFile(dumps() / c.file), utf8ToCp949(c.utf8)) << c.what;
        fs::remove(dumps() / c.file);
    }
}

TEST_F(TransferLogTest, EachDumpWritesItsFixedSlotRangesOrTheSlotsItHas) {
    TransferLog log = logWithDigits({1, 2, 3, 4, 5});
    log.WRITE_SALE_DUMP(filledArray(24, "e"), filledTable(3, 25), filledArray(12, "r"),
                        filledTable(1, 30), "m", "");
    log.WRITE_NOSEQ_DUMP(filledArray(24, "e"), filledArray(12, "r"), filledTable(1, 30), "m");
    log.WRITE_CARD_DUMP(filledTable(2, 20), "m");
    log.WRITE_SALE_DUMP(filledArray(10, "e"), filledTable(1, 5), filledArray(3, "r"),
                        filledTable(2, 4), "m", "");
    log.WRITE_NOSEQ_DUMP(filledArray(10, "e"), {}, {}, "m");
    struct Case {
        const char* file;
        const char* caption;
        std::size_t lines;
        std::string last;
    };
    const Case cases[] = {
        {"e2403051407091.txt", "공통", 22, " TPE(21)=\"e21\""},
        {"e2403051407091.txt", "순번", 3 * 19, " TPS(2,18)=\"2/18\""},
        {"e2403051407091.txt", "회계", 26, " TAC(0,25)=\"0/25\""},
        {"e2403051407091.txt", "요식업", 8, " TRT(7)=\"r7\""},
        {"p2403051407092.txt", "공통", 19, " TPE(18)=\"e18\""},
        {"p2403051407092.txt", "순번", 0, ""},
        {"p2403051407092.txt", "회계", 22, " TAC(0,21)=\"0/21\""},
        {"p2403051407092.txt", "요식업", 10, " TRT(9)=\"r9\""},
        {"c2403051407093.txt", "공통", 2 * 13, " TCD(1,12)=\"1/12\""},
        {"e2403051407094.txt", "공통", 10, " TPE(9)=\"e9\""},
        {"e2403051407094.txt", "순번", 5, " TPS(0,4)=\"0/4\""},
        {"e2403051407094.txt", "회계", 8, " TAC(1,3)=\"1/3\""},
        {"e2403051407094.txt", "요식업", 3, " TRT(2)=\"r2\""},
        {"p2403051407095.txt", "공통", 10, " TPE(9)=\"e9\""},
        {"p2403051407095.txt", "회계", 0, ""},
    };
    for (const Case& c : cases) {
        const auto lines = section(readCp949Lines(dumps() / c.file), c.caption);
        EXPECT_EQ(lines.size(), c.lines) << c.file << " " << c.caption;
        EXPECT_EQ(lines.empty() ? "" : lines.back(), c.last) << c.file << " " << c.caption;
    }
    const auto rows = section(readCp949Lines(dumps() / "e2403051407091.txt"), "순번");
    EXPECT_EQ(rows.at(19), " TPS(1,0)=\"1/0\"");
}

TEST_F(TransferLogTest, DumpsThatCannotBeWrittenAreSkippedWithoutAnError) {
    fs::create_directory(dumps() / "c2403051407091.txt");
    TransferLog log = logWithDigits({1, 2, 1, 2, 3, 4});
    EXPECT_NO_THROW(log.WRITE_CARD_DUMP({}, "m"));
    log.WRITE_CARD_DUMP({}, "m");
    EXPECT_TRUE(fs::is_directory(dumps() / "c2403051407091.txt"));
    EXPECT_EQ(log.dumpsWritten(), 1);

    // Without the log folder nothing is written, not even the folder.
    fs::remove_all(dumps());
    EXPECT_NO_THROW(log.WRITE_SALE_DUMP(filledArray(22, "e"), {}, {}, {}, "m", ""));
    EXPECT_NO_THROW(log.WRITE_CARD_DUMP({}, "m"));
    EXPECT_NO_THROW(log.WRITE_NOSEQ_DUMP({}, {}, {}, "m"));
    EXPECT_NO_THROW(log.WRITE_DC_DUMP(1, 2, 3));
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{});
    EXPECT_EQ(log.dumpsOverwritten(), 0);
}

TEST_F(TransferLogTest, DailyLogRecordsAreAppendedPerDayWithNonEmptyQueries) {
    fs::create_directory(dailyLogs());
    test::writeFile(dailyLogs() / "20240305.TXT", "earlier\r\n");
#ifndef _WIN32                                  // on Windows both names are one folder
    fs::create_directory(dir / "meridex_log");  // another folder: names match exactly
#endif
    TransferLog log(dir.path(), clock);

    log.INSERT_ERRLOG("인터넷 끊김");
    clock.set({2024, 3, 5, 23, 59, 59});
    log.INSERT_ERRLOG("중복데이터", "2403050001", "", "UPDATE PE SET PE_SD = 7");
    clock.set({2024, 3, 6, 0, 0, 0});
    log.INSERT_ERRLOG("e", "", "q1", "q2", "q3");

    EXPECT_EQ(readFile(dailyLogs() / "20240305.TXT"),
              utf8ToCp949("earlier\r\n[2024-03-05 14:07:09]\r\n인터넷 끊김\r\n\r\n"
                          "[2024-03-05 23:59:59]\r\n중복데이터\r\n2403050001\r\n"
                          "UPDATE PE SET PE_SD = 7\r\n"));
    EXPECT_EQ(readFile(dailyLogs() / "20240306.TXT"),
              "[2024-03-06 00:00:00]\r\ne\r\n\r\nq1\r\nq2\r\nq3\r\n");
#ifndef _WIN32
    EXPECT_TRUE(fs::is_empty(dir / "meridex_log"));
#endif
    EXPECT_EQ(log.dumpsWritten(), 0);
}

TEST_F(TransferLogTest, DailyLogFailures) {
    // A folder that cannot be made is raised.
    try {
        TransferLog(dir / "missing", clock).INSERT_ERRLOG("a");
        FAIL() << "no error raised";
    } catch (const Error& error) {
        EXPECT_EQ(error.number(), errc::PathNotFound);
        EXPECT_NE(error.description().find("missing"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(dir / "missing"));

    // The day's file name taken by a folder: the record is lost, the caller goes on.
    TransferLog log(dir.path(), clock);
    fs::create_directories(dailyLogs() / "20240305.TXT");
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
