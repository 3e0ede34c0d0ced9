// The reference service in this process, on 127.0.0.1 and an ephemeral port, with its embedded
// store in a folder: what the demo's tools, the benchmarks and the tests talk to when they need a
// real service without starting veldon-central.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "central/server.h"
#include "central/store.h"

namespace veldon::central {

class LocalService {
public:
    // A certificate chain and key to serve HTTPS with.
    struct Tls {
        std::string certificateFile, keyFile;
    };

    // Opens (or creates) `folder`/central.db, registers `shop` when given, and starts serving
    // `account` with `workers` threads, over HTTPS when `tls` is given.
    LocalService(const std::filesystem::path& folder, const Account& account,
                 const std::optional<Shop>& shop, int workers = 4,
                 const std::optional<Tls>& tls = std::nullopt);
    ~LocalService();
    LocalService(const LocalService&) = delete;
    LocalService& operator=(const LocalService&) = delete;

    int port() const { return m_port; }
    std::string server() const { return "127.0.0.1:" + std::to_string(m_port); }
    std::string url() const { return (m_https ? "https://" : "http://") + server(); }
    CentralStore& store() { return *m_store; }
    const std::filesystem::path& file() const { return m_file; }
    // The number of rows of one table of the store; throws for a table it does not have.
    long rows(const std::string& table);

private:
    std::filesystem::path m_file;
    std::unique_ptr<CentralStore> m_store;
    std::unique_ptr<CentralService> m_service;
    int m_port = 0;
    bool m_https = false;
};

}  // namespace veldon::central
