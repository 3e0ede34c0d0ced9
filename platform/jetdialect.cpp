#include "platform/jetdialect.h"

#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "platform/asciitext.h"
#include "platform/clock.h"

namespace veldon::jet {

namespace {

enum class TokenKind { Blank, Word, Number, Text, Bracketed, Symbol };

struct Token {
    TokenKind kind;
    std::string text;       // as it will be written out
    std::size_t close = 0;  // for "(": index of the matching ")"
};

bool isWordStart(unsigned char c) {
    return std::isalpha(c) || c == '_' || c >= 0x80;
}
bool isWordChar(unsigned char c) {
    return std::isalnum(c) || c == '_' || c >= 0x80;
}

// A literal of `body` between single quotes, quotes doubled.
std::string singleQuoted(std::string_view body) {
    std::string out = "'";
    for (char c : body) {
        out += c;
        if (c == '\'') {
            out += '\'';
        }
    }
    return out + "'";
}

std::vector<Token> tokenize(std::string_view sql) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    while (i < sql.size()) {
        unsigned char c = static_cast<unsigned char>(sql[i]);
        std::size_t start = i;
        if (std::isspace(c)) {
            while (i < sql.size() && std::isspace(static_cast<unsigned char>(sql[i]))) {
                ++i;
            }
            tokens.push_back({TokenKind::Blank, std::string(sql.substr(start, i - start))});
        } else if (c == '\'') {
            ++i;
            while (i < sql.size()) {
                if (sql[i] == '\'') {
                    if (i + 1 < sql.size() && sql[i + 1] == '\'') {
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                ++i;
            }
            tokens.push_back({TokenKind::Text, std::string(sql.substr(start, i - start))});
        } else if (c == '"' || c == '#') {
            // Jet's other value delimiters become an SQL text literal.
            char quote = static_cast<char>(c);
            std::string body;
            ++i;
            while (i < sql.size()) {
                if (sql[i] == quote) {
                    if (quote == '"' && i + 1 < sql.size() && sql[i + 1] == '"') {
                        body += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                body += sql[i++];
            }
            tokens.push_back({TokenKind::Text, singleQuoted(body)});
        } else if (c == '[') {
            while (i < sql.size() && sql[i] != ']') {
                ++i;
            }
            if (i < sql.size()) {
                ++i;
            }
            tokens.push_back({TokenKind::Bracketed, std::string(sql.substr(start, i - start))});
        } else if (isWordStart(c)) {
            while (i < sql.size() && isWordChar(static_cast<unsigned char>(sql[i]))) {
                ++i;
            }
            tokens.push_back({TokenKind::Word, std::string(sql.substr(start, i - start))});
        } else if (std::isdigit(c) || (c == '.' && i + 1 < sql.size() &&
                                       std::isdigit(static_cast<unsigned char>(sql[i + 1])))) {
            while (i < sql.size() &&
                   (std::isalnum(static_cast<unsigned char>(sql[i])) || sql[i] == '.')) {
                ++i;
            }
            tokens.push_back({TokenKind::Number, std::string(sql.substr(start, i - start))});
        } else {
            std::string_view two = sql.substr(i, 2);
            if (two == "<>" || two == "<=" || two == ">=" || two == "!=" || two == "||") {
                i += 2;
            } else {
                ++i;
            }
            tokens.push_back({TokenKind::Symbol, std::string(sql.substr(start, i - start))});
        }
    }
    // Match parentheses; an unbalanced statement is left for SQLite to report.
    std::vector<std::size_t> open;
    for (std::size_t t = 0; t < tokens.size(); ++t) {
        if (tokens[t].kind != TokenKind::Symbol) {
            continue;
        }
        if (tokens[t].text == "(") {
            open.push_back(t);
        } else if (tokens[t].text == ")" && !open.empty()) {
            tokens[open.back()].close = t;
            open.pop_back();
        }
    }
    for (std::size_t t : open) {
        tokens[t].close = tokens.size();
    }
    return tokens;
}

std::size_t nextNonBlank(const std::vector<Token>& tokens, std::size_t t) {
    while (t < tokens.size() && tokens[t].kind == TokenKind::Blank) {
        ++t;
    }
    return t;
}

bool isCallTo(const std::vector<Token>& tokens, std::size_t t) {
    std::size_t n = nextNonBlank(tokens, t + 1);
    return n < tokens.size() && tokens[n].kind == TokenKind::Symbol && tokens[n].text == "(";
}

// Words and symbols that end an operand of '&': everything that binds more loosely than
// concatenation in Jet, and the clause keywords.
bool endsConcatOperand(const Token& token) {
    static const std::array<const char*, 44> words = {
        "AND",    "OR",    "NOT",  "XOR",     "EQV",   "IMP",   "SELECT", "DISTINCT", "FROM",
        "WHERE",  "AS",    "ON",   "BETWEEN", "IN",    "LIKE",  "IS",     "THEN",     "ELSE",
        "WHEN",   "CASE",  "END",  "HAVING",  "BY",    "GROUP", "ORDER",  "VALUES",   "SET",
        "JOIN",   "INNER", "LEFT", "RIGHT",   "OUTER", "UNION", "INTO",   "UPDATE",   "DELETE",
        "INSERT", "TOP",   "ASC",  "DESC",    "LIMIT", "ALL",   "EXISTS", "ESCAPE"};
    if (token.kind == TokenKind::Word) {
        std::string u = asciiUppered(token.text);
        for (const char* w : words) {
            if (u == w) {
                return true;
            }
        }
        return false;
    }
    if (token.kind == TokenKind::Symbol) {
        static const std::array<const char*, 10> symbols = {
            "=", "<>", "<", ">", "<=", ">=", "!=", ",", ";", "||"};
        for (const char* s : symbols) {
            if (token.text == s) {
                return true;
            }
        }
    }
    return false;
}

// A VB date format as an SQLite strftime format: yyyy, mm, dd, hh, nn, ss ("mm" after an hour
// meaning minutes) and separators. Empty when the format needs more than strftime offers.
std::string strftimeFormat(std::string_view vb) {
    std::string out;
    bool afterHour = false;
    for (std::size_t i = 0; i < vb.size();) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(vb[i])));
        std::size_t n = 0;
        while (i + n < vb.size() && std::tolower(static_cast<unsigned char>(vb[i + n])) == c) {
            ++n;
        }
        if (std::isalpha(static_cast<unsigned char>(c))) {
            const bool fits = (c == 'y' && n == 4) || (c != 'y' && n == 2);
            if (!fits || std::string_view("ymdhns").find(c) == std::string_view::npos) {
                return {};
            }
            if (c == 'y') {
                out += "%Y";
            } else if (c == 'm') {
                out += afterHour ? "%M" : "%m";
                afterHour = false;
            } else if (c == 'd') {
                out += "%d";
            } else if (c == 'h') {
                out += "%H";
                afterHour = true;
            } else if (c == 'n') {
                out += "%M";
            } else {
                out += "%S";
            }
            i += n;
        } else if (c == '%' || c == '\'') {
            return {};
        } else {
            out += vb[i++];
        }
    }
    return out;
}

// The text of a literal token without its quotes (quotes doubled inside).
std::string literalBody(const std::string& literal) {
    std::string body;
    for (std::size_t i = 1; i + 1 < literal.size(); ++i) {
        body += literal[i];
        if (literal[i] == '\'') {
            ++i;
        }
    }
    return body;
}

class Writer {
public:
    Writer(const std::vector<Token>& tokens, SqliteFunctions functions)
        : m_tokens(tokens), m_functions(functions) {}

    // Writes tokens [begin, end) of one parenthesis level.
    std::string level(std::size_t begin, std::size_t end) {
        std::string out;
        std::size_t segmentStart = begin;
        std::size_t t = begin;
        while (t < end) {
            const Token& token = m_tokens[t];
            if (endsConcatOperand(token)) {
                out += segment(segmentStart, t);
                out += single(t);
                segmentStart = ++t;
            } else if (token.kind == TokenKind::Symbol && token.text == "(") {
                t = std::min(token.close, end - 1) + 1;
            } else {
                ++t;
            }
        }
        out += segment(segmentStart, end);
        return out;
    }

private:
    // One expression segment: operands joined by '&' become one concatenation.
    std::string segment(std::size_t begin, std::size_t end) {
        std::vector<std::size_t> amps;
        for (std::size_t t = begin; t < end; ++t) {
            const Token& token = m_tokens[t];
            if (token.kind == TokenKind::Symbol && token.text == "(") {
                t = std::min(token.close, end - 1);
            } else if (token.kind == TokenKind::Symbol && token.text == "&") {
                amps.push_back(t);
            }
        }
        if (amps.empty()) {
            return plain(begin, end);
        }
        // Keep the blanks around the whole segment outside the rewritten expression.
        std::size_t first = begin;
        while (first < end && m_tokens[first].kind == TokenKind::Blank) {
            ++first;
        }
        std::size_t last = end;
        while (last > first && m_tokens[last - 1].kind == TokenKind::Blank) {
            --last;
        }
        std::string out = plain(begin, first) + "(";
        std::size_t operandStart = first;
        amps.push_back(last);
        for (std::size_t k = 0; k < amps.size(); ++k) {
            if (k > 0) {
                out += " || ";
            }
            out += "ifnull(" + trimmed(plain(operandStart, amps[k])) + ",'')";
            operandStart = amps[k] + 1;
        }
        return out + ")" + plain(last, end);
    }

    std::string plain(std::size_t begin, std::size_t end) {
        std::string out;
        for (std::size_t t = begin; t < end;) {
            const Token& token = m_tokens[t];
            if (token.kind == TokenKind::Symbol && token.text == "(") {
                std::size_t close = std::min(token.close, end);
                out += "(" + level(t + 1, close);
                if (close < end) {
                    out += ")";
                }
                t = close + 1;
            } else if (auto call = builtInCall(t, end)) {
                out += call->first;
                t = call->second;
            } else {
                out += single(t);
                ++t;
            }
        }
        return out;
    }

    std::string single(std::size_t t) {
        const Token& token = m_tokens[t];
        if (token.kind != TokenKind::Word) {
            return token.text;
        }
        std::string u = asciiUppered(token.text);
        if (isCallTo(m_tokens, t)) {
            if (u == "ISNULL") {
                return "jet_isnull";
            }
            if (u == "FORMAT") {
                return "jet_format";
            }
            if (u == "CDATE") {
                return "jet_cdate";
            }
            return token.text;
        }
        bool qualified =
            t > 0 && m_tokens[t - 1].kind == TokenKind::Symbol && m_tokens[t - 1].text == ".";
        if (!qualified && u == "TRUE") {
            return "(-1)";
        }
        if (!qualified && u == "FALSE") {
            return "0";
        }
        return token.text;
    }

    // With SQLite's own functions: a call of IsNull, Format or CDate written as an expression of
    // built-in functions, and the token after the call. Empty for anything else.
    std::optional<std::pair<std::string, std::size_t>> builtInCall(std::size_t t, std::size_t end) {
        const Token& token = m_tokens[t];
        if (m_functions != SqliteFunctions::BuiltIn || token.kind != TokenKind::Word ||
            !isCallTo(m_tokens, t)) {
            return std::nullopt;
        }
        const std::string name = asciiUppered(token.text);
        if (name != "ISNULL" && name != "FORMAT" && name != "CDATE") {
            return std::nullopt;
        }
        const std::size_t open = nextNonBlank(m_tokens, t + 1);
        const std::size_t close = m_tokens[open].close;
        if (close >= end) {
            return std::nullopt;  // unbalanced: left for SQLite to report
        }
        std::vector<std::pair<std::size_t, std::size_t>> args;
        std::size_t argStart = open + 1;
        for (std::size_t k = open + 1; k < close; ++k) {
            const Token& inner = m_tokens[k];
            if (inner.kind == TokenKind::Symbol && inner.text == "(") {
                k = inner.close;
            } else if (inner.kind == TokenKind::Symbol && inner.text == ",") {
                args.emplace_back(argStart, k);
                argStart = k + 1;
            }
        }
        args.emplace_back(argStart, close);
        const std::string a = "(" + trimmed(level(args[0].first, args[0].second)) + ")";
        const std::string number = "typeof" + a + " IN ('integer','real')";
        const std::string serial = a + " + 2415018.5";  // Access's day 0 as a Julian day number
        std::string sql;
        if (name == "ISNULL" && args.size() == 1) {
            sql = "(-(" + a + " IS NULL))";
        } else if (name == "CDATE" && args.size() == 1) {
            sql = "(CASE WHEN " + number + " THEN (CASE WHEN " + a + " = CAST(" + a +
                  " AS INTEGER) THEN date(" + serial + ") ELSE datetime(" + serial +
                  ") END) WHEN instr(" + a + ", ':') THEN datetime(" + a + ") ELSE date(" + a +
                  ") END)";
        } else if (name == "FORMAT" && args.size() == 2) {
            const std::size_t f = nextNonBlank(m_tokens, args[1].first);
            const bool literal = f < args[1].second && m_tokens[f].kind == TokenKind::Text &&
                                 nextNonBlank(m_tokens, f + 1) == args[1].second;
            const std::string format =
                literal ? strftimeFormat(literalBody(m_tokens[f].text)) : std::string();
            if (format.empty()) {
                return std::nullopt;
            }
            const std::string f2 = singleQuoted(format);
            sql = "(CASE WHEN " + a + " IS NULL THEN NULL WHEN " + number + " THEN strftime(" + f2 +
                  ", " + serial + ") ELSE coalesce(strftime(" + f2 + ", " + a + "), " + a +
                  ") END)";
        } else {
            return std::nullopt;
        }
        return std::make_pair(sql, close + 1);
    }

    static std::string trimmed(const std::string& s) {
        std::size_t b = s.find_first_not_of(" \t\r\n");
        if (b == std::string::npos) {
            return "NULL";  // an empty operand: let SQLite see a value, not a syntax error
        }
        std::size_t e = s.find_last_not_of(" \t\r\n");
        return s.substr(b, e - b + 1);
    }

    const std::vector<Token>& m_tokens;
    SqliteFunctions m_functions;
};

bool parseNumber(std::string_view s, double& out) {
    std::string copy(s);
    char* end = nullptr;
    out = std::strtod(copy.c_str(), &end);
    return !copy.empty() && end == copy.c_str() + copy.size();
}

// A date value given as date text or as an Access serial number.
bool toDateTime(std::string_view value, DateTime& out, bool& hasTime) {
    std::string text(value);
    if (parseDateTime(text, out)) {
        hasTime = text.find(':') != std::string::npos;
        return true;
    }
    double serial = 0;
    if (parseNumber(value, serial) && std::isfinite(serial) && serial > -657435 &&
        serial < 2958466) {
        std::string s = dateFromSerial(serial);
        hasTime = s.size() > 10;
        return parseDateTime(s, out);
    }
    return false;
}

std::string twoDigits(int v) {
    char b[8];
    std::snprintf(b, sizeof b, "%02d", v % 100);
    return b;
}

}  // namespace

std::string toSqlite(std::string_view jetSql, SqliteFunctions functions) {
    std::vector<Token> tokens = tokenize(jetSql);
    return Writer(tokens, functions).level(0, tokens.size());
}

std::optional<std::size_t> plainSelectInsertPoint(std::string_view sqliteSql) {
    std::vector<Token> tokens = tokenize(sqliteSql);
    std::size_t first = nextNonBlank(tokens, 0);
    if (first >= tokens.size() || asciiUppered(tokens[first].text) != "SELECT") {
        return std::nullopt;
    }
    for (const Token& token : tokens) {
        if (token.kind != TokenKind::Word) {
            continue;
        }
        std::string u = asciiUppered(token.text);
        if (u == "DISTINCT" || u == "GROUP" || u == "UNION" || u == "TOP" || u == "JOIN") {
            return std::nullopt;
        }
    }
    std::size_t position = 0;
    for (std::size_t t = 0; t <= first; ++t) {
        position += tokens[t].text.size();
    }
    return position;
}

bool formatDate(std::string_view value, std::string_view format, std::string& out) {
    DateTime dt;
    bool hasTime = false;
    if (!toDateTime(value, dt, hasTime)) {
        return false;
    }
    out.clear();
    bool afterHour = false;
    std::size_t i = 0;
    auto run = [&](char c) {
        std::size_t n = 0;
        while (i + n < format.size() &&
               std::tolower(static_cast<unsigned char>(format[i + n])) == c) {
            ++n;
        }
        return n;
    };
    while (i < format.size()) {
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(format[i])));
        std::size_t n =
            (c == 'y' || c == 'm' || c == 'd' || c == 'h' || c == 'n' || c == 's') ? run(c) : 0;
        if (c == 'y' && n >= 3) {
            out += std::to_string(dt.year);
        } else if (c == 'y') {
            out += twoDigits(dt.year);
        } else if (c == 'm' && afterHour) {
            out += n >= 2 ? twoDigits(dt.minute) : std::to_string(dt.minute);
            afterHour = false;
        } else if (c == 'm') {
            out += n >= 2 ? twoDigits(dt.month) : std::to_string(dt.month);
        } else if (c == 'd') {
            out += n >= 2 ? twoDigits(dt.day) : std::to_string(dt.day);
        } else if (c == 'h') {
            out += n >= 2 ? twoDigits(dt.hour) : std::to_string(dt.hour);
            afterHour = true;
        } else if (c == 'n') {
            out += n >= 2 ? twoDigits(dt.minute) : std::to_string(dt.minute);
        } else if (c == 's') {
            out += n >= 2 ? twoDigits(dt.second) : std::to_string(dt.second);
        } else {
            out += format[i];
            n = 1;
        }
        i += n;
    }
    return true;
}

std::optional<std::string> canonicalDate(std::string_view value) {
    DateTime dt;
    bool hasTime = false;
    if (!toDateTime(value, dt, hasTime)) {
        return std::nullopt;
    }
    return hasTime ? dt.toDateTimeText() : dt.toDateText();
}

std::string dateFromSerial(double serial) {
    using namespace std::chrono;
    // Access counts days from 1899-12-30; a negative serial's fraction is still the time of day.
    double whole = std::floor(serial);
    double fraction = std::fabs(serial - whole);
    if (serial < 0) {
        whole = std::ceil(serial);
        fraction = std::fabs(serial - whole);
    }
    long seconds = std::lround(fraction * 86400.0);
    if (seconds >= 86400) {
        seconds -= 86400;
        whole += serial < 0 ? -1 : 1;
    }
    sys_days epoch = sys_days{year{1899} / December / 30};
    year_month_day ymd{epoch + days{static_cast<long>(whole)}};
    DateTime dt{static_cast<int>(ymd.year()),
                static_cast<int>(static_cast<unsigned>(ymd.month())),
                static_cast<int>(static_cast<unsigned>(ymd.day())),
                static_cast<int>(seconds / 3600),
                static_cast<int>(seconds / 60 % 60),
                static_cast<int>(seconds % 60)};
    return dt.toText();
}

}  // namespace veldon::jet
