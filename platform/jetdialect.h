// Access (Jet) SQL as the program sends it, made readable for SQLite.
//
// The program's statements are Jet SQL. SQLite differs where it matters: ISNULL is a keyword
// there, '&' is its bitwise AND (Jet's text concatenation, in which Null counts as empty text),
// TRUE is 1 (Access stores True as -1), double quotes and '#' delimit values in Jet. The rewrite
// works on tokens, so text inside literals is never touched. Jet's functions become SQL functions
// registered on each SQLite connection (see jetFunctions below).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace veldon::jet {

// The statement in SQLite's dialect:
//  - ISNULL(x) / IsNull(x) -> jet_isnull(x) (-1 or 0), Format(x, f) -> jet_format(x, f),
//    CDate(x) -> jet_cdate(x);
//  - TRUE -> -1, FALSE -> 0;
//  - a & b & c -> (ifnull(a,'') || ifnull(b,'') || ifnull(c,'')), with the operands bounded as
//    Jet's precedence bounds them (arithmetic binds tighter, comparisons and logic looser);
//  - "text" -> 'text', #2024-03-05# -> '2024-03-05'.
// Everything else, blanks included, is passed through unchanged.
//
// Where Jet's functions cannot be registered on the connection (SQLite reached through its ODBC
// driver), `BuiltIn` writes IsNull, CDate and Format as expressions of SQLite's own functions
// instead. They agree with the registered ones on ISO date texts ("2024-03-05", "2024-03-05
// 14:30:00") and Access serial numbers; Format takes the padded parts (yyyy, mm, dd, hh, nn, ss)
// and leaves any other format to the driver's error. Other date texts give Null there.
enum class SqliteFunctions { Registered, BuiltIn };
std::string toSqlite(std::string_view jetSql,
                     SqliteFunctions functions = SqliteFunctions::Registered);

// For a statement that selects plain rows from one table (no DISTINCT, GROUP BY, UNION): the
// position in `sqliteSql` just after its leading SELECT keyword, where a row identifier column
// can be inserted. Empty otherwise.
std::optional<std::size_t> plainSelectInsertPoint(std::string_view sqliteSql);

// The text of a date value formatted with a VB format such as "yyyy-mm-dd" (yyyy, yy, mm, m,
// dd, d, hh, h, nn, n, ss, s; "mm" after an hour means minutes). False when `value` is no date.
bool formatDate(std::string_view value, std::string_view format, std::string& out);

// The canonical text of a date given as text ("YYYY-MM-DD", with " HH:MM:SS" when the value has
// a time part). Empty when it is no date.
std::optional<std::string> canonicalDate(std::string_view value);
// The same for an Access date serial number (days since 1899-12-30, time as the fraction).
std::string dateFromSerial(double serial);

}  // namespace veldon::jet
