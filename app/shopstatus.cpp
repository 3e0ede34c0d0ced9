#include "app/shopstatus.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

#include "app/form1.h"
#include "logs/refusaljournal.h"
#include "platform/durablefile.h"
#include "platform/error.h"
#include "platform/textfile.h"
#include "platform/value.h"

namespace veldon {

namespace {

using nlohmann::json;

constexpr std::size_t MaxDumpsShown = 5;
constexpr std::size_t MaxTextShown = 160;  // characters of a reply or message in one line

// The counts of a report with their names in the file.
constexpr std::pair<const char*, long TransferReport::*> Counts[] = {
    {"salesTotal", &TransferReport::salesTotal},
    {"salesSent", &TransferReport::salesSent},
    {"salesDuplicate", &TransferReport::salesDuplicate},
    {"salesRefused", &TransferReport::salesRefused},
    {"cardsSent", &TransferReport::cardsSent},
    {"cardsDuplicate", &TransferReport::cardsDuplicate},
    {"cardsRefused", &TransferReport::cardsRefused},
    {"deletedLinesSent", &TransferReport::deletedLinesSent},
};

std::string lastRunJson(const LastRun& run) {
    json j = {{"start", run.start.toDateTimeText()},
              {"end", run.end.toDateTimeText()},
              {"catchUp", run.catchUp}};
    for (const auto& [name, count] : Counts) {
        j[name] = run.report.*count;
    }
    if (run.report.errorNumber) {
        j["errorNumber"] = *run.report.errorNumber;
        j["errorDescription"] = run.report.errorDescription;
    }
    j["stoppedKind"] = run.report.stoppedKind;
    j["stoppedAt"] = run.report.stoppedAt;
    j["sameStopRuns"] = run.sameStopRuns;
    // An error description from a database is not always UTF-8; the file stays readable JSON.
    return j.dump(1, '\t', false, json::error_handler_t::replace) + "\n";
}

// The first line of a text, cut to what one status line holds.
std::string shortText(const std::string& text) {
    const std::string line = text.substr(0, text.find_first_of("\r\n"));
    const std::string cut = leftChars(line, MaxTextShown);
    return cut.size() < line.size() ? cut + "..." : cut;
}

// "e", "c", "p" or "DC", the 12-digit stamp and the digit, ".txt": the 13 digits sort the dumps
// by the time they were written, whatever their kind.
std::optional<std::string> dumpOrder(const std::string& name) {
    const std::size_t kind = name.rfind("DC", 0) == 0 ? 2 : 1;
    if (name.size() != kind + 17 || name.compare(name.size() - 4, 4, ".txt") != 0 ||
        (kind == 1 && name[0] != 'e' && name[0] != 'c' && name[0] != 'p')) {
        return std::nullopt;
    }
    const std::string digits = name.substr(kind, 13);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return digits;
}

std::vector<DumpFile> newestDumps(const std::filesystem::path& folder) {
    std::vector<std::pair<std::string, std::filesystem::path>> found;  // order, file
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (const auto order = dumpOrder(name)) {
            found.emplace_back(*order + name, it->path());
        }
    }
    std::sort(found.begin(), found.end(), std::greater<>());
    found.resize(std::min(found.size(), MaxDumpsShown));

    std::vector<DumpFile> dumps;
    for (const auto& [order, file] : found) {
        DumpFile dump{file.filename().string(), "", ""};
        try {
            const std::vector<std::string> lines = readCp949Lines(file);
            const std::string label = "발생일자 : ";
            if (!lines.empty()) {
                dump.date =
                    lines[0].rfind(label, 0) == 0 ? lines[0].substr(label.size()) : lines[0];
            }
            if (lines.size() > 1) {
                dump.message = shortText(trimBlanks(lines[1]));
            }
        } catch (const Error& e) {
            dump.message = "unreadable: " + e.description();
        }
        dumps.push_back(dump);
    }
    return dumps;
}

// The first column of a query's rows, with the second when it selects one, in its order.
std::vector<std::pair<std::string, std::string>> keysAndDates(Connection& db,
                                                              const std::string& sql) {
    std::vector<std::pair<std::string, std::string>> rows;
    for (auto rs = db.openRecordset(sql); !rs->eof(); rs->moveNext()) {
        rows.emplace_back(rs->field(0).textOr(""),
                          rs->fieldCount() > 1 ? rs->field(1).textOr("") : "");
    }
    return rows;
}

std::string reportLine(const TransferReport& r, bool retail) {
    std::string line = std::to_string(r.salesSent) + " sales sent, " +
                       std::to_string(r.salesDuplicate) + " duplicates, " +
                       std::to_string(r.salesRefused) + " refused; card approvals " +
                       std::to_string(r.cardsSent) + " sent, " + std::to_string(r.cardsDuplicate) +
                       " duplicates, " + std::to_string(r.cardsRefused) + " refused";
    if (retail) {
        line += "; " + std::to_string(r.deletedLinesSent) + " deleted lines sent";
    }
    if (r.errorNumber) {
        line += "; ended by error " + std::to_string(*r.errorNumber) + ": " +
                shortText(r.errorDescription);
    }
    return line;
}

}  // namespace

std::filesystem::path lastRunFile(const std::filesystem::path& programFolder) {
    return programFolder / "lastrun.json";
}

std::optional<LastRun> readLastRun(const std::filesystem::path& programFolder) {
    std::ifstream in(lastRunFile(programFolder), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    const json j = json::parse(std::istreambuf_iterator<char>(in), {}, nullptr, false);
    if (!j.is_object()) {
        return std::nullopt;
    }
    try {
        LastRun run;
        if (!parseDateTime(j.at("start").get<std::string>(), run.start) ||
            !parseDateTime(j.at("end").get<std::string>(), run.end)) {
            return std::nullopt;
        }
        run.catchUp = j.at("catchUp").get<bool>();
        for (const auto& [name, count] : Counts) {
            run.report.*count = j.at(name).get<long>();
        }
        if (j.contains("errorNumber")) {
            run.report.errorNumber = j.at("errorNumber").get<long>();
            run.report.errorDescription = j.at("errorDescription").get<std::string>();
        }
        run.report.stoppedKind = j.at("stoppedKind").get<std::string>();
        run.report.stoppedAt = j.at("stoppedAt").get<std::string>();
        run.sameStopRuns = j.at("sameStopRuns").get<int>();
        return run;
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

void recordLastRun(const std::filesystem::path& programFolder, LastRun run) noexcept {
    try {
        const TransferReport& r = run.report;
        run.sameStopRuns = 0;
        if (!r.stoppedAt.empty()) {
            const std::optional<LastRun> before = readLastRun(programFolder);
            const bool same = before && before->report.stoppedKind == r.stoppedKind &&
                              before->report.stoppedAt == r.stoppedAt;
            run.sameStopRuns = same ? before->sameStopRuns + 1 : 1;
        }
        replaceFileDurably(lastRunFile(programFolder), lastRunJson(run));
    } catch (...) {
        // A full disk or a locked file costs the report of this run, never the run.
    }
}

TrayState trayState(const ShopStatus& status, bool running, bool lineDown) {
    if (running) {
        return TrayState::Sending;
    }
    if (lineDown) {
        return TrayState::LineDown;
    }
    if ((status.lastRun && status.lastRun->sameStopRuns >= 2) ||
        (status.oldestUnsent && status.oldestUnsent->refused)) {
        return TrayState::Stuck;
    }
    return TrayState::UpToDate;
}

ShopStatus collectShopStatus(Form1& form) {
    ShopStatus status;
    const std::filesystem::path& folder = form.services().programFolder;
    status.retail = numericValue(form.ServiceType) == 0;

    // Unsent as the engines select them, in the order they send them.
    std::vector<std::pair<std::string, std::string>> sales, cards;
    {
        auto db = createConnection();
        db->open(form.LocalConnStr);
        status.backlog = countBacklog(*db, status.retail);
        if (status.retail) {
            sales = keysAndDates(*db,
                                 "SELECT SL_ID, SL_DATE FROM SL WHERE iif(SL_SND is null,0,SL_SND) "
                                 "<> 7 ORDER BY SL_ID,SL_NO");
            cards = keysAndDates(*db, "SELECT C_SLID FROM CREDIT WHERE C_SND <> 7");
        } else {
            sales = keysAndDates(*db,
                                 "SELECT PE_ID, PE_DATE FROM PE WHERE PE_CK <> 0 AND "
                                 "IIf(IsNull(PE_SD), 0, PE_SD) <> 7 ORDER BY PE_ID");
            cards = keysAndDates(*db, "SELECT AC_ID FROM CREDIT WHERE CD_SD <> 7");
        }
    }
    status.lastRun = readLastRun(folder);
    status.newestDumps = newestDumps(folder / "log");

    std::vector<JournalEntry> journal;
    try {
        journal = form.journal().read();
    } catch (const Error& e) {
        status.journalError = e.description();
    }
    status.journalRecords = static_cast<long>(journal.size());
    std::set<std::pair<std::string, std::string>> unsent, waiting;  // kind, key
    for (const auto& sale : sales) {
        unsent.emplace("sale", sale.first);
    }
    for (const auto& card : cards) {
        unsent.emplace("card", card.first);
    }
    for (const JournalEntry& entry : journal) {
        const Refusal& r = entry.refusal;
        if ((r.outcome == "refused" || r.outcome == "failed") && unsent.count({r.kind, r.key})) {
            waiting.emplace(r.kind, r.key);
        }
    }
    status.refusalsWaiting = static_cast<long>(waiting.size());

    if (sales.empty()) {
        return status;
    }
    UnsentSale& oldest = status.oldestUnsent.emplace();
    oldest.id = sales.front().first;
    oldest.date = sales.front().second;
    oldest.refused = waiting.count({"sale", oldest.id}) > 0;
    const LastRun* last = status.lastRun ? &*status.lastRun : nullptr;
    if (status.backlog.stuckSale == oldest.id) {
        oldest.stuckReason =
            "its SL_UPTRANSNO (transaction number) is Null; every run ends there until the POS "
            "program fills it";
    } else if (last && last->report.errorNumber && last->report.stoppedKind == "sale" &&
               last->report.stoppedAt == oldest.id) {
        oldest.stuckReason = "the last run ended there by error " +
                             std::to_string(*last->report.errorNumber) + ": " +
                             shortText(last->report.errorDescription);
    } else if (oldest.refused) {
        for (auto it = journal.rbegin(); it != journal.rend(); ++it) {
            const Refusal& r = it->refusal;
            if (r.kind == "sale" && r.key == oldest.id &&
                (r.outcome == "refused" || r.outcome == "failed")) {
                oldest.stuckReason =
                    "its upload " + std::string(r.outcome == "refused" ? "was refused" : "failed") +
                    " on " + it->time + ": " + shortText(r.reply);
                break;
            }
        }
    }
    return status;
}

std::vector<std::pair<std::string, std::string>> statusLines(const ShopStatus& status) {
    std::vector<std::pair<std::string, std::string>> lines;
    const Backlog& b = status.backlog;
    lines.emplace_back("unsent sales", std::to_string(b.sales));
    lines.emplace_back("unsent cards", std::to_string(b.cardApprovals));
    if (status.retail) {
        lines.emplace_back("unsent deleted", b.deletedLines ? std::to_string(*b.deletedLines)
                                                            : "unknown: " + b.deletedLinesNote);
        if (b.stuckSale) {
            lines.emplace_back("stops at", "sale SL_ID " + *b.stuckSale +
                                               ": its SL_UPTRANSNO is Null, so every run ends "
                                               "there until the POS program fills it");
        }
    }
    if (status.oldestUnsent) {
        const UnsentSale& s = *status.oldestUnsent;
        lines.emplace_back("oldest unsent", "sale " + s.id + " of " + s.date);
        if (!s.stuckReason.empty()) {
            lines.emplace_back("why unsent", s.stuckReason);
        }
    }
    if (!status.lastRun) {
        lines.emplace_back("last run", "none recorded");
    } else {
        const LastRun& run = *status.lastRun;
        lines.emplace_back("last run", run.start.toDateTimeText() + " to " +
                                           run.end.toDateTimeText() +
                                           (run.catchUp ? ", start-up's catch-up transfer" : ""));
        lines.emplace_back("last run did", reportLine(run.report, status.retail));
        if (!run.report.stoppedAt.empty()) {
            lines.emplace_back(
                "stopped at",
                run.report.stoppedKind + " " + run.report.stoppedAt +
                    (run.sameStopRuns >= 2
                         ? ", the last " + std::to_string(run.sameStopRuns) + " runs in a row"
                         : ""));
        }
    }
    lines.emplace_back("refusals", status.journalError.empty()
                                       ? std::to_string(status.refusalsWaiting) +
                                             " refused sales or card approvals still unsent (" +
                                             std::to_string(status.journalRecords) +
                                             " records in refusals.jsonl)"
                                       : "journal unreadable: " + status.journalError);
    if (status.newestDumps.empty()) {
        lines.emplace_back("dump files", "none");
    }
    for (const DumpFile& dump : status.newestDumps) {
        lines.emplace_back("dump file", dump.name + "  " + dump.date + "  " + dump.message);
    }
    return lines;
}

}  // namespace veldon
