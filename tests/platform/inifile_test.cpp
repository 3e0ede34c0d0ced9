#include "platform/inifile.h"

#include <gtest/gtest.h>

#include "tests/support/tempdir.h"

namespace veldon {
namespace {

using test::TempDir;
using test::writeFile;

class IniFile : public ::testing::Test {
protected:
    std::string read(const std::string& section, const std::string& key,
                     const std::string& defaultValue = {}, std::size_t maxBytes = 255) {
        return readProfileString(m_file, section, key, defaultValue, maxBytes);
    }
    void write(const std::string& bytes) { writeFile(m_file, bytes); }

    TempDir m_dir;
    std::filesystem::path m_file = m_dir / "UpdatePath.ini";
};

TEST_F(IniFile, NamesMatchWithoutRegardToCase) {
    write("[Ping-Check]\r\nDns=127.1.2.3\r\nDNSUSE=N\r\n");
    EXPECT_EQ(read("PING-CHECK", "DNS"), "127.1.2.3");
    EXPECT_EQ(read("ping-check", "dnsuse"), "N");
}

TEST_F(IniFile, BlanksAroundNamesAndValuesAreDropped) {
    write("  [ PING-CHECK ]  \n\tDNS   =   127.0.0.1 \t\nDNSUSE=\n");
    EXPECT_EQ(read("PING-CHECK", "DNS"), "127.0.0.1");
    EXPECT_EQ(read(" PING-CHECK", "DNS "), "127.0.0.1");
    // A key that is there with an empty value is not the default.
    EXPECT_EQ(read("PING-CHECK", "DNSUSE", "Y"), "");
}

TEST_F(IniFile, MatchingQuotesAreStripped) {
    write("[A]\nd=\"127.0.0.1\"\ns='  spaced  '\nm=\"mixed'\nq=\"\ninner=a \"b\" c\n");
    EXPECT_EQ(read("A", "d"), "127.0.0.1");
    EXPECT_EQ(read("A", "s"), "  spaced  ");
    EXPECT_EQ(read("A", "m"), "\"mixed'");
    EXPECT_EQ(read("A", "q"), "\"");
    EXPECT_EQ(read("A", "inner"), "a \"b\" c");
}

TEST_F(IniFile, FirstMatchWinsAndCommentsAndOtherSectionsDoNotCount) {
    write(
        "DNS=before any section\n"
        "[OTHER]\nDNS=other\n"
        "[PING-CHECK]\n;DNS=commented\n  ; DNSUSE=N\nDNS=first\nDNS=second\nDNSUSE\n");
    EXPECT_EQ(read("PING-CHECK", "DNS"), "first");
    EXPECT_EQ(read("PING-CHECK", "DNSUSE", "d"), "d");
    EXPECT_EQ(read("OTHER", "DNS"), "other");
}

TEST_F(IniFile, MissingFileSectionOrKeyGivesTheDefault) {
    EXPECT_EQ(read("PING-CHECK", "DNS", "fallback"), "fallback");
    EXPECT_EQ(read("PING-CHECK", "DNS"), "");
    write("[PING-CHECK]\nDNSUSE=N\n");
    EXPECT_EQ(read("PING-CHECK", "DNS", "fallback"), "fallback");
    EXPECT_EQ(read("업데이트정보", "업데이트경로", "fallback"), "fallback");
}

TEST_F(IniFile, Cp949FileReadsBackAsUtf8) {
    // [업데이트정보] / 업데이트경로=외식업후불 as the Windows updater writes it.
    write(
        "[\xBE\xF7\xB5\xA5\xC0\xCC\xC6\xAE\xC1\xA4\xBA\xB8]\r\n"
        "\xBE\xF7\xB5\xA5\xC0\xCC\xC6\xAE\xB0\xE6\xB7\xCE=\xBF\xDC\xBD\xC4\xBE\xF7\xC8\xC4\xBA\xD2"
        " v2\r\n");
    EXPECT_EQ(read("업데이트정보", "업데이트경로"), "외식업후불 v2");
}

TEST_F(IniFile, Utf8FileWithOrWithoutMarkReadsAsItIs) {
    write("[업데이트정보]\n업데이트경로=전문점\n");
    EXPECT_EQ(read("업데이트정보", "업데이트경로"), "전문점");
    write("\xEF\xBB\xBF[업데이트정보]\n업데이트경로=외식업선불\n");
    EXPECT_EQ(read("업데이트정보", "업데이트경로"), "외식업선불");
}

TEST_F(IniFile, LongValuesAreCutToTheBufferInCp949Bytes) {
    const std::string ascii(300, 'x');
    std::string korean;
    for (int i = 0; i < 200; ++i) {
        korean += "가";
    }
    write("[S]\nascii=" + ascii + "\nkorean=" + korean + "\nmixed=a가나\n");

    EXPECT_EQ(read("S", "ascii"), std::string(254, 'x'));
    // 127 characters of two bytes each fill 254 bytes.
    const std::string cut = read("S", "korean");
    EXPECT_EQ(cut.size(), 127u * 3);
    EXPECT_EQ(cut, korean.substr(0, 127 * 3));

    // Never half a character.
    EXPECT_EQ(read("S", "mixed", {}, 4), "a가");
    EXPECT_EQ(read("S", "mixed", {}, 3), "a");
    EXPECT_EQ(read("S", "mixed", {}, 6), "a가나");
    EXPECT_EQ(read("S", "mixed", {}, 1), "");
    EXPECT_EQ(read("S", "mixed", {}, 0), "");
}

}  // namespace
}  // namespace veldon
