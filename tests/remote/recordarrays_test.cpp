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
    tpe.resize(22);
    EXPECT_EQ(tpe, TextArray(22));
    TextTable tac(1, 26);
    tac(0, 25) = "U1";
    tac.resize(3, 26);
    EXPECT_EQ(tac, TextTable(3, 26));
    tac(2, 25) = "x";
    const TextTable& readOnly = tac;
    EXPECT_EQ(readOnly(2, 25), "x");
    const std::function<void()> outside[] = {[&] { tpe(22); }, [&] { tac(3, 0) = "x"; },
                                             [&] { tac(0, 26); }, [&] { readOnly(3, 0); }};
    for (const auto& access : outside) {
        EXPECT_EQ(errorNumberOf(access), 9);
    }
}

}  // namespace
}  // namespace veldon
