#include "remote/wire.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <charconv>
#include <limits>
#include <optional>

namespace veldon::wire {

using nlohmann::json;

namespace {

json toJson(const Argument& arg) {
    return std::visit(
        [](const auto& v) -> json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::int64_t>) {
                return v;
            } else if constexpr (std::is_same_v<T, TextArray>) {
                return v.elements();
            } else {
                json rows = json::array();
                for (std::size_t r = 0; r < v.rows(); ++r) {
                    json row = json::array();
                    for (std::size_t s = 0; s < v.slots(); ++s) {
                        row.push_back(v(r, s));
                    }
                    rows.push_back(std::move(row));
                }
                return rows;
            }
        },
        arg);
}

// Builds the arguments of a request as the parser reports the body, with no document in between.
// Depth counts the containers open: the root object is 1, the "args" array 2, an argument's array
// 3, a row of a two-dimensional one 4. Anything outside "args" is only walked over.
class RequestReader final : public json::json_sax_t {
public:
    explicit RequestReader(const DecodeLimits& limits) : m_limits(limits) {}

    bool null() override { return value(Kind::Other); }
    bool boolean(bool) override { return value(Kind::Other); }
    bool number_integer(number_integer_t v) override { return value(Kind::Whole, nullptr, v); }
    bool number_unsigned(number_unsigned_t v) override {
        if (v > static_cast<number_unsigned_t>(std::numeric_limits<std::int64_t>::max())) {
            return value(Kind::Other);
        }
        return value(Kind::Whole, nullptr, static_cast<std::int64_t>(v));
    }
    bool number_float(number_float_t, const string_t&) override { return value(Kind::Other); }
    bool string(string_t& text) override { return value(Kind::Text, &text); }
    bool binary(binary_t&) override { return value(Kind::Other); }
    bool start_object(std::size_t) override { return value(Kind::Object); }
    bool start_array(std::size_t) override { return value(Kind::Array); }
    bool end_object() override { return end(); }
    bool end_array() override { return end(); }
    bool key(string_t& name) override {
        if (m_depth == 1) {
            m_argsNext = name == "args";
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& e) override {
        m_notJson = e.what();
        return false;
    }

    std::vector<Argument> finish(bool parsed) {
        if (!parsed) {
            throw ProtocolError("the request is not JSON: " + m_notJson);
        }
        if (!m_haveArgs) {
            throw ProtocolError("the request has no \"args\" array");
        }
        if (m_fault) {
            throw ProtocolError(*m_fault);
        }
        if (m_limits.reserve && m_unreported > 0 && !m_limits.reserve(m_unreported)) {
            refused();
        }
        return std::move(m_args);
    }

private:
    enum class Kind { Text, Whole, Other, Array, Object };
    enum class Shape { Undecided, Flat, Table };
    static constexpr std::size_t kReserveStep = std::size_t{1} << 20;

    bool value(Kind kind, std::string* text = nullptr, std::int64_t whole = 0) {
        if (m_depth == 1 && m_argsNext) {
            m_argsNext = false;
            m_haveArgs = m_readingArgs = kind == Kind::Array;
            m_fault.reset();
            m_args.clear();
            m_elements = {};
        } else if (m_readingArgs && !m_fault) {
            if (m_depth == 2) {
                argument(kind, text, whole);
            } else if (m_depth == 3) {
                element(kind, text);
            } else if (m_depth == 4) {
                slot(kind, text);
            }
        }
        if (kind == Kind::Array || kind == Kind::Object) {
            ++m_depth;
        }
        return true;
    }

    bool end() {
        --m_depth;
        if (m_depth == 1) {
            m_readingArgs = false;
        } else if (m_readingArgs && !m_fault) {
            if (m_depth == 2) {
                endArgument();
            } else if (m_depth == 3) {
                endRow();
            }
        }
        return true;
    }

    void argument(Kind kind, std::string* text, std::int64_t whole) {
        switch (kind) {
            case Kind::Text:
                count(1, sizeof(Argument) + heapBytes(*text));
                m_args.emplace_back(std::string(*text));
                return;
            case Kind::Whole:
                count(0, sizeof(Argument));
                m_args.emplace_back(whole);
                return;
            case Kind::Array:
                count(0, sizeof(Argument));
                m_shape = Shape::Undecided;
                m_elements = {};
                m_rows = m_slots = m_rowLength = 0;
                return;
            default:
                fail(where() + " is neither a text, a whole number nor an array");
        }
    }

    void element(Kind kind, std::string* text) {
        switch (m_shape) {
            case Shape::Undecided:
                if (kind == Kind::Text) {
                    m_shape = Shape::Flat;
                    keep(*text);
                } else if (kind == Kind::Array) {
                    m_shape = Shape::Table;
                    startRow();
                } else {
                    fail(where() + ": elements must be texts or rows of texts");
                }
                return;
            case Shape::Flat:
                if (kind == Kind::Text) {
                    keep(*text);
                } else {
                    fail(where() + ": element " + std::to_string(m_elements.size()) +
                         " is no text");
                }
                return;
            case Shape::Table:
                if (kind == Kind::Array) {
                    startRow();
                } else {
                    fail(notARow());
                }
                return;
        }
    }

    // An element of a row. A row longer than the first is a fault at once; a shorter one at its
    // end. A fault of an element waits for the row's end, as a row of the wrong length says more.
    void slot(Kind kind, std::string* text) {
        if (m_rows > 0 && m_rowLength == m_slots) {
            fail(notARow());
            return;
        }
        ++m_rowLength;
        if (m_limits.maxSlots != 0 && m_rowLength > m_limits.maxSlots) {
            throw DecodeLimitError(where() + ": a row holds more than " +
                                   std::to_string(m_limits.maxSlots) + " texts");
        }
        if (m_slotFault) {
            return;
        }
        if (kind == Kind::Text) {
            keep(*text);
        } else {
            m_slotFault = where() + ": element (" + std::to_string(m_rows) + "," +
                          std::to_string(m_rowLength - 1) + ") is no text";
        }
    }

    void startRow() {
        m_rowLength = 0;
        m_slotFault.reset();
    }

    void endRow() {
        if (m_rows == 0) {
            m_slots = m_rowLength;
        } else if (m_rowLength != m_slots) {
            fail(notARow());
            return;
        }
        if (m_slotFault) {
            fail(*m_slotFault);
            return;
        }
        ++m_rows;
    }

    void endArgument() {
        if (m_shape == Shape::Table) {
            m_args.emplace_back(TextTable(m_rows, m_slots, std::move(m_elements)));
        } else {
            m_args.emplace_back(TextArray(std::move(m_elements)));
        }
        m_elements = {};
    }

    // Counts what the element vector grows by when it must grow (it doubles), so the charge is
    // what the vector holds rather than what its elements need.
    void keep(std::string& text) {
        std::size_t bytes = heapBytes(text);
        if (m_elements.size() == m_elements.capacity()) {
            bytes += std::max<std::size_t>(m_elements.capacity(), 1) * sizeof(std::string);
        }
        count(1, bytes);
        m_elements.push_back(std::move(text));
    }

    // Counts texts and bytes about to be taken against the limits, before they are.
    void count(std::size_t texts, std::size_t bytes) {
        m_texts += texts;
        if (m_limits.maxElements != 0 && m_texts > m_limits.maxElements) {
            throw DecodeLimitError("the request holds more than " +
                                   std::to_string(m_limits.maxElements) + " texts");
        }
        if (!m_limits.reserve) {
            return;
        }
        m_unreported += bytes;
        for (; m_unreported >= kReserveStep; m_unreported -= kReserveStep) {
            if (!m_limits.reserve(kReserveStep)) {
                refused();
            }
        }
    }

    static std::size_t heapBytes(const std::string& text) {
        return text.size() > 15 ? text.size() + 1 : 0;
    }

    [[noreturn]] static void refused() {
        throw DecodeBudgetError("the service has no memory left for the request's arguments");
    }

    // The first fault of form; reported once the body proved to be JSON.
    void fail(std::string message) {
        m_fault = std::move(message);
        m_args.clear();
        m_args.shrink_to_fit();
        m_elements = {};
    }

    std::string where() const { return "argument " + std::to_string(m_args.size()); }
    std::string notARow() const {
        return where() + ": row " + std::to_string(m_rows) + " is not a row of " +
               std::to_string(m_slots) + " texts";
    }

    const DecodeLimits& m_limits;
    std::size_t m_depth = 0;
    bool m_argsNext = false;     // the root object's last key was "args"
    bool m_haveArgs = false;     // the root object's last "args" is an array
    bool m_readingArgs = false;  // inside that array
    std::optional<std::string> m_fault;
    std::string m_notJson;
    std::vector<Argument> m_args;

    // The argument array being read.
    Shape m_shape = Shape::Undecided;
    std::vector<std::string> m_elements;  // row after row for a table
    std::size_t m_rows = 0;               // rows complete
    std::size_t m_slots = 0;              // the length of the first row
    std::size_t m_rowLength = 0;          // elements of the open row so far
    std::optional<std::string> m_slotFault;

    std::size_t m_texts = 0;
    std::size_t m_unreported = 0;  // bytes counted but not yet told to `reserve`
};

json parse(const std::string& body, const char* what) {
    try {
        return json::parse(body);
    } catch (const json::parse_error& e) {
        throw ProtocolError(std::string(what) + " is not JSON: " + e.what());
    }
}

bool unreservedInPath(unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

}  // namespace

std::string encodeRequest(const std::vector<Argument>& args) {
    json list = json::array();
    for (const Argument& a : args) {
        list.push_back(toJson(a));
    }
    return json{{"args", std::move(list)}}.dump();
}

std::vector<Argument> decodeRequest(const std::string& body, const DecodeLimits& limits) {
    RequestReader reader(limits);
    return reader.finish(json::sax_parse(body, &reader));
}

std::string encodeAnswer(const Answer& answer) {
    json j;
    if (const bool* b = std::get_if<bool>(&answer.result)) {
        j["result"] = *b;
    } else {
        const RowSet& set = std::get<RowSet>(answer.result);
        json rows = json::array();
        for (const auto& row : set.rows) {
            json r = json::array();
            for (const auto& v : row) {
                r.push_back(v ? json(*v) : json(nullptr));
            }
            rows.push_back(std::move(r));
        }
        j["result"] = {{"fields", set.fields}, {"rows", std::move(rows)}};
    }
    json byref = json::object();
    for (const auto& [index, text] : answer.byref) {
        byref[std::to_string(index)] = text;
    }
    j["byref"] = std::move(byref);
    return j.dump();
}

Answer decodeAnswer(const std::string& body) {
    const json j = parse(body, "the answer");
    if (!j.is_object() || !j.contains("result")) {
        throw ProtocolError("the answer has no \"result\"");
    }
    Answer answer;
    const json& result = j["result"];
    if (result.is_boolean()) {
        answer.result = result.get<bool>();
    } else if (result.is_object() && result.contains("fields") && result["fields"].is_array() &&
               result.contains("rows") && result["rows"].is_array()) {
        RowSet set;
        for (const json& f : result["fields"]) {
            if (!f.is_string()) {
                throw ProtocolError("a field name of the recordset is no text");
            }
            set.fields.push_back(f.get<std::string>());
        }
        for (const json& row : result["rows"]) {
            if (!row.is_array() || row.size() != set.fields.size()) {
                throw ProtocolError("a row of the recordset does not match its fields");
            }
            std::vector<std::optional<std::string>> values;
            for (const json& v : row) {
                if (v.is_null()) {
                    values.emplace_back();
                } else if (v.is_string()) {
                    values.emplace_back(v.get<std::string>());
                } else {
                    throw ProtocolError("a value of the recordset is neither text nor null");
                }
            }
            set.rows.push_back(std::move(values));
        }
        answer.result = std::move(set);
    } else {
        throw ProtocolError("the answer's \"result\" is neither a Boolean nor a recordset");
    }
    if (j.contains("byref") && !j["byref"].is_null()) {
        if (!j["byref"].is_object()) {
            throw ProtocolError("the answer's \"byref\" is no object");
        }
        for (const auto& [key, value] : j["byref"].items()) {
            std::size_t index = 0;
            auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), index);
            if (ec != std::errc() || end != key.data() + key.size() || !value.is_string()) {
                throw ProtocolError("the answer's \"byref\" entry \"" + key + "\" is malformed");
            }
            answer.byref[index] = value.get<std::string>();
        }
    }
    return answer;
}

std::string encodeError(long number, const std::string& description) {
    return json{{"error", {{"number", number}, {"description", description}}}}.dump();
}

std::optional<std::pair<long, std::string>> decodeError(const std::string& body) {
    try {
        const json j = json::parse(body);
        const json& e = j.at("error");
        return std::make_pair(e.at("number").get<long>(), e.at("description").get<std::string>());
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

std::string callPath(const std::string& progId, const std::string& method) {
    auto encode = [](const std::string& s) {
        static const char* hex = "0123456789ABCDEF";
        std::string out;
        for (unsigned char c : s) {
            if (unreservedInPath(c)) {
                out += static_cast<char>(c);
            } else {
                out += '%';
                out += hex[c >> 4];
                out += hex[c & 15];
            }
        }
        return out;
    };
    return "/rds/" + encode(progId) + "/" + encode(method);
}

std::optional<std::pair<std::string, std::string>> parseCallPath(const std::string& path) {
    const std::string prefix = "/rds/";
    if (path.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    auto decode = [](std::string_view s) -> std::optional<std::string> {
        std::string out;
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] != '%') {
                out += s[i];
                continue;
            }
            unsigned value = 0;
            if (i + 2 >= s.size() ||
                std::from_chars(s.data() + i + 1, s.data() + i + 3, value, 16).ptr !=
                    s.data() + i + 3) {
                return std::nullopt;
            }
            out += static_cast<char>(value);
            i += 2;
        }
        return out;
    };
    std::string_view rest(path);
    rest.remove_prefix(prefix.size());
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos || slash == 0 || slash + 1 == rest.size() ||
        rest.find('/', slash + 1) != std::string_view::npos) {
        return std::nullopt;
    }
    auto progId = decode(rest.substr(0, slash));
    auto method = decode(rest.substr(slash + 1));
    if (!progId || !method) {
        return std::nullopt;
    }
    return std::make_pair(*progId, *method);
}

}  // namespace veldon::wire
