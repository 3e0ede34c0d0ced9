#include "engines/restaurantcommon.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "engines/queries.h"
#include "platform/error.h"
#include "platform/value.h"
#include "remote/replies.h"

namespace veldon::restaurant {

namespace {

const char* const NoCustomerCode = "1000000000000000";
const char* const NoCustomerName = "소비자";

Error overflow() {
    return Error(errc::Overflow, "Overflow");
}

}  // namespace

void AccountingSum::add(double amount) {
    // The currency range is that of a 64-bit count of 1/10000.
    const double units = roundHalfEven(amount * 10000.0);
    constexpr double limit = 9223372036854775808.0;  // 2^63
    if (!(units > -limit && units < limit)) {
        throw overflow();
    }
    if (__builtin_add_overflow(m_units, static_cast<std::int64_t>(units), &m_units)) {
        throw overflow();
    }
}

std::string AccountingSum::text() const {
    const bool negative = m_units < 0;
    const std::uint64_t magnitude =
        negative ? 0 - static_cast<std::uint64_t>(m_units) : static_cast<std::uint64_t>(m_units);
    std::string text = (negative ? "-" : "") + std::to_string(magnitude / 10000);
    std::uint64_t fraction = magnitude % 10000;
    if (fraction != 0) {
        std::string digits = std::to_string(fraction);
        digits.insert(0, 4 - digits.size(), '0');
        digits.erase(digits.find_last_not_of('0') + 1);
        text += "." + digits;
    }
    return text;
}

std::string dailyDateFilter(const Form1& form) {
    if (!dailyScan(form)) {
        return {};
    }
    const auto [yesterday, today] = yesterdayAndToday(form);
    return queries::restaurantDateFilter(yesterday, today);
}

std::string paymentCode(const Value& cash, const Value& card, const Value& receivable) {
    int flags = 0;
    flags += cash.toNumber() != 0 ? 100 : 0;
    flags += card.toNumber() != 0 ? 10 : 0;
    flags += receivable.toNumber() != 0 ? 1 : 0;
    switch (flags) {
        case 100:
            return "E000";
        case 10:
            return "E003";
        case 1:
            return "E005";
        default:
            return "E006";
    }
}

std::string cardNumber(const std::string& cdNo) {
    return cdNo.substr(0, cdNo.find('='));
}

std::int32_t roundToInt32(double value) {
    const double rounded = roundHalfEven(value);
    if (!(rounded >= std::numeric_limits<std::int32_t>::min() &&
          rounded <= std::numeric_limits<std::int32_t>::max())) {
        throw overflow();
    }
    return static_cast<std::int32_t>(rounded);
}

bool hasNoLines(const Recordset& lines) {
    if (lines.recordCount() == 0) {
        return true;
    }
    if (lines.recordCount() != 1) {
        return false;
    }
    // Only the outer join's own row has every field of PS and PR absent; a real line with an
    // absent PS_NO is a line, and its conversion error ends the run at that sale.
    for (int f = 0; f < lines.fieldCount(); ++f) {
        const std::string& name = lines.fieldName(f);
        const bool fromLineOrProduct = name.rfind("PS_", 0) == 0 || name.rfind("PR_", 0) == 0;
        if (fromLineOrProduct && !lines.field(f).isNull()) {
            return false;
        }
    }
    return true;
}

RestaurantRun::RestaurantRun(Form1& owner, std::string uploadMethod)
    : TransferRun(owner, uploadMethod), m_delivery(uploadMethod == "PutPSM13_SIN") {}

void RestaurantRun::beginSale(std::size_t tpeSlots) {
    TPE.resize(tpeSlots);
    TRT.resize(8);
    m_sum = {};
}

void RestaurantRun::fillHeaderFront(const Recordset& headers) {
    TPE(0) = headers.field("PE_ID").toText();
    TPE(1) = "1";
    TPE(2) = headers.field("PE_DATE").toText();
    TPE(3) = "";
    TPE(4) = form.StoreCode;
    TPE(5) = form.StoreName;
    TPE(6) = headers.field("CTCODE").toText();
    TPE(7) = headers.field("CTNAME").toText();
    TPE(8) = headers.field("PE_AMT").toText();
    TPE(9) = headers.field("PE_VAT").toText();
    TPE(10) = headers.field("PE_TOT").toText();
    TPE(11) = headers.field("pMISU").toText();
    TPE(13) = headers.field("PE_DAMT").toText();
    TPE(14) = paymentCode(headers.field("pCASH"), headers.field("pCARD"), headers.field("pMISU"));
}

void RestaurantRun::fillHeaderBack(const Recordset& headers) {
    TPE(15) = "";
    TPE(17) = headers.field("pRPOINT").toText();
    TPE(18) = headers.field("pUCODE").toText();
    TPE(19) = trimBlanks(TPE(6)).empty() ? "" : "Y";
    TPE(20) = headers.field("PE_ID").toText();
    TPE(21) = form.PosId;
}

void RestaurantRun::finishHeader(const Recordset& headers) {
    saleKey = TPE(0) + form.PosId;
    if (trimBlanks(TPE(6)).empty()) {
        TPE(6) = NoCustomerCode;
        TPE(7) = NoCustomerName;
    }
    TRT(0) = headers.field("PE_ID").toText();
    TRT(1) = headers.field("PE_EDATE").toText();
    TRT(2) = headers.field("PE_SDATE").toText();
    TRT(3) = headers.field("PE_NTBID").toText();
    TRT(4) = headers.field("PE_PSN").toText();
    TRT(5) = headers.field("PE_BAMT").toText();
    TRT(6) = headers.field("PE_SVC").toText();
    TRT(7) = headers.field("PE_TIP").toText();
}

void RestaurantRun::fillAccounting(Recordset& accounting, const Recordset& headers,
                                   bool voucherRemarks) {
    TAC.resize(1, 26);
    accounting.setFilter(" PEID = " + TPE(0));
    // pDCNUM counts the receivable and deposit entries, which never travel in TAC.
    const double n = accounting.recordCount() - headers.field("pDCNUM").toNumber();
    if (n >= 1) {
        TAC.resize(static_cast<std::size_t>(n), 26);
        std::size_t row = 0;
        for (; !accounting.eof(); accounting.moveNext()) {
            const Value account = accounting.field("AC_FNCD1");
            if (account.isNull() || account.toText() == "111050" || account.toText() == "211060") {
                continue;
            }
            // Slot 0 first: a row beyond the n counted raises error 9 before anything else.
            TAC(row, 0) = TPE(0);
            TAC(row, 1) = accounting.field("AC_NO").toText();
            TAC(row, 2) = accounting.field("ACCK").toText();
            TAC(row, 3) = accounting.field("ACGU").toText();
            TAC(row, 4) = accounting.field("ACDC").toText();
            TAC(row, 5) = accounting.field("AC_PDATE").toText();
            TAC(row, 6) = accounting.field("AC_SDATE").toText();
            TAC(row, 7) = form.StoreCode;
            TAC(row, 8) = accounting.field("AC_CTCODE").textOr("");
            TAC(row, 9) = accounting.field("AC_CTNAME").textOr("");
            if (trimBlanks(TAC(row, 8)).empty()) {
                TAC(row, 8) = NoCustomerCode;
                TAC(row, 9) = NoCustomerName;
            }
            TAC(row, 10) = "";
            TAC(row, 11) = account.toText();
            TAC(row, 12) = accounting.field("FNCD2").toText();
            TAC(row, 13) = accounting.field("AC_AMT").toText();
            TAC(row, 14) = accounting.field("ACREM1").textOr("");
            TAC(row, 15) = accounting.field("ACREM2").textOr("");
            TAC(row, 16) = accounting.field("ACREM3").textOr("");
            TAC(row, 17) = accounting.field("ACREM4").textOr("");
            TAC(row, 18) = accounting.field("ACREM5").textOr("");
            TAC(row, 19) = accounting.field("PEID").toText();
            TAC(row, 25) = accounting.field("AC_UCODE").toText();
            if (voucherRemarks && TAC(row, 11) + TAC(row, 12) == "11103001") {
                TAC(row, 10) = accounting.field("ACREM2").textOr("");
                TAC(row, 18) = accounting.field("PEID").toText();
            }
            m_sum.add(accounting.field("AC_AMT").toNumber());
            ++row;
        }
    }
    TPE(12) = m_sum.text();
}

void RestaurantRun::fillLine(const Recordset& lines, std::size_t row, bool typeOrEmpty) {
    TPS(row, 0) = lines.field("PE_ID").toText();
    TPS(row, 1) = lines.field("PS_NO").toText();
    TPS(row, 2) = lines.field("PS_DATE").toText();
    TPS(row, 3) = lines.field("PR_CODE").toText();
    TPS(row, 4) = lines.field("PR_NAME").toText();
    TPS(row, 5) = lines.field("pPOS").toText();
    TPS(row, 6) = lines.field("PR_TAX").toText();
    TPS(row, 7) = lines.field("pUNT").toText();
    TPS(row, 8) = lines.field("PS_QTY").toText();
    TPS(row, 9) = "0";
    TPS(row, 10) = lines.field("PR_COST").toText();
    TPS(row, 11) = lines.field("PS_UP").toText();
    TPS(row, 12) = lines.field("PS_AMT").toText();
    TPS(row, 13) = lines.field("PS_VAT").toText();
    TPS(row, 14) = TPE(18);
    TPS(row, 15) =
        typeOrEmpty ? lines.field("PS_TYPE").textOr("") : lines.field("PS_TYPE").toText();
    TPS(row, 16) = "";
    TPS(row, 17) = form.DepotCode;
    TPS(row, 18) = form.DepotName;
    TPS(row, 19) = numberToText(lines.field("PS_DC").toNumber());
}

void RestaurantRun::noLines() {
    TPS.resize(1, 20);
    form.log().WRITE_NOSEQ_DUMP(TPE, TRT, TAC, "순번없음:     전송된ID : " + TPE(0));
}

void RestaurantRun::fillGuests(Recordset& guests) {
    TPSN.resize(1, 7);
    guests.setFilter(" PE_ID = " + TPE(0));
    const long count = guests.recordCount();
    if (count == 0) {
        return;
    }
    TPSN.resize(static_cast<std::size_t>(count), 7);
    std::size_t row = 0;
    for (; !guests.eof(); guests.moveNext(), ++row) {
        TPSN(row, 0) = guests.field("PE_ID").toText();
        TPSN(row, 1) = integerToText(static_cast<std::int64_t>(row) + 1);
        TPSN(row, 2) = numberToText(guests.field("PSN_MAN").toNumber());
        TPSN(row, 3) = numberToText(guests.field("PSN_WOMAN").toNumber());
        TPSN(row, 4) = guests.field("PSN_PGRADE").toText();
        const double total = guests.field("PSN_ETC").toNumber();
        TPSN(row, 5) = numberToText(
            total != 0 ? total : numericValue(TPSN(row, 2)) + numericValue(TPSN(row, 3)));
        TPSN(row, 6) = form.StoreCode;
    }
}

void RestaurantRun::fillCard(const Recordset& cards) {
    const std::string number = cardNumber(cards.field("CD_NO").toText());
    TCD.resize(1, 13);
    TCD(0, 0) = cards.field("AC_ID").toText();
    TCD(0, 1) = form.StoreCode;
    TCD(0, 2) = cards.field("AC_BILLNO").toText();
    TCD(0, 3) = cards.field("CD_DATE").toText();
    TCD(0, 4) = cards.field("CD_GU").toText();
    TCD(0, 5) = number;
    TCD(0, 6) = cards.field("CD_MONTH").toText();
    TCD(0, 7) = cards.field("CD_NAME").toText();
    TCD(0, 8) = cards.field("CD_CTNAME").toText();
    TCD(0, 9) = cards.field("CD_INS").toText();
    TCD(0, 10) = cards.field("CD_AMT").toText();
    TCD(0, 11) = "";
    TCD(0, 12) = cards.field("CD_APRNO").toText();
}

std::vector<std::pair<std::string, JournalArray>> RestaurantRun::saleArrays() const {
    std::vector<std::pair<std::string, JournalArray>> arrays{
        {"TPE", TPE}, {"TPS", TPS}, {"TRT", TRT}, {"TPSN", TPSN}, {"TAC", TAC}};
    if (m_delivery) {
        arrays.emplace_back("TDLV", TDLV);
    }
    return arrays;
}

void RestaurantRun::saleAnswered(bool accepted) {
    TransferRun::saleAnswered(accepted, "UPDATE PE SET PE_SD = 7 WHERE PE_ID = '" + TPE(0) + "'",
                              true);
}

void RestaurantRun::fail(long number, const std::string& description) {
    TransferRun::fail(number, description, true);
}

}  // namespace veldon::restaurant
