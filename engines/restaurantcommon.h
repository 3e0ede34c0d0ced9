// What the two restaurant engines share: the frame of a run (busy pointer, the local connection,
// the one error path, closing everything) and the parts of a sale that both fill alike. Each
// engine keeps its own order of steps; these pieces hold no decision of their own beyond what both
// engines do the same way.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "app/form1.h"
#include "platform/recordset.h"
#include "remote/dataspace.h"
#include "remote/recordarrays.h"

namespace veldon::restaurant {

// Stage texts of a run; the error path reads them.
inline constexpr const char* SalesStage = "영업";
inline constexpr const char* CardStage = "카드";

// The accounting sum of a sale: a fixed-point amount with four decimals, as the program's currency
// type keeps it, so that adding amounts never drifts as doubles would.
class AccountingSum {
public:
    // Adds an amount, rounded half-even to 1/10000. Overflow (error 6) beyond the currency range.
    void add(double amount);
    // Shortest decimal text: "9000", "12.5", "-0.0001".
    std::string text() const;
    std::int64_t tenThousandths() const { return m_units; }

private:
    std::int64_t m_units = 0;
};

// The daily-scan filter on PE_EDATE: yesterday and today, both as "yyyy-mm-dd", unless the
// catch-up transfer runs or the daily scan is off; then empty.
std::string dailyDateFilter(const Form1& form);

// The payment code of TPE slot 14 from the header's three payment sums; an absent sum adds
// nothing: "E000" cash only, "E003" card only, "E005" receivable only, else "E006".
std::string paymentCode(const Value& cash, const Value& card, const Value& receivable);

// The card number sent: CD_NO up to its first "=".
std::string cardNumber(const std::string& cdNo);

// A whole number rounded half-even, raising Overflow outside the 32-bit signed range, as the
// standard engine's sums and dump amounts are kept.
std::int32_t roundToInt32(double value);

// The outer join of the lines query gives a sale without lines one row whose line and product
// fields are all absent: such a view counts as no lines.
bool hasNoLines(const Recordset& lines);

// One engine run: the record arrays, reply text, sale key and stage that the error path reads,
// the local connection in Form1::LocalDb and the run's one DataSpace.
class RestaurantRun {
public:
    // Shows the busy pointer and resets Form1::lastTransfer. `uploadMethod` is the method that
    // sends a sale: PutPSM13_SIN carries TDLV, PutPSM13_PSN does not.
    RestaurantRun(Form1& owner, std::string uploadMethod);

    Form1& form;
    TextArray TPE, TRT, TDLV;
    TextTable TPS, TAC, TPSN, TCD;
    std::string reply;
    std::string saleKey;
    std::string stage;

    // A new connection in Form1::LocalDb, opened with LocalConnStr.
    Connection& openLocalDb();
    std::unique_ptr<Recordset> open(const std::string& sql);

    // Empties TPE (`tpeSlots` slots) and TRT, and the accounting sum.
    void beginSale(std::size_t tpeSlots);
    // TPE slots 0 to 14 from the header row (slot 12 waits for the accounting sum).
    void fillHeaderFront(const Recordset& headers);
    // TPE slots 17 to 21; slot 19 decided from the customer code before its default goes in.
    void fillHeaderBack(const Recordset& headers);
    // The sale key, the customer defaults of TPE slots 6 and 7, and TRT.
    void finishHeader(const Recordset& headers);
    // TAC from the filtered accounting rows and their sum into TPE slot 12. With
    // `voucherRemarks`, rows of account and sub-account "11103001" carry remark 2 in slot 10 and
    // the sale identifier in slot 18.
    void fillAccounting(Recordset& accounting, const Recordset& headers, bool voucherRemarks);
    // One TPS row from the current line; slot 15 "" for an absent PS_TYPE when `typeOrEmpty`.
    void fillLine(const Recordset& lines, std::size_t row, bool typeOrEmpty);
    // TPS as one empty row, and the no-line-number dump; the sale is still sent.
    void noLines();
    // TPSN: one empty row, or one row per guest record of the sale numbered from 1.
    void fillGuests(Recordset& guests);
    // TCD as one row from the current card approval.
    void fillCard(const Recordset& cards);

    // Empties the reply text and makes one call on a fresh remote object of the run's DataSpace
    // (created on first use); returns its result. A call that raises is journaled by fail().
    bool upload(const std::function<bool(RemoteObject&)>& call);
    // What the service said to a sale: mark it, log the duplicate, or dump the refusal.
    void saleAnswered(bool accepted);
    // Journals the card approval in TCD as refused, before it is marked or left.
    void cardRefused();
    // Progress after each sale.
    void saleDone();

    // The one error path: the dump chosen by the stage; the run then ends.
    void fail(long number, const std::string& description);
    // Closes the recordsets in the given order and the connection, releases the remote object
    // and the DataSpace, restores the pointer. Never raises; a card transaction still open is
    // rolled back by closing, not committed.
    void close(std::initializer_list<std::unique_ptr<Recordset>*> recordsets);

    const std::string& saleId() const { return TPE(0); }

private:
    // The upload in hand (the sale, or the approval in the card stage) for the journal.
    Refusal refusal(const std::string& outcome, const std::string& why) const;

    std::string m_uploadMethod;
    bool m_calling = false;
    AccountingSum m_sum;
    long m_done = 0;
    std::unique_ptr<DataSpace> m_space;
    std::unique_ptr<RemoteObject> m_object;  // released before m_space
};

}  // namespace veldon::restaurant
