#include "logs/refusaljournal.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <system_error>

#include "platform/durablefile.h"
#include "platform/error.h"
#include "platform/fileerror.h"

namespace veldon {

namespace {

namespace fs = std::filesystem;
// Keeps the keys in the order written, so that the arrays read back in calling order.
using Json = nlohmann::ordered_json;

const char* const JournalFileName = "refusals.jsonl";

std::string cutReply(const std::string& reply) {
    if (reply.size() <= RefusalJournal::MaxReplyBytes) {
        return reply;
    }
    std::size_t end = RefusalJournal::MaxReplyBytes;
    // Back to the first byte of a UTF-8 character, so that the cut leaves no half character.
    while (end > 0 && (static_cast<unsigned char>(reply[end]) & 0xC0) == 0x80) {
        --end;
    }
    return reply.substr(0, end) + " [cut: " + std::to_string(reply.size()) + " bytes in all]";
}

Json arrayJson(const JournalArray& array) {
    if (const auto* list = std::get_if<TextArray>(&array)) {
        return Json(list->elements());
    }
    const auto& table = std::get<TextTable>(array);
    Json rows = Json::array();
    for (std::size_t r = 0; r < table.rows(); ++r) {
        Json row = Json::array();
        for (std::size_t s = 0; s < table.slots(); ++s) {
            row.push_back(table(r, s));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string recordLine(const std::string& time, const Refusal& refusal) {
    Json arrays = Json::object();
    for (const auto& [name, array] : refusal.arrays) {
        arrays[name] = arrayJson(array);
    }
    const Json record = {{"time", time},
                         {"kind", refusal.kind},
                         {"outcome", refusal.outcome},
                         {"method", refusal.method},
                         {"key", refusal.key},
                         {"reply", cutReply(refusal.reply)},
                         {"arrays", std::move(arrays)}};
    // Replacing bad UTF-8 rather than raising: a record must never fail for its content.
    return record.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::optional<JournalArray> parseArray(const Json& value) {
    if (!value.is_array()) {
        return std::nullopt;
    }
    if (value.empty() || !value.front().is_array()) {
        TextArray list(value.size());
        for (std::size_t i = 0; i < value.size(); ++i) {
            list(i) = value[i].get<std::string>();
        }
        return list;
    }
    const std::size_t slots = value.front().size();
    TextTable table(value.size(), slots);
    for (std::size_t r = 0; r < value.size(); ++r) {
        if (!value[r].is_array() || value[r].size() != slots) {
            return std::nullopt;
        }
        for (std::size_t s = 0; s < slots; ++s) {
            table(r, s) = value[r][s].get<std::string>();
        }
    }
    return table;
}

std::optional<JournalEntry> parseRecord(std::string_view line) {
    const Json record = Json::parse(line, nullptr, false);
    if (record.is_discarded() || !record.is_object()) {
        return std::nullopt;
    }
    try {
        JournalEntry entry;
        entry.time = record.at("time").get<std::string>();
        Refusal& r = entry.refusal;
        r.kind = record.at("kind").get<std::string>();
        r.outcome = record.at("outcome").get<std::string>();
        r.method = record.at("method").get<std::string>();
        r.key = record.at("key").get<std::string>();
        r.reply = record.at("reply").get<std::string>();
        const Json& arrays = record.at("arrays");
        if (!arrays.is_object()) {
            return std::nullopt;
        }
        for (const auto& item : arrays.items()) {
            std::optional<JournalArray> array = parseArray(item.value());
            if (!array) {
                return std::nullopt;
            }
            r.arrays.emplace_back(item.key(), std::move(*array));
        }
        return entry;
    } catch (const Json::exception&) {
        return std::nullopt;  // a field missing or of the wrong type
    }
}

// The whole file; nothing when there is none.
std::optional<std::string> readBytes(const fs::path& file) {
    std::error_code ec;
    if (!fs::exists(file, ec)) {
        return std::nullopt;
    }
    if (!fs::is_regular_file(file, ec)) {
        const bool folder = fs::is_directory(file, ec);
        throw fileError(
            "cannot read", file,
            std::make_error_code(folder ? std::errc::is_a_directory : std::errc::invalid_argument));
    }
    errno = 0;
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.is_open() || in.bad()) {
        throw fileError("cannot read", file, errno ? errno : EIO);
    }
    return bytes;
}

// The lines of `bytes` without their ends; blank lines are no records and are left out.
std::vector<std::string_view> splitLines(std::string_view bytes) {
    std::vector<std::string_view> lines;
    while (!bytes.empty()) {
        const std::size_t end = std::min(bytes.find('\n'), bytes.size());
        if (end > 0) {
            lines.push_back(bytes.substr(0, end));
        }
        bytes.remove_prefix(std::min(end + 1, bytes.size()));
    }
    return lines;
}

// True when the file is missing, empty or ends with a line break, so that the next record starts
// a line of its own rather than being glued to a torn one.
bool endsWithLineBreak(const fs::path& file) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in || in.tellg() <= 0) {
        return true;
    }
    in.seekg(-1, std::ios::end);
    return in.get() == '\n';
}

}  // namespace

RefusalJournal::RefusalJournal(fs::path programFolder, const Clock& clock, std::uintmax_t maxBytes)
    : m_programFolder(std::move(programFolder)), m_clock(clock), m_maxBytes(maxBytes) {}

fs::path RefusalJournal::file() const {
    return m_programFolder / JournalFileName;
}

void RefusalJournal::append(const Refusal& refusal) {
    std::string line = recordLine(m_clock.now().toDateTimeText(), refusal);
    const fs::path path = file();
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (!ec && size > 0 && size + line.size() > m_maxBytes) {
        const std::uintmax_t room = line.size() < m_maxBytes ? m_maxBytes - line.size() : 0;
        try {
            keepNewest(std::min(m_maxBytes / 2, room));
        } catch (const Error&) {
            // The new record matters more than the bound: it is appended all the same.
        }
    }
    if (!endsWithLineBreak(path)) {
        line.insert(0, "\n");
    }
    appendFileDurably(path, line);
}

void RefusalJournal::keepNewest(std::uintmax_t budget) {
    const fs::path path = file();
    const std::optional<std::string> bytes = readBytes(path);
    if (!bytes) {
        return;
    }
    std::vector<std::string_view> newestFirst;
    std::uintmax_t used = 0;
    const std::vector<std::string_view> lines = splitLines(*bytes);
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        if (!parseRecord(*line)) {
            continue;  // unreadable now, unreadable for good
        }
        if (used + line->size() + 1 > budget) {
            break;
        }
        used += line->size() + 1;
        newestFirst.push_back(*line);
    }
    std::string kept;
    for (auto line = newestFirst.rbegin(); line != newestFirst.rend(); ++line) {
        kept.append(*line);
        kept += '\n';
    }
    replaceFileDurably(path, kept);
}

std::vector<JournalEntry> RefusalJournal::read(std::size_t* unreadable) const {
    std::vector<JournalEntry> entries;
    std::size_t skipped = 0;
    if (const std::optional<std::string> bytes = readBytes(file())) {
        for (std::string_view line : splitLines(*bytes)) {
            if (std::optional<JournalEntry> entry = parseRecord(line)) {
                entries.push_back(std::move(*entry));
            } else {
                ++skipped;
            }
        }
    }
    if (unreadable) {
        *unreadable = skipped;
    }
    return entries;
}

}  // namespace veldon
