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

TEST_F(IniFile, NamesBlanksQuotesCommentsAndDefaults) {
    write(
        "DNS=before any section\n[OTHER]\nDNS=other\n"
        "  [ Ping-Check ]  \r\n;DNS=commented\n  ; DNSUSE=N\n\tDns   =   127.0.0.1 \t\r\n"
        "DNS=second\nDNSUSE\nEMPTY=\r\n"
        "[A]\nd=\"127.0.0.1\"\ns='  spaced  '\nm=\"mixed'\nq=\"\ninner=a \"b\" c\n");
    // Names without regard to case or blanks around them, the first match, an empty value, a key
    // without '=', other sections, matching quotes stripped, missing sections and keys.
    const char* cases[][3] = {{"A", "m", "\"mixed'"},      {" ping-check", "dns ", "127.0.0.1"},
                              {"NONE", "DNS", "fallback"}, {"PING-CHECK", "DNS", "127.0.0.1"},
                              {"PING-CHECK", "EMPTY", ""}, {"PING-CHECK", "DNSUSE", "fallback"},
                              {"A", "d", "127.0.0.1"},     {"A", "inner", "a \"b\" c"},
                              {"OTHER", "DNS", "other"},   {"A", "q", "\""},
                              {"A", "NONE", "fallback"},   {"A", "s", "  spaced  "}};
    for (auto [section, key, value] : cases) {
        EXPECT_EQ(read(section, key, "fallback"), value) << section << "/" << key;
    }
    std::filesystem::remove(m_file);
    EXPECT_EQ(read("PING-CHECK", "DNS", "fallback"), "fallback");
}

TEST_F(IniFile, Cp949AndUtf8FilesWithOrWithoutMarkReadAsUtf8) {
    // [업데이트정보] / 업데이트경로=외식업후불 as the Windows updater writes it.
    write(
        "[\xBE\xF7\xB5\xA5\xC0\xCC\xC6\xAE\xC1\xA4\xBA\xB8]\r\n"
        "\xBE\xF7\xB5\xA5\xC0\xCC\xC6\xAE\xB0\xE6\xB7\xCE=\xBF\xDC\xBD\xC4\xBE\xF7\xC8\xC4\xBA\xD2"
        " v2\r\n");
    EXPECT_EQ(read("업데이트정보", "업데이트경로"), "외식업후불 v2");
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
    EXPECT_EQ(read("S", "korean"), korean.substr(0, 127 * 3));  // 127 of two bytes fill 254

    // Never half a character.
    const std::pair<std::size_t, const char*> cuts[] = {
        {4, "a가"}, {3, "a"}, {6, "a가나"}, {1, ""}, {0, ""}};
    for (const auto& [bytes, cut] : cuts) {
        EXPECT_EQ(read("S", "mixed", {}, bytes), cut) << bytes;
    }
}

}  // namespace
}  // namespace veldon
