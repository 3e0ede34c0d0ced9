// The columns and the table that the engines read and older POS databases lack. Each statement
// runs at every start; the error of a column or table that exists already is expected and
// ignored, as is every other error here.
#include <limits>

#include "app/form1.h"
#include "platform/error.h"
#include "platform/value.h"

namespace veldon {

void Form1::runIgnoringErrors(const std::function<void(Connection&)>& statements) {
    try {
        LocalDb = createConnection();
        LocalDb->open(LocalConnStr);
        statements(*LocalDb);
    } catch (const Error&) {
        // The database cannot be opened: nothing to upgrade.
    }
    if (LocalDb) {
        LocalDb->close();
        LocalDb.reset();
    }
}

namespace {

void executeIgnoringError(Connection& db, const std::string& sql) {
    try {
        db.execute(sql);
    } catch (const Error&) {
    }
}

}  // namespace

void Form1::UpgradeRetailSchema() {
    runIgnoringErrors([](Connection& db) {
        executeIgnoringError(db, "ALTER TABLE SL ADD COLUMN SL_EDATE TEXT(10) ");
        executeIgnoringError(db, "ALTER TABLE SL ADD COLUMN SL_UPTRANSNO TEXT(18) ");
        executeIgnoringError(
            db, std::string("CREATE TABLE BAS ( BAS_CODE   TEXT(6)  PRIMARY KEY ,") +
                    "  BS_NAME1   TEXT(26) NOT NULL ," + "  BS_NAME2   TEXT(26) NOT NULL , " +
                    "  BS_M1      TEXT(128)         , " + "  BS_M2      TEXT(30)          , " +
                    "  BS_M3      TEXT(20)          , " + "  BS_M4      TEXT(12)        ) ");
    });
}

void Form1::UpgradeRestaurantSchema() {
    runIgnoringErrors([this](Connection& db) {
        executeIgnoringError(db, "ALTER TABLE PSN ADD COLUMN PSN_ETC INTEGER ");
        executeIgnoringError(db, " ALTER TABLE PE ADD PE_BAN TEXT(1) ");
        const std::string sql =
            numericValue(RestaurantKind) == 3
                ? " SELECT CF_CONTENTS FROM CF WHERE CF_PART = '영업4' AND CF_IDX = 3 "
                : " SELECT CF_CONTENTS FROM CF WHERE CF_PART = '영업3' AND CF_IDX = 12 ";
        try {
            auto rs = db.openRecordset(sql, CursorType::ForwardOnly, LockType::ReadOnly);
            // Null, or a value beyond a 16-bit whole number, cannot be converted: the option keeps
            // its value, as with any other error here.
            if (!rs->eof() && !rs->field(0).isNull()) {
                double n = roundHalfEven(numericValue(rs->field(0).toText()));
                if (n >= std::numeric_limits<std::int16_t>::min() &&
                    n <= std::numeric_limits<std::int16_t>::max()) {
                    CfOptionValue = static_cast<std::int16_t>(n);
                }
            }
            rs->close();
        } catch (const Error&) {
        }
    });
}

void Form1::UpgradeDeletedLines() {
    runIgnoringErrors([](Connection& db) {
        executeIgnoringError(db, "ALTER TABLE DELSSL ADD COLUMN DEL_SD TEXT(1) ");
    });
}

}  // namespace veldon
