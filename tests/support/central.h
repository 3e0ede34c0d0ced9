// The reference central service running in the test process on 127.0.0.1, with its embedded
// store in a temporary folder, one account and one registered shop.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "central/server.h"
#include "central/store.h"

namespace veldon::test {

class RunningCentral {
public:
    // The account the shops of the tests use, as their central connection string names it.
    static constexpr const char* User = "veldon";
    static constexpr const char* Database = "central";
    static constexpr const char* Connection =
        "DRIVER={MySQL ODBC 3.51 Driver};SERVER=127.0.0.1;DATABASE=central;UID=veldon;"
        "PWD=mv5529;OPTION=16386";

    // Registers store S0001 (depot H01, counter 01) unless `registerShop` is false.
    explicit RunningCentral(const std::filesystem::path& folder, bool registerShop = true);
    ~RunningCentral();

    int port() const { return m_port; }
    std::string server() const { return "127.0.0.1:" + std::to_string(m_port); }
    std::string url() const { return "http://" + server(); }
    central::CentralStore& store() { return *m_store; }
    const std::filesystem::path& file() const { return m_file; }
    // The number of rows of one central table.
    long rows(const std::string& table);

private:
    std::filesystem::path m_file;
    std::unique_ptr<central::CentralStore> m_store;
    std::unique_ptr<central::CentralService> m_service;
    int m_port = 0;
};

}  // namespace veldon::test
