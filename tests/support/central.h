// The reference central service running in the test process on 127.0.0.1, with its embedded
// store in a temporary folder, one account and one registered shop.
#pragma once

#include "central/localservice.h"

namespace veldon::test {

class RunningCentral : public central::LocalService {
public:
    // The account the shops of the tests use, as their central connection string names it.
    static constexpr const char* User = "veldon";
    static constexpr const char* Database = "central";
    static constexpr const char* Connection =
        "DRIVER={MySQL ODBC 3.51 Driver};SERVER=127.0.0.1;DATABASE=central;UID=veldon;"
        "PWD=mv5529;OPTION=16386";

    // Registers store S0001 (depot H01, counter 01) unless `registerShop` is false.
    explicit RunningCentral(const std::filesystem::path& folder, bool registerShop = true)
        : LocalService(folder, {User, "mv5529", Database},
                       registerShop ? std::optional<central::Shop>({"S0001", "데모 식당", "H01",
                                                                    "본사창고", "01", "카운터1"})
                                    : std::nullopt) {}
};

}  // namespace veldon::test
