// The SQL statements that the shops send through GETSQL and PUTSQL, recognised by their fixed
// shape. The service never executes a shop's SQL: it accepts exactly the statements the agent
// builds, takes the values from between their fixed fragments and hands them to the store.
//
// Matching is exact and case-sensitive, blanks included; the only leniency is white space before
// and after the whole statement. A value is whatever lies between two fixed fragments, quotes
// included: a quote is data, never SQL. When a fixed fragment also occurs inside a value so that
// the statement splits in more than one way, the statement is refused rather than guessed at.
// Numbers of the DELPSS13 statement must be wholly decimal numbers ("-12", "1500", "0.5",
// "1.5E+20"); no blanks, no "+" sign, no bare ".5".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "central/store.h"

namespace veldon::central {

// A name look-up of the main window (GETSQL).
struct NameLookup {
    enum class Table { Store, Depot, Counter };
    Table table = Table::Store;
    std::string code;       // RCT_CODE of a store, HCT_CODE of a depot, POS_ID of a counter
    std::string storeCode;  // RCT_CODE of the depot's or counter's store; empty for a store

    // The column the answer's recordset names: RCT_NAME, HCT_NAME or POS_NAME.
    std::string field() const;
};

// The version report (PUTSQL).
struct VersionReport {
    std::string version;
    std::string posId;
    std::string storeCode;
};

// Why a statement was not recognised; `text` is meant for the reply text the shop dumps.
struct Refusal {
    std::string text;
};

std::variant<NameLookup, Refusal> recogniseLookup(std::string_view sql);
std::variant<VersionReport, DeletedLine, Refusal> recogniseStatement(std::string_view sql);

// The values between the fixed `fragments` of a statement (one fewer than fragments), or a
// refusal when the statement is not of that shape or splits in more than one way. `fragments`
// must hold at least two entries, the first and last matched at the statement's ends.
std::variant<std::vector<std::string>, Refusal> splitByFragments(
    std::string_view sql, const std::vector<std::string>& fragments);

// Client text quoted in a reply or an error description: at most `maxBytes` bytes of whole UTF-8
// characters (then "..."), with control characters and broken UTF-8 shown as "?", so that the
// answer stays valid JSON text.
std::string excerpt(std::string_view text, std::size_t maxBytes);

}  // namespace veldon::central
