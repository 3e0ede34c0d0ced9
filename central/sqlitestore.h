// What the embedded store shows of its inner working, for its own tests and the benchmarks only;
// the service uses the CentralStore interface of store.h.
#pragma once

#include "central/store.h"

namespace veldon::central {

// How many upload transactions the store's writer has committed since the store was opened (the
// schema set-up not counted). Uploads that arrive together share one commit, so under load this
// stays far below the number of uploads. 0 for a store that is not the SQLite one.
long sqliteStoreCommits(CentralStore& store);

}  // namespace veldon::central
