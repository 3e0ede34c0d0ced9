#include "app/backlog.h"

#include "engines/queries.h"
#include "platform/asciitext.h"
#include "platform/error.h"

namespace veldon {

namespace {

// Deleted lines are marked only once the upgrade has added DEL_SD: an older database, or one
// without the table, cannot tell how many are unsent.
std::string whyNoDeletedLines(Connection& db, const Error& failure) {
    std::unique_ptr<Recordset> probe;
    try {
        probe = db.openRecordset(" SELECT * FROM DELSSL WHERE 1 = 0 ");
    } catch (const Error&) {
        return "none (the database has no table DELSSL)";
    }
    for (int i = 0; i < probe->fieldCount(); ++i) {
        if (equalsIgnoringAsciiCase(probe->fieldName(i), "DEL_SD")) {
            return "unknown (" + failure.description() + ")";
        }
    }
    return "unknown (DELSSL has no column DEL_SD: the database is not upgraded yet)";
}

}  // namespace

Backlog countBacklog(Connection& db, bool retail) {
    Backlog backlog;
    backlog.sales =
        db.openRecordset(retail ? queries::retailUnsentCount() : queries::restaurantUnsentCount())
            ->recordCount();
    backlog.cardApprovals =
        db.openRecordset(retail ? queries::retailCards() : queries::restaurantCards())
            ->recordCount();
    if (retail) {
        try {
            backlog.deletedLines = db.openRecordset(queries::retailDeletedLines())->recordCount();
        } catch (const Error& e) {
            backlog.deletedLinesNote = whyNoDeletedLines(db, e);
        }
        try {
            auto stuck = db.openRecordset(
                "SELECT SL_ID FROM SL WHERE iif(SL_SND is null,0,SL_SND) <> 7 AND SL_UPTRANSNO "
                "IS NULL ORDER BY SL_ID,SL_NO");
            if (!stuck->eof()) {
                backlog.stuckSale = stuck->field("SL_ID").toText();
            }
        } catch (const Error&) {
            // Before the upgrade there is no SL_UPTRANSNO; the start-up upgrade adds it.
        }
    }
    return backlog;
}

}  // namespace veldon
