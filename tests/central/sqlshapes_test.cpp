// The statements of GETSQL and PUTSQL, built by the same concatenation the agent uses, and the
// ones a service must not take for them.
#include "central/sqlshapes.h"

#include <gtest/gtest.h>

#include <string>
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

NameLookup lookupOf(const std::string& sql) {
    auto r = recogniseLookup(sql);
    if (auto* refusal = std::get_if<Refusal>(&r)) {
        ADD_FAILURE() << "refused: " << refusal->text << "\nstatement: " << sql;
        return {};
    }
    return std::get<NameLookup>(r);
}

std::string lookupRefusal(const std::string& sql) {
    auto r = recogniseLookup(sql);
    if (!std::holds_alternative<Refusal>(r)) {
        ADD_FAILURE() << "accepted: " << sql;
        return {};
    }
    return std::get<Refusal>(r).text;
}

DeletedLine lineOf(const std::string& sql) {
    auto r = recogniseStatement(sql);
    if (auto* refusal = std::get_if<Refusal>(&r)) {
        ADD_FAILURE() << "refused: " << refusal->text << "\nstatement: " << sql;
        return {};
    }
    if (!std::holds_alternative<DeletedLine>(r)) {
        ADD_FAILURE() << "not a deleted line: " << sql;
        return {};
    }
    return std::get<DeletedLine>(r);
}

std::string statementRefusal(const std::string& sql) {
    auto r = recogniseStatement(sql);
    if (!std::holds_alternative<Refusal>(r)) {
        ADD_FAILURE() << "accepted: " << sql;
        return {};
    }
    return std::get<Refusal>(r).text;
}

constexpr const char* kShapeRefused = "does not accept this statement shape";

TEST(SqlShapesTest, NameLookupsOfTheMainWindow) {
    NameLookup store = lookupOf(storeLookup("S0001"));
    EXPECT_EQ(store.table, NameLookup::Table::Store);
    EXPECT_EQ(store.code, "S0001");
    EXPECT_EQ(store.storeCode, "");
    EXPECT_EQ(store.field(), "RCT_NAME");

    NameLookup depot = lookupOf(depotLookup("H01", "S0001"));
    EXPECT_EQ(depot.table, NameLookup::Table::Depot);
    EXPECT_EQ(depot.code, "H01");
    EXPECT_EQ(depot.storeCode, "S0001");
    EXPECT_EQ(depot.field(), "HCT_NAME");

    NameLookup counter = lookupOf(counterLookup("01", "S0001"));
    EXPECT_EQ(counter.table, NameLookup::Table::Counter);
    EXPECT_EQ(counter.code, "01");
    EXPECT_EQ(counter.storeCode, "S0001");
    EXPECT_EQ(counter.field(), "POS_NAME");

    // Empty text boxes give empty codes, Korean ones stay as they are.
    EXPECT_EQ(lookupOf(storeLookup("")).code, "");
    EXPECT_EQ(lookupOf(depotLookup("", "")).storeCode, "");
    EXPECT_EQ(lookupOf(counterLookup("카운터1", "가맹점")).storeCode, "가맹점");
}

TEST(SqlShapesTest, QuotesInValuesAreData) {
    EXPECT_EQ(lookupOf(storeLookup("O'Brien")).code, "O'Brien");
    EXPECT_EQ(lookupOf(storeLookup("'")).code, "'");
    EXPECT_EQ(lookupOf(storeLookup("''")).code, "''");
    EXPECT_EQ(lookupOf(depotLookup("D'1", "S'1")).code, "D'1");
    EXPECT_EQ(lookupOf(depotLookup("D'1", "S'1")).storeCode, "S'1");
    EXPECT_EQ(lookupOf(counterLookup("\"01\"", "S1")).code, "\"01\"");

    const VersionReport v =
        std::get<VersionReport>(recogniseStatement(versionReport("1.0.19", "P'1", "S'1")));
    EXPECT_EQ(v.version, "1.0.19");
    EXPECT_EQ(v.posId, "P'1");
    EXPECT_EQ(v.storeCode, "S'1");

    const DeletedLine line = lineOf(deletedLine("2024-03-01", "880'1", "Kim's \"noodle\"", "'",
                                                "1500", "2", "3000", "7'", "S1"));
    EXPECT_EQ(line.barcode, "880'1");
    EXPECT_EQ(line.name, "Kim's \"noodle\"");
    EXPECT_EQ(line.unit, "'");
    EXPECT_EQ(line.posId, "7'");
}

TEST(SqlShapesTest, InjectionAttemptsAreOnlyCodes) {
    // The classic attempts come out as codes that no store has; nothing of them is SQL.
    EXPECT_EQ(lookupOf(storeLookup("x' OR '1'='1")).code, "x' OR '1'='1");
    EXPECT_EQ(lookupOf(storeLookup("x'; DROP TABLE RCT; --")).code, "x'; DROP TABLE RCT; --");
    EXPECT_EQ(lookupOf(depotLookup("x' OR '1'='1", "y' OR 'a'='a")).storeCode, "y' OR 'a'='a");
    EXPECT_EQ(lookupOf(" SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'x'; DELETE FROM RCT; "
                       "SELECT 'y' ")
                  .code,
              "x'; DELETE FROM RCT; SELECT 'y");
    EXPECT_EQ(lookupOf(storeLookup("x' UNION SELECT POS_NAME FROM POS WHERE '1'='1")).code,
              "x' UNION SELECT POS_NAME FROM POS WHERE '1'='1");

    const VersionReport v = std::get<VersionReport>(
        recogniseStatement(versionReport("9', VELDON_VER_SDATE = Now() --", "01", "S1")));
    EXPECT_EQ(v.version, "9', VELDON_VER_SDATE = Now() --");
    EXPECT_EQ(v.posId, "01");
    EXPECT_EQ(
        std::get<VersionReport>(recogniseStatement(versionReport("1", "01", "S1") + " OR '1'='1'"))
            .storeCode,
        "S1' OR '1'='1");

    // A statement that merely ends in a comment or another statement is no shape at all.
    EXPECT_NE(lookupRefusal(" SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'x' OR 1=1 -- ")
                  .find(kShapeRefused),
              std::string::npos);
    EXPECT_NE(lookupRefusal(storeLookup("S1") + "; DELETE FROM RCT").find(kShapeRefused),
              std::string::npos);
}

TEST(SqlShapesTest, AmbiguousSplitsAreRefused) {
    // A value that holds the middle fragment could be cut in two places.
    std::string r = lookupRefusal(depotLookup("D1' AND RCT_CODE = 'S2", "S1"));
    EXPECT_NE(r.find(kShapeRefused), std::string::npos) << r;
    EXPECT_NE(r.find("more than one way"), std::string::npos) << r;
    EXPECT_NE(
        lookupRefusal(counterLookup("01", "S1' AND RCT_CODE = 'S2")).find("more than one way"),
        std::string::npos);

    r = statementRefusal(versionReport("1", "01' AND  RCT_CODE = 'S2", "S1"));
    EXPECT_NE(r.find("more than one way"), std::string::npos) << r;
    // A fragment that can only stand before its place splits nothing.
    EXPECT_EQ(std::get<VersionReport>(
                  recogniseStatement(versionReport("1' AND  RCT_CODE = 'x", "01", "S1")))
                  .version,
              "1' AND  RCT_CODE = 'x");
    r = statementRefusal(
        versionReport("1", "01' , VELDON_VER_SDATE = Now() WHERE POS_ID = '02", "S1"));
    EXPECT_NE(r.find("more than one way"), std::string::npos) << r;

    r = statementRefusal(
        deletedLine("2024-03-01", "880", "A', 'B", "EA", "1500", "2", "3000", "7", "S1"));
    EXPECT_NE(r.find("more than one way"), std::string::npos) << r;
    r = statementRefusal(
        deletedLine("2024-03-01", "880", "menu", "EA", "1500", "2", "3000", "7", "S1', 'S2"));
    EXPECT_NE(r.find("more than one way"), std::string::npos) << r;
}

TEST(SqlShapesTest, DeletedLinesAndTheirNumbers) {
    const DeletedLine line = lineOf(deletedLine("2024-03-01", "8801234567890", "김밥", "EA", "1500",
                                                "2", "3000", "7", "S0001"));
    EXPECT_EQ(line.date, "2024-03-01");
    EXPECT_EQ(line.barcode, "8801234567890");
    EXPECT_EQ(line.name, "김밥");
    EXPECT_EQ(line.unit, "EA");
    EXPECT_EQ(line.price, 1500);
    EXPECT_EQ(line.quantity, 2);
    EXPECT_EQ(line.amount, 3000);
    EXPECT_EQ(line.posId, "7");
    EXPECT_EQ(line.storeCode, "S0001");

    const DeletedLine empty = lineOf(deletedLine("", "", "", "", "0", "0", "0", "", ""));
    EXPECT_EQ(empty.name, "");
    EXPECT_EQ(empty.amount, 0);

    const DeletedLine odd =
        lineOf(deletedLine("d", "p", "m", "u", "-1500", "0.5", "1.5E+20", "n", "s"));
    EXPECT_EQ(odd.price, -1500);
    EXPECT_EQ(odd.quantity, 0.5);
    EXPECT_EQ(odd.amount, 1.5e20);
    EXPECT_EQ(lineOf(deletedLine("d", "p", "m", "u", "4545.25", "1e3", "-0.001", "n", "s")).amount,
              -0.001);

    for (const char* bad : {"", " 1", "1 ", "abc", "1,5", "+1", ".5", "1.", "1e", "1e+", "--1",
                            "inf", "nan", "0x10", "1e999", "1500'", "'1500'", "1 500"}) {
        for (int place = 0; place < 3; ++place) {
            std::string n[3] = {"1", "1", "1"};
            n[place] = bad;
            const std::string r =
                statementRefusal(deletedLine("d", "p", "m", "u", n[0], n[1], n[2], "n", "s"));
            EXPECT_NE(r.find(kShapeRefused), std::string::npos)
                << "\"" << bad << "\" in place " << place << ": " << r;
        }
    }
    // The refusal names the column of a wrong number.
    EXPECT_NE(
        statementRefusal(deletedLine("d", "p", "m", "u", "1", "x", "1", "n", "s")).find("PR_QTY"),
        std::string::npos);
}

TEST(SqlShapesTest, OtherStatementsAreRefused) {
    for (const std::string& sql : std::vector<std::string>{
             "",
             "   ",
             "SELECT * FROM RCT",
             " SELECT RCT_NAME FROM RCT",
             " SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'S1",
             " select rct_name from rct where rct_code = 'S1' ",
             " SELECT RCT_NAME  FROM RCT WHERE RCT_CODE = 'S1' ",
             " SELECT HCT_NAME FROM HCT WHERE HCT_CODE = 'H1' ",
             " SELECT POS_NAME FROM POS WHERE POS_ID = '01' AND RCT_CODE = 'S1' AND 1=1",
             versionReport("1", "01", "S1"),
             "DELETE FROM RCT",
         }) {
        const std::string r = lookupRefusal(sql);
        EXPECT_NE(r.find("GETSQL " + std::string(kShapeRefused)), std::string::npos)
            << sql << ": " << r;
    }
    std::string noDoubleBlank = versionReport("1", "01", "S1");
    noDoubleBlank.replace(noDoubleBlank.find("AND  RCT"), 8, "AND RCT");
    std::string noTenBlanks = deletedLine("d", "p", "m", "u", "1", "2", "3", "n", "s");
    noTenBlanks.replace(noTenBlanks.find(",           "), 12, ", ");
    for (const std::string& sql : std::vector<std::string>{
             "",
             storeLookup("S1"),
             "DROP TABLE POS",
             " UPDATE POS SET VELDON_VER = '1'",
             " UPDATE POS SET VELDON_VER = '1' , VELDON_VER_SDATE = Now() WHERE POS_ID = '01'",
             " update pos set VELDON_VER = '1' , VELDON_VER_SDATE = Now() WHERE POS_ID = '01' "
             "AND  RCT_CODE = 'S1'",
             noDoubleBlank,
             noTenBlanks,
             " INSERT INTO DELPSS13 VALUES (1, 2, 3)",
             " INSERT INTO POS (POS_ID) VALUES ('x')",
         }) {
        const std::string r = statementRefusal(sql);
        EXPECT_NE(r.find("PUTSQL " + std::string(kShapeRefused)), std::string::npos)
            << sql << ": " << r;
    }
}

TEST(SqlShapesTest, OnlyWhiteSpaceAroundTheWholeStatementIsLenient) {
    EXPECT_EQ(lookupOf("\r\n\t SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'S1'").code, "S1");
    EXPECT_EQ(lookupOf("SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'S1'  \n").code, "S1");
    // Blanks inside the quotes belong to the value.
    EXPECT_EQ(lookupOf(storeLookup(" S1 ")).code, " S1 ");
    EXPECT_EQ(std::get<VersionReport>(recogniseStatement(versionReport("1", "01", "S1") + "\n"))
                  .storeCode,
              "S1");
    EXPECT_EQ(lineOf("\t" + deletedLine("d", "p", "m", "u", "1", "2", "3", "n", "s")).storeCode,
              "s");
}

TEST(SqlShapesTest, SplitCountsEveryWayIncludingOverlaps) {
    using Values = std::vector<std::string>;
    auto split = [](std::string_view sql, const Values& fragments) {
        return splitByFragments(sql, fragments);
    };
    EXPECT_EQ(std::get<Values>(split("<a|b|c>", {"<", "|", "|", ">"})), (Values{"a", "b", "c"}));
    EXPECT_EQ(std::get<Values>(split("<||>", {"<", "|", "|", ">"})), (Values{"", "", ""}));
    EXPECT_EQ(std::get<Values>(split("<>", {"<", ">"})), (Values{""}));
    EXPECT_EQ(std::get<Values>(split("<|>", {"<", "|", ">"})), (Values{"", ""}));
    // Three bars for two places, and overlapping places of one fragment: more than one way.
    EXPECT_TRUE(std::holds_alternative<Refusal>(split("<a|b|c|d>", {"<", "|", "|", ">"})));
    EXPECT_TRUE(std::holds_alternative<Refusal>(split("<xaaay>", {"<", "aa", ">"})));
    // A later fragment that fits only one way makes the earlier one unambiguous.
    EXPECT_EQ(std::get<Values>(split("<a|b#c>", {"<", "|", "#", ">"})), (Values{"a", "b", "c"}));
    EXPECT_EQ(std::get<Values>(split("<a#b|c>", {"<", "|", ">"})), (Values{"a#b", "c"}));
    // First and last fragments must not overlap.
    EXPECT_TRUE(std::holds_alternative<Refusal>(split("<>", {"<>", "><"})));
    EXPECT_TRUE(std::holds_alternative<Refusal>(split("<a>", {"<", "|", ">"})));
}

TEST(SqlShapesTest, ExcerptKeepsRepliesValidText) {
    EXPECT_EQ(excerpt("abc", 10), "abc");
    EXPECT_EQ(excerpt("abcdef", 3), "abc...");
    EXPECT_EQ(excerpt("가나", 4), "가...");  // three bytes each: never half a character
    EXPECT_EQ(excerpt("a\xff"
                      "b",
                      10),
              "a?b");
    EXPECT_EQ(excerpt("a\xe0\x80\x80"
                      "b",
                      10),
              "a???b");                        // overlong form
    EXPECT_EQ(excerpt("\xea\xb0", 10), "??");  // cut character
    EXPECT_EQ(excerpt("a\nb\x7f", 10), "a?b?");
    EXPECT_EQ(excerpt(std::string("a\0b", 3), 10), "a?b");
}

}  // namespace
}  // namespace veldon::central
