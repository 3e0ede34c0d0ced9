// Letter case of names (SQL words, field names, registry, profile and connection string names),
// as Windows treats them: ASCII letters without regard to case, every other byte (Korean in UTF-8
// among them) exactly. Unlike std::toupper/std::tolower, these do not depend on the C locale,
// which the Qt program sets from the user's environment.
#pragma once

#include <string>
#include <string_view>

namespace veldon {

inline char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline char asciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

inline bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

inline std::string asciiLowered(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) {
        c = asciiLower(c);
    }
    return lowered;
}

inline std::string asciiUppered(std::string_view text) {
    std::string uppered(text);
    for (char& c : uppered) {
        c = asciiUpper(c);
    }
    return uppered;
}

}  // namespace veldon
