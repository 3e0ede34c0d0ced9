// The frame of one engine run, whatever the kind of shop: the busy pointer, the local connection
// in Form1::LocalDb, the run's one DataSpace and its calls, what the service said to a sale, the
// refusal journal, progress, the one error path and closing everything. Each engine derives its
// own run from it and keeps its own order of steps in its own source.
#pragma once

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/form1.h"
#include "logs/refusaljournal.h"
#include "platform/recordset.h"
#include "remote/dataspace.h"
#include "remote/recordarrays.h"

namespace veldon {

// Stage texts of a run; the error path reads them.
inline constexpr const char* SalesStage = "영업";
inline constexpr const char* CardStage = "카드";

// "yyyy-mm-dd" of yesterday and today for the daily filters, yesterday written in the same form
// as today so that the filter selects exactly those two days (on 1 March: the last day of
// February and 1 March).
std::pair<std::string, std::string> yesterdayAndToday(const Form1& form);

// The daily filters apply unless the catch-up transfer runs or the daily scan is off.
bool dailyScan(const Form1& form);

class TransferRun {
public:
    // What a call sends, for the journal: the sale in TPE and its arrays, the card approvals in
    // TCD, or the deleted-line statements in `deletedLines`.
    enum class Upload { Sale, Cards, DeletedLines };

    // Shows the busy pointer and resets Form1::lastTransfer. `uploadMethod` names the method
    // that sends a sale, for the journal.
    TransferRun(Form1& owner, std::string uploadMethod);
    virtual ~TransferRun() = default;

    Form1& form;
    TextArray TPE, TRT;
    TextTable TPS, TAC, TCD;
    TextArray deletedLines;  // PUTSQL's statement list of a retail run
    std::string reply;
    std::string saleKey;
    std::string stage;

    // A new connection in Form1::LocalDb, opened with LocalConnStr.
    Connection& openLocalDb();
    std::unique_ptr<Recordset> open(const std::string& sql);

    // Empties the reply text and makes one call on a fresh remote object of the run's DataSpace
    // (created on first use); returns its result. A call that raises is journaled by fail().
    bool upload(Upload what, const std::function<bool(RemoteObject&)>& call);
    // What the service said to the sale in TPE: `markSent` runs when it accepted the sale or
    // holds it already (the duplicate logged to the daily log when `logDuplicate`); a refusal
    // is journaled and dumped, and the sale stays unsent.
    void saleAnswered(bool accepted, const std::string& markSent, bool logDuplicate);
    // Journals what the last call sent as refused, before its rows are marked or left.
    void refused();
    // Progress after each sale.
    void saleDone();

    // The one error path: the dump chosen by the stage (a sale dump's prefix is the error number
    // when `numberAsPrefix`), and the journal when a call raised; the run then ends. Notes the
    // sale or card approval being sent in Form1::lastTransfer.
    void fail(long number, const std::string& description, bool numberAsPrefix);
    // Closes the recordsets in the given order and the connection, releases the remote object
    // and the DataSpace, restores the pointer. Never raises; a transaction still open is rolled
    // back by closing, not committed.
    void close(std::initializer_list<std::unique_ptr<Recordset>*> recordsets);

    const std::string& saleId() const { return TPE(0); }

protected:
    // The arrays a sale upload carries, in calling order, for the journal.
    virtual std::vector<std::pair<std::string, JournalArray>> saleArrays() const;

private:
    // What the last call sent, for the journal.
    Refusal refusal(const std::string& outcome, const std::string& why) const;

    std::string m_uploadMethod;
    Upload m_uploading = Upload::Sale;
    bool m_calling = false;
    long m_done = 0;
    std::string m_doneSale;  // TPE(0) of the last sale answered, to tell an error between sales
    std::unique_ptr<DataSpace> m_space;
    std::unique_ptr<RemoteObject> m_object;  // released before m_space
};

}  // namespace veldon
