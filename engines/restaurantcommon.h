// What the two restaurant engines share beyond the frame of every run (engines/transferrun.h):
// the parts of a sale that both fill alike and the restaurant's marks and dumps. Each
// engine keeps its own order of steps; these pieces hold no decision of their own beyond what both
// engines do the same way.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "app/form1.h"
#include "engines/transferrun.h"
#include "platform/recordset.h"
#include "remote/dataspace.h"
#include "remote/recordarrays.h"

namespace veldon::restaurant {

using veldon::CardStage;
using veldon::SalesStage;

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

// One restaurant engine run: the frame with the guests and delivery arrays and the fills both
// restaurant engines share.
class RestaurantRun : public TransferRun {
public:
    // `uploadMethod` sends a sale: PutPSM13_SIN carries TDLV, PutPSM13_PSN does not.
    RestaurantRun(Form1& owner, std::string uploadMethod);

    TextArray TDLV;
    TextTable TPSN;

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

    // What the service said to a sale: PE_SD = 7, the duplicate logged, or the refusal dumped.
    void saleAnswered(bool accepted);
    // The error path; a sale dump carries the error number as its prefix.
    void fail(long number, const std::string& description);

protected:
    std::vector<std::pair<std::string, JournalArray>> saleArrays() const override;

private:
    bool m_delivery;
    AccountingSum m_sum;
};

}  // namespace veldon::restaurant
