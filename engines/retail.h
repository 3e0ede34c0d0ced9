// The retail transfer engine (business type "0", POS.MDB): every unsent sale of SL with its lines
// of SSL through PutPSM13, then the unsent card approvals of CREDIT in one putcard batch, then,
// when the shop sends them (삭제자료전송 "1"), the unsent deleted lines of DELSSL as DELPSS13
// statements through PUTSQL. It marks what the central service accepted or already held, dumps
// what it refused, and ends cleanly on any error through one error path. Nothing is retried
// within a run: the status columns are the only memory between runs.
#pragma once

#include "app/form1.h"

namespace veldon {

void TransferRetail(Form1& form);

}  // namespace veldon
