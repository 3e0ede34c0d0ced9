// The restaurant transfer engines. Each sends every unsent closed sale of FOOD.MDB with its lines,
// accounting entries and guests (and, with delivery, its delivery address), then the unsent card
// approvals, marks what the central service accepted or already held, dumps what it refused, and
// ends cleanly on any error through one error path. Nothing is retried within a run: the status
// columns are the only memory between runs.
//
// They read Form1's state and the local database through the platform's interfaces, write
// Form1::lastTransfer and call Form1::onSaleDone; they know nothing of widgets.
#pragma once

#include "app/form1.h"

namespace veldon {

// The engine of shops that send delivery data (배송정보전송 "1"): PutPSM13_SIN, one local
// transaction per card approval.
void TransferRestaurantDelivery(Form1& form);

// The standard engine: PutPSM13_PSN, the discount line and its consistency dump, card approvals
// marked only once the service accepted them.
void TransferRestaurantStandard(Form1& form);

}  // namespace veldon
