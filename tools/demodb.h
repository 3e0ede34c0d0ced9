// Stand-ins of the POS program's local databases, filled with realistic unsent sales, for demos,
// tests and benchmarks.
//
// The files have the tables of the POS program (SQLite form) and, unless asked for an older
// database, what the start-up schema upgrade adds. The content depends only on the options: the
// same options give the same rows on every platform and standard library. A file is only ever
// created, never replaced: the caller picks a path that does not exist yet.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace veldon::demodb {

enum class Kind { Restaurant, Retail };

// "restaurant" / "retail".
std::string_view kindName(Kind kind);
// The name the POS program gives the database: "FOOD.MDB" / "POS.MDB".
std::string_view databaseFileName(Kind kind);

// Sale identifiers carry a four-digit number of the day, so a day holds at most this many sales.
inline constexpr long kMaxSalesPerDay = 9999;
// Item position of the retail discount line (what the POS program's DCCODE3 setting names).
inline constexpr std::string_view kRetailDiscountPos = "9999";

struct DemoDbOptions {
    Kind kind = Kind::Restaurant;
    long sales = 0;  // unsent sales to make, at most kMaxSalesPerDay * days
    int days = 30;   // spread over this many days, the last one being `today`
    std::uint64_t seed = 1;
    bool preUpgrade = false;  // leave out the columns and the table that the schema upgrade adds
    DateTime today;
};

struct TableRows {
    std::string table;
    long rows = 0;
};

struct DemoDbSummary {
    std::filesystem::path file;
    std::vector<TableRows> tables;  // every table of the file, in creation order

    // Rows written to `table`; 0 for a table the file does not have.
    long rows(std::string_view table) const;
};

// Creates the database `out`. Raises veldon::Error when `out` exists already, its folder does not,
// the options are out of range or SQLite fails; a half-written file is removed again.
DemoDbSummary makeDemoDb(const DemoDbOptions& options, const std::filesystem::path& out);

// Creates the configuration database (MyCF.MDB) at `out`, marking the PC as an order terminal or
// not. Refuses an existing file as makeDemoDb does.
void makeConfigDb(const std::filesystem::path& out, bool orderTerminal);

}  // namespace veldon::demodb
