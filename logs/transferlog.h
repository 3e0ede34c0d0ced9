// The transfer logs below the program folder: the daily log in `MERIDEX_LOG`, to which
// INSERT_ERRLOG appends short event records (line down, duplicate sale), and the dump files in
// `log`, one new file per failed send, holding the record arrays that were about to go out (or
// three amounts of a sale).
//
// Files are CP949 with CR LF, opened, written and closed within one call. The writers report
// nothing: a missing `log` folder, a full disk or a locked file leaves no file or an incomplete one
// and the caller goes on. The one exception is INSERT_ERRLOG's check for and creation of
// `MERIDEX_LOG`, whose failure is raised as veldon::Error. Nothing here creates `log`; it has to
// exist beforehand (the installer makes it). When to write, and the message texts, are the
// caller's.
//
// The daily log's bracketed time reads "[YYYY-MM-DD HH:MM:SS]": an unambiguous local date-time
// text, the same on every machine, instead of the locale's general date format.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "remote/recordarrays.h"

namespace veldon {

// The longest free text (message, reply, query) written into a file, in bytes; a longer one is cut
// there with a note of its whole length.
inline constexpr std::size_t MaxLoggedText = 2000;

class TransferLog {
public:
    // digit: the random digit 1..8 of a dump file name; by default drawn from a generator re-seeded
    // from the system timer on every call, as the program has always done.
    TransferLog(std::filesystem::path programFolder, const Clock& clock,
                std::function<int()> digit = {});

    // Appends one record of 3 to 6 lines to the day's file: the bracketed time, ErrLog, GuStr (an
    // empty line when empty) and each query text that is not empty. Creates `MERIDEX_LOG` when
    // the program folder lists no entry of exactly that name; raises veldon::Error when listing or
    // creating fails.
    void INSERT_ERRLOG(const std::string& ErrLog, const std::string& GuStr = {},
                       const std::string& QryStr1 = {}, const std::string& QryStr2 = {},
                       const std::string& QryStr3 = {});

    // The dump writers. Each slot range is fixed; slots beyond an array's bounds are left out.
    // An "e" file: TPE 0..21, TPS 0..18 and TAC 0..25 of every row, TRT 0..7.
    void WRITE_SALE_DUMP(const TextArray& TPE, const TextTable& TPS, const TextArray& TRT,
                         const TextTable& TAC, const std::string& message,
                         const std::string& prefix);
    // A "c" file: TCD 0..12 of every row.
    void WRITE_CARD_DUMP(const TextTable& TCD, const std::string& message);
    // A "p" file for a sale without line items: TPE 0..18, TAC 0..21 of every row, TRT 0..9.
    void WRITE_NOSEQ_DUMP(const TextArray& TPE, const TextArray& TRT, const TextTable& TAC,
                          const std::string& message);
    // A "DC" file with the three amounts.
    void WRITE_DC_DUMP(std::int32_t PSAMT, std::int32_t PSVAT, std::int32_t PEDC);

    // Dump files written since construction that exist now (for the operator tool's summary).
    int dumpsWritten() const;
    // Dumps written since construction over one of the same name: the names tell only eight
    // dumps of a kind apart per second, so the later replaced the earlier.
    int dumpsOverwritten() const;

private:
    void writeDump(const char* kind, const DateTime& now, const std::vector<std::string>& lines);

    std::filesystem::path m_programFolder;
    const Clock& m_clock;
    std::function<int()> m_digit;
    int m_dumpWrites = 0;
    std::set<std::filesystem::path> m_dumpFiles;
};

}  // namespace veldon
