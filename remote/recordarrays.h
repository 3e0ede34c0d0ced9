// The record arrays that carry a sale or a card approval to the central service: every element is
// text. `TextArray` is one-dimensional (TPE, TRT, TDLV, the PUTSQL statement list), `TextTable` is
// two-dimensional, indexed (row, slot) from 0 (TPS, TAC, TPSN, TCD). Resizing empties every
// element, as ReDim does. An index beyond a bound raises error 9 "Subscript out of range": the
// engines' error path relies on it.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace veldon {

class TextArray {
public:
    TextArray() = default;
    explicit TextArray(std::size_t size) : m_elements(size) {}
    // The elements given, taken over as they are.
    explicit TextArray(std::vector<std::string> elements) : m_elements(std::move(elements)) {}

    // n empty elements, indexes 0 to n - 1.
    void resize(std::size_t n);
    // Every element emptied; the size stays.
    void clear();

    std::size_t size() const { return m_elements.size(); }
    std::string& operator()(std::size_t index);
    const std::string& operator()(std::size_t index) const;

    const std::vector<std::string>& elements() const { return m_elements; }

    bool operator==(const TextArray&) const = default;

private:
    std::vector<std::string> m_elements;
};

class TextTable {
public:
    TextTable() = default;
    TextTable(std::size_t rows, std::size_t slots) { resize(rows, slots); }
    // The elements given, row after row, taken over as they are; their count must be rows x slots.
    TextTable(std::size_t rows, std::size_t slots, std::vector<std::string> elements);

    // rows x slots empty elements.
    void resize(std::size_t rows, std::size_t slots);

    std::size_t rows() const { return m_rows; }
    std::size_t slots() const { return m_slots; }
    std::string& operator()(std::size_t row, std::size_t slot);
    const std::string& operator()(std::size_t row, std::size_t slot) const;

    bool operator==(const TextTable&) const = default;

private:
    std::size_t m_rows = 0;
    std::size_t m_slots = 0;
    std::vector<std::string> m_elements;  // row after row
};

}  // namespace veldon
