#include "tools/makeshop.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/settingsstore.h"

namespace veldon::demodb {

namespace {

namespace fs = std::filesystem;

// Visual Basic's "File already exists", as makeDemoDb raises for an existing database.
constexpr long kFileAlreadyExists = 58;

std::string utf8(const fs::path& p) {
    const std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

void createFolder(const fs::path& folder) {
    std::error_code ec;
    if (!fs::create_directory(folder, ec) || ec) {
        throw Error(errc::PathFileAccessError,
                    "cannot create folder " + utf8(folder) +
                        (ec ? ": " + ec.message() : std::string(": it exists already")));
    }
}

// UTF-8 with CR LF, as the updater on Windows leaves the file; the program reads either encoding.
void writeUpdatePath(const fs::path& file, Kind kind) {
    const std::vector<std::string> lines = {
        "[PING-CHECK]",
        // The probe must never leave the machine in a scratch installation.
        "DNS=127.0.0.1",
        "DNSUSE=N",
        "",
        "[업데이트정보]",
        // The first five characters pick the restaurant sub-kind; retail never reads it.
        std::string("업데이트경로=") + (kind == Kind::Restaurant ? "외식업후불" : "도소매"),
    };
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines) {
        out << line << "\r\n";
    }
    out.close();
    if (!out) {
        throw Error(errc::PathFileAccessError, "cannot write " + utf8(file));
    }
}

// The store holds one value a line; a line break would cut it in two.
void checkStorable(const std::string& value, std::string_view what) {
    if (value.find_first_of("\r\n") != std::string::npos) {
        throw Error(errc::InvalidProcedureCall,
                    std::string(what) + " must not contain a line break");
    }
}

// Claims `outDir`: creates it when missing, accepts it when it is an empty folder. Returns whether
// it was created, so a failure later knows whether to remove it too.
bool claimFolder(const fs::path& outDir) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(outDir, ec))) {
        fs::create_directories(outDir, ec);
        if (ec) {
            throw Error(errc::PathFileAccessError,
                        "cannot create folder " + utf8(outDir) + ": " + ec.message());
        }
        return true;
    }
    if (!fs::is_directory(outDir, ec)) {
        throw Error(kFileAlreadyExists,
                    utf8(outDir) + " exists and is no folder; it is not overwritten");
    }
    if (!fs::is_empty(outDir, ec) || ec) {
        throw Error(kFileAlreadyExists,
                    utf8(outDir) + " is not empty; an installation is never overwritten");
    }
    return false;
}

}  // namespace

ShopSummary makeShop(const ShopOptions& options, const fs::path& outDir, const DateTime& today) {
    const std::optional<std::string> host = hostOfServer(options.server);
    if (!host) {
        throw Error(errc::InvalidProcedureCall,
                    "server '" + options.server + "' is not HOST:PORT with a port from 1 to 65535");
    }
    const bool restaurant = options.kind == Kind::Restaurant;

    ShopSummary summary;
    summary.server = options.server;
    summary.objectName = options.objectName.value_or(restaurant ? "lumora.demon" : "VARNIK.MEM");
    summary.dbServer = options.dbServer.value_or(*host);
    summary.dbUser = options.dbUser;
    summary.dbName = options.dbName;
    summary.storeName = options.storeName.value_or(restaurant ? "데모 식당" : "데모 마트");
    const std::string& storeName = summary.storeName;

    const std::vector<std::pair<std::string, std::string_view>> texts = {
        {options.server, "server"},
        {summary.objectName, "object name"},
        {summary.dbServer, "database server"},
        {summary.dbUser, "database user"},
        {summary.dbName, "database name"},
        {options.storeCode, "store code"},
        {storeName, "store name"},
        {options.depotCode, "depot code"},
        {options.depotName, "depot name"},
        {options.posId, "counter id"},
        {options.posName, "counter name"},
    };
    for (const auto& [value, what] : texts) {
        checkStorable(value, what);
    }
    if (outDir.empty()) {
        throw Error(errc::InvalidProcedureCall, "no output folder given");
    }

    const bool created = claimFolder(outDir);
    std::error_code ec;
    summary.root = fs::canonical(outDir, ec);
    if (ec) {
        throw Error(errc::PathFileAccessError,
                    "cannot resolve " + utf8(outDir) + ": " + ec.message());
    }
    summary.programFolder = summary.root / "program";
    summary.dataFolder = summary.root / "data";
    summary.configHome = summary.root / "config";
    summary.settingsFolder = summary.configHome / "VB and VBA Program Settings";

    try {
        createFolder(summary.programFolder);
        writeUpdatePath(summary.programFolder / "UpdatePath.ini", options.kind);
        makeConfigDb(summary.programFolder / "MyCF.MDB", false);
        // The dump writers expect log/; the daily log folder is the program's own to create.
        createFolder(summary.programFolder / "log");

        createFolder(summary.dataFolder);
        DemoDbOptions db;
        db.kind = options.kind;
        db.sales = options.sales;
        db.days = options.days;
        db.seed = options.seed;
        db.today = today;
        summary.database =
            makeDemoDb(db, summary.dataFolder / fs::path(databaseFileName(options.kind)));

        createFolder(summary.configHome);
        IniSettingsStore store(summary.settingsFolder);
        const std::string dataFolder = utf8(summary.dataFolder);
        const std::vector<std::pair<std::string, std::string>> settings = {
            {"1차서버", options.server},
            {"2차서버", ""},
            {"개체명", summary.objectName},
            // Overridden by the POS program's folder below; stored as the window would save them.
            {"경로", dataFolder},
            {"로컬DB", std::string(databaseFileName(options.kind))},
            {"스캔방법", "1"},
            // "0": the whole backlog, not only yesterday's and today's sales.
            {"일일스캔", "0"},
            {"스캔시간", "1"},
            {"가맹점", options.storeCode},
            {"가맹점명", storeName},
            {"하치장", options.depotCode},
            {"하치장명", options.depotName},
            {"카운터", options.posId},
            {"카운터명", options.posName},
            {"서비스형태", restaurant ? "1" : "0"},
            {"서비스상태", "종료"},
            {"삭제자료전송", restaurant ? "0" : "1"},
            {"배송정보전송", options.delivery ? "1" : "0"},
            {"DB서버", summary.dbServer},
            {"DBUser", summary.dbUser},
            {"DBName", summary.dbName},
        };
        for (const auto& [key, value] : settings) {
            store.set("TORVANE", "Settings", key, value);
        }
        // The POS program's own values; the version keys stay unset, as before a first start.
        if (restaurant) {
            store.set("외식업", "LOCATION", "ID", dataFolder);
        } else {
            store.set("MERIDEX_II", "DBLOC", "ID", dataFolder);
            store.set("MERIDEX_II", "DBLOC", "DCCODE3", std::string(kRetailDiscountPos));
        }
    } catch (...) {
        // The folder was empty or missing before: everything below it is ours to take back.
        for (const fs::path& p : {summary.programFolder, summary.dataFolder, summary.configHome}) {
            fs::remove_all(p, ec);
        }
        if (created) {
            fs::remove(summary.root, ec);
        }
        throw;
    }
    return summary;
}

}  // namespace veldon::demodb
