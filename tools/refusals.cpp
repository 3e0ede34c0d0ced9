#include "tools/refusals.h"

#include <algorithm>
#include <iomanip>
#include <ostream>
#include <string_view>
#include <utility>

#include "app/form1.h"
#include "logs/refusaljournal.h"
#include "platform/clock.h"
#include "platform/database.h"
#include "platform/error.h"
#include "platform/fileerror.h"
#include "platform/settingsstore.h"
#include "platform/value.h"

namespace veldon {

namespace {

// How a row of one kind is made unsent again, per business type (numeric value of ServiceType).
// "{key}" stands for the row's key as an SQL text literal.
struct ResendRoute {
    int businessType;
    std::string_view kind;
    std::string_view clearMark;  // changes only a row that is marked sent
    std::string_view findRow;    // any row of the key, marked or not
};

constexpr ResendRoute kRoutes[] = {
    {0, "sale", "UPDATE SL SET SL_SND = 0 WHERE SL_ID = {key} AND SL_SND = 7",
     "SELECT SL_ID FROM SL WHERE SL_ID = {key}"},
    {0, "card", "UPDATE CREDIT SET C_SND = 0 WHERE C_SLID = {key} AND C_SND = 7",
     "SELECT C_SLID FROM CREDIT WHERE C_SLID = {key}"},
    {1, "sale", "UPDATE PE SET PE_SD = 0 WHERE PE_ID = {key} AND PE_SD = 7",
     "SELECT PE_ID FROM PE WHERE PE_ID = {key}"},
    {1, "card", "UPDATE CREDIT SET CD_SD = 0 WHERE AC_ID = {key} AND CD_SD = 7",
     "SELECT AC_ID FROM CREDIT WHERE AC_ID = {key}"},
};

const ResendRoute* routeOf(int businessType, const std::string& kind) {
    for (const ResendRoute& route : kRoutes) {
        if (route.businessType == businessType && route.kind == kind) {
            return &route;
        }
    }
    return nullptr;
}

// The statement with the key as a quoted text, its quotes doubled.
std::string withKey(std::string_view statement, const std::string& key) {
    std::string literal = "'";
    for (char c : key) {
        literal += c == '\'' ? "''" : std::string(1, c);
    }
    literal += "'";
    std::string sql(statement);
    return sql.replace(sql.find("{key}"), 5, literal);
}

bool isRefusedOrFailed(const Refusal& r) {
    return r.outcome == "refused" || r.outcome == "failed";
}

std::string firstLine(const std::string& text, std::size_t chars) {
    const std::string line = text.substr(0, text.find_first_of("\r\n"));
    const std::string cut = leftChars(line, chars);
    return cut.size() < line.size() ? cut + "..." : cut;
}

}  // namespace

int listRefusals(const std::filesystem::path& programFolder, const std::string& kind,
                 std::ostream& out) {
    SystemClock clock;
    const RefusalJournal journal(programFolder, clock);
    std::size_t unreadable = 0;
    std::size_t listed = 0;
    for (const JournalEntry& entry : journal.read(&unreadable)) {
        const Refusal& r = entry.refusal;
        if (!kind.empty() && r.kind != kind) {
            continue;
        }
        ++listed;
        out << entry.time << "  " << std::left << std::setw(4) << r.kind << "  " << std::setw(7)
            << r.outcome << "  " << std::setw(10) << r.key << "  " << std::setw(12) << r.method
            << "  " << firstLine(r.reply, 60) << "\n";
    }
    const std::string what = kind.empty() ? "refusal" : kind + " refusal";
    if (listed == 0) {
        out << "no " << what << "s recorded in " << pathText(journal.file()) << "\n";
    } else {
        out << listed << " " << what << (listed == 1 ? "" : "s") << " in "
            << pathText(journal.file()) << "\n";
    }
    if (unreadable > 0) {
        out << unreadable << " unreadable line" << (unreadable == 1 ? "" : "s") << " skipped\n";
    }
    return 0;
}

int resendRefusals(const std::filesystem::path& programFolder, const ResendRequest& request,
                   std::ostream& out, std::ostream& err) {
    auto store = openUserSettingsStore();
    StreamMessageSink messages(err);
    SystemClock clock;
    Form1 form(Form1Services{*store, messages, clock, programFolder});
    if (form.loadConfiguration() != StartupOutcome::Running) {
        return 2;
    }
    const int businessType = static_cast<int>(numericValue(form.ServiceType));
    if (std::none_of(std::begin(kRoutes), std::end(kRoutes),
                     [&](const ResendRoute& r) { return r.businessType == businessType; })) {
        err << "resending is not available for "
            << (businessType == 0 ? std::string("retail shops")
                                  : "business type " + form.ServiceType)
            << " yet\n";
        return 1;
    }

    // What the journal holds as refused or failed and this shop can resend, once per row key,
    // oldest first.
    std::vector<std::pair<std::string, std::string>> resendable;  // kind, key
    for (const JournalEntry& entry : RefusalJournal(programFolder, clock).read()) {
        const Refusal& r = entry.refusal;
        const std::pair<std::string, std::string> row{r.kind, r.key};
        if (isRefusedOrFailed(r) && (request.kind.empty() || r.kind == request.kind) &&
            routeOf(businessType, r.kind) &&
            std::find(resendable.begin(), resendable.end(), row) == resendable.end()) {
            resendable.push_back(row);
        }
    }
    int status = 0;
    std::vector<std::pair<std::string, std::string>> chosen;
    if (request.all) {
        chosen = resendable;
    } else {
        for (const std::string& key : request.keys) {
            bool known = false;
            for (const auto& row : resendable) {
                if (row.second == key) {
                    known = true;
                    if (std::find(chosen.begin(), chosen.end(), row) == chosen.end()) {
                        chosen.push_back(row);
                    }
                }
            }
            if (!known) {
                err << key << ": the journal holds no refused or failed "
                    << (request.kind.empty() ? "upload" : request.kind) << " of this key\n";
                status = 1;
            }
        }
    }
    if (chosen.empty()) {
        out << "nothing to resend\n";
        return status;
    }

    auto db = createConnection();
    db->open(form.LocalConnStr);
    long cleared = 0;
    long unmarked = 0;
    for (const auto& [kind, key] : chosen) {
        const ResendRoute& route = *routeOf(businessType, kind);
        out << kind << " " << key << ": ";
        try {
            const long changed = db->execute(withKey(route.clearMark, key));
            if (changed > 0) {
                cleared += changed;
                out << (changed == 1 ? "mark cleared" : std::to_string(changed) + " marks cleared")
                    << "\n";
            } else if (db->openRecordset(withKey(route.findRow, key))->recordCount() > 0) {
                ++unmarked;
                out << "was not marked sent, so it will be sent anyway\n";
            } else {
                out << "no such row in the local database\n";
                status = 1;
            }
        } catch (const Error& e) {
            out << "failed: " << e.description() << "\n";
            status = 1;
        }
    }
    db->close();
    out << cleared << (cleared == 1 ? " mark" : " marks") << " cleared, " << unmarked
        << " not marked sent: the next transfer sends them\n";
    return status;
}

}  // namespace veldon
