// Values read from a database, and the text forms that every part of the program shares.
//
// Every value that leaves the shop travels as text. The forms are fixed with the central service:
// whole numbers in decimal, other numbers in their shortest decimal form without exponent, Booleans
// as True/False. Dates are stored as text already ("YYYY-MM-DD", "YYYY-MM-DD HH:MM:SS").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace veldon {

class Value {
public:
    enum class Kind { Null, Boolean, Integer, Real, Text };

    Value() = default;  // Null
    static Value boolean(bool b);
    static Value integer(std::int64_t i);
    static Value real(double d);
    static Value text(std::string s);

    Kind kind() const { return static_cast<Kind>(m_data.index()); }
    bool isNull() const { return kind() == Kind::Null; }
    bool isNumber() const { return kind() == Kind::Integer || kind() == Kind::Real; }

    // The text form. A Null value has none: it raises "Invalid use of Null" (error 94), as
    // assigning Null to a text does on Windows.
    std::string toText() const;
    // The text form, or `whenNull` for a Null value.
    std::string textOr(std::string_view whenNull) const;
    // The numeric value: a number as it is, a Boolean as -1 or 0, a text by numericValue(),
    // Null as 0.
    double toNumber() const;

    std::int64_t asInteger() const { return std::get<std::int64_t>(m_data); }
    double asReal() const { return std::get<double>(m_data); }
    bool asBoolean() const { return std::get<bool>(m_data); }
    const std::string& asText() const { return std::get<std::string>(m_data); }

    bool operator==(const Value&) const = default;

private:
    std::variant<std::monostate, bool, std::int64_t, double, std::string> m_data;
};

// The numeric value of a text: the number spelled by its leading characters (leading blanks
// skipped, an optional sign, digits, an optional decimal part and exponent), 0 when it does not
// begin with a number. "2 " gives 2, " 1 " gives 1, "abc" gives 0, "-909.5x" gives -909.5.
double numericValue(std::string_view text);

// Shortest decimal text that reads back to the same double, "." as decimal point, no exponent,
// no trailing ".0": 0.5, 4545.25, -1000. Not-a-number and infinities, which no database value
// holds, give "NaN", "Infinity" and "-Infinity".
std::string numberToText(double value);
std::string integerToText(std::int64_t value);

// Round to the nearest whole number, a half to the even neighbour.
double roundHalfEven(double value);

// The text without its leading and trailing blanks (spaces), as the program's Trim does.
std::string trimBlanks(std::string_view text);
// The first `n` characters of a UTF-8 text (characters, not bytes), as the program's Left does.
std::string leftChars(std::string_view text, std::size_t n);

}  // namespace veldon
