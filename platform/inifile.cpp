#include "platform/inifile.h"

#include <fstream>
#include <iterator>
#include <string_view>

#include "platform/asciitext.h"
#include "platform/textcodec.h"

namespace veldon {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string_view withoutQuotes(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

std::size_t utf8CharacterLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    return length < text.size() ? length : text.size();
}

// The longest leading part of `text` that takes at most `limit` bytes in CP949, whole characters
// only, as the caller's buffer of the Windows call would hold it.
std::string cutToCp949Bytes(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return std::string(text);  // CP949 never takes more bytes than UTF-8
    }
    std::size_t used = 0;
    std::size_t end = 0;
    while (end < text.size()) {
        const std::size_t length = utf8CharacterLength(text.substr(end));
        const std::size_t bytes = length == 1 ? 1 : utf8ToCp949(text.substr(end, length)).size();
        if (used + bytes > limit) {
            break;
        }
        used += bytes;
        end += length;
    }
    return std::string(text.substr(0, end));
}

std::string readText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return {};
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!isValidUtf8(bytes)) {
        return cp949ToUtf8(bytes);
    }
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.erase(0, 3);
    }
    return bytes;
}

// The value of `key` in the first section named `section`; false when there is none.
bool findValue(std::string_view text, std::string_view section, std::string_view key,
               std::string_view& value) {
    bool inSection = false;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of("\r\n");
        const std::string_view line = trimmed(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            const std::size_t close = line.rfind(']');
            if (close == std::string_view::npos) {
                continue;
            }
            if (inSection) {
                return false;  // only the first section of that name counts
            }
            inSection = equalsIgnoringAsciiCase(trimmed(line.substr(1, close - 1)), section);
            continue;
        }
        const std::size_t equals = line.find('=');
        if (!inSection || equals == std::string_view::npos) {
            continue;
        }
        if (equalsIgnoringAsciiCase(trimmed(line.substr(0, equals)), key)) {
            value = withoutQuotes(trimmed(line.substr(equals + 1)));
            return true;
        }
    }
    return false;
}

}  // namespace

std::string readProfileString(const std::filesystem::path& file, const std::string& section,
                              const std::string& key, const std::string& defaultValue,
                              std::size_t maxBytes) {
    if (maxBytes == 0) {
        return {};
    }
    const std::string text = readText(file);
    std::string_view value;
    if (!findValue(text, trimmed(section), trimmed(key), value)) {
        value = defaultValue;
    }
    return cutToCp949Bytes(value, maxBytes - 1);
}

}  // namespace veldon
