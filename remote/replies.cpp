#include "remote/replies.h"

#include "platform/error.h"
#include "platform/value.h"

namespace veldon {

bool isDuplicateSaleReply(const std::string& reply) {
    return trimBlanks(reply) == "1:중복DATA";
}

ReplyFields replyFields(const std::string& reply) {
    ReplyFields fields;
    const std::size_t first = reply.find(':');
    if (first == std::string::npos) {
        fields.first = reply;
        return fields;
    }
    fields.first = reply.substr(0, first);
    const std::size_t second = reply.find(':', first + 1);
    fields.second = reply.substr(
        first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    return fields;
}

std::optional<long> duplicateCardRow(const std::string& reply) {
    const ReplyFields fields = replyFields(reply);
    if (!fields.second || trimBlanks(*fields.second) != "중복DATA") {
        return std::nullopt;
    }
    const std::string row = trimBlanks(fields.first);
    char* end = nullptr;
    const long k = std::strtol(row.c_str(), &end, 10);
    if (row.empty() || *end != '\0') {
        throw Error(errc::TypeMismatch, "Type mismatch (row \"" + fields.first +
                                            "\" of the card reply \"" + reply + "\")");
    }
    return k;
}

bool isDuplicateCardReply(const std::string& reply) {
    const ReplyFields fields = replyFields(reply);
    if (fields.second && trimBlanks(*fields.second) == "중복DATA") {
        return true;
    }
    return reply.find("Duplicate") != std::string::npos;
}

}  // namespace veldon
