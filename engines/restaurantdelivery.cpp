// The restaurant engine of shops that send delivery data: every unsent closed sale with its lines,
// accounting entries, guests and delivery address through PutPSM13_SIN, then the unsent card
// approvals one by one, each marked in a local transaction of its own once the service answered.
//
// Decisions where the POS program's data leave a choice:
// - A sale without lines: the outer join of the lines query yields one row whose line fields are
//   all absent. That row counts as no lines: TPS goes as one empty row, a "p" dump records the
//   sale, and the sale is still sent, instead of ending the run at its absent PS_NO.
// - The daily filter writes yesterday in the same yyyy-mm-dd form as today, so it selects exactly
//   yesterday's and today's sales.
// - A refused card approval stays marked sent (the card row's CD_SD = 7 and the UPDATE are
//   committed together); it is journaled whole first, so that it can be sent again on purpose;
//   Form1::lastTransfer counts it as a duplicate when its reply reads as one, else as refused.
#include <memory>

#include "engines/queries.h"
#include "engines/restaurant.h"
#include "engines/restaurantcommon.h"
#include "platform/error.h"
#include "platform/value.h"
#include "remote/replies.h"

namespace veldon {

namespace {

constexpr std::size_t TpeSlots = 24;

// TDLV from the sale's delivery record, found by a forward search from the first row; all empty
// when the sale has none.
void fillDelivery(restaurant::RestaurantRun& run, Recordset& delivery, TextArray& TDLV) {
    TDLV.resize(11);
    if (delivery.recordCount() < 1) {
        return;
    }
    delivery.moveFirst();
    delivery.find("PE_ID = '" + run.saleId() + "'");
    if (delivery.eof()) {
        return;
    }
    TDLV(0) = delivery.field("D_CODE").toText();
    TDLV(1) = delivery.field("D_NAME").toText();
    TDLV(2) = delivery.field("D_TEL").toText();
    TDLV(3) = delivery.field("D_RNAME").textOr("");
    TDLV(4) = delivery.field("D_RTEL").textOr("");
    TDLV(5) = delivery.field("D_ZIP").textOr("");
    TDLV(6) = delivery.field("ADDR").textOr("");
    TDLV(7) = delivery.field("D_MEMO").textOr("");
    TDLV(8) = "";
    TDLV(9) = "";
    TDLV(10) = TDLV(3).empty() ? "Y" : "N";
    // A refund without a PE_BAN mark travels as "B".
    if (run.TPE(23).empty() && numericValue(run.TPE(10)) < 0) {
        TDLV(10) = "B";
    }
}

}  // namespace

void TransferRestaurantDelivery(Form1& form) {
    restaurant::RestaurantRun run(form, "PutPSM13_SIN");
    std::unique_ptr<Recordset> headers, accounting, lines, cards, delivery, guests;
    try {
        Connection& db = run.openLocalDb();
        const std::string F = restaurant::dailyDateFilter(form);
        headers = run.open(queries::restaurantHeaders(F, true));
        accounting = run.open(queries::restaurantAccounting(F));
        lines = run.open(queries::restaurantLines(F));
        cards = run.open(queries::restaurantCards());
        delivery = run.open(queries::restaurantDelivery(F));
        guests = run.open(queries::restaurantGuests());
        form.lastTransfer.salesTotal = headers->recordCount();

        run.stage = restaurant::SalesStage;
        for (; !headers->eof(); headers->moveNext()) {
            run.beginSale(TpeSlots);
            run.fillHeaderFront(*headers);
            run.fillHeaderBack(*headers);
            run.TPE(16) = "";
            run.TPE(22) = headers->field("PE_MEMCODE").textOr("");
            run.TPE(23) = headers->field("PE_BAN").textOr("");
            run.finishHeader(*headers);
            run.fillAccounting(*accounting, *headers, false);

            lines->setFilter(" PE_ID = " + run.saleId());
            if (restaurant::hasNoLines(*lines)) {
                run.noLines();
            } else {
                run.TPS.resize(static_cast<std::size_t>(lines->recordCount()), 20);
                for (std::size_t row = 0; !lines->eof(); lines->moveNext(), ++row) {
                    run.fillLine(*lines, row, false);
                }
            }
            run.fillGuests(*guests);
            fillDelivery(run, *delivery, run.TDLV);

            const bool accepted = run.upload(TransferRun::Upload::Sale, [&](RemoteObject& object) {
                return object.PutPSM13_SIN(run.TPE, run.TPS, run.TRT, run.TPSN, run.TAC, run.TDLV,
                                           run.reply, form.CenterConnStr, run.saleKey);
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
                const bool duplicate = !accepted && isDuplicateCardReply(run.reply);
                if (!accepted && !duplicate) {
                    run.refused();  // its only record once it is marked sent below
                }
                // The approval's one transaction begins only now that the answer is in: the POS
                // program must never wait on the database while the service is being called.
                db.beginTrans();
                cards->setField("CD_SD", Value::integer(7));
                cards->update();
                if (accepted) {
                    ++form.lastTransfer.cardsSent;
                } else {
                    db.execute("UPDATE CREDIT SET CD_SD = 7 WHERE AC_ID = '" + run.TCD(0, 0) +
                               "' ");
                    form.log().WRITE_CARD_DUMP(run.TCD, "COM +  카드전송시오류: " + run.reply);
                    ++(duplicate ? form.lastTransfer.cardsDuplicate
                                 : form.lastTransfer.cardsRefused);
                }
                db.commitTrans();
            }
        }
    } catch (const Error& e) {
        run.fail(e.number(), e.description());
    } catch (const std::exception& e) {
        run.fail(errc::ProviderError, e.what());
    }
    run.close({&headers, &lines, &cards, &accounting, &guests, &delivery});
}

}  // namespace veldon
