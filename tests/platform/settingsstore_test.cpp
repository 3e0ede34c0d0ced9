#include "platform/settingsstore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "platform/error.h"
#include "tests/support/tempdir.h"

namespace veldon {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;
using test::writeFile;

class SettingsStoreTest : public ::testing::Test {
protected:
    TempDir m_dir;
    fs::path m_root = m_dir / "VB and VBA Program Settings";
    IniSettingsStore m_store{m_root};

    void writeStore(const std::string& application, const std::string& bytes) {
        fs::create_directories(m_root);
        writeFile(m_root / (application + ".ini"), bytes);
    }
    std::string storeFile(const std::string& application) {
        return readFile(m_root / (application + ".ini"));
    }
    std::vector<std::string> filesInRoot() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_root)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(SettingsStoreTest, ReadingCreatesNothingAndSetCreatesTheFileThatGetReadsBack) {
    EXPECT_EQ(m_store.get("TORVANE", "Settings", "스캔방법", "1"), "1");
    EXPECT_TRUE(m_store.list("TORVANE").empty());
    EXPECT_FALSE(fs::exists(m_root)) << "reading must not create the store";

    m_store.set("TORVANE", "Settings", "1차서버", "asp.example.test");
    m_store.set("TORVANE", "Settings", "서비스상태", "시작");
    m_store.set("TORVANE", "Settings", "서비스상태", "종료");
    EXPECT_EQ(m_store.get("TORVANE", "Settings", "서비스상태", "x"), "종료");
    EXPECT_EQ(m_store.get("TORVANE", "Settings", "2차서버", "none"), "none");
    EXPECT_EQ(storeFile("TORVANE"), "[Settings]\n1차서버=asp.example.test\n서비스상태=종료\n");

    // Applications are the files of the store that hold entries.
    writeStore("EMPTY", "\n; nothing\n");
    writeFile(m_root / "notes.txt", "[a]\nb=c\n");
    m_store.set("외식업", "LOCATION", "ID", "/srv/pos");
    EXPECT_EQ(m_store.applications(), (std::vector<std::string>{"TORVANE", "외식업"}));
}

TEST_F(SettingsStoreTest, NamesMatchWithoutRegardToAsciiCaseAndKoreanNamesExactly) {
    writeStore("MERIDEX_II", "[DBLOC]\nKestVersion=1.0.18\n");
    EXPECT_EQ(m_store.get("meridex_ii", "dbloc", "KESTVERSION"), "1.0.18");

    // Writing under another spelling changes the entry that is there, in its first spelling.
    m_store.set("Meridex_II", "DbLoc", "kestversion", "1.0.19");
    EXPECT_EQ(storeFile("MERIDEX_II"), "[DBLOC]\nKestVersion=1.0.19\n");

    m_store.set("외식업", "LOCATION", "ID", "/srv/pos/food");
    m_store.set("TORVANE", "전송에러", "구분", "1");
    EXPECT_EQ(filesInRoot(),
              (std::vector<std::string>{"MERIDEX_II.ini", "TORVANE.ini", "외식업.ini"}));
    EXPECT_EQ(m_store.get("외식업", "location", "id"), "/srv/pos/food");
    EXPECT_EQ(m_store.get("TORVANE", "전송에러", "구분 "), "");
    EXPECT_EQ(m_store.get("외식", "LOCATION", "ID"), "");
    EXPECT_EQ(storeFile("TORVANE"), "[전송에러]\n구분=1\n");
}

TEST_F(SettingsStoreTest, ValuesKeepTheirBlanksAndEverythingAfterTheFirstEquals) {
    m_store.set("TORVANE", "Settings", "DB서버", " ");
    m_store.set("TORVANE", "Settings", "사용자구성", "  two leading, one trailing ");
    m_store.set("TORVANE", "Settings", "DBName", "Dbq=a=b;");
    m_store.set("TORVANE", "Settings", "2차서버", "");

    EXPECT_EQ(m_store.get("TORVANE", "Settings", "DB서버", "x"), " ");
    EXPECT_EQ(m_store.get("TORVANE", "Settings", "사용자구성"), "  two leading, one trailing ");
    EXPECT_EQ(m_store.get("TORVANE", "Settings", "DBName"), "Dbq=a=b;");
    EXPECT_EQ(m_store.get("TORVANE", "Settings", "2차서버", "x"), "");

    writeStore("MERIDEX_II", "[DBLOC]\r\nID= C:\\POS \t\r\nDBUser=pos\r\n");
    EXPECT_EQ(m_store.get("MERIDEX_II", "DBLOC", "ID"), " C:\\POS \t");
    // CR LF reads as a line end and is rewritten as LF.
    m_store.set("MERIDEX_II", "DBLOC", "DBUser", "pos2");
    EXPECT_EQ(storeFile("MERIDEX_II"), "[DBLOC]\nID= C:\\POS \t\nDBUser=pos2\n");
}

TEST_F(SettingsStoreTest, WritingKeepsEveryOtherEntryInOrder) {
    writeStore("TORVANE",
               "[Settings]\n"
               "1차서버=one\n"
               "개체명=Torvane.Upload\n"
               "\n"
               "; kept as it is\n"
               "[전송에러]\n"
               "구분=0\n");

    m_store.set("TORVANE", "Settings", "1차서버", "two");
    m_store.set("TORVANE", "Settings", "스캔시간", "5");
    m_store.set("TORVANE", "전송에러", "구분", "1");
    m_store.set("TORVANE", "Extra", "key", "value");

    EXPECT_EQ(storeFile("TORVANE"),
              "[Settings]\n"
              "1차서버=two\n"
              "개체명=Torvane.Upload\n"
              "스캔시간=5\n"
              "\n"
              "; kept as it is\n"
              "[전송에러]\n"
              "구분=1\n"
              "\n"
              "[Extra]\n"
              "key=value\n");

    std::string listed;
    for (const SettingEntry& e : m_store.list("TORVANE")) {
        listed += e.section + "/" + e.key + "=" + e.value + " ";
    }
    EXPECT_EQ(listed,
              "Settings/1차서버=two Settings/개체명=Torvane.Upload Settings/스캔시간=5 "
              "전송에러/구분=1 Extra/key=value ");
}

TEST_F(SettingsStoreTest, AHandWrittenDuplicateCountsOnce) {
    writeStore("TORVANE", "[Settings]\nDBUser=first\n[settings]\ndbuser=second\nDBName=db\n");
    EXPECT_EQ(m_store.get("TORVANE", "Settings", "DBUser"), "first");
    EXPECT_EQ(m_store.get("TORVANE", "Settings", "DBName"), "db");
    EXPECT_EQ(m_store.list("TORVANE").size(), 2u);

    m_store.set("TORVANE", "SETTINGS", "DBUser", "changed");
    EXPECT_EQ(m_store.get("TORVANE", "Settings", "DBUser"), "changed");
    EXPECT_EQ(storeFile("TORVANE"),
              "[Settings]\nDBUser=changed\n[settings]\ndbuser=second\nDBName=db\n");
}

TEST_F(SettingsStoreTest, ReplacesTheFileAtomicallyKeepingItsPermissions) {
    m_store.set("TORVANE", "Settings", "DBUser", "before");
    // A second name for the old file: a rewrite in place would change what it shows.
    const fs::path oldFile = m_dir / "old.ini";
    fs::create_hard_link(m_root / "TORVANE.ini", oldFile);
    fs::permissions(m_root / "TORVANE.ini", fs::perms(0640));

    m_store.set("TORVANE", "Settings", "DBUser", "after");
    m_store.set("TORVANE", "Settings", "DBName", "center");

    EXPECT_EQ(readFile(oldFile), "[Settings]\nDBUser=before\n");
    EXPECT_EQ(m_store.get("TORVANE", "Settings", "DBUser"), "after");
    EXPECT_EQ(filesInRoot(), std::vector<std::string>{"TORVANE.ini"});
#ifndef _WIN32
    EXPECT_EQ(fs::status(m_root / "TORVANE.ini").permissions() & fs::perms::mask, fs::perms(0640));
#endif
}

TEST_F(SettingsStoreTest, NamesTheLineFormatCannotHoldAreRefused) {
    const std::vector<std::vector<std::string>> refused = {
        {"", "Settings", "k", "v"},          {"../TORVANE", "Settings", "k", "v"},
        {"TORVANE", "", "k", "v"},           {"TORVANE", "Set\ntings", "k", "v"},
        {"TORVANE", "Settings", "", "v"},    {"TORVANE", "Settings", "a=b", "v"},
        {"TORVANE", "Settings", "[k]", "v"}, {"TORVANE", "Settings", "k", "two\r\nlines"}};
    for (const auto& r : refused) {
        try {
            m_store.set(r[0], r[1], r[2], r[3]);
            ADD_FAILURE() << "accepted " << r[0] << "/" << r[1] << "/" << r[2] << "=" << r[3];
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), 5);
        }
    }
    EXPECT_FALSE(fs::exists(m_dir / "TORVANE.ini"));
    EXPECT_EQ(m_store.get("../TORVANE", "Settings", "k", "d"), "d");
}

TEST(SettingsStoreFailure, AStoreThatCannotBeWrittenRaisesAndReadsDefaults) {
    TempDir dir;
    writeFile(dir / "not-a-folder", "");
    IniSettingsStore belowAFile(dir / "not-a-folder" / "VB and VBA Program Settings");
    try {
        belowAFile.set("TORVANE", "Settings", "DBUser", "pos");
        FAIL() << "no error for a root below a file";
    } catch (const Error& e) {
        EXPECT_NE(e.description().find("not-a-folder"), std::string::npos) << e.description();
    }
    EXPECT_EQ(belowAFile.get("TORVANE", "Settings", "DBUser", "d"), "d");

    fs::create_directories(dir / "TORVANE.ini" / "inside");  // the store is no file
    IniSettingsStore store(dir.path());
    EXPECT_EQ(store.get("TORVANE", "Settings", "DBUser", "d"), "d");
    EXPECT_THROW(store.set("TORVANE", "Settings", "DBUser", "pos"), Error);
    EXPECT_TRUE(fs::is_directory(dir / "TORVANE.ini" / "inside"));
}

#ifndef _WIN32
// The file store is the user's store only where there is no registry.

// Sets an environment variable for one test and puts the old value back.
class EnvironmentVariable {
public:
    EnvironmentVariable(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) {
            m_old = old;
        }
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~EnvironmentVariable() {
        if (m_old) {
            ::setenv(m_name, m_old->c_str(), 1);
        } else {
            ::unsetenv(m_name);
        }
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

TEST(SettingsStoreRoot, FollowsXdgConfigHomeElseHome) {
    TempDir dir;
    {
        EnvironmentVariable xdg("XDG_CONFIG_HOME", (dir / "config").c_str());
        EXPECT_EQ(IniSettingsStore::defaultRoot(), dir / "config" / "VB and VBA Program Settings");

        openUserSettingsStore()->set("TORVANE", "Settings", "DBUser", "pos");
        EXPECT_EQ(readFile(dir / "config" / "VB and VBA Program Settings" / "TORVANE.ini"),
                  "[Settings]\nDBUser=pos\n");
    }
    for (const char* unusable : {static_cast<const char*>(nullptr), "", "relative/config"}) {
        EnvironmentVariable xdg("XDG_CONFIG_HOME", unusable);
        EnvironmentVariable home("HOME", (dir / "home").c_str());
        EXPECT_EQ(IniSettingsStore::defaultRoot(),
                  dir / "home" / ".config" / "VB and VBA Program Settings");
    }
}
#endif

}  // namespace
}  // namespace veldon
