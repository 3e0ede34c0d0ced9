#include "platform/clock.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string_view>

namespace veldon {

DateTime DateTime::addDays(int days) const {
    namespace chrono = std::chrono;
    const chrono::year_month_day from{chrono::year{year},
                                      chrono::month{static_cast<unsigned>(month)},
                                      chrono::day{static_cast<unsigned>(day)}};
    const chrono::year_month_day to{chrono::sys_days{from} + chrono::days{days}};
    return {static_cast<int>(to.year()),
            static_cast<int>(static_cast<unsigned>(to.month())),
            static_cast<int>(static_cast<unsigned>(to.day())),
            hour,
            minute,
            second};
}

std::string DateTime::toDateText() const {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
    return text;
}

std::string DateTime::toDateTimeText() const {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour,
                  minute, second);
    return text;
}

std::string DateTime::toText() const {
    return hour == 0 && minute == 0 && second == 0 ? toDateText() : toDateTimeText();
}

namespace {

class Reader {
public:
    explicit Reader(std::string_view text) : m_text(text) {}

    bool atEnd() const { return m_pos == m_text.size(); }
    char peek() const { return atEnd() ? '\0' : m_text[m_pos]; }
    void skip() { ++m_pos; }

    bool accept(char c) {
        if (peek() != c) {
            return false;
        }
        ++m_pos;
        return true;
    }

    // A number of minDigits to maxDigits decimal digits.
    bool number(int minDigits, int maxDigits, int& value) {
        int digits = 0;
        value = 0;
        while (digits < maxDigits && peek() >= '0' && peek() <= '9') {
            value = value * 10 + (peek() - '0');
            ++m_pos;
            ++digits;
        }
        return digits >= minDigits;
    }

private:
    std::string_view m_text;
    std::size_t m_pos = 0;
};

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

bool parseDateTime(const std::string& text, DateTime& out) {
    std::string_view view(text);
    while (!view.empty() && isBlank(view.front())) {
        view.remove_prefix(1);
    }
    while (!view.empty() && isBlank(view.back())) {
        view.remove_suffix(1);
    }
    Reader reader(view);
    DateTime result{};
    if (!reader.number(4, 4, result.year)) {
        return false;
    }
    const char separator = reader.peek();
    if (separator != '-' && separator != '/' && separator != '.') {
        return false;
    }
    reader.skip();
    if (!reader.number(1, 2, result.month) || !reader.accept(separator) ||
        !reader.number(1, 2, result.day)) {
        return false;
    }
    if (!reader.atEnd()) {
        if (!reader.accept('T')) {
            if (!isBlank(reader.peek())) {
                return false;
            }
            while (isBlank(reader.peek())) {
                reader.skip();
            }
        }
        if (!reader.number(1, 2, result.hour) || !reader.accept(':') ||
            !reader.number(2, 2, result.minute)) {
            return false;
        }
        if (reader.accept(':') && !reader.number(2, 2, result.second)) {
            return false;
        }
        if (!reader.atEnd() || result.hour > 23 || result.minute > 59 || result.second > 59) {
            return false;
        }
    }
    const std::chrono::year_month_day date{std::chrono::year{result.year},
                                           std::chrono::month{static_cast<unsigned>(result.month)},
                                           std::chrono::day{static_cast<unsigned>(result.day)}};
    if (!date.ok()) {
        return false;
    }
    out = result;
    return true;
}

DateTime SystemClock::now() const {
    const std::time_t seconds = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
            local.tm_hour,        local.tm_min,     local.tm_sec};
}

}  // namespace veldon
