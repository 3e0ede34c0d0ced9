#include "logs/transferlog.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <random>
#include <system_error>
#include <utility>

#include "platform/fileerror.h"
#include "platform/textfile.h"

namespace veldon {

namespace {

// A message or reply text as it goes into a file: the service writes reply texts, and one that
// runs to megabytes must not fill the disk once per dump. Cut on a UTF-8 character boundary.
std::string cutForFile(const std::string& text) {
    if (text.size() <= MaxLoggedText) {
        return text;
    }
    std::size_t end = MaxLoggedText;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end) + " ...(cut: " + std::to_string(text.size()) + " bytes in all)";
}

namespace fs = std::filesystem;

const char* const DailyLogFolder = "MERIDEX_LOG";
const char* const DumpFolder = "log";

// A fresh generator per call, seeded from the timer: the dump names of one second then differ
// unless two calls happen to draw the same digit.
int timerSeededDigit() {
    const auto ticks = std::chrono::high_resolution_clock::now().time_since_epoch().count();
    std::mt19937_64 generator(static_cast<std::uint64_t>(ticks));
    const double r = std::generate_canonical<double, 53>(generator);
    // generate_canonical may round up to 1.0, which would make a 9.
    return std::min(static_cast<int>(8 * r + 1), 8);
}

// "yymmddhhmmss".
std::string dumpStamp(const DateTime& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02d", t.year % 100, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

std::string dailyLogName(const DateTime& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d%02d%02d.TXT", t.year, t.month, t.day);
    return text;
}

std::string dateLine(const DateTime& now) {
    return "발생일자 : " + now.toDateTimeText();
}

void addSeparator(std::vector<std::string>& lines) {
    lines.emplace_back();
    lines.emplace_back(67, '=');
    lines.emplace_back();
}

std::string elementLine(const char* name, const std::string& indices, const std::string& text) {
    return std::string(" ") + name + "(" + indices + ")=\"" + text + "\"";
}

void addElements(std::vector<std::string>& lines, const char* name, const TextArray& array,
                 std::size_t last) {
    for (std::size_t i = 0; i <= last && i < array.size(); ++i) {
        lines.push_back(elementLine(name, std::to_string(i), array(i)));
    }
}

void addElements(std::vector<std::string>& lines, const char* name, const TextTable& table,
                 std::size_t lastSlot) {
    for (std::size_t row = 0; row < table.rows(); ++row) {
        for (std::size_t slot = 0; slot <= lastSlot && slot < table.slots(); ++slot) {
            lines.push_back(elementLine(name, std::to_string(row) + "," + std::to_string(slot),
                                        table(row, slot)));
        }
    }
}

// Exact comparison of the listed names, so that a folder that differs only in letter case does
// not count, on case-insensitive file systems as well.
bool listsEntryNamed(const fs::path& folder, const fs::path& name) {
    std::error_code error;
    fs::directory_iterator entry(folder, error);
    for (const fs::directory_iterator end; !error && entry != end; entry.increment(error)) {
        if (entry->path().filename() == name) {
            return true;
        }
    }
    if (error) {
        throw fileError("cannot list", folder, error);
    }
    return false;
}

void createFolder(const fs::path& folder) {
    std::error_code error;
    // A folder that is already there under another letter case makes the creation fail, as the
    // Windows program's MkDir does.
    if (!fs::create_directory(folder, error) && !error) {
        error = std::make_error_code(std::errc::file_exists);
    }
    if (error) {
        throw fileError("cannot create", folder, error);
    }
}

}  // namespace

TransferLog::TransferLog(fs::path programFolder, const Clock& clock, std::function<int()> digit)
    : m_programFolder(std::move(programFolder)), m_clock(clock), m_digit(std::move(digit)) {}

void TransferLog::INSERT_ERRLOG(const std::string& ErrLog, const std::string& GuStr,
                                const std::string& QryStr1, const std::string& QryStr2,
                                const std::string& QryStr3) {
    const DateTime now = m_clock.now();
    const fs::path folder = m_programFolder / DailyLogFolder;
    if (!listsEntryNamed(m_programFolder, DailyLogFolder)) {
        createFolder(folder);
    }

    std::vector<std::string> lines{"[" + now.toDateTimeText() + "]", cutForFile(ErrLog),
                                   cutForFile(GuStr)};
    for (const std::string* query : {&QryStr1, &QryStr2, &QryStr3}) {
        if (!query->empty()) {
            lines.push_back(cutForFile(*query));
        }
    }
    try {
        writeCp949Lines(folder / dailyLogName(now), lines, WriteMode::Append);
    } catch (const std::exception&) {
        // A log record that cannot be written must not stop the transfer.
    }
}

void TransferLog::WRITE_SALE_DUMP(const TextArray& TPE, const TextTable& TPS, const TextArray& TRT,
                                  const TextTable& TAC, const std::string& message,
                                  const std::string& prefix) {
    const DateTime now = m_clock.now();
    std::vector<std::string> lines{dateLine(now), prefix + "  " + cutForFile(message)};
    addSeparator(lines);
    lines.emplace_back("공통");
    addElements(lines, "TPE", TPE, 21);
    lines.emplace_back("순번");
    addElements(lines, "TPS", TPS, 18);
    lines.emplace_back("회계");
    addElements(lines, "TAC", TAC, 25);
    lines.emplace_back("요식업");
    addElements(lines, "TRT", TRT, 7);
    writeDump("e", now, lines);
}

void TransferLog::WRITE_CARD_DUMP(const TextTable& TCD, const std::string& message) {
    const DateTime now = m_clock.now();
    std::vector<std::string> lines{dateLine(now), cutForFile(message)};
    addSeparator(lines);
    lines.emplace_back("공통");
    addElements(lines, "TCD", TCD, 12);
    writeDump("c", now, lines);
}

void TransferLog::WRITE_NOSEQ_DUMP(const TextArray& TPE, const TextArray& TRT, const TextTable& TAC,
                                   const std::string& message) {
    const DateTime now = m_clock.now();
    std::vector<std::string> lines{dateLine(now), cutForFile(message)};
    addSeparator(lines);
    lines.emplace_back("공통");
    addElements(lines, "TPE", TPE, 18);
    lines.emplace_back("회계");
    addElements(lines, "TAC", TAC, 21);
    lines.emplace_back("요식업");
    addElements(lines, "TRT", TRT, 9);
    writeDump("p", now, lines);
}

void TransferLog::WRITE_DC_DUMP(std::int32_t PSAMT, std::int32_t PSVAT, std::int32_t PEDC) {
    const DateTime now = m_clock.now();
    const std::vector<std::string> lines{
        dateLine(now),
        "Sale DC",
        "PSAMT : " + std::to_string(PSAMT) + "  PSVAT : " + std::to_string(PSVAT) +
            "  PEDC : " + std::to_string(PEDC),
        "",
    };
    writeDump("DC", now, lines);
}

void TransferLog::writeDump(const char* kind, const DateTime& now,
                            const std::vector<std::string>& lines) {
    try {
        const int digit = m_digit ? m_digit() : timerSeededDigit();
        const fs::path file =
            m_programFolder / DumpFolder / (kind + dumpStamp(now) + std::to_string(digit) + ".txt");
        writeCp949Lines(file, lines, WriteMode::Replace);
        ++m_dumpWrites;
        m_dumpFiles.insert(file);
    } catch (const std::exception&) {
        // A dump is evidence for later, never a reason to stop the transfer.
    }
}

int TransferLog::dumpsWritten() const {
    int present = 0;
    for (const fs::path& file : m_dumpFiles) {
        std::error_code ec;
        present += fs::is_regular_file(file, ec) ? 1 : 0;
    }
    return present;
}

int TransferLog::dumpsOverwritten() const {
    return m_dumpWrites - static_cast<int>(m_dumpFiles.size());
}

}  // namespace veldon
