#include "tests/support/central.h"

#include <stdexcept>

namespace veldon::test {

RunningCentral::RunningCentral(const std::filesystem::path& folder, bool registerShop)
    : m_file(folder / "central.db"), m_store(central::openSqliteStore(m_file)) {
    if (registerShop) {
        m_store->addShop({"S0001", "데모 식당", "H01", "본사창고", "01", "카운터1"});
    }
    central::ServiceConfig config;
    config.accounts.push_back({User, "mv5529", Database});
    config.limits.workers = 4;
    m_service = std::make_unique<central::CentralService>(config, *m_store);
    m_port = m_service->start();
}

RunningCentral::~RunningCentral() {
    m_service->stop();
}

long RunningCentral::rows(const std::string& table) {
    for (const auto& [name, count] : m_store->tableCounts()) {
        if (name == table) {
            return count;
        }
    }
    throw std::runtime_error("the central store has no table " + table);
}

}  // namespace veldon::test
