// The retail engine, in the order of its steps: the shop's two options, the sales, the card batch,
// the deleted lines, closing.
//
// Decisions where the POS program's data leave a choice:
// - The card batch and the deleted lines are each marked in one local transaction, all rows or
//   none, by the service's answer; the transaction begins once the answer is in, so the POS
//   program never waits on the database while a call is in flight. A run that dies during the
//   call has marked nothing, as a rolled-back transaction would have.
// - A duplicate answer for the card batch marks the approval it names by its own statement, as
//   the program does; the others go again with the next run, which the service answers with the
//   next duplicate, so a batch held whole converges one approval per run.
// - Yesterday in the daily windows is written yyyy-mm-dd like today, so they select exactly
//   yesterday's and today's sales.
#include "engines/retail.h"

#include <cstdint>
#include <limits>
#include <memory>

#include "engines/queries.h"
#include "engines/transferrun.h"
#include "platform/error.h"
#include "platform/jetdialect.h"
#include "platform/value.h"
#include "remote/replies.h"

namespace veldon {

namespace {

constexpr std::size_t TpeSlots = 22;
constexpr std::size_t TpsSlots = 19;
constexpr std::size_t TacSlots = 26;
constexpr std::size_t TcdSlots = 13;
constexpr long ConnectionInTransaction = 3246;  // the connection cannot close inside a transaction

Error invalidUseOfNull() {
    return Error(errc::InvalidUseOfNull, "Invalid use of Null");
}

// A payment amount that goes into a sum: Null makes the sum Null, which no text can hold.
double amount(const Recordset& rs, std::string_view column) {
    const Value v = rs.field(column);
    if (v.isNull()) {
        throw invalidUseOfNull();
    }
    return v.toNumber();
}

// A payment flag's amount, where Null counts as 0.
double amountOrZero(const Recordset& rs, std::string_view column) {
    return rs.field(column).toNumber();
}

// BS_M1 of the option's first row as a 16-bit whole number, `whenNone` without a row.
std::int16_t shopOption(Recordset& option, std::int16_t whenNone) {
    if (option.eof()) {
        return whenNone;
    }
    const double value = roundHalfEven(numericValue(option.field("BS_M1").toText()));
    if (!(value >= std::numeric_limits<std::int16_t>::min() &&
          value <= std::numeric_limits<std::int16_t>::max())) {
        throw Error(errc::Overflow, "Overflow");
    }
    return static_cast<std::int16_t>(value);
}

// "ISSUER/ACQUIRER": the first two pieces; a name without "/" is part 1 alone.
std::pair<std::string, std::string> cardNameParts(const std::string& name) {
    const std::size_t slash = name.find('/');
    if (slash == std::string::npos) {
        return {name, ""};
    }
    const std::size_t next = name.find('/', slash + 1);
    return {name.substr(0, slash), name.substr(slash + 1, next - slash - 1)};
}

// The payment code of TPE slot 14 from the four-digit payment flags.
std::string paymentCode(const std::string& flags) {
    if (flags == "1000") {
        return "E000";
    }
    if (flags == "0100") {
        return "E003";
    }
    if (flags == "0010") {
        return "E005";
    }
    if (flags == "0001") {
        return "E007";
    }
    return "E006";
}

// Rows of TAC for the payment flags: receivables never get an entry of their own, and points
// none when the shop books them with the sale (ZA20 1).
long accountingRows(const std::string& flags, bool pointsWithSale) {
    long n = 0;
    for (char digit : flags) {
        n += digit == '1' ? 1 : 0;
    }
    if (flags == "1010" || flags == "0110" || flags == "0011") {
        return pointsWithSale ? n : 1;
    }
    if (flags == "1110" || flags == "0111" || flags == "1011") {
        return pointsWithSale ? n - 2 : n - 1;
    }
    return pointsWithSale ? n - 1 : n;
}

class RetailRun : public TransferRun {
public:
    explicit RetailRun(Form1& owner) : TransferRun(owner, "PutPSM13") {}

    std::int16_t ZA20 = 0;
    std::int16_t ZA16 = 1;

    // TPE, TRT and the sale key from the header; returns the four-digit payment flags.
    std::string fillHeader(const Recordset& h) {
        TPE.resize(TpeSlots);
        TRT.resize(8);
        saleKey.clear();
        TPE(0) = h.field("SL_ID").toText();
        TPE(1) = "1";
        TPE(2) = h.field("SL_DATE").toText();
        TPE(3) = "";
        TPE(4) = form.StoreCode;
        TPE(5) = form.StoreName;
        TPE(6) = h.field("SL_MEMNO").toText();
        TPE(7) = h.field("SL_MEMNAME").toText();
        TPE(8) = h.field("SL_SALEAMT").toText();
        TPE(9) = h.field("SL_TAX").toText();
        TPE(10) = h.field("SL_SUBTOTE").toText();

        // Without ZA20, a card sale without cash that is left partly owing counts its points as
        // owed rather than paid. SL_CARD is tested by its whole-number value.
        if (ZA20 != 0) {
            TPE(11) = h.field("SL_MISU").toText();
            TPE(12) = numberToText(amount(h, "SL_CASH") + amount(h, "SL_CARD"));
        } else if (amount(h, "SL_CASH") == 0 && roundHalfEven(amount(h, "SL_CARD")) != 0 &&
                   amount(h, "SL_MISU") != 0) {
            TPE(11) = numberToText(amount(h, "SL_MISU") + amount(h, "SL_UPOINT"));
            TPE(12) = numberToText(amount(h, "SL_CASH") + amount(h, "SL_CARD"));
        } else {
            TPE(11) = h.field("SL_MISU").toText();
            TPE(12) =
                numberToText(amount(h, "SL_CASH") + amount(h, "SL_CARD") + amount(h, "SL_UPOINT"));
        }
        TPE(13) = h.field("SL_SAVEAMT").toText();

        std::string flags = "0000";
        flags[0] = amountOrZero(h, "SL_CASH") != 0 ? '1' : '0';
        flags[1] = amountOrZero(h, "SL_CARD") != 0 ? '1' : '0';
        flags[2] = amountOrZero(h, "SL_MISU") != 0 ? '1' : '0';
        flags[3] = amountOrZero(h, "SL_UPOINT") != 0 ? '1' : '0';
        TPE(14) = paymentCode(flags);
        TPE(15) = "";
        TPE(16) = "";

        const bool member = !trimBlanks(TPE(6)).empty();
        TPE(17) = h.field("SL_MEMCPOINT").toText();
        TPE(18) = h.field("SL_UCODE").toText();
        TPE(19) = member ? "Y" : "";
        TPE(20) = h.field("SL_NO").toText();
        TPE(21) = form.PosId;
        saleKey = h.field("SL_UPTRANSNO").toText();
        if (!member) {
            TPE(6) = "1000000000000000";
            TPE(7) = "소비자";
        }

        TRT(0) = h.field("SL_ID").toText();
        const Value edate = h.field("SL_EDATE");
        if (edate.isNull()) {
            const std::string date = h.field("SL_DATE").toText();
            if (!jet::formatDate(date, "YYYY-MM-DD", TRT(1))) {
                TRT(1) = date;  // Format leaves what is no date as it is
            }
        } else {
            TRT(1) = edate.toText();
        }
        TRT(2) = "";
        TRT(3) = "";
        for (std::size_t slot = 4; slot < 8; ++slot) {
            TRT(slot) = "0";
        }
        return flags;
    }

    void fillAccounting(const Recordset& h, const std::string& flags) {
        TAC.resize(1, TacSlots);
        if (flags == "0000") {
            return;
        }
        const bool pointsWithSale = amountOrZero(h, "SL_UPOINT") != 0 && ZA20 == 1;
        const long rows = accountingRows(flags, pointsWithSale);
        if (rows == 0) {
            return;
        }
        TAC.resize(static_cast<std::size_t>(rows), TacSlots);
        std::size_t row = 0;
        for (int kind = 1; kind <= 4; ++kind) {
            if (flags[kind - 1] != '1' || kind == 3 || (kind == 4 && ZA20 == 1)) {
                continue;
            }
            // Slot 0 first: a row beyond the count raises error 9 before anything else.
            TAC(row, 0) = TPE(0);
            TAC(row, 1) = std::to_string(kind);
            TAC(row, 2) = "1";
            TAC(row, 3) = "15";
            TAC(row, 4) = "D";
            TAC(row, 5) = TPE(2);
            TAC(row, 6) = TPE(2);
            TAC(row, 7) = TPE(4);
            TAC(row, 8) = TPE(6);
            TAC(row, 9) = TPE(7);
            TAC(row, 10) = "";
            if (kind == 1) {
                TAC(row, 11) = "111010";
                TAC(row, 12) = "00";
                TAC(row, 13) = h.field("SL_CASH").toText();
                TAC(row, 14) = "";
                TAC(row, 15) = h.field("SL_PAYAMT").toText();
                TAC(row, 16) = h.field("SL_CHANGE").toText();
                TAC(row, 17) = "";
            } else if (kind == 2) {
                TAC(row, 11) = "111055";
                TAC(row, 12) = "00";
                TAC(row, 13) = h.field("SL_CARD").toText();
                TAC(row, 17) = h.field("SL_APRNO").toText();
                const std::string approval = trimBlanks(TAC(row, 17));
                TAC(row, 14) =
                    approval.empty() || approval == "00000000" ? "" : h.field("SL_CARDNO").toText();
                const auto [issuer, acquirer] = cardNameParts(h.field("SL_CARDNAME").toText());
                TAC(row, 15) = issuer;
                TAC(row, 16) = acquirer;
            } else {
                TAC(row, 11) = "211021";
                TAC(row, 12) = "01";
                TAC(row, 13) = h.field("SL_UPOINT").toText();
                TAC(row, 14) = "POS포인트";
                TAC(row, 15) = "";
                TAC(row, 16) = "";
                TAC(row, 17) = TPE(17);
            }
            TAC(row, 18) = h.field("SL_MEMRPOINT").toText();
            for (std::size_t slot = 19; slot <= 24; ++slot) {
                TAC(row, slot) = "";
            }
            TAC(row, 25) = TPE(18);
            ++row;
        }
    }

    // TPS from the sale's lines within the line window; without ZA20 the header's amounts are
    // the lines' sums.
    void fillLines(Recordset& lines) {
        lines.setFilter(" SL_ID = " + TPE(0));
        TPS.resize(1, TpsSlots);
        const long count = lines.recordCount();
        if (count == 0) {
            form.log().WRITE_NOSEQ_DUMP(TPE, TRT, TAC, "순번없음:     전송된ID : " + TPE(0));
            return;
        }
        TPS.resize(static_cast<std::size_t>(count), TpsSlots);
        if (ZA20 == 0) {
            TPE(8) = TPE(9) = TPE(10) = "";
        }
        for (std::size_t row = 0; !lines.eof(); lines.moveNext(), ++row) {
            TPS(row, 0) = lines.field("SL_ID").toText();
            TPS(row, 1) = lines.field("SSL_NO").toText();
            TPS(row, 2) = lines.field("SSL_DATE").toText();
            TPS(row, 3) = lines.field("MENU_CODE").toText();
            TPS(row, 4) = lines.field("MENU_NAME").toText();
            TPS(row, 5) = lines.field("SSL_POS").toText();
            TPS(row, 6) = lines.field("MENU_CK").toText();
            TPS(row, 7) = lines.field("SSL_UNIT").toText();
            TPS(row, 8) = lines.field("SSL_QTY").toText();
            TPS(row, 9) = lines.field("SSL_GU").toNumber() == 1 ? TPS(row, 8) : "0";
            TPS(row, 10) = numberToText(lines.field("SSL_INAMT").toNumber());
            TPS(row, 11) = lines.field("SSL_PRICE").toText();
            TPS(row, 12) = numberToText(amount(lines, "SSL_AMT") - amount(lines, "SSL_VAT"));
            TPS(row, 13) = lines.field("SSL_VAT").toText();
            TPS(row, 14) = TPE(18);
            TPS(row, 15) = "";
            TPS(row, 16) = "";
            TPS(row, 17) = form.DepotCode;
            TPS(row, 18) = form.DepotName;
            if (ZA20 == 0) {
                TPE(8) = numberToText(numericValue(TPE(8)) + numericValue(TPS(row, 12)));
                TPE(9) = numberToText(numericValue(TPE(9)) + numericValue(TPS(row, 13)));
                TPE(10) = numberToText(numericValue(TPE(8)) + numericValue(TPE(9)));
            }
        }
    }

    void fillCard(const Recordset& cards, std::size_t row) {
        TCD(row, 0) = cards.field("C_SLID").toText();
        TCD(row, 1) = form.StoreCode;
        TCD(row, 2) = cards.field("C_SLNO").toText();
        TCD(row, 3) = cards.field("C_DATE").toText();
        TCD(row, 4) = cards.field("C_GU").toText();
        TCD(row, 5) = cards.field("C_CARDNO").toText();
        TCD(row, 6) = "";
        const auto [issuer, acquirer] = cardNameParts(cards.field("C_CARDNAME").textOr(""));
        TCD(row, 7) = issuer;
        TCD(row, 8) = acquirer;
        TCD(row, 9) = cards.field("C_CARDMN").toText();
        TCD(row, 10) = cards.field("C_CARD").toText();
        TCD(row, 11) = "";
        TCD(row, 12) = cards.field("C_APRNO").toText();
    }

    // One DELPSS13 statement from the deleted line's ten columns (Null as "").
    std::string deletedLineStatement(const Recordset& deleted) const {
        std::string b[10];
        for (int i = 0; i < 10; ++i) {
            b[i] = deleted.field(i).textOr("");
        }
        auto n = [](const std::string& text) { return numberToText(numericValue(text)); };
        return std::string(
                   " INSERT INTO DELPSS13 (DEL_DATE, PR_BCODE, PR_NAME, PR_UNIT, PR_UP, PR_QTY, "
                   "PR_AMT, POS_ID, RCT_CODE ) ") +
               " VALUES ( '" + b[0] + "', '" + b[1] + "', '" + b[2] + "', '" + b[3] + "', " +
               n(b[4]) + ", " + n(b[5]) + ", " + "          " + n(b[6]) + ", '" + b[7] + "', '" +
               form.StoreCode + "' ) ";
    }

    // Marks every row of `rs` with `value` in `column`, in one transaction.
    void markAll(Recordset& rs, const char* column, const Value& value) {
        Connection& db = *form.LocalDb;
        db.beginTrans();
        for (rs.moveFirst(); !rs.eof(); rs.moveNext()) {
            rs.setField(column, value);
            rs.update();
        }
        db.commitTrans();
    }
};

}  // namespace

void TransferRetail(Form1& form) {
    RetailRun run(form);
    std::unique_ptr<Recordset> headers, lines, cards, za16, za20, deleted;
    try {
        Connection& db = run.openLocalDb();
        za20 = run.open(queries::retailOption("ZA20"));
        run.ZA20 = shopOption(*za20, 0);

        const auto [yesterday, today] = yesterdayAndToday(form);
        const bool daily = dailyScan(form);
        const std::string start =
            daily ? yesterday : form.services().clock.now().addDays(-200).toDateText();
        // Without ZA20 the discount line's item is left out: the lines' sums stand for the sale.
        const std::string discountPosition =
            trimBlanks(form.services().settings.get("MERIDEX_II", "DBLOC", "DCCODE3"));
        headers = run.open(
            queries::retailHeaders(daily ? queries::retailHeaderWindow(yesterday, today) : ""));
        lines = form.LocalDb->openRecordset(
            queries::retailLines(queries::retailLineWindow(
                start, today, run.ZA20 == 0 ? &discountPosition : nullptr)),
            CursorType::ForwardOnly, LockType::ReadOnly);
        cards = run.open(queries::retailCards());
        za16 = run.open(queries::retailOption("ZA16"));
        run.ZA16 = shopOption(*za16, 1);
        form.lastTransfer.salesTotal = headers->recordCount();

        run.stage = SalesStage;
        for (; !headers->eof(); headers->moveNext()) {
            const std::string flags = run.fillHeader(*headers);
            run.fillAccounting(*headers, flags);
            run.fillLines(*lines);
            const bool accepted = run.upload(TransferRun::Upload::Sale, [&](RemoteObject& object) {
                if (run.ZA16 == 1) {
                    return object.PutPSM13(run.TPE, run.TPS, run.TRT, run.TAC, run.reply,
                                           form.CenterConnStr, run.saleKey);
                }
                return object.PutPSM13(run.TPE, run.TPS, run.TRT, run.TAC, run.reply,
                                       form.CenterConnStr, run.saleKey, std::string("Y"));
            });
            run.saleAnswered(accepted, "UPDATE SL SET SL_SND = 7 WHERE SL_ID = " + run.TPE(0),
                             false);
            run.saleDone();
        }

        run.stage = CardStage;
        const long cardCount = cards->recordCount();
        if (cardCount > 0) {
            run.TCD.resize(static_cast<std::size_t>(cardCount), TcdSlots);
            std::size_t row = 0;
            for (; !cards->eof(); cards->moveNext(), ++row) {
                run.fillCard(*cards, row);
            }
            const bool accepted = run.upload(TransferRun::Upload::Cards, [&](RemoteObject& object) {
                return object.putcard(run.TCD, run.reply, form.CenterConnStr);
            });
            if (accepted) {
                run.markAll(*cards, "C_SND", Value::integer(7));
                form.lastTransfer.cardsSent += cardCount;
            } else if (const auto held = duplicateCardRow(run.reply)) {
                const auto k = static_cast<std::size_t>(*held);
                db.execute("UPDATE CREDIT SET C_SND = 7 WHERE C_SLID = " + run.TCD(k, 0) +
                           " AND CDATE(C_DATE) = '" + run.TCD(k, 3) + "' AND C_APRNO = '" +
                           run.TCD(k, 12) + "'");
                ++form.lastTransfer.cardsDuplicate;
            } else {
                run.refused();
                form.log().WRITE_CARD_DUMP(run.TCD, "COM +  카드전송시오류: " + run.reply);
                form.lastTransfer.cardsRefused += cardCount;
            }
        }

        if (numericValue(form.SendDeleted) == 1) {
            deleted = run.open(queries::retailDeletedLines());
            const long count = deleted->recordCount();
            run.deletedLines.resize(static_cast<std::size_t>(count) + 1);
            if (count >= 1) {
                std::size_t i = 1;
                for (; !deleted->eof(); deleted->moveNext(), ++i) {
                    run.deletedLines(i) = run.deletedLineStatement(*deleted);
                }
                const bool accepted =
                    run.upload(TransferRun::Upload::DeletedLines, [&](RemoteObject& object) {
                        return object.PUTSQL(run.deletedLines, run.reply, form.CenterConnStr);
                    });
                if (accepted) {
                    run.markAll(*deleted, "DEL_SD", Value::text("7"));
                    form.lastTransfer.deletedLinesSent += count;
                } else {
                    run.refused();  // the rows stay unsent; the program leaves no other trace
                }
            }
            deleted->close();
            deleted.reset();
        }
    } catch (const Error& e) {
        run.fail(e.number(), e.description(), false);
        if (e.number() == ConnectionInTransaction && form.LocalDb &&
            form.LocalDb->inTransaction()) {
            try {
                form.LocalDb->commitTrans();
            } catch (const Error&) {
            }
        }
    } catch (const std::exception& e) {
        run.fail(errc::ProviderError, e.what(), false);
    }
    run.close({&headers, &lines, &cards, &za16, &za20, &deleted});
}

}  // namespace veldon
