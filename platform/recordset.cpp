#include "platform/recordset.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <functional>
#include <iterator>
#include <optional>
#include <utility>

#include "platform/asciitext.h"
#include "platform/error.h"

namespace veldon {

namespace {

// Tags of the row encoding: one byte per field, then its payload.
enum Tag : unsigned char {
    TagNull = 0,
    TagInteger = 1,  // zigzag varint
    TagReal = 2,     // 8 bytes
    TagText = 3,     // varint length, bytes
    TagFalse = 4,
    TagTrue = 5,
};

constexpr std::size_t MaxVarint = 10;  // bytes of the longest 64-bit varint

std::size_t putVarint(unsigned char* p, std::uint64_t v) {
    std::size_t n = 0;
    do {
        unsigned char b = v & 0x7f;
        v >>= 7;
        p[n++] = static_cast<unsigned char>(b | (v ? 0x80 : 0));
    } while (v);
    return n;
}

std::uint64_t readVarint(const unsigned char*& p) {
    std::uint64_t v = 0;
    int shift = 0;
    while (true) {
        unsigned char b = *p++;
        v |= static_cast<std::uint64_t>(b & 0x7f) << shift;
        if ((b & 0x80) == 0) {
            return v;
        }
        shift += 7;
    }
}

// Skips one encoded field.
void skipField(const unsigned char*& p) {
    switch (*p++) {
        case TagInteger:
            readVarint(p);
            break;
        case TagReal:
            p += 8;
            break;
        case TagText: {
            auto len = readVarint(p);
            p += len;
            break;
        }
        default:
            break;
    }
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) {
        s.remove_prefix(1);
    }
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) {
        s.remove_suffix(1);
    }
    return s;
}

// A literal that reads wholly as a number: [sign] digits [. digits] [e [sign] digits].
bool parseNumberLiteral(std::string_view s, double& out) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        ++i;
    }
    bool digits = false;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
        ++i;
        digits = true;
    }
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
            ++i;
            digits = true;
        }
    }
    if (!digits) {
        return false;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
            ++i;
        }
        if (i == s.size()) {
            return false;
        }
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
            ++i;
        }
    }
    if (i != s.size()) {
        return false;
    }
    std::string copy(s[0] == '+' ? s.substr(1) : s);
    out = std::strtod(copy.c_str(), nullptr);
    return true;
}

}  // namespace

// Arena of fixed-size blocks: rows never move once written, so row pointers stay valid while the
// recordset grows, and no reallocation doubles the peak memory of a large load.
class Recordset::Arena {
public:
    static constexpr std::size_t BlockSize = 1 << 20;

    // Room for `n` more bytes of the row being written; moves the partial row to a new block when
    // the current one is full.
    unsigned char* reserve(std::size_t rowStart, std::size_t n) {
        if (m_blocks.empty() || m_used + n > m_capacity) {
            std::size_t partial = m_blocks.empty() ? 0 : m_used - rowStart;
            std::size_t capacity = std::max(BlockSize, partial + n + 64);
            auto block = std::make_unique_for_overwrite<unsigned char[]>(capacity);
            if (partial > 0) {
                std::memcpy(block.get(), m_blocks.back().get() + rowStart, partial);
            }
            m_blocks.push_back(std::move(block));
            m_capacity = capacity;
            m_used = partial;
            m_total += capacity;
            m_moved = true;
        }
        unsigned char* p = m_blocks.back().get() + m_used;
        m_used += n;
        return p;
    }
    // Drops the bytes reserved beyond what was written.
    void giveBack(std::size_t n) { m_used -= n; }
    unsigned char* current() const { return m_blocks.back().get(); }
    std::size_t used() const { return m_used; }
    std::size_t totalBytes() const { return m_total; }
    // True once after the row being written moved to a new block.
    bool takeMoved() { return std::exchange(m_moved, false); }

private:
    std::vector<std::unique_ptr<unsigned char[]>> m_blocks;
    std::size_t m_capacity = 0;
    std::size_t m_used = 0;
    std::size_t m_total = 0;
    bool m_moved = false;
};

// A decoded field: the encoding's tag and payload, text pointing into the arena.
struct Recordset::Cell {
    unsigned char tag = TagNull;
    std::int64_t integer = 0;
    double real = 0;
    std::string_view text;

    Value toValue() const {
        switch (tag) {
            case TagInteger:
                return Value::integer(integer);
            case TagReal:
                return Value::real(real);
            case TagText:
                return Value::text(std::string(text));
            case TagFalse:
                return Value::boolean(false);
            case TagTrue:
                return Value::boolean(true);
            default:
                return {};
        }
    }
};

// Rows of one column grouped by their text and by their numeric value, each list ascending.
// The rows of one column sorted by the hash of their key, then by row: the rows of one key are
// one run found by binary search. A flat array of 12-byte entries costs a fraction of a hash map of
// strings and stays fast when a backlog has hundreds of thousands of rows.
struct Recordset::ColumnIndex {
    struct Entry {
        std::uint64_t hash;
        std::uint32_t row;
        bool operator<(const Entry& o) const {
            return hash != o.hash ? hash < o.hash : row < o.row;
        }
    };
    std::vector<Entry> entries;
};

struct Recordset::Criteria {
    int column = -1;
    std::string literal;  // without quotes
    bool isNumber = false;
    std::string numberKey;  // canonical text of the literal's numeric value
};

Recordset::Recordset(std::vector<std::string> fieldNames)
    : m_fieldNames(std::move(fieldNames)), m_arena(std::make_unique<Arena>()) {
    for (int i = 0; i < static_cast<int>(m_fieldNames.size()); ++i) {
        // The first of two fields with the same name wins, as in ADO's Fields collection.
        m_fieldByUpperName.emplace(asciiUppered(m_fieldNames[i]), i);
    }
    m_indexes.resize(m_fieldNames.size());
}

Recordset::~Recordset() = default;

unsigned char* Recordset::room(std::size_t n) {
    unsigned char* p = m_arena->reserve(m_rowStart, n);
    if (m_arena->takeMoved()) {
        m_rowStart = 0;  // the row moved to the start of a new block
    }
    ++m_fieldsAdded;
    return p;
}

void Recordset::addNull() {
    *room(1) = TagNull;
}

void Recordset::addBoolean(bool b) {
    *room(1) = b ? TagTrue : TagFalse;
}

void Recordset::addInteger(std::int64_t i) {
    unsigned char* p = room(1 + MaxVarint);
    p[0] = TagInteger;
    std::size_t n = putVarint(
        p + 1, (static_cast<std::uint64_t>(i) << 1) ^ static_cast<std::uint64_t>(i >> 63));
    m_arena->giveBack(MaxVarint - n);
}

void Recordset::addReal(double d) {
    unsigned char* p = room(9);
    p[0] = TagReal;
    std::memcpy(p + 1, &d, 8);
}

void Recordset::addText(std::string_view s) {
    unsigned char* p = room(1 + MaxVarint + s.size());
    p[0] = TagText;
    std::size_t n = putVarint(p + 1, s.size());
    if (!s.empty()) {
        std::memcpy(p + 1 + n, s.data(), s.size());
    }
    m_arena->giveBack(MaxVarint - n);
}

void Recordset::addValue(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Null:
            addNull();
            break;
        case Value::Kind::Boolean:
            addBoolean(v.asBoolean());
            break;
        case Value::Kind::Integer:
            addInteger(v.asInteger());
            break;
        case Value::Kind::Real:
            addReal(v.asReal());
            break;
        case Value::Kind::Text:
            addText(v.asText());
            break;
    }
}

void Recordset::endRow() {
    while (m_fieldsAdded < fieldCount()) {
        addNull();
    }
    if (fieldCount() == 0) {
        // A row of no fields still needs a distinct address.
        room(0);
    }
    m_rows.push_back(m_arena->current() + m_rowStart);
    m_rowStart = m_arena->used();
    m_fieldsAdded = 0;
}

void Recordset::finishLoading(std::unique_ptr<RowWriter> writer) {
    m_writer = std::move(writer);
    m_position = 0;
    m_bof = m_rows.empty();
}

void Recordset::close() {
    m_pending.clear();
    m_open = false;
    m_rows.clear();
    m_rows.shrink_to_fit();
    m_view.clear();
    m_indexes.clear();
    m_arena = std::make_unique<Arena>();
    m_writer.reset();
}

void Recordset::requireOpen() const {
    if (!m_open) {
        throw Error(errc::ObjectClosed, "Operation is not allowed when the object is closed.");
    }
}

void Recordset::requireCurrent() const {
    requireOpen();
    if (m_bof || m_position >= viewSize()) {
        throw Error(errc::NoCurrentRecord,
                    "Either BOF or EOF is True, or the current record has been deleted. Requested "
                    "operation requires a current record.");
    }
}

std::size_t Recordset::viewSize() const {
    return m_filtered ? m_view.size() : m_rows.size();
}

std::uint32_t Recordset::viewRow(std::size_t position) const {
    return m_filtered ? m_view[position] : static_cast<std::uint32_t>(position);
}

long Recordset::recordCount() const {
    requireOpen();
    return static_cast<long>(viewSize());
}

bool Recordset::eof() const {
    requireOpen();
    return m_position >= viewSize();
}

bool Recordset::bof() const {
    requireOpen();
    return m_bof || viewSize() == 0;
}

void Recordset::moveFirst() {
    requireOpen();
    savePending();
    m_position = 0;
    m_bof = viewSize() == 0;
}

void Recordset::moveNext() {
    requireOpen();
    if (m_position >= viewSize()) {
        throw Error(errc::NoCurrentRecord,
                    "Either BOF or EOF is True, or the current record has been deleted. Requested "
                    "operation requires a current record.");
    }
    savePending();
    ++m_position;
    m_bof = false;
}

void Recordset::moveLast() {
    requireOpen();
    savePending();
    m_position = viewSize() == 0 ? 0 : viewSize() - 1;
    m_bof = viewSize() == 0;
}

int Recordset::fieldCount() const {
    return static_cast<int>(m_fieldNames.size());
}

const std::string& Recordset::fieldName(int index) const {
    if (index < 0 || index >= fieldCount()) {
        throw Error(errc::ItemNotFound,
                    "Item cannot be found in the collection corresponding to the requested name "
                    "or ordinal (field " +
                        std::to_string(index) + ").");
    }
    return m_fieldNames[index];
}

int Recordset::fieldIndex(std::string_view name) const {
    auto it = m_fieldByUpperName.find(asciiUppered(name));
    if (it == m_fieldByUpperName.end()) {
        throw Error(errc::ItemNotFound,
                    "Item cannot be found in the collection corresponding to the requested name "
                    "or ordinal (field " +
                        std::string(name) + ").");
    }
    return it->second;
}

Recordset::Cell Recordset::cellOf(std::uint32_t row, int column) const {
    const unsigned char* p = m_rows[row];
    for (int i = 0; i < column; ++i) {
        skipField(p);
    }
    return cellAt(p);
}

Recordset::Cell Recordset::cellAt(const unsigned char* p) {
    Cell cell;
    cell.tag = *p++;
    switch (cell.tag) {
        case TagInteger: {
            std::uint64_t z = readVarint(p);
            cell.integer = static_cast<std::int64_t>((z >> 1) ^ (~(z & 1) + 1));
            break;
        }
        case TagReal:
            std::memcpy(&cell.real, p, 8);
            break;
        case TagText: {
            auto len = readVarint(p);
            cell.text = std::string_view(reinterpret_cast<const char*>(p), len);
            break;
        }
        default:
            break;
    }
    return cell;
}

Value Recordset::field(int index) const {
    requireCurrent();
    fieldName(index);  // range check
    auto pending = m_pending.find(index);
    if (pending != m_pending.end()) {
        return pending->second;
    }
    // Callers read most fields of a row: find where each starts once per row.
    const unsigned char* row = m_rows[viewRow(m_position)];
    if (row != m_decodedRow) {
        m_fieldStarts.resize(m_fieldNames.size());
        const unsigned char* p = row;
        for (auto& start : m_fieldStarts) {
            start = p;
            skipField(p);
        }
        m_decodedRow = row;
    }
    return cellAt(m_fieldStarts[index]).toValue();
}

void Recordset::setField(int index, Value v) {
    requireCurrent();
    fieldName(index);
    if (!m_writer) {
        throw Error(errc::NotUpdatable,
                    "Current Recordset does not support updating. This may be a limitation of the "
                    "provider, or of the selected locktype.");
    }
    m_pending[index] = std::move(v);
}

void Recordset::update() {
    requireOpen();
    if (m_pending.empty()) {
        return;
    }
    requireCurrent();
    std::uint32_t row = viewRow(m_position);
    m_writer->writeRow(row, m_pending);

    // Re-encode the row with its new values at the end of the arena.
    std::vector<Value> values;
    values.reserve(fieldCount());
    for (int i = 0; i < fieldCount(); ++i) {
        auto it = m_pending.find(i);
        values.push_back(it != m_pending.end() ? it->second : cellOf(row, i).toValue());
    }
    for (const Value& v : values) {
        addValue(v);
    }
    const unsigned char* start = m_arena->current() + m_rowStart;
    m_rowStart = m_arena->used();
    m_fieldsAdded = 0;
    m_rows[row] = start;
    for (const auto& [column, value] : m_pending) {
        m_indexes[column].reset();  // rebuilt on the next filter or search
    }
    m_pending.clear();
}

void Recordset::cancelUpdate() {
    m_pending.clear();
}

void Recordset::savePending() {
    if (!m_pending.empty()) {
        update();
    }
}

Recordset::Criteria Recordset::parseCriteria(std::string_view text) const {
    auto bad = [&](const std::string& why) {
        return Error(errc::BadArguments,
                     "Arguments are of the wrong type, are out of acceptable range, or are in "
                     "conflict with one another (criteria \"" +
                         std::string(text) + "\": " + why + ").");
    };
    std::string_view s = trim(text);
    std::size_t eq = s.find('=');
    if (eq == std::string_view::npos) {
        throw bad("expected FIELD = value");
    }
    std::string_view name = trim(s.substr(0, eq));
    std::string_view literal = trim(s.substr(eq + 1));
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    }
    if (name.empty() || literal.empty()) {
        throw bad("field name or value missing");
    }
    auto field = m_fieldByUpperName.find(asciiUppered(name));
    if (field == m_fieldByUpperName.end()) {
        throw bad("no field " + std::string(name));
    }
    Criteria c;
    c.column = field->second;
    char open = literal.front();
    if (open == '\'' || open == '"' || open == '#') {
        if (literal.size() < 2 || literal.back() != open) {
            throw bad("unterminated value");
        }
        std::string_view inner = literal.substr(1, literal.size() - 2);
        // A doubled quote inside a quoted value stands for one.
        for (std::size_t i = 0; i < inner.size(); ++i) {
            c.literal += inner[i];
            if (inner[i] == open && i + 1 < inner.size() && inner[i + 1] == open) {
                ++i;
            }
        }
    } else {
        if (literal.find_first_of(" \t") != std::string_view::npos) {
            throw bad("only one condition FIELD = value is supported");
        }
        c.literal = std::string(literal);
    }
    double number = 0;
    if (parseNumberLiteral(trim(c.literal), number)) {
        c.isNumber = true;
        c.numberKey = numberToText(number);
    }
    return c;
}

namespace {

// Texts and numbers are separate key spaces: a text "17" and a number 17 match different literals.
std::uint64_t textKeyHash(std::string_view text) {
    return std::hash<std::string_view>{}(text)*2;
}
std::uint64_t numberKeyHash(std::string_view canonical) {
    return std::hash<std::string_view>{}(canonical)*2 + 1;
}

}  // namespace

std::optional<std::string> Recordset::numberKeyOf(const Cell& cell) {
    switch (cell.tag) {
        case TagInteger:
            return integerToText(cell.integer);
        case TagReal:
            return numberToText(cell.real);
        case TagTrue:
            return "-1";
        case TagFalse:
            return "0";
        default:
            return std::nullopt;
    }
}

const Recordset::ColumnIndex& Recordset::indexOf(int column) {
    auto& slot = m_indexes[column];
    if (!slot) {
        slot = std::make_unique<ColumnIndex>();
        slot->entries.reserve(m_rows.size());
        for (std::uint32_t row = 0; row < m_rows.size(); ++row) {
            Cell cell = cellOf(row, column);
            if (cell.tag == TagText) {
                slot->entries.push_back({textKeyHash(cell.text), row});
            } else if (auto key = numberKeyOf(cell)) {
                slot->entries.push_back({numberKeyHash(*key), row});
            }
        }
        std::sort(slot->entries.begin(), slot->entries.end());
    }
    return *slot;
}

std::vector<std::uint32_t> Recordset::matchingRows(const Criteria& c) {
    const auto& entries = indexOf(c.column).entries;
    std::vector<std::uint32_t> rows;
    // Collects the rows of one hash whose cell really matches (hashes may collide).
    auto collect = [&](std::uint64_t hash, bool numeric) {
        auto it = std::lower_bound(entries.begin(), entries.end(), ColumnIndex::Entry{hash, 0});
        for (; it != entries.end() && it->hash == hash; ++it) {
            Cell cell = cellOf(it->row, c.column);
            bool match = numeric ? numberKeyOf(cell) == c.numberKey
                                 : cell.tag == TagText && cell.text == c.literal;
            if (match) {
                rows.push_back(it->row);
            }
        }
    };
    collect(textKeyHash(c.literal), false);
    std::size_t texts = rows.size();
    if (c.isNumber) {
        collect(numberKeyHash(c.numberKey), true);
        std::inplace_merge(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(texts),
                           rows.end());
    }
    return rows;
}

void Recordset::setFilter(std::string_view criteria) {
    requireOpen();
    savePending();
    if (trim(criteria).empty()) {
        m_filtered = false;
        m_view.clear();
    } else {
        Criteria c = parseCriteria(criteria);
        m_view = matchingRows(c);
        m_filtered = true;
    }
    m_position = 0;
    m_bof = viewSize() == 0;
}

void Recordset::find(std::string_view criteria) {
    requireOpen();
    savePending();
    Criteria c = parseCriteria(criteria);
    if (m_position >= viewSize()) {
        return;  // already at EOF: nothing ahead
    }
    std::vector<std::uint32_t> rows = matchingRows(c);
    std::uint32_t from = viewRow(m_position);
    for (auto it = std::lower_bound(rows.begin(), rows.end(), from); it != rows.end(); ++it) {
        if (!m_filtered) {
            m_position = *it;
            return;
        }
        auto pos = std::lower_bound(m_view.begin(), m_view.end(), *it);
        if (pos != m_view.end() && *pos == *it) {
            m_position = static_cast<std::size_t>(pos - m_view.begin());
            return;
        }
    }
    m_position = viewSize();
}

std::size_t Recordset::storageBytes() const {
    return m_arena->totalBytes() + m_rows.capacity() * sizeof(const unsigned char*);
}

void RowWriter::throwComputedField(int column) {
    throw Error(errc::NotUpdatable, "The field at position " + std::to_string(column) +
                                        " is computed and cannot be updated.");
}

void RowWriter::throwRowNotFound(const std::string& table) {
    throw Error(-2147217864,
                "Row cannot be located for updating. Some values may have been changed since it "
                "was last read (" +
                    table + ").");
}

}  // namespace veldon
