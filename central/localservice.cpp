#include "central/localservice.h"

#include <stdexcept>

namespace veldon::central {

LocalService::LocalService(const std::filesystem::path& folder, const Account& account,
                           const std::optional<Shop>& shop, int workers,
                           const std::optional<Tls>& tls)
    : m_file(folder / "central.db"), m_store(openSqliteStore(m_file)), m_https(tls.has_value()) {
    if (shop) {
        m_store->addShop(*shop);
    }
    ServiceConfig config;
    config.accounts.push_back(account);
    config.limits.workers = workers;
    if (tls) {
        config.tlsCertificateFile = tls->certificateFile;
        config.tlsKeyFile = tls->keyFile;
    }
    m_service = std::make_unique<CentralService>(config, *m_store);
    m_port = m_service->start();
}

LocalService::~LocalService() {
    m_service->stop();
}

long LocalService::rows(const std::string& table) {
    for (const auto& [name, count] : m_store->tableCounts()) {
        if (name == table) {
            return count;
        }
    }
    throw std::runtime_error("the central store has no table " + table);
}

}  // namespace veldon::central
