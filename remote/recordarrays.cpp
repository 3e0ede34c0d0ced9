#include "remote/recordarrays.h"

#include "platform/error.h"

#include <stdexcept>

namespace veldon {

namespace {

[[noreturn]] void outOfRange(const char* what, std::size_t index, std::size_t size) {
    throw Error(errc::SubscriptOutOfRange, "Subscript out of range (" + std::string(what) + " " +
                                               std::to_string(index) + " of " +
                                               std::to_string(size) + ")");
}

}  // namespace

void TextArray::resize(std::size_t n) {
    m_elements.assign(n, std::string());
}

void TextArray::clear() {
    for (auto& e : m_elements) {
        e.clear();
    }
}

std::string& TextArray::operator()(std::size_t index) {
    if (index >= m_elements.size()) {
        outOfRange("index", index, m_elements.size());
    }
    return m_elements[index];
}

const std::string& TextArray::operator()(std::size_t index) const {
    if (index >= m_elements.size()) {
        outOfRange("index", index, m_elements.size());
    }
    return m_elements[index];
}

TextTable::TextTable(std::size_t rows, std::size_t slots, std::vector<std::string> elements)
    : m_rows(rows), m_slots(slots), m_elements(std::move(elements)) {
    const bool fits = slots == 0
                          ? m_elements.empty()
                          : m_elements.size() % slots == 0 && m_elements.size() / slots == rows;
    if (!fits) {
        throw std::invalid_argument("TextTable: " + std::to_string(m_elements.size()) +
                                    " elements do not fill " + std::to_string(rows) + " rows of " +
                                    std::to_string(slots) + " slots");
    }
}

void TextTable::resize(std::size_t rows, std::size_t slots) {
    m_rows = rows;
    m_slots = slots;
    m_elements.assign(rows * slots, std::string());
}

std::string& TextTable::operator()(std::size_t row, std::size_t slot) {
    if (row >= m_rows) {
        outOfRange("row", row, m_rows);
    }
    if (slot >= m_slots) {
        outOfRange("slot", slot, m_slots);
    }
    return m_elements[row * m_slots + slot];
}

const std::string& TextTable::operator()(std::size_t row, std::size_t slot) const {
    return const_cast<TextTable&>(*this)(row, slot);
}

}  // namespace veldon
