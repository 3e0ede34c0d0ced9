// The statements of GETSQL and PUTSQL, built by the same concatenation the agent uses, and the
// ones a service must not take for them.
#include "central/sqlshapes.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace veldon::central {
namespace {

// The agent's statements, fragment by fragment as it concatenates them.
std::string storeLookup(const std::string& code) {
    return " SELECT RCT_NAME FROM RCT WHERE RCT_CODE = '" + code + "' ";
}
std::string depotLookup(const std::string& depot, const std::string& code) {
    return " SELECT HCT_NAME FROM HCT WHERE HCT_CODE = '" + depot + "' AND RCT_CODE = '" + code +
           "' ";
}
std::string counterLookup(const std::string& pos, const std::string& code) {
    return " SELECT POS_NAME FROM POS WHERE POS_ID = '" + pos + "' AND RCT_CODE = '" + code + "' ";
}
std::string versionReport(const std::string& version, const std::string& pos,
                          const std::string& store) {
    return " UPDATE POS SET VELDON_VER = '" + version +
           "' , VELDON_VER_SDATE = Now() WHERE POS_ID = '" + pos + "' AND  RCT_CODE = '" + store +
           "'";
}
std::string deletedLine(const std::string& date, const std::string& pos, const std::string& menu,
                        const std::string& unit, const std::string& price, const std::string& qty,
                        const std::string& amount, const std::string& delNo,
                        const std::string& storeCode) {
    return std::string(
               " INSERT INTO DELPSS13 (DEL_DATE, PR_BCODE, PR_NAME, PR_UNIT, PR_UP, "
               "PR_QTY, PR_AMT, POS_ID, RCT_CODE ) ") +
           " VALUES ( '" + date + "', '" + pos + "', '" + menu + "', '" + unit + "', " + price +
           ", " + qty + ", " + "          " + amount + ", '" + delNo + "', '" + storeCode + "' ) ";
}
std::string numbers(const std::string& price, const std::string& qty, const std::string& amount) {
    return deletedLine("d", "p", "m", "u", price, qty, amount, "n", "s");
}

// The result `sql` was recognised as, when it is a T.
template <class T, class Result>
T as(const Result& result, const std::string& sql) {
    if (const T* value = std::get_if<T>(&result)) {
        return *value;
    }
    if (const Refusal* no = std::get_if<Refusal>(&result)) {
        ADD_FAILURE() << "refused: " << no->text << "\nstatement: " << sql;
    } else {
        ADD_FAILURE() << "not what was expected: " << sql;
    }
    return {};
}

constexpr const char* kShapeRefused = "does not accept this statement shape";

TEST(SqlShapesTest, ValuesAreWhateverLiesBetweenTheFragments) {
    using T = NameLookup::Table;
    const struct {
        std::string sql;
        T table;
        std::string code, storeCode;
    } lookups[] = {
        {storeLookup("S0001"), T::Store, "S0001", ""},
        {depotLookup("H01", "S0001"), T::Depot, "H01", "S0001"},
        {counterLookup("01", "S0001"), T::Counter, "01", "S0001"},
        {counterLookup("카운터1", "가맹점"), T::Counter, "카운터1", "가맹점"},
        // Quotes are data; the classic injections are codes no store has.
        {storeLookup("''"), T::Store, "''", ""},
        {depotLookup("D'1", "S'1"), T::Depot, "D'1", "S'1"},
        {storeLookup("x'; DROP TABLE RCT; --"), T::Store, "x'; DROP TABLE RCT; --", ""},
        {depotLookup("x' OR '1'='1", "y' OR 'a'='a"), T::Depot, "x' OR '1'='1", "y' OR 'a'='a"},
        {" SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'x'; DELETE FROM RCT; SELECT 'y' ", T::Store,
         "x'; DELETE FROM RCT; SELECT 'y", ""},
        {storeLookup("x' UNION SELECT POS_NAME FROM POS WHERE '1'='1"), T::Store,
         "x' UNION SELECT POS_NAME FROM POS WHERE '1'='1", ""},
        // White space around the whole statement is let pass; inside the quotes it is the value's.
        {"\r\n\t SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'S1'", T::Store, "S1", ""},
        {"SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'S1'  \n", T::Store, "S1", ""},
        {storeLookup(" S1 "), T::Store, " S1 ", ""},
    };
    for (const auto& c : lookups) {
        const NameLookup got = as<NameLookup>(recogniseLookup(c.sql), c.sql);
        EXPECT_EQ(std::tie(got.table, got.code, got.storeCode),
                  std::tie(c.table, c.code, c.storeCode))
            << c.sql;
    }
    const struct {
        std::string sql, version, posId, storeCode;
    } reports[] = {
        {versionReport("1.0.19", "P'1", "S'1"), "1.0.19", "P'1", "S'1"},
        {versionReport("9', VELDON_VER_SDATE = Now() --", "01", "S1"),
         "9', VELDON_VER_SDATE = Now() --", "01", "S1"},
        {versionReport("1", "01", "S1") + " OR '1'='1'", "1", "01", "S1' OR '1'='1"},
        // A fragment that can only stand before its place splits nothing.
        {versionReport("1' AND  RCT_CODE = 'x", "01", "S1"), "1' AND  RCT_CODE = 'x", "01", "S1"},
        {versionReport("1", "01", "S1") + "\n", "1", "01", "S1"},
    };
    for (const auto& c : reports) {
        const auto got = as<VersionReport>(recogniseStatement(c.sql), c.sql);
        EXPECT_EQ(std::tie(got.version, got.posId, got.storeCode),
                  std::tie(c.version, c.posId, c.storeCode))
            << c.sql;
    }

    auto fields = [](const DeletedLine& l) {
        return std::tie(l.date, l.barcode, l.name, l.unit, l.price, l.quantity, l.amount, l.posId,
                        l.storeCode);
    };
    const struct {
        std::string sql;
        DeletedLine line;
    } lines[] = {
        {deletedLine("2024-03-01", "8801234567890", "김밥", "EA", "1500", "2", "3000", "7",
                     "S0001"),
         {"2024-03-01", "8801234567890", "김밥", "EA", 1500, 2, 3000, "7", "S0001"}},
        {deletedLine("", "", "", "", "0", "0", "0", "", ""), {"", "", "", "", 0, 0, 0, "", ""}},
        {numbers("-1500", "0.5", "1.5E+20"), {"d", "p", "m", "u", -1500, 0.5, 1.5e20, "n", "s"}},
        {"\t" + numbers("4545.25", "1e3", "-0.001"),
         {"d", "p", "m", "u", 4545.25, 1000, -0.001, "n", "s"}},
        {deletedLine("2024-03-01", "880'1", "Kim's \"noodle\"", "'", "1500", "2", "3000", "7'",
                     "S1"),
         {"2024-03-01", "880'1", "Kim's \"noodle\"", "'", 1500, 2, 3000, "7'", "S1"}},
    };
    for (const auto& c : lines) {
        EXPECT_EQ(fields(as<DeletedLine>(recogniseStatement(c.sql), c.sql)), fields(c.line))
            << c.sql;
    }
}

TEST(SqlShapesTest, OtherStatementsAndAmbiguousSplitsAreRefused) {
    auto refusal = [](bool lookup, const std::string& sql) {
        return lookup ? as<Refusal>(recogniseLookup(sql), sql).text
                      : as<Refusal>(recogniseStatement(sql), sql).text;
    };
    auto expectRefused = [&](bool lookup, const std::vector<std::string>& sqls,
                             const std::string& says) {
        for (const std::string& sql : sqls) {
            const std::string text = refusal(lookup, sql);
            EXPECT_NE(text.find(says), std::string::npos) << sql << ": " << text;
        }
    };
    // Near misses; ending in a comment or another statement makes no shape either.
    expectRefused(true,
                  {"", "   ", "SELECT * FROM RCT", " SELECT RCT_NAME FROM RCT",
                   " SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'S1",
                   " select rct_name from rct where rct_code = 'S1' ",
                   " SELECT RCT_NAME  FROM RCT WHERE RCT_CODE = 'S1' ",
                   " SELECT HCT_NAME FROM HCT WHERE HCT_CODE = 'H1' ",
                   counterLookup("01", "S1") + "AND 1=1", versionReport("1", "01", "S1"),
                   "DELETE FROM RCT", " SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'x' OR 1=1 -- ",
                   storeLookup("S1") + "; DELETE FROM RCT"},
                  std::string("GETSQL ") + kShapeRefused);
    std::string noDoubleBlank = versionReport("1", "01", "S1");
    noDoubleBlank.replace(noDoubleBlank.find("AND  RCT"), 8, "AND RCT");
    std::string noTenBlanks = numbers("1", "2", "3");
    noTenBlanks.replace(noTenBlanks.find(",           "), 12, ", ");
    expectRefused(
        false,
        {"", storeLookup("S1"), "DROP TABLE POS", " UPDATE POS SET VELDON_VER = '1'",
         " UPDATE POS SET VELDON_VER = '1' , VELDON_VER_SDATE = Now() WHERE POS_ID = '01'",
         " update pos set VELDON_VER = '1' , VELDON_VER_SDATE = Now() WHERE POS_ID = '01' "
         "AND  RCT_CODE = 'S1'",
         noDoubleBlank, noTenBlanks, " INSERT INTO DELPSS13 VALUES (1, 2, 3)",
         " INSERT INTO POS (POS_ID) VALUES ('x')"},
        std::string("PUTSQL ") + kShapeRefused);
    expectRefused(false, {numbers("1", "x", "1")}, "PR_QTY");  // names the column
    for (const char* bad : {"", " 1", "1 ", "abc", "1,5", "+1", ".5", "1.", "1e", "1e+", "--1",
                            "inf", "nan", "0x10", "1e999", "1500'", "'1500'", "1 500"}) {
        expectRefused(false,
                      {numbers(bad, "1", "1"), numbers("1", bad, "1"), numbers("1", "1", bad)},
                      kShapeRefused);
    }

    // A value holding a fixed fragment could be cut in more than one place.
    expectRefused(true,
                  {depotLookup("D1' AND RCT_CODE = 'S2", "S1"),
                   counterLookup("01", "S1' AND RCT_CODE = 'S2")},
                  "more than one way");
    expectRefused(
        false,
        {versionReport("1", "01' AND  RCT_CODE = 'S2", "S1"),
         versionReport("1", "01' , VELDON_VER_SDATE = Now() WHERE POS_ID = '02", "S1"),
         deletedLine("2024-03-01", "880", "A', 'B", "EA", "1500", "2", "3000", "7", "S1"),
         deletedLine("2024-03-01", "880", "menu", "EA", "1500", "2", "3000", "7", "S1', 'S2")},
        "more than one way");
}

TEST(SqlShapesTest, SplitCountsEveryWayIncludingOverlaps) {
    using Values = std::vector<std::string>;
    const struct {
        std::string sql;
        Values fragments, values;  // no values: refused
    } cases[] = {
        {"<||>", {"<", "|", "|", ">"}, {"", "", ""}},
        // Three bars for two places, and overlapping places of one fragment: more than one way.
        {"<a|b|c|d>", {"<", "|", "|", ">"}, {}},
        {"<xaaay>", {"<", "aa", ">"}, {}},
        // A later fragment that fits only one way makes the earlier one unambiguous.
        {"<a|b#c>", {"<", "|", "#", ">"}, {"a", "b", "c"}},
        {"<a#b|c>", {"<", "|", ">"}, {"a#b", "c"}},
        // First and last fragments must not overlap.
        {"<>", {"<>", "><"}, {}},
        {"<a>", {"<", "|", ">"}, {}},
    };
    for (const auto& c : cases) {
        const auto got = splitByFragments(c.sql, c.fragments);
        if (c.values.empty()) {
            EXPECT_TRUE(std::holds_alternative<Refusal>(got)) << c.sql;
        } else {
            EXPECT_EQ(as<Values>(got, c.sql), c.values);
        }
    }
}

TEST(SqlShapesTest, ExcerptKeepsRepliesValidText) {
    const struct {
        std::string text;
        std::size_t max;
        std::string shown;
    } cases[] = {
        {"abc", 10, "abc"},       {"abcdef", 3, "abc..."},
        {"가나", 4, "가..."},  // three bytes each: never half a character
        {"a\377b", 10, "a?b"},    {"a\340\200\200b", 10, "a???b"},  // overlong form
        {"\xea\xb0", 10, "??"},                                     // cut character
        {"a\nb\x7f", 10, "a?b?"}, {std::string("a\0b", 3), 10, "a?b"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(excerpt(c.text, c.max), c.shown) << c.text;
    }
}

}  // namespace
}  // namespace veldon::central
