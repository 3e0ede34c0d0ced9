// The central store: what the reference service keeps of the shops' uploads, behind a narrow
// interface so that a chain's head office can put it on another database server (the embedded
// SQLite store is the default). Every call is safe from many request threads at once.
//
// The duplicate rules are the service's promise to the shops: a sale is held once per store and
// sale key (or, without a key, per store, counter and sale identifier); a card approval once per
// store, bill and approval number. A duplicate whose content differs from what is held (two PCs
// installed with the same codes, or a forged upload) changes nothing stored; it is recorded in
// the CONFLICT table with both contents' digests, the time and the caller's address. An upload is
// stored whole or not at all, and an accepted one is on disk before the call returns.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "remote/recordarrays.h"

namespace veldon::central {

// One sale as PutPSM13, PutPSM13_SIN or PutPSM13_PSN deliver it.
struct SaleUpload {
    std::string method;             // the method's name as called
    TextArray TPE;                  // header: slot 0 sale identifier, 4 store code, 21 counter id
    TextTable TPS;                  // lines
    TextArray TRT;                  // restaurant extension (retail sends one too)
    std::optional<TextTable> TPSN;  // guests (PutPSM13_SIN, PutPSM13_PSN)
    TextTable TAC;                  // accounting entries
    std::optional<TextArray> TDLV;  // delivery (PutPSM13_SIN)
    std::string saleKey;            // may be empty
    bool markedY = false;           // PutPSM13's eighth argument "Y"
    std::string client;             // the caller's address, for a conflict's record
};

// The answer to an upload or a statement: accepted, or refused with the reply text the client
// reads ("1:중복DATA" for a duplicate sale, "<k>:중복DATA" for a card batch whose row k is held
// already, else an explanation).
struct StoreReply {
    bool accepted = false;
    std::string reply;
    // A duplicate whose key the store holds with other content: recorded in CONFLICT.
    bool conflict = false;
};

// A deleted sale line as the DELPSS13 statement carries it.
struct DeletedLine {
    std::string date;       // DEL_DATE
    std::string barcode;    // PR_BCODE
    std::string name;       // PR_NAME
    std::string unit;       // PR_UNIT
    double price = 0;       // PR_UP
    double quantity = 0;    // PR_QTY
    double amount = 0;      // PR_AMT
    std::string posId;      // POS_ID
    std::string storeCode;  // RCT_CODE
};

// A shop as the head office registers it.
struct Shop {
    std::string storeCode, storeName;
    std::string depotCode, depotName;
    std::string posId, posName;
};

// One shop's line on the head-office page, over the `days` days that end with `today`.
struct ShopActivity {
    std::string storeCode, storeName;
    // "YYYY-MM-DD HH:MM:SS" of the latest sale or card approval received; empty when none.
    std::string lastUpload;
    // The latest version any of its counters reported, and when; empty when none reported.
    std::string version, versionReportedAt;
    // Sales and card approvals received per day: index 0 is `today`, 1 the day before, ...
    std::vector<long> salesPerDay, cardsPerDay;
    // Uploads of this store answered as duplicates, and refused by the store, over those days.
    long duplicates = 0;
    long refusals = 0;
};

class CentralStore {
public:
    virtual ~CentralStore() = default;

    // A sale of a registered store: stored whole (accepted), a duplicate, or refused (unknown
    // store, arrays too small to hold the key slots).
    virtual StoreReply putSale(const SaleUpload& sale) = 0;
    // All rows of a card batch or none; each row's store code is its slot 1. `client` is the
    // caller's address, for a conflict's record.
    virtual StoreReply putCards(const TextTable& TCD, const std::string& client) = 0;
    // The deleted lines of one PUTSQL call, all or none.
    virtual StoreReply putDeletedLines(const std::vector<DeletedLine>& lines) = 0;
    // The version report: sets VELDON_VER and VELDON_VER_SDATE (now) of one counter; refused when
    // the store has no such counter.
    virtual StoreReply reportVersion(const std::string& version, const std::string& posId,
                                     const std::string& storeCode) = 0;

    // The name look-ups of the main window; empty when there is no such row.
    virtual std::optional<std::string> storeName(const std::string& storeCode) = 0;
    virtual std::optional<std::string> depotName(const std::string& depotCode,
                                                 const std::string& storeCode) = 0;
    virtual std::optional<std::string> counterName(const std::string& posId,
                                                   const std::string& storeCode) = 0;

    // Administration: register (or rename) a store, depot and counter; count every table's rows.
    virtual void addShop(const Shop& shop) = 0;
    virtual std::vector<std::pair<std::string, long>> tableCounts() = 0;
    // What one store sent: its sales, card approvals and deleted lines held.
    virtual std::vector<std::pair<std::string, long>> storeCounts(const std::string& storeCode) = 0;
    // Every registered store with what it sent over the `days` days ending with `today`
    // ("YYYY-MM-DD"), ordered by store code; a store that sent nothing has zeros.
    virtual std::vector<ShopActivity> shopActivity(const std::string& today, int days) = 0;
};

// The embedded store in one SQLite file (WAL, synchronous FULL, one writer thread committing the
// uploads of many requests together). Raises veldon::Error when the file cannot be opened.
std::unique_ptr<CentralStore> openSqliteStore(const std::filesystem::path& file);

}  // namespace veldon::central
