// A recordset: the rows of one query held in memory, with an exact record count, a current row,
// fields by name, filters and forward search, and writing the current row back.
//
// Rows are stored compactly (a tagged byte encoding in one arena, a few bytes per number) because a
// first installation reads years of sales at once. An equality filter or search builds a hash index
// of its column once per recordset and then touches only the matching rows, so narrowing a
// recordset once per sale costs time in proportion to the sale, not to the recordset.
//
// Filter and search criteria have the form `FIELD = literal`: the literal unquoted (a number or a
// bare word: "PEID = 2412050001"), in single quotes ("PE_ID = '2412050001'") or between '#'
// (a date). A literal matches a text field whose text equals it, and a numeric field whose value
// equals it when the literal is a number. Null never matches.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/value.h"

namespace veldon {

// Writes a changed row back to the database; supplied by the backend for updatable recordsets.
class RowWriter {
public:
    virtual ~RowWriter() = default;
    // `row` is the row's index in fetch order; `changes` maps field indexes to new values.
    virtual void writeRow(std::size_t row, const std::map<int, Value>& changes) = 0;

protected:
    // What every backend raises: for a write to a computed field, and for a row the table no
    // longer holds as it was read (ADO's error -2147217864).
    [[noreturn]] static void throwComputedField(int column);
    [[noreturn]] static void throwRowNotFound(const std::string& table);
};

class Recordset {
public:
    explicit Recordset(std::vector<std::string> fieldNames);
    ~Recordset();
    Recordset(const Recordset&) = delete;
    Recordset& operator=(const Recordset&) = delete;

    // Filling, for backends: one row at a time, one add call per field in field order.
    void addNull();
    void addBoolean(bool b);
    void addInteger(std::int64_t i);
    void addReal(double d);
    void addText(std::string_view s);
    void addValue(const Value& v);
    void endRow();
    // Makes the recordset updatable through `writer`; positions it on the first row.
    void finishLoading(std::unique_ptr<RowWriter> writer = nullptr);

    bool isOpen() const { return m_open; }
    // Discards pending field changes and releases the rows.
    void close();

    // Rows in the current view (all rows, or those the filter selects).
    long recordCount() const;
    bool eof() const;
    bool bof() const;
    void moveFirst();
    void moveNext();
    void moveLast();

    int fieldCount() const;
    const std::string& fieldName(int index) const;
    // The index of a field by name, without regard to letter case; raises error 3265 when there
    // is none.
    int fieldIndex(std::string_view name) const;
    // The value of a field of the current row (error 3021 at BOF or EOF).
    Value field(int index) const;
    Value field(std::string_view name) const { return field(fieldIndex(name)); }

    // Changes a field of the current row; update() writes the changes back. Moving to another row
    // with changes pending writes them first, as ADO does. Error 3251 when not updatable.
    void setField(int index, Value v);
    void setField(std::string_view name, Value v) { setField(fieldIndex(name), std::move(v)); }
    void update();
    void cancelUpdate();
    bool updatable() const { return m_writer != nullptr; }

    // Restricts the view to the rows matching `criteria` and moves to its first row; an empty
    // criteria shows all rows again. Error 3001 when the criteria cannot be read.
    void setFilter(std::string_view criteria);
    // Moves forward from the current row (included) to the first row of the view that matches
    // `criteria`; EOF when there is none.
    void find(std::string_view criteria);

    // Bytes held for the rows (for benchmarks).
    std::size_t storageBytes() const;

private:
    struct Criteria;
    struct ColumnIndex;
    struct Cell;
    class Arena;

    static std::optional<std::string> numberKeyOf(const Cell& cell);
    Criteria parseCriteria(std::string_view criteria) const;
    const ColumnIndex& indexOf(int column);
    std::vector<std::uint32_t> matchingRows(const Criteria& c);
    std::size_t viewSize() const;
    std::uint32_t viewRow(std::size_t position) const;
    Cell cellOf(std::uint32_t row, int column) const;
    static Cell cellAt(const unsigned char* field);
    void requireOpen() const;
    void requireCurrent() const;
    void savePending();
    // Room for `n` bytes of the next field of the row being added.
    unsigned char* room(std::size_t n);

    std::vector<std::string> m_fieldNames;
    std::unordered_map<std::string, int> m_fieldByUpperName;
    std::unique_ptr<Arena> m_arena;
    std::vector<const unsigned char*> m_rows;  // start of each encoded row
    std::size_t m_rowStart = 0;                // offset of the row being added in the arena buffer
    int m_fieldsAdded = 0;

    bool m_open = true;
    bool m_filtered = false;
    std::vector<std::uint32_t> m_view;  // rows of the filtered view, ascending
    std::size_t m_position = 0;         // position in the view; == viewSize() at EOF
    bool m_bof = false;

    // Where each field of the row read last starts (rows are never changed in place, so the row's
    // address identifies it).
    mutable const unsigned char* m_decodedRow = nullptr;
    mutable std::vector<const unsigned char*> m_fieldStarts;

    std::unique_ptr<RowWriter> m_writer;
    std::map<int, Value> m_pending;
    std::vector<std::unique_ptr<ColumnIndex>> m_indexes;  // per column, built on first use
};

}  // namespace veldon
