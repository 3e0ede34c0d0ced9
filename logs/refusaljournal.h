// The refusal journal: one record for every upload that the central service refused or that
// failed, in `refusals.jsonl` in the program folder, so that the operator can see what was not
// delivered and have it sent again (veldonctl refusals). Unlike the dump files it loses nothing:
// every record is a line of its own, flushed to the disk before append() returns, and a
// record that cannot be written is raised to the caller, which then leaves the row unmarked.
//
// The file is our own, UTF-8, one JSON object per line ("\n"), oldest first:
//   {"time":"2024-03-05 14:07:09","kind":"sale","outcome":"refused","method":"PutPSM13_SIN",
//    "key":"2403050001","reply":"...","arrays":{"TPE":["..",..],"TPS":[["..",..],..]}}
// "arrays" holds the arrays in calling order, each under its name: a one-dimensional array as a
// list of texts, a table as a list of rows. A table without rows is written as [] and reads back
// as an empty one-dimensional array. Texts that are not valid UTF-8 are kept with U+FFFD in place
// of the bad bytes.
//
// The file is bounded: when an append would make it larger than the bound, it is first rewritten
// with only the newest whole records that leave room for the new one within the bound and take at
// most half of it (a new file renamed over the old, so a crash leaves one or the other). A record
// larger than the bound on its own is still written.
//
// One writer at a time: the rewrite of a process would drop a record that another process appends
// meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/clock.h"
#include "remote/recordarrays.h"

namespace veldon {

// One record array as sent.
using JournalArray = std::variant<TextArray, TextTable>;

struct Refusal {
    std::string kind;     // "sale" or "card" (later also "deleted-lines")
    std::string outcome;  // "refused": the service answered False; "failed": the call raised
    std::string method;   // "PutPSM13_SIN", "PutPSM13_PSN", "putcard", ...
    std::string key;      // the local row's key: PE_ID of a sale, AC_ID of a card approval
    std::string reply;    // the reply text, or the error's number and description
    std::vector<std::pair<std::string, JournalArray>> arrays;  // {"TPE", ...} in calling order

    bool operator==(const Refusal&) const = default;
};

struct JournalEntry {
    std::string time;  // local "YYYY-MM-DD HH:MM:SS" of the append
    Refusal refusal;
};

class RefusalJournal {
public:
    static constexpr std::uintmax_t DefaultMaxBytes = 16 * 1024 * 1024;
    // Replies longer than this many bytes are cut (on a character boundary) with a note of their
    // length; a reply is a message, and an endless one must not push the records out of the file.
    static constexpr std::size_t MaxReplyBytes = 2000;

    RefusalJournal(std::filesystem::path programFolder, const Clock& clock,
                   std::uintmax_t maxBytes = DefaultMaxBytes);

    // Appends one record stamped with the clock's time and flushes it to the disk. Raises
    // veldon::Error (number and a description naming the file and the cause) when the record
    // cannot be written.
    void append(const Refusal& refusal);

    // All records, oldest first. Lines that cannot be read (a torn last line after a crash) are
    // skipped and counted in `unreadable`. No file reads as no records; a file that exists but
    // cannot be read raises veldon::Error.
    std::vector<JournalEntry> read(std::size_t* unreadable = nullptr) const;

    std::filesystem::path file() const;

private:
    // Rewrites the file with the newest records that fit in `budget` bytes.
    void keepNewest(std::uintmax_t budget);

    std::filesystem::path m_programFolder;
    const Clock& m_clock;
    std::uintmax_t m_maxBytes;
};

}  // namespace veldon
