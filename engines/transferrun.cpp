#include "engines/transferrun.h"

#include "platform/error.h"
#include "remote/replies.h"

namespace veldon {

std::pair<std::string, std::string> yesterdayAndToday(const Form1& form) {
    const DateTime now = form.services().clock.now();
    return {now.addDays(-1).toDateText(), now.toDateText()};
}

bool dailyScan(const Form1& form) {
    return !form.CatchUpScan && form.LocalInfo[3] == "1";
}

TransferRun::TransferRun(Form1& owner, std::string uploadMethod)
    : form(owner), m_uploadMethod(std::move(uploadMethod)) {
    form.controls.MousePointer = PointerShape::Hourglass;
    form.lastTransfer = {};
}

Connection& TransferRun::openLocalDb() {
    form.LocalDb = createConnection();
    form.LocalDb->open(form.LocalConnStr);
    return *form.LocalDb;
}

std::unique_ptr<Recordset> TransferRun::open(const std::string& sql) {
    return form.LocalDb->openRecordset(sql, CursorType::ForwardOnly, LockType::Optimistic);
}

std::vector<std::pair<std::string, JournalArray>> TransferRun::saleArrays() const {
    return {{"TPE", TPE}, {"TPS", TPS}, {"TRT", TRT}, {"TAC", TAC}};
}

bool TransferRun::upload(Upload what, const std::function<bool(RemoteObject&)>& call) {
    m_uploading = what;
    if (!m_space) {
        m_space = std::make_unique<DataSpace>(form.CallLimits, form.CaFile);
    }
    reply.clear();
    m_object = m_space->CreateObject(form.ServerInfo[3], serverUrl(form.ServerInfo[0]));
    m_calling = true;
    const bool result = call(*m_object);
    m_calling = false;
    return result;
}

Refusal TransferRun::refusal(const std::string& outcome, const std::string& why) const {
    Refusal r;
    r.outcome = outcome;
    r.reply = why;
    switch (m_uploading) {
        case Upload::Sale:
            r.kind = "sale";
            r.method = m_uploadMethod;
            r.key = TPE.size() > 0 ? TPE(0) : "";
            r.arrays = saleArrays();
            break;
        case Upload::Cards:
            r.kind = "card";
            r.method = "putcard";
            r.key = TCD.rows() > 0 ? TCD(0, 0) : "";
            r.arrays = {{"TCD", TCD}};
            break;
        case Upload::DeletedLines:
            r.kind = "deleted-lines";
            r.method = "PUTSQL";
            r.arrays = {{"statements", deletedLines}};
            break;
    }
    return r;
}

void TransferRun::refused() {
    form.journal().append(refusal("refused", reply));
}

void TransferRun::saleAnswered(bool accepted, const std::string& markSent, bool logDuplicate) {
    if (accepted) {
        form.LocalDb->execute(markSent);
        ++form.lastTransfer.salesSent;
    } else if (isDuplicateSaleReply(reply)) {
        form.LocalDb->execute(markSent);
        if (logDuplicate) {
            form.log().INSERT_ERRLOG("중복데이터", TPE(0));
        }
        ++form.lastTransfer.salesDuplicate;
    } else {
        refused();
        form.log().WRITE_SALE_DUMP(TPE, TPS, TRT, TAC, "COM +  전송시오류: " + reply, "");
        ++form.lastTransfer.salesRefused;
    }
}

void TransferRun::saleDone() {
    ++m_done;
    m_doneSale = TPE.size() > 0 ? TPE(0) : "";
    if (form.onSaleDone) {
        form.onSaleDone(m_done, form.lastTransfer.salesTotal);
    }
}

void TransferRun::fail(long number, const std::string& description, bool numberAsPrefix) {
    form.lastTransfer.errorNumber = number;
    form.lastTransfer.errorDescription = description;
    if (stage == SalesStage && TPE.size() > 0 && TPE(0) != m_doneSale) {
        form.lastTransfer.stoppedKind = "sale";
        form.lastTransfer.stoppedAt = TPE(0);
    } else if (stage == CardStage && TCD.rows() > 0) {
        form.lastTransfer.stoppedKind = "card";
        form.lastTransfer.stoppedAt = TCD(0, 0);
    }
    if (m_calling) {
        try {
            form.journal().append(refusal("failed", std::to_string(number) + ": " + description));
        } catch (const Error&) {
            // The upload stays unmarked either way; the dump below may still record it.
        }
    }
    if (stage == SalesStage) {
        form.log().WRITE_SALE_DUMP(TPE, TPS, TRT, TAC, "처리전송시오류: " + description,
                                   numberAsPrefix ? std::to_string(number) : "");
    } else {
        form.log().WRITE_CARD_DUMP(TCD, "처리전송시오류: " + reply);
    }
}

void TransferRun::close(std::initializer_list<std::unique_ptr<Recordset>*> recordsets) {
    for (std::unique_ptr<Recordset>* rs : recordsets) {
        if (*rs) {
            try {
                (*rs)->close();
            } catch (...) {
                // Closing is best effort: the run ends either way.
            }
            rs->reset();
        }
    }
    if (form.LocalDb) {
        try {
            if (form.LocalDb->isOpen()) {
                form.LocalDb->close();
            }
        } catch (...) {
        }
        form.LocalDb.reset();
    }
    m_object.reset();
    m_space.reset();
    form.controls.MousePointer = PointerShape::Default;
}

}  // namespace veldon
