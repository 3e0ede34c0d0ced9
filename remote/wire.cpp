#include "remote/wire.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <charconv>

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

Argument fromJson(const json& j, std::size_t index) {
    const std::string where = "argument " + std::to_string(index);
    if (j.is_string()) {
        return j.get<std::string>();
    }
    if (j.is_number_integer()) {
        return j.get<std::int64_t>();
    }
    if (!j.is_array()) {
        throw ProtocolError(where + " is neither a text, a whole number nor an array");
    }
    if (j.empty() || j.front().is_string()) {
        TextArray array(j.size());
        for (std::size_t i = 0; i < j.size(); ++i) {
            if (!j[i].is_string()) {
                throw ProtocolError(where + ": element " + std::to_string(i) + " is no text");
            }
            array(i) = j[i].get<std::string>();
        }
        return array;
    }
    if (!j.front().is_array()) {
        throw ProtocolError(where + ": elements must be texts or rows of texts");
    }
    const std::size_t slots = j.front().size();
    TextTable table(j.size(), slots);
    for (std::size_t r = 0; r < j.size(); ++r) {
        if (!j[r].is_array() || j[r].size() != slots) {
            throw ProtocolError(where + ": row " + std::to_string(r) + " is not a row of " +
                                std::to_string(slots) + " texts");
        }
        for (std::size_t s = 0; s < slots; ++s) {
            if (!j[r][s].is_string()) {
                throw ProtocolError(where + ": element (" + std::to_string(r) + "," +
                                    std::to_string(s) + ") is no text");
            }
            table(r, s) = j[r][s].get<std::string>();
        }
    }
    return table;
}

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

std::vector<Argument> decodeRequest(const std::string& body) {
    const json j = parse(body, "the request");
    if (!j.is_object() || !j.contains("args") || !j["args"].is_array()) {
        throw ProtocolError("the request has no \"args\" array");
    }
    std::vector<Argument> args;
    for (std::size_t i = 0; i < j["args"].size(); ++i) {
        args.push_back(fromJson(j["args"][i], i));
    }
    return args;
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
