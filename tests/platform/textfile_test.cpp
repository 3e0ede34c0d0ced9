#include "platform/textfile.h"

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/textcodec.h"
#include "tests/support/tempdir.h"

namespace veldon {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

// "발생일자 : " in the Korean code page, as the shop's tools expect it.
const std::string DateLabelCp949 = "\xB9\xDF\xBB\xFD\xC0\xCF\xC0\xDA : ";

TEST(TextCodec, KoreanTextRoundTripsThroughCp949Bytes) {
    EXPECT_EQ(utf8ToCp949("발생일자 : "), DateLabelCp949);
    EXPECT_EQ(cp949ToUtf8(DateLabelCp949), "발생일자 : ");
    // Characters of the extension beyond KS X 1001, and symbols of the code page.
    const std::string text = "똠방각하 € · 처리전송시오류: COM +  카드전송시오류";
    EXPECT_EQ(utf8ToCp949("똠"), "\x8C\x63");
    EXPECT_EQ(cp949ToUtf8(utf8ToCp949(text)), text);
}

TEST(TextCodec, WhatTheOtherSideLacksBecomesOneMarkEachAndTheRestGoesOn) {
    // Characters outside CP949 and bytes that are no UTF-8 at all become one '?' each.
    EXPECT_EQ(utf8ToCp949("a😀b"), "a?b");
    EXPECT_EQ(utf8ToCp949("café 가"), "caf? \xB0\xA1");
    EXPECT_EQ(utf8ToCp949("😀😀"), "??");
    EXPECT_EQ(utf8ToCp949("x\xFFy"), "x?y");
    // Invalid CP949: a lone byte, an unassigned double-byte code (one character), a lead byte
    // before an ASCII byte that cannot follow it (kept), a lead byte cut off by the end.
    const std::string r = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> invalid[] = {{"A\200B", "A" + r + "B"},
                                                           {"\xFF\xB0\xA1", r + "가"},
                                                           {"\xC9\xA1\xB0\xA1", r + "가"},
                                                           {"\307AB", r + "AB"},
                                                           {"\xB0\xA1\xB0", "가" + r}};
    for (const auto& [bytes, text] : invalid) {
        EXPECT_EQ(cp949ToUtf8(bytes), text);
    }
}

TEST(TextCodec, RecognisesWellFormedUtf8Only) {
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("업데이트경로 😀 ASCII"));
    EXPECT_FALSE(isValidUtf8(DateLabelCp949));
    // Overlong NUL and '/', a surrogate, beyond U+10FFFF, cut off, a lone continuation byte.
    for (const char* bad :
         {"\xC0\x80", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xEC\x97", "\x80"}) {
        EXPECT_FALSE(isValidUtf8(bad)) << bad;
    }
}

TEST(TextFile, WritesCp949LinesEndedByCrLfAndReadsThemBack) {
    TempDir dir;
    const auto file = dir / "e2403051407093.txt";
    writeFile(file, "an older and much longer dump that must disappear\r\n");
    writeCp949Lines(file,
                    {"발생일자 : 2024-03-05 14:07:09", "  COM +  전송시오류: ", "", " TPE(0)=\"\""},
                    WriteMode::Replace);
    EXPECT_EQ(readFile(file), DateLabelCp949 + "2024-03-05 14:07:09\r\n" +
                                  "  COM +  \xC0\xFC\xBC\xDB\xBD\xC3\xBF\xC0\xB7\xF9: \r\n" +
                                  "\r\n" + " TPE(0)=\"\"\r\n");
    writeCp949Lines(file, {}, WriteMode::Replace);
    EXPECT_EQ(readFile(file), "");

    const auto log = dir / "20240305.TXT";  // made by the first append
    writeCp949Lines(log, {"[2024-03-05 14:07:09]", "인터넷 끊김"}, WriteMode::Append);
    writeCp949Lines(log, {"중복데이터", ""}, WriteMode::Append);
    EXPECT_EQ(readCp949Lines(log),
              (std::vector<std::string>{"[2024-03-05 14:07:09]", "인터넷 끊김", "중복데이터", ""}));
    writeCp949Lines(dir / "new.txt", {}, WriteMode::Append);
    EXPECT_TRUE(readCp949Lines(dir / "new.txt").empty());

    writeFile(dir / "mixed.txt", "one\r\n\r\n" + DateLabelCp949 + "\nlast");
    EXPECT_EQ(readCp949Lines(dir / "mixed.txt"),
              (std::vector<std::string>{"one", "", "발생일자 : ", "last"}));
}

TEST(TextFile, AMissingFolderOrFileRaisesAndNothingIsCreated) {
    TempDir dir;
    const auto file = dir / "log" / "c2403051407091.txt";
    for (WriteMode mode : {WriteMode::Replace, WriteMode::Append}) {
        try {
            writeCp949Lines(file, {"x"}, mode);
            FAIL() << "no error for a missing folder";
        } catch (const Error& e) {
            EXPECT_NE(e.description().find(file.string()), std::string::npos) << e.description();
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "log"));
    EXPECT_THROW(readCp949Lines(dir / "missing.txt"), Error);
}

}  // namespace
}  // namespace veldon
