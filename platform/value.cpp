#include "platform/value.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "platform/error.h"

namespace veldon {

Value Value::boolean(bool b) {
    Value v;
    v.m_data = b;
    return v;
}

Value Value::integer(std::int64_t i) {
    Value v;
    v.m_data = i;
    return v;
}

Value Value::real(double d) {
    Value v;
    v.m_data = d;
    return v;
}

Value Value::text(std::string s) {
    Value v;
    v.m_data = std::move(s);
    return v;
}

std::string Value::toText() const {
    switch (kind()) {
        case Kind::Null:
            throw Error(errc::InvalidUseOfNull, "Invalid use of Null");
        case Kind::Boolean:
            return asBoolean() ? "True" : "False";
        case Kind::Integer:
            return integerToText(asInteger());
        case Kind::Real:
            return numberToText(asReal());
        case Kind::Text:
            return asText();
    }
    return {};
}

std::string Value::textOr(std::string_view whenNull) const {
    return isNull() ? std::string(whenNull) : toText();
}

double Value::toNumber() const {
    switch (kind()) {
        case Kind::Null:
            return 0;
        case Kind::Boolean:
            return asBoolean() ? -1 : 0;
        case Kind::Integer:
            return static_cast<double>(asInteger());
        case Kind::Real:
            return asReal();
        case Kind::Text:
            return numericValue(asText());
    }
    return 0;
}

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

double numericValue(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) {
        ++i;
    }
    // Collect the longest prefix that is a number: [sign] digits [. digits] [e [sign] digits].
    std::string number;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        number += text[i++];
    }
    bool digits = false;
    while (i < text.size() && isDigit(text[i])) {
        number += text[i++];
        digits = true;
    }
    if (i < text.size() && text[i] == '.') {
        number += text[i++];
        while (i < text.size() && isDigit(text[i])) {
            number += text[i++];
            digits = true;
        }
    }
    if (!digits) {
        return 0;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E' || text[i] == 'd' || text[i] == 'D')) {
        std::size_t j = i + 1;
        std::string exponent = "e";
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) {
            exponent += text[j++];
        }
        if (j < text.size() && isDigit(text[j])) {
            while (j < text.size() && isDigit(text[j])) {
                exponent += text[j++];
            }
            number += exponent;
        }
    }
    return std::strtod(number.c_str(), nullptr);
}

std::string integerToText(std::int64_t value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string numberToText(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-Infinity" : "Infinity";
    }
    if (value == 0) {
        return "0";  // also for -0
    }
    // Fixed notation with the fewest digits that read back to the same value.
    char buffer[512];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    return std::string(buffer, result.ptr);
}

double roundHalfEven(double value) {
    return std::nearbyint(value);
}

std::string trimBlanks(std::string_view text) {
    std::size_t begin = text.find_first_not_of(' ');
    if (begin == std::string_view::npos) {
        return {};
    }
    std::size_t end = text.find_last_not_of(' ');
    return std::string(text.substr(begin, end - begin + 1));
}

std::string leftChars(std::string_view text, std::size_t n) {
    std::size_t i = 0;
    for (std::size_t chars = 0; i < text.size() && chars < n; ++chars) {
        ++i;
        // Continuation bytes of a UTF-8 sequence belong to the character before them.
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) {
            ++i;
        }
    }
    return std::string(text.substr(0, i));
}

}  // namespace veldon
