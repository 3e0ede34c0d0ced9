// The standard restaurant engine: every unsent closed sale with its lines, accounting entries and
// guests through PutPSM13_PSN, then the unsent card approvals. A header discount that the lines do
// not show travels as an extra discount line (product "99999998") instead of in TPE slot 13.
// Card approvals are marked sent only once the service accepted them or holds them already.
//
// Decisions where the POS program's data leave a choice:
// - A sale without lines: the outer join of the lines query yields one row whose line fields are
//   all absent. That row counts as no lines: TPS goes as one empty row, a "p" dump records the
//   sale, and the sale is still sent. Such a sale gets no discount line; its discount stays in TPE
//   slot 13.
// - A card reply without ":" is read by its "Duplicate" test alone instead of ending the run.
// - The daily filter writes yesterday in the same yyyy-mm-dd form as today, so it selects exactly
//   yesterday's and today's sales.
// - Computed amounts of the discount line travel in their shortest decimal form (-909, -1000).
#include <cstdint>
#include <memory>

#include "engines/queries.h"
#include "engines/restaurant.h"
#include "engines/restaurantcommon.h"
#include "platform/error.h"
#include "platform/value.h"
#include "remote/replies.h"

namespace veldon {

namespace {

constexpr std::size_t TpeSlots = 22;

// A discount line is due when the header carries a discount, the shop's POS option asks for it,
// and the total differs from the amount before discount less the service charge.
bool discountLineDue(const restaurant::RestaurantRun& run) {
    return numericValue(run.TPE(13)) != 0 && run.form.CfOptionValue == 1 &&
           numericValue(run.TPE(10)) != numericValue(run.TRT(5)) - numericValue(run.TRT(6));
}

// The lines of the sale into TPS, with the discount line in the row kept for it.
void fillLines(restaurant::RestaurantRun& run, Recordset& lines) {
    lines.setFilter(" PE_ID = " + run.saleId());
    if (restaurant::hasNoLines(lines)) {
        run.noLines();
        return;
    }
    const auto count = static_cast<std::size_t>(lines.recordCount());
    std::int32_t amountSum = 0;
    std::int32_t taxSum = 0;
    std::int32_t lastLineNo = 0;
    run.TPS.resize(discountLineDue(run) ? count + 1 : count, 20);
    for (std::size_t row = 0; !lines.eof(); lines.moveNext(), ++row) {
        run.fillLine(lines, row, true);
        lastLineNo = restaurant::roundToInt32(numericValue(run.TPS(row, 1)));
        // Complimentary items are listed but not charged: they stay out of the sums.
        if (run.TPS(row, 15) != "SS01") {
            amountSum = restaurant::roundToInt32(amountSum + numericValue(run.TPS(row, 12)));
            taxSum = restaurant::roundToInt32(taxSum + numericValue(run.TPS(row, 13)));
        }
    }
    if (!discountLineDue(run)) {
        return;
    }

    TextArray& TPE = run.TPE;
    auto cell = [&](std::size_t slot) -> std::string& { return run.TPS(count, slot); };
    // Amounts as computed: the header's supply amount and tax less what the lines carry. The
    // "+ 0.0" keeps a difference of nought from reading "-0".
    const double amount = (amountSum - numericValue(TPE(8))) * -1 + 0.0;
    const double tax = (taxSum - numericValue(TPE(9))) * -1 + 0.0;
    cell(0) = TPE(0);
    cell(1) = integerToText(restaurant::roundToInt32(static_cast<double>(lastLineNo) + 1));
    cell(2) = TPE(2);
    cell(3) = "99999998";
    cell(4) = "할인";
    cell(5) = "";
    cell(6) = "2";
    cell(7) = "Ea";
    cell(8) = "1";
    cell(9) = "0";
    cell(10) = "0";
    cell(12) = numberToText(amount);
    cell(13) = numberToText(tax);
    cell(11) = numberToText(numericValue(cell(12)) + numericValue(cell(13)));
    cell(14) = TPE(18);
    cell(15) = "";
    cell(16) = "";
    cell(17) = run.form.DepotCode;
    cell(18) = run.form.DepotName;
    cell(19) = "";

    // A discount line that does not add up to the header's discount is recorded, and sent as
    // computed.
    const double psAmt = numericValue(cell(12));
    const double psVat = numericValue(cell(13));
    const double peDc = numericValue(TPE(13)) * -1;
    if (psAmt + psVat != peDc) {
        run.form.log().WRITE_DC_DUMP(restaurant::roundToInt32(psAmt),
                                     restaurant::roundToInt32(psVat),
                                     restaurant::roundToInt32(peDc));
    }
    TPE(13) = "0";
}

}  // namespace

void TransferRestaurantStandard(Form1& form) {
    restaurant::RestaurantRun run(form, "PutPSM13_PSN");
    std::unique_ptr<Recordset> headers, accounting, lines, cards, guests;
    try {
        Connection& db = run.openLocalDb();
        const std::string F = restaurant::dailyDateFilter(form);
        headers = run.open(queries::restaurantHeaders(F, false));
        accounting = run.open(queries::restaurantAccounting(F));
        lines = run.open(queries::restaurantLines(F));
        cards = run.open(queries::restaurantCards());
        guests = run.open(queries::restaurantGuests());
        form.lastTransfer.salesTotal = headers->recordCount();

        run.stage = restaurant::SalesStage;
        for (; !headers->eof(); headers->moveNext()) {
            run.beginSale(TpeSlots);
            run.fillHeaderFront(*headers);
            run.fillHeaderBack(*headers);
            run.TPE(16) = headers->field("PE_BAN").toText();
            run.finishHeader(*headers);
            run.fillAccounting(*accounting, *headers, true);
            fillLines(run, *lines);
            run.fillGuests(*guests);

            const bool accepted = run.upload(TransferRun::Upload::Sale, [&](RemoteObject& object) {
                return object.PutPSM13_PSN(run.TPE, run.TPS, run.TRT, run.TPSN, run.TAC, run.reply,
                                           form.CenterConnStr, run.saleKey);
            });
            run.saleAnswered(accepted);
            run.saleDone();
        }

        run.stage = restaurant::CardStage;
        if (cards->recordCount() != 0) {
            for (; !cards->eof(); cards->moveNext()) {
                run.fillCard(*cards);
                const bool accepted =
                    run.upload(TransferRun::Upload::Cards, [&](RemoteObject& object) {
                        return object.putcard(run.TCD, run.reply, form.CenterConnStr);
                    });
                const std::string markSent =
                    "UPDATE CREDIT SET CD_SD = 7 WHERE AC_ID = '" + run.TCD(0, 0) + "' ";
                if (accepted) {
                    db.execute(markSent);
                    ++form.lastTransfer.cardsSent;
                } else if (isDuplicateCardReply(run.reply)) {
                    db.execute(markSent);
                    form.log().WRITE_CARD_DUMP(run.TCD, "COM +  카드전송시오류: " + run.reply);
                    ++form.lastTransfer.cardsDuplicate;
                } else {
                    run.refused();
                    form.log().WRITE_CARD_DUMP(run.TCD, "COM +  카드전송시오류: " + run.reply);
                    ++form.lastTransfer.cardsRefused;
                }
            }
        }
    } catch (const Error& e) {
        run.fail(e.number(), e.description());
    } catch (const std::exception& e) {
        run.fail(errc::ProviderError, e.what());
    }
    run.close({&headers, &lines, &cards, &accounting, &guests});
}

}  // namespace veldon
