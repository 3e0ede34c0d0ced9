// A complete scratch installation of one shop, for the demo, tests and benchmarks: the program
// folder (UpdatePath.ini, MyCF.MDB, log/), the POS program's data folder with a demo database, and
// a settings store filled as the POS program and an installer would leave it.
//
// Layout below the output folder:
//   program/  the program folder
//   data/     FOOD.MDB or POS.MDB
//   config/   XDG_CONFIG_HOME for the program, so the store is config/VB and VBA Program Settings
// The probe is pointed at 127.0.0.1 and switched off, so the installation never pings outside.
// The caller starts the central service the settings name; this only writes files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "tools/demodb.h"

namespace veldon::demodb {

// The central database password: fixed by the program, not configurable.
inline constexpr std::string_view kCentralDbPassword = "mv5529";

struct ShopOptions {
    Kind kind = Kind::Restaurant;
    long sales = 0;  // as DemoDbOptions
    int days = 30;
    std::uint64_t seed = 1;
    std::string server;     // the central service, [https://]HOST:PORT (1차서버)
    bool delivery = false;  // restaurant: send delivery data (배송정보전송)

    std::string storeCode = "S0001";
    std::optional<std::string> storeName;  // default "데모 식당" / "데모 마트"
    std::string depotCode = "H01";
    std::string depotName = "본사창고";
    std::string posId = "01";
    std::string posName = "카운터1";
    std::optional<std::string> objectName;  // default "lumora.demon" / "VARNIK.MEM"

    std::optional<std::string> dbServer;  // default: the host of `server`
    std::string dbUser = "veldon";
    std::string dbName = "veldon_demo";
};

struct ShopSummary {
    std::filesystem::path root;            // the output folder, absolute
    std::filesystem::path programFolder;   // root/program
    std::filesystem::path dataFolder;      // root/data, what the POS program's ID key holds
    std::filesystem::path configHome;      // root/config, the XDG_CONFIG_HOME to export
    std::filesystem::path settingsFolder;  // configHome/VB and VBA Program Settings
    DemoDbSummary database;
    // The central connection data the settings hold, as the reference service must accept them.
    std::string server;
    std::string objectName;
    std::string storeName;
    std::string dbServer;
    std::string dbUser;
    std::string dbName;
};

// The host of "HOST:PORT" (or "http://HOST:PORT", "https://HOST:PORT") when `text` is one (port
// 1 to 65535; an IPv6 host in brackets comes back without them), else nothing. The program itself
// also takes a host without a port; this tool asks for both so that the reference service can be
// reached.
std::optional<std::string> hostOfServer(std::string_view text);

// Builds the installation in `outDir`, which may be missing or empty; the database gets the sales
// of the days up to `today`. Raises veldon::Error for a folder that exists with anything in it
// (an installation is never overwritten), a malformed server, options makeDemoDb refuses, or a
// file that cannot be written; what was made up to then is removed again.
ShopSummary makeShop(const ShopOptions& options, const std::filesystem::path& outDir,
                     const DateTime& today);

}  // namespace veldon::demodb
