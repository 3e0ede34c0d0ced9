#include "engines/localdb.h"

namespace veldon {

std::unique_ptr<Connection> openTransferConnection(const std::string& connectionString) {
    auto db = createConnection();
    db->open(connectionString);
    db->setCommitWindow(MarkCommitWindow);
    return db;
}

}  // namespace veldon
