// veldonctl.exe, the Windows build, scanning shops under Wine against the reference service on
// 127.0.0.1: it must store and mark exactly what the Linux build does from the same shop.
//
// Runs when scripts/build-windows.sh --test names the executable in VELDON_WINDOWS_VELDONCTL and
// its Wine prefix in WINEPREFIX (with ODBCSYSINI and VELDON_ODBC_DRIVER for the databases);
// skipped otherwise.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/central.h"
#include "tests/support/tempdir.h"
#include "tests/support/toolrun.h"
#include "tools/makeshop.h"

namespace veldon {
namespace {

namespace fs = std::filesystem;

// Wine shows the Unix root as drive Z:.
std::string windowsPath(const fs::path& path) {
    std::string out = "Z:" + path.string();
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
}

void appendUtf16(std::string& out, const std::string& utf8) {
    for (std::size_t i = 0; i < utf8.size();) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        const int length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        char32_t cp = length == 1 ? c : c & (0x7F >> length);
        for (int k = 1; k < length; ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        i += static_cast<std::size_t>(length);
        auto unit = [&](char32_t u) {
            out += static_cast<char>(u & 0xFF);
            out += static_cast<char>(u >> 8);
        };
        if (cp >= 0x10000) {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            unit(cp);
        }
    }
}

// The shop's settings, as the installer and the POS program leave them, moved from its settings
// files into Wine's registry; folders become Windows paths.
void importSettings(const demodb::ShopSummary& shop, const fs::path& scratch) {
    std::string reg;
    std::string text = "Windows Registry Editor Version 5.00\r\n";
    for (const auto& entry : fs::directory_iterator(shop.settingsFolder)) {
        const std::string application = entry.path().stem().string();
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (line.starts_with("[")) {
                text += "\r\n[HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\" +
                        application + "\\" + line.substr(1, line.size() - 2) + "]\r\n";
            } else if (const auto eq = line.find('='); eq != std::string::npos) {
                std::string value = line.substr(eq + 1);
                if (value.starts_with("/")) {
                    value = windowsPath(value);
                }
                std::string quoted;
                for (char c : value) {
                    quoted += (c == '\\' || c == '"') ? std::string("\\") + c : std::string(1, c);
                }
                text += "\"" + line.substr(0, eq) + "\"=\"" + quoted + "\"\r\n";
            }
        }
    }
    reg = "\xFF\xFE";  // UTF-16LE, as regedit writes its files
    appendUtf16(reg, text);
    test::writeFile(scratch / "settings.reg", reg);
    const test::ToolRun r =
        test::runTool("/usr/bin/wine", {"reg", "import", windowsPath(scratch / "settings.reg")},
                      shop.configHome, scratch);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
}

// Every row of every table of an SQLite file, as "TABLE|value|value...", sorted; the columns in
// `skip` (a store's own numbering and times) left out. Child rows of a stored sale carry the
// sale's keys instead of its number.
std::vector<std::string> tableRows(const fs::path& file, const std::vector<std::string>& skip) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::vector<std::string> tables;
    sqlite3_stmt* list = nullptr;
    sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table'", -1, &list,
                       nullptr);
    while (sqlite3_step(list) == SQLITE_ROW) {
        tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(list, 0)));
    }
    sqlite3_finalize(list);
    std::vector<std::string> rows;
    for (const std::string& table : tables) {
        const bool saleChild = table.starts_with("SALE_") && table != "SALE_HDR";
        const std::string sql = saleChild ? "SELECT h.RCT_CODE, h.DUP_KEY1, h.DUP_KEY2, c.* FROM " +
                                                table + " c JOIN SALE_HDR h USING (SALE_ID)"
                                          : "SELECT * FROM " + table;
        sqlite3_stmt* stmt = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sql;
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            std::string row = table;
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                if (std::find(skip.begin(), skip.end(), sqlite3_column_name(stmt, i)) !=
                    skip.end()) {
                    continue;
                }
                const auto* v = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
                row += std::string("|") + (v ? v : "Null");
            }
            rows.push_back(std::move(row));
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    std::sort(rows.begin(), rows.end());
    return rows;
}

void expectSameRows(const std::vector<std::string>& windows, const std::vector<std::string>& linux,
                    const std::string& what) {
    EXPECT_EQ(windows.size(), linux.size()) << what;
    std::vector<std::string> onlyWindows, onlyLinux;
    std::set_difference(windows.begin(), windows.end(), linux.begin(), linux.end(),
                        std::back_inserter(onlyWindows));
    std::set_difference(linux.begin(), linux.end(), windows.begin(), windows.end(),
                        std::back_inserter(onlyLinux));
    EXPECT_TRUE(onlyWindows.empty() && onlyLinux.empty())
        << what << ": " << onlyWindows.size() << " rows only from Windows, e.g. "
        << (onlyWindows.empty() ? "" : onlyWindows[0]) << "\n"
        << onlyLinux.size() << " rows only from Linux, e.g. "
        << (onlyLinux.empty() ? "" : onlyLinux[0]);
}

TEST(WindowsAgent, ScanUnderWineStoresAndMarksWhatTheLinuxAgentDoes) {
    const char* exe = std::getenv("VELDON_WINDOWS_VELDONCTL");
    if (!exe || !*exe || !std::getenv("WINEPREFIX")) {
        GTEST_SKIP() << "no Windows build to run (scripts/build-windows.sh --test runs this)";
    }
    const std::vector<std::string> storeOwn = {"SALE_ID",  "CARD_ID",     "DEL_ID",
                                               "EVENT_ID", "RECEIVED_AT", "VELDON_VER_SDATE"};
    for (const demodb::Kind kind : {demodb::Kind::Restaurant, demodb::Kind::Retail}) {
        SCOPED_TRACE(std::string(demodb::kindName(kind)));
        test::TempDir dir;
        std::vector<std::vector<std::string>> stored, local;
        for (const bool windows : {false, true}) {
            const fs::path root = dir / (windows ? "windows" : "linux");
            fs::create_directories(root);
            test::RunningCentral central(root);
            demodb::ShopOptions o;
            o.kind = kind;
            o.sales = 40;
            o.server = central.server();
            o.delivery = kind == demodb::Kind::Restaurant;
            o.dbName = test::RunningCentral::Database;
            const auto shop = demodb::makeShop(o, root / "shop", DateTime{2026, 12, 6, 12, 0, 0});
            test::ToolRun r;
            if (windows) {
                // The line check through icmp.dll, to 127.0.0.1.
                const fs::path ini = shop.programFolder / "UpdatePath.ini";
                std::string text = test::readFile(ini);
                text.replace(text.find("DNSUSE=N"), 8, "DNSUSE=Y");
                test::writeFile(ini, text);
                importSettings(shop, root);
                r = test::runTool(
                    "/usr/bin/wine",
                    {exe, "--program-folder", windowsPath(shop.programFolder), "scan"},
                    shop.configHome, root);
            } else {
                r = test::runTool("tools/veldonctl",
                                  {"--program-folder", shop.programFolder.string(), "scan"},
                                  shop.configHome, root);
            }
            ASSERT_EQ(r.status, 0) << r.out << r.err;
            EXPECT_NE(r.out.find("dump files written    0"), std::string::npos) << r.out;
            EXPECT_GT(central.rows("SALE_HDR"), 30);
            stored.push_back(tableRows(root / "central.db", storeOwn));
            local.push_back(tableRows(shop.database.file, {}));
        }
        expectSameRows(stored[1], stored[0], "the service's rows");
        expectSameRows(local[1], local[0], "the shop's database after the scan");
    }
}

}  // namespace
}  // namespace veldon
