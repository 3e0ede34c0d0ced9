#include "remote/recordarrays.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/error.h"

namespace veldon {
namespace {

int errorNumberOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Error& e) {
        return static_cast<int>(e.number());
    }
    return 0;
}

TEST(RecordArrays, ResizingEmptiesEveryElementAndBoundsAreChecked) {
    TextArray tpe(24);
    tpe(23) = "last";
    EXPECT_EQ(errorNumberOf([&] { tpe(24) = "x"; }), 9);
    tpe.resize(22);
    EXPECT_EQ(tpe.size(), 22u);
    EXPECT_EQ(tpe(0), "");
    EXPECT_EQ(errorNumberOf([&] { tpe(22); }), 9);

    TextTable tac(1, 26);
    tac(0, 25) = "U1";
    EXPECT_EQ(errorNumberOf([&] { tac(1, 0) = "a row too many"; }), 9);
    EXPECT_EQ(errorNumberOf([&] { tac(0, 26); }), 9);
    tac.resize(3, 26);
    EXPECT_EQ(tac(0, 25), "");
    tac(2, 0) = "x";
    EXPECT_EQ(tac.rows(), 3u);
    const TextTable& readOnly = tac;
    EXPECT_EQ(readOnly(2, 0), "x");
    EXPECT_EQ(errorNumberOf([&] { readOnly(3, 0); }), 9);
}

}  // namespace
}  // namespace veldon
