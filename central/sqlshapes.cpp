#include "central/sqlshapes.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

namespace veldon::central {

namespace {

// The agent's statements, cut at their values.
const std::vector<std::string> kStoreLookup = {" SELECT RCT_NAME FROM RCT WHERE RCT_CODE = '",
                                               "' "};
const std::vector<std::string> kDepotLookup = {" SELECT HCT_NAME FROM HCT WHERE HCT_CODE = '",
                                               "' AND RCT_CODE = '", "' "};
const std::vector<std::string> kCounterLookup = {" SELECT POS_NAME FROM POS WHERE POS_ID = '",
                                                 "' AND RCT_CODE = '", "' "};
const std::vector<std::string> kVersionReport = {
    " UPDATE POS SET VELDON_VER = '",
    "' , VELDON_VER_SDATE = Now() WHERE POS_ID = '",
    "' AND  RCT_CODE = '",
    "'",
};
const std::vector<std::string> kDeletedLine = {
    " INSERT INTO DELPSS13 (DEL_DATE, PR_BCODE, PR_NAME, PR_UNIT, PR_UP, PR_QTY, PR_AMT, POS_ID, "
    "RCT_CODE )  VALUES ( '",
    "', '",
    "', '",
    "', '",
    "', ",
    ", ",
    ",           ",  // ten blanks before the amount, as the agent writes it
    ", '",
    "', '",
    "' ) ",
};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string_view trimLeft(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) {
        s.remove_prefix(1);
    }
    return s;
}

std::string_view trimRight(std::string_view s) {
    while (!s.empty() && isBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

Refusal notAccepted(const char* method, std::string_view sql) {
    return Refusal{std::string(method) + " does not accept this statement shape: \"" +
                   excerpt(trimLeft(sql), 100) + "\""};
}

// A wholly decimal number: -?digits(.digits)?([eE][+-]?digits)?, finite.
std::optional<double> decimalNumber(std::string_view text) {
    std::size_t i = 0;
    auto digits = [&] {
        const std::size_t from = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            ++i;
        }
        return i > from;
    };
    if (i < text.size() && text[i] == '-') {
        ++i;
    }
    if (!digits()) {
        return std::nullopt;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        if (!digits()) {
            return std::nullopt;
        }
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            ++i;
        }
        if (!digits()) {
            return std::nullopt;
        }
    }
    if (i != text.size()) {
        return std::nullopt;
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string NameLookup::field() const {
    switch (table) {
        case Table::Store:
            return "RCT_NAME";
        case Table::Depot:
            return "HCT_NAME";
        case Table::Counter:
            return "POS_NAME";
    }
    return {};
}

std::string excerpt(std::string_view text, std::size_t maxBytes) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80                    ? 1
                             : lead >= 0xC2 && lead <= 0xDF ? 2
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
        bool valid = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        }
        if (valid && length == 3) {
            const auto second = static_cast<unsigned char>(text[i + 1]);
            valid = !(lead == 0xE0 && second < 0xA0) && !(lead == 0xED && second >= 0xA0);
        } else if (valid && length == 4) {
            const auto second = static_cast<unsigned char>(text[i + 1]);
            valid = !(lead == 0xF0 && second < 0x90) && !(lead == 0xF4 && second >= 0x90);
        }
        if (!valid) {
            length = 1;
        }
        if (out.size() + (valid ? length : 1) > maxBytes) {
            return out + "...";
        }
        if (valid && lead >= 0x20 && lead != 0x7F) {
            out.append(text.substr(i, length));
        } else {
            out += '?';  // control characters and broken UTF-8 would spoil the answer or the dump
        }
        i += length;
    }
    return out;
}

std::variant<std::vector<std::string>, Refusal> splitByFragments(
    std::string_view sql, const std::vector<std::string>& fragments) {
    if (fragments.size() < 2) {
        throw std::invalid_argument("a statement shape needs a first and a last fragment");
    }
    const std::string_view s = trimRight(trimLeft(sql));
    const std::string_view first = trimLeft(fragments.front());
    const std::string_view last = trimRight(fragments.back());
    if (s.size() < first.size() + last.size() || !startsWith(s, first) ||
        s.substr(s.size() - last.size()) != last) {
        return Refusal{"the statement does not begin and end as its shape does"};
    }
    const std::size_t begin = first.size();
    const std::size_t end = s.size() - last.size();

    // Every place of every middle fragment, then how many ways each place can be completed by
    // the later fragments (counting stops at 2: one way is a statement, more is a guess).
    const std::size_t middles = fragments.size() - 2;
    std::vector<std::vector<std::size_t>> places(middles);
    for (std::size_t m = 0; m < middles; ++m) {
        const std::string_view f = fragments[m + 1];
        if (f.empty()) {
            throw std::invalid_argument("a middle fragment of a statement shape is empty");
        }
        for (std::size_t p = s.find(f, begin); p != std::string_view::npos && p + f.size() <= end;
             p = s.find(f, p + 1)) {
            places[m].push_back(p);
        }
    }
    std::vector<std::vector<int>> ways(middles);
    for (std::size_t m = middles; m-- > 0;) {
        ways[m].assign(places[m].size(), 1);
        if (m + 1 == middles) {
            continue;
        }
        // Suffix sums of the next fragment's ways, so that each place looks up its count at once.
        const std::vector<std::size_t>& next = places[m + 1];
        std::vector<int> fromHere(next.size() + 1, 0);
        for (std::size_t l = next.size(); l-- > 0;) {
            fromHere[l] = std::min(2, fromHere[l + 1] + ways[m + 1][l]);
        }
        for (std::size_t j = 0; j < places[m].size(); ++j) {
            const std::size_t after = places[m][j] + fragments[m + 1].size();
            const auto l = static_cast<std::size_t>(
                std::lower_bound(next.begin(), next.end(), after) - next.begin());
            ways[m][j] = fromHere[l];
        }
    }
    int total = 1;
    if (middles > 0) {
        total = 0;
        for (int w : ways[0]) {
            total = std::min(2, total + w);
        }
    }
    if (total == 0) {
        return Refusal{"the statement's fixed fragments are not all in place"};
    }
    if (total > 1) {
        return Refusal{
            "a value contains a fixed fragment of the statement, so it splits in more "
            "than one way"};
    }

    std::vector<std::string> values;
    std::size_t from = begin;
    for (std::size_t m = 0; m < middles; ++m) {
        std::size_t j = 0;
        while (places[m][j] < from || ways[m][j] == 0) {
            ++j;
        }
        values.emplace_back(s.substr(from, places[m][j] - from));
        from = places[m][j] + fragments[m + 1].size();
    }
    values.emplace_back(s.substr(from, end - from));
    return values;
}

std::variant<NameLookup, Refusal> recogniseLookup(std::string_view sql) {
    struct Shape {
        const std::vector<std::string>* fragments;
        NameLookup::Table table;
    };
    const Shape shapes[] = {{&kStoreLookup, NameLookup::Table::Store},
                            {&kDepotLookup, NameLookup::Table::Depot},
                            {&kCounterLookup, NameLookup::Table::Counter}};
    const std::string_view s = trimLeft(sql);
    for (const Shape& shape : shapes) {
        if (!startsWith(s, trimLeft(shape.fragments->front()))) {
            continue;
        }
        auto split = splitByFragments(s, *shape.fragments);
        if (auto* refusal = std::get_if<Refusal>(&split)) {
            return Refusal{notAccepted("GETSQL", sql).text + " (" + refusal->text + ")"};
        }
        auto& values = std::get<std::vector<std::string>>(split);
        NameLookup lookup;
        lookup.table = shape.table;
        lookup.code = std::move(values[0]);
        if (values.size() > 1) {
            lookup.storeCode = std::move(values[1]);
        }
        return lookup;
    }
    return notAccepted("GETSQL", sql);
}

std::variant<VersionReport, DeletedLine, Refusal> recogniseStatement(std::string_view sql) {
    const std::string_view s = trimLeft(sql);
    if (startsWith(s, trimLeft(kVersionReport.front()))) {
        auto split = splitByFragments(s, kVersionReport);
        if (auto* refusal = std::get_if<Refusal>(&split)) {
            return Refusal{notAccepted("PUTSQL", sql).text + " (" + refusal->text + ")"};
        }
        auto& values = std::get<std::vector<std::string>>(split);
        return VersionReport{std::move(values[0]), std::move(values[1]), std::move(values[2])};
    }
    if (startsWith(s, trimLeft(kDeletedLine.front()))) {
        auto split = splitByFragments(s, kDeletedLine);
        if (auto* refusal = std::get_if<Refusal>(&split)) {
            return Refusal{notAccepted("PUTSQL", sql).text + " (" + refusal->text + ")"};
        }
        auto& values = std::get<std::vector<std::string>>(split);
        DeletedLine line;
        line.date = std::move(values[0]);
        line.barcode = std::move(values[1]);
        line.name = std::move(values[2]);
        line.unit = std::move(values[3]);
        const char* columns[] = {"PR_UP", "PR_QTY", "PR_AMT"};
        double* numbers[] = {&line.price, &line.quantity, &line.amount};
        for (std::size_t k = 0; k < 3; ++k) {
            const std::optional<double> n = decimalNumber(values[4 + k]);
            if (!n) {
                return Refusal{notAccepted("PUTSQL", sql).text + " (the " + columns[k] +
                               " value \"" + excerpt(values[4 + k], 40) +
                               "\" is not a decimal number)"};
            }
            *numbers[k] = *n;
        }
        line.posId = std::move(values[7]);
        line.storeCode = std::move(values[8]);
        return line;
    }
    return notAccepted("PUTSQL", sql);
}

}  // namespace veldon::central
