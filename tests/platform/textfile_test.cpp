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
    EXPECT_EQ(utf8ToCp949(""), "");
    EXPECT_EQ(cp949ToUtf8(""), "");
}

TEST(TextCodec, CharactersOutsideCp949BecomeOneQuestionMarkEach) {
    EXPECT_EQ(utf8ToCp949("a😀b"), "a?b");
    EXPECT_EQ(utf8ToCp949("café 가"), "caf? \xB0\xA1");
    EXPECT_EQ(utf8ToCp949("😀😀"), "??");
    // Bytes that are no UTF-8 at all are not dropped silently either.
    EXPECT_EQ(utf8ToCp949("x\xFFy"), "x?y");
}

TEST(TextCodec, InvalidCp949BecomesReplacementCharacterAndDecodingGoesOn) {
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(cp949ToUtf8("A\x80"
                          "B"),
              "A" + replacement + "B");
    EXPECT_EQ(cp949ToUtf8("\xFF\xB0\xA1"), replacement + "가");
    // An unassigned double-byte code is one character.
    EXPECT_EQ(cp949ToUtf8("\xC9\xA1\xB0\xA1"), replacement + "가");
    // A lead byte before an ASCII byte that cannot follow it keeps the ASCII character.
    EXPECT_EQ(cp949ToUtf8("\xC7"
                          "AB"),
              replacement + "AB");
    // A lead byte cut off by the end of the text.
    EXPECT_EQ(cp949ToUtf8("\xB0\xA1\xB0"), "가" + replacement);
}

TEST(TextCodec, RecognisesWellFormedUtf8Only) {
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("plain ASCII"));
    EXPECT_TRUE(isValidUtf8("업데이트경로 😀"));
    EXPECT_FALSE(isValidUtf8(DateLabelCp949));
    EXPECT_FALSE(isValidUtf8("\xC0\x80"));          // overlong NUL
    EXPECT_FALSE(isValidUtf8("\xE0\x80\xAF"));      // overlong '/'
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // beyond U+10FFFF
    EXPECT_FALSE(isValidUtf8("\xEC\x97"));          // cut off
    EXPECT_FALSE(isValidUtf8("\x80"));
}

TEST(TextFile, ReplaceWritesCp949LinesEndedByCrLf) {
    TempDir dir;
    const auto file = dir / "e2403051407093.txt";
    writeFile(file, "an older and much longer dump that must disappear\r\n");

    writeCp949Lines(file,
                    {"발생일자 : 2024-03-05 14:07:09", "  COM +  전송시오류: ", "", " TPE(0)=\"\""},
                    WriteMode::Replace);

    EXPECT_EQ(readFile(file), DateLabelCp949 + "2024-03-05 14:07:09\r\n" +
                                  "  COM +  \xC0\xFC\xBC\xDB\xBD\xC3\xBF\xC0\xB7\xF9: \r\n" +
                                  "\r\n" + " TPE(0)=\"\"\r\n");
}

TEST(TextFile, AppendCreatesTheFileAndAddsToIt) {
    TempDir dir;
    const auto file = dir / "20240305.TXT";

    writeCp949Lines(file, {"[2024-03-05 14:07:09]", "인터넷 끊김"}, WriteMode::Append);
    writeCp949Lines(file, {"[2024-03-05 14:08:09]", "중복데이터", ""}, WriteMode::Append);

    EXPECT_EQ(readCp949Lines(file),
              (std::vector<std::string>{"[2024-03-05 14:07:09]", "인터넷 끊김",
                                        "[2024-03-05 14:08:09]", "중복데이터", ""}));
    EXPECT_EQ(readFile(file).substr(0, 23), "[2024-03-05 14:07:09]\r\n");
}

TEST(TextFile, NoLinesStillCreatesOrEmptiesTheFile) {
    TempDir dir;
    writeCp949Lines(dir / "new.txt", {}, WriteMode::Append);
    EXPECT_TRUE(std::filesystem::exists(dir / "new.txt"));

    writeFile(dir / "old.txt", "old\r\n");
    writeCp949Lines(dir / "old.txt", {}, WriteMode::Replace);
    EXPECT_EQ(readFile(dir / "old.txt"), "");
}

TEST(TextFile, MissingFolderRaisesAndIsNotCreated) {
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
}

TEST(TextFile, ReadsCrLfAndLfLinesBack) {
    TempDir dir;
    writeFile(dir / "mixed.txt", "one\r\n\r\n" + DateLabelCp949 + "\nlast");
    EXPECT_EQ(readCp949Lines(dir / "mixed.txt"),
              (std::vector<std::string>{"one", "", "발생일자 : ", "last"}));

    writeFile(dir / "empty.txt", "");
    EXPECT_TRUE(readCp949Lines(dir / "empty.txt").empty());

    EXPECT_THROW(readCp949Lines(dir / "missing.txt"), Error);
}

}  // namespace
}  // namespace veldon
