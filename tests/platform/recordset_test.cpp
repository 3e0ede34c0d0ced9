// Recordset behaviour that does not depend on a backend: the view, filters, search and storage.
#include "platform/recordset.h"

#include <gtest/gtest.h>

#include "platform/error.h"

namespace veldon {
namespace {

std::unique_ptr<Recordset> idsAndAmounts() {
    auto rs = std::make_unique<Recordset>(std::vector<std::string>{"ID", "AMT", "NOTE"});
    // ID is text in some rows and numeric in others, as SQLite columns may be.
    const char* ids[] = {"0001", "17", "17", "2412050001", "x y"};
    for (int i = 0; i < 5; ++i) {
        rs->addText(ids[i]);
        rs->addReal(i + 0.5);
        if (i == 2) {
            rs->addNull();
        } else {
            rs->addText("n" + std::to_string(i));
        }
        rs->endRow();
    }
    rs->addInteger(17);
    rs->addInteger(-3);
    rs->addBoolean(true);
    rs->endRow();
    rs->finishLoading();
    return rs;
}

TEST(Recordset, FiltersMatchTextAsWrittenAndNumbersByValue) {
    auto rs = idsAndAmounts();
    // Field names without regard to case; quoted values with blanks; Null never matches.
    const std::pair<const char*, long> cases[] = {
        {"ID = 17", 3},     {"ID = 0001", 1}, {"ID = 1", 0},      {"id = 'x y'", 1},
        {"NOTE = 'n2'", 0}, {"", 6},          {" AMT = 2.50 ", 1}};
    for (const auto& [filter, count] : cases) {
        rs->setFilter(filter);
        EXPECT_EQ(rs->recordCount(), count) << filter;
        EXPECT_EQ(rs->eof(), count == 0) << filter;
    }
    EXPECT_EQ(rs->field("ID").toText(), "17");
}

TEST(Recordset, FindSearchesForwardFromTheCurrentRowWithinTheView) {
    auto rs = idsAndAmounts();
    rs->find("ID = '17'");
    EXPECT_EQ(rs->field("AMT").toText(), "1.5");
    rs->find("ID = '17'");  // the current row itself counts
    EXPECT_EQ(rs->field("AMT").toText(), "1.5");
    rs->moveNext();
    rs->find("ID = 17");
    EXPECT_EQ(rs->field("AMT").toText(), "2.5");
    rs->moveNext();
    rs->find("ID = '0001'");  // only forward
    EXPECT_TRUE(rs->eof());

    rs->setFilter("ID = 17");
    rs->moveNext();
    rs->find("AMT = -3");
    ASSERT_FALSE(rs->eof());
    EXPECT_EQ(rs->field("NOTE").toText(), "True");
    rs->moveFirst();
    rs->find("AMT = 3.5");  // a row outside the filter is not found
    EXPECT_TRUE(rs->eof());
}

TEST(Recordset, MovingPastTheEndAndReadingThereAreErrors) {
    auto rs = idsAndAmounts();
    rs->moveLast();
    EXPECT_EQ(rs->field("AMT").toText(), "-3");
    rs->moveNext();
    EXPECT_TRUE(rs->eof());
    try {
        rs->moveNext();
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), errc::NoCurrentRecord);
    }
    rs->close();
    try {
        rs->recordCount();
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), errc::ObjectClosed);
    }
}

TEST(Recordset, RowsLargerThanABlockAndManyRowsSurviveStorage) {
    Recordset rs({"K", "BIG"});
    std::string big(3 << 20, 'z');  // larger than one arena block
    for (int i = 0; i < 200000; ++i) {
        rs.addInteger(i - 100000);
        if (i % 50000 == 7) {
            rs.addText(big);
        } else {
            rs.addText("row " + std::to_string(i));
        }
        rs.endRow();
    }
    rs.finishLoading();
    EXPECT_EQ(rs.recordCount(), 200000);
    rs.setFilter("K = -49993");
    ASSERT_EQ(rs.recordCount(), 1);
    EXPECT_EQ(rs.field("BIG").toText().size(), big.size());
    rs.setFilter("K = 99999");
    EXPECT_EQ(rs.field("BIG").toText(), "row 199999");
    // Compact: a small row takes a few bytes per field (a Value per field would take 80 bytes a
    // row), and a big row no more than its size plus the tail of the block it leaves behind.
    EXPECT_LT(rs.storageBytes(), 4 * big.size() + 200000 * 32 + (4 << 20));
}

}  // namespace
}  // namespace veldon
