// Name comparison as Windows does it for registry and profile names: ASCII letters without regard
// to case, every other byte (Korean in UTF-8 among them) exactly.
#pragma once

#include <string>
#include <string_view>

namespace veldon {

inline char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
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

}  // namespace veldon
