#include "platform/jetdialect.h"

#include <gtest/gtest.h>

namespace veldon::jet {
namespace {

// The functions themselves are rewritten as the engines' queries need (database_test.cpp).
TEST(JetDialect, LeavesLiteralsNamesAndBlanksAlone) {
    EXPECT_EQ(toSqlite("x = FALSE OR y = TRUE"), "x = 0 OR y = (-1)");
    // Words inside literals, qualified names and a column merely called like a function stay.
    EXPECT_EQ(toSqlite("SELECT 'ISNULL(a) & TRUE' AS t, T.TRUE, ISNULL FROM X  WHERE a='it''s'"),
              "SELECT 'ISNULL(a) & TRUE' AS t, T.TRUE, ISNULL FROM X  WHERE a='it''s'");
    EXPECT_EQ(toSqlite("SELECT \"say \"\"hi\"\"\", #2024-03-05# FROM [Odd Name]"),
              "SELECT 'say \"hi\"', '2024-03-05' FROM [Odd Name]");
    EXPECT_EQ(toSqlite("SELECT \"it's\""), "SELECT 'it''s'");
}

TEST(JetDialect, ConcatenationTreatsNullAsEmptyAndKeepsJetPrecedence) {
    EXPECT_EQ(toSqlite("(D_ADDR1 & ' ' & D_ADDR2) AS ADDR"),
              "((ifnull(D_ADDR1,'') || ifnull(' ','') || ifnull(D_ADDR2,''))) AS ADDR");
    // Arithmetic binds tighter than '&', comparison looser.
    EXPECT_EQ(toSqlite("SELECT a + 1 & b FROM t WHERE c & d = 'x1'"),
              "SELECT (ifnull(a + 1,'') || ifnull(b,'')) FROM t WHERE (ifnull(c,'') || "
              "ifnull(d,'')) = 'x1'");
    // Function calls and groups are whole operands.
    EXPECT_EQ(toSqlite("f(a, b & c) & (x)"),
              "(ifnull(f(a, (ifnull(b,'') || ifnull(c,''))),'') || ifnull((x),''))");
}

TEST(JetDialect, FindsWhereARowIdentifierCanGo) {
    EXPECT_EQ(plainSelectInsertPoint(" SELECT a FROM CREDIT WHERE x"), 7u);
    EXPECT_FALSE(plainSelectInsertPoint("SELECT DISTINCT a FROM t"));
    EXPECT_FALSE(plainSelectInsertPoint("SELECT a FROM t GROUP BY a"));
    EXPECT_FALSE(plainSelectInsertPoint("SELECT a FROM t INNER JOIN u ON t.a = u.a"));
    EXPECT_FALSE(plainSelectInsertPoint("UPDATE t SET a = 1"));
}

TEST(JetDialect, FormatsDatesTheVbWay) {
    std::string out;
    ASSERT_TRUE(formatDate("2024-03-05 14:07:09", "yyyy-mm-dd", out));
    EXPECT_EQ(out, "2024-03-05");
    ASSERT_TRUE(formatDate("2024-03-05 14:07:09", "yymmddhhmmss", out));
    EXPECT_EQ(out, "240305140709");  // "mm" after an hour means minutes
    ASSERT_TRUE(formatDate("2024-3-5", "d/m/yy", out));
    EXPECT_EQ(out, "5/3/24");
    ASSERT_TRUE(formatDate("45356", "yyyy-mm-dd", out));  // an Access date serial
    EXPECT_EQ(out, "2024-03-05");
    EXPECT_FALSE(formatDate("not a date", "yyyy-mm-dd", out));
    EXPECT_FALSE(formatDate("2023-02-29", "yyyy-mm-dd", out));
}

TEST(JetDialect, CanonicalDatesKeepATimeOnlyWhenGiven) {
    EXPECT_EQ(canonicalDate("2024-3-5"), "2024-03-05");
    EXPECT_EQ(canonicalDate("2024-03-05 00:00:00"), "2024-03-05 00:00:00");
    EXPECT_EQ(canonicalDate("abc"), std::nullopt);
    EXPECT_EQ(dateFromSerial(45356.5), "2024-03-05 12:00:00");
    EXPECT_EQ(dateFromSerial(0), "1899-12-30");
}

}  // namespace
}  // namespace veldon::jet
