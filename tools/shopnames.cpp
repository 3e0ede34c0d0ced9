// The names of shop kinds and server settings, shared by the commands that make shops (Linux) and
// those that run one (every platform).
#include <algorithm>
#include <cctype>
#include <charconv>

#include "tools/demodb.h"
#include "tools/makeshop.h"

namespace veldon::demodb {

std::string_view kindName(Kind kind) {
    return kind == Kind::Restaurant ? "restaurant" : "retail";
}

std::string_view databaseFileName(Kind kind) {
    return kind == Kind::Restaurant ? "FOOD.MDB" : "POS.MDB";
}

std::optional<std::string> hostOfServer(std::string_view text) {
    for (std::string_view scheme : {"http://", "https://"}) {
        if (text.starts_with(scheme)) {
            text.remove_prefix(scheme.size());
        }
    }
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);

    // Digits only: from_chars alone would take "+80" or "80x" as far as it goes.
    unsigned number = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (port.empty() || port.size() > 5 || ec != std::errc() || end != port.data() + port.size() ||
        number < 1 || number > 65535) {
        return std::nullopt;
    }

    auto all = [](std::string_view s, auto allowed) {
        return !s.empty() && std::all_of(s.begin(), s.end(), [&](char c) {
            return allowed(static_cast<unsigned char>(c));
        });
    };
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        const std::string_view inner = host.substr(1, host.size() - 2);
        if (all(inner, [](unsigned char c) { return std::isxdigit(c) || c == ':' || c == '.'; })) {
            return std::string(inner);
        }
        return std::nullopt;
    }
    if (all(host,
            [](unsigned char c) { return std::isalnum(c) || c == '.' || c == '-' || c == '_'; })) {
        return std::string(host);
    }
    return std::nullopt;
}

}  // namespace veldon::demodb
