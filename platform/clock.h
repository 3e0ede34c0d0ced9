// The local clock behind an interface, so that tests can set "now" (month ends, year ends, 1
// March).
#pragma once

#include <string>

namespace veldon {

// A local calendar date and time of day.
struct DateTime {
    int year = 1899;
    int month = 12;
    int day = 30;
    int hour = 0;
    int minute = 0;
    int second = 0;

    // The same time of day `days` calendar days later (earlier when negative), across month and
    // year ends.
    DateTime addDays(int days) const;
    DateTime date() const { return {year, month, day, 0, 0, 0}; }

    std::string toDateText() const;      // "YYYY-MM-DD"
    std::string toDateTimeText() const;  // "YYYY-MM-DD HH:MM:SS"
    // A date and time as the text form of a date value: "YYYY-MM-DD" at midnight, else
    // "YYYY-MM-DD HH:MM:SS".
    std::string toText() const;

    bool operator==(const DateTime&) const = default;
};

// Parses "YYYY-MM-DD" or "YYYY-MM-DD HH:MM[:SS]" (also with "/" or "." between the date's parts
// and a "T" before the time); false when the text is no valid date.
bool parseDateTime(const std::string& text, DateTime& out);

class Clock {
public:
    virtual ~Clock() = default;
    virtual DateTime now() const = 0;
};

// The machine's local clock.
class SystemClock : public Clock {
public:
    DateTime now() const override;
};

}  // namespace veldon
