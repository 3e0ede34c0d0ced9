#include "remote/wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "platform/error.h"
#include "remote/replies.h"

namespace veldon::wire {
namespace {

TEST(Wire, ArgumentsTravelInTheirJsonForms) {
    const std::string body =
        encodeRequest({TextArray({"2403050001", "", "소비자"}), TextTable(2, 2, {"", "", "", "x"}),
                       std::string("1:중복DATA"), std::int64_t{-1}});
    EXPECT_EQ(body, R"({"args":[["2403050001","","소비자"],[["",""],["","x"]],"1:중복DATA",-1]})");
}

TEST(Wire, MalformedRequestsSayWhatIsWrong) {
    auto reason = [](const std::string& body) {
        try {
            decodeRequest(body);
        } catch (const ProtocolError& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    for (const auto& [body, said] : std::vector<std::pair<const char*, const char*>>{
             {"{not json", "not JSON"},
             {R"({"args":[1.5])", "not JSON"},
             {R"({"arguments":[]})", "no \"args\""},
             {R"({"args":[1.5]})", "argument 0"},
             {R"({"args":["a",[["a","b"],["c"]]]})", "row 1"},
             {R"({"args":[["a",1]]})", "element 1"},
             {R"({"args":[[["a",null]]]})", "(0,1)"},
             {R"({"args":[[["a","b"],["c",1,"d"]]]})", "argument 0: row 1 is not a row of 2 texts"},
             {R"({"args":[[["a"],"b"]]})", "argument 0: row 1 is not a row of 1 texts"},
             {R"({"args":[[1,"a"]]})", "argument 0: elements must be texts or rows of texts"},
             {R"({"args":[9223372036854775808]})",
              "argument 0 is neither a text, a whole number nor an array"},
             {R"({"args":[1.5],"x":{"args":[]},"args":["a"]})", "accepted"}}) {  // the last counts
        EXPECT_NE(reason(body).find(said), std::string::npos) << body << ": " << reason(body);
    }
}

TEST(Wire, DecodingStopsAtItsLimitsBeforeTheBodyEnds) {
    const std::string big(std::size_t{1} << 20, 'x');
    const std::string body = R"({"args":[["a","b"],[["c","d","e"]],")" + big + '"';  // unclosed
    std::vector<std::size_t> told;
    auto tell = [&](std::size_t bytes) {
        told.push_back(bytes);
        return true;
    };
    auto outcome = [&](const DecodeLimits& limits, const std::string& text) -> std::string {
        try {
            decodeRequest(text, limits);
        } catch (const DecodeLimitError& e) {
            return e.what();
        } catch (const DecodeBudgetError&) {
            return "short of memory";
        } catch (const ProtocolError&) {
            return "not JSON";
        }
        return "accepted";
    };
    EXPECT_EQ(outcome({.maxElements = 5}, body), "the request holds more than 5 texts");
    EXPECT_EQ(outcome({.maxElements = 6}, body), "not JSON");
    EXPECT_EQ(outcome({.maxSlots = 2}, body), "argument 1: a row holds more than 2 texts");
    EXPECT_EQ(outcome({.maxSlots = 3}, body), "not JSON");
    EXPECT_EQ(outcome({.reserve = [](std::size_t) { return false; }}, body), "short of memory");
    EXPECT_EQ(outcome({.reserve = tell}, body + "]}"), "accepted");
    EXPECT_EQ(std::accumulate(told.begin(), told.end(), std::size_t{0}),
              3 * sizeof(Argument) + (1 + 1) * sizeof(std::string) +
                  (1 + 1 + 2) * sizeof(std::string) + big.size() + 1);
    EXPECT_LE(*std::max_element(told.begin(), told.end()), big.size());
}

TEST(Wire, AnswersCarryResultsOrRows) {
    const Answer set = decodeAnswer(
        R"({"result":{"fields":["RCT_NAME"],"rows":[["데모 식당"],[null]]}})");  // no byref
    const RowSet& rows = std::get<RowSet>(set.result);
    EXPECT_EQ(rows.fields, std::vector<std::string>{"RCT_NAME"});
    EXPECT_EQ(rows.rows[0][0], "데모 식당");
    EXPECT_FALSE(rows.rows[1][0].has_value());

    for (const char* bad :
         {R"({"result":1})", R"({"byref":{}})", R"({"result":true,"byref":{"x":"1"}})",
          R"({"result":{"fields":["A"],"rows":[["1","2"]]}})", "<html>"}) {
        EXPECT_THROW(decodeAnswer(bad), ProtocolError) << bad;
    }
    EXPECT_EQ(decodeError(encodeError(438, "no such method")),
              std::make_pair(438L, std::string("no such method")));
    EXPECT_FALSE(decodeError("{}"));
}

TEST(Wire, CallPathsEncodeWhatUrlsCannotHold) {
    EXPECT_EQ(callPath("lumora.demon", "PUTSQL"), "/rds/lumora.demon/PUTSQL");
    EXPECT_EQ(callPath("개체 1", "a/b"), "/rds/%EA%B0%9C%EC%B2%B4%201/a%2Fb");
    EXPECT_EQ(parseCallPath(callPath("개체 1", "a/b")),
              std::make_pair(std::string("개체 1"), std::string("a/b")));
    EXPECT_FALSE(parseCallPath("/rds/onlyprogid"));
    EXPECT_FALSE(parseCallPath("/other/a/b"));
    EXPECT_FALSE(parseCallPath("/rds/a/b/c"));
    EXPECT_FALSE(parseCallPath("/rds/a%2/b"));
}

}  // namespace
}  // namespace veldon::wire

namespace veldon {
namespace {

TEST(Replies, DuplicatesAreReadAsTheEnginesReadThem) {
    EXPECT_TRUE(isDuplicateSaleReply("1:중복DATA"));
    EXPECT_TRUE(isDuplicateSaleReply("  1:중복DATA   "));
    EXPECT_FALSE(isDuplicateSaleReply("2:중복DATA"));
    EXPECT_FALSE(isDuplicateSaleReply(""));

    EXPECT_EQ(duplicateCardRow("1:중복DATA"), 1);
    EXPECT_EQ(duplicateCardRow(" 2 : 중복DATA :more"), 2);
    EXPECT_EQ(duplicateCardRow("9:timeout"), std::nullopt);
    EXPECT_EQ(duplicateCardRow("no colon"), std::nullopt);
    EXPECT_THROW(duplicateCardRow("x:중복DATA"), Error);

    EXPECT_TRUE(isDuplicateCardReply("1:중복DATA"));
    EXPECT_TRUE(isDuplicateCardReply("0:Duplicate entry"));
    EXPECT_TRUE(isDuplicateCardReply("Duplicate"));  // no ":": read by the word alone
    EXPECT_FALSE(isDuplicateCardReply("0:duplicate entry"));
    EXPECT_FALSE(isDuplicateCardReply("9:timeout"));
    EXPECT_FALSE(isDuplicateCardReply(""));
}

}  // namespace
}  // namespace veldon
