// Reading the reply texts that the central service writes back, in one place, so that the engines
// do not parse replies each in their own way.
#pragma once

#include <optional>
#include <string>

namespace veldon {

// A sale upload's reply saying the service holds the sale already: "1:중복DATA", blanks around
// it allowed.
bool isDuplicateSaleReply(const std::string& reply);

// The fields of a reply separated by ":", as the card replies are read.
struct ReplyFields {
    std::string first;
    std::optional<std::string> second;  // absent when the reply holds no ":"
};
ReplyFields replyFields(const std::string& reply);

// A card reply of the form "<k>:중복DATA": the row k of the batch that the service holds already.
// Empty when the second field (trimmed) is not "중복DATA". Raises error 13 (type mismatch) when it
// is, but the first field is no whole number.
std::optional<long> duplicateCardRow(const std::string& reply);

// The standard restaurant engine's duplicate test for one approval: the second field (trimmed) is
// "중복DATA", or the reply contains "Duplicate" (letter case as written). A reply without ":" is
// read by the second test alone.
bool isDuplicateCardReply(const std::string& reply);

}  // namespace veldon
