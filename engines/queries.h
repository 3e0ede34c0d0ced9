// The statements the transfer engines send to the POS program's local databases, byte for byte.
// The engines, the start-up count of unsent sales, the operator tool and the benchmarks share them.
#pragma once

#include <string>

namespace veldon::queries {

// Restaurant database (FOOD.MDB). `dateFilter` is the daily-scan filter on PE_EDATE, or empty.

// Sale headers with their payment sums. The delivery engine's form also selects PE_MEMCODE.
std::string restaurantHeaders(const std::string& dateFilter, bool withMemberCode);
std::string restaurantAccounting(const std::string& dateFilter);
std::string restaurantLines(const std::string& dateFilter);
std::string restaurantCards();
std::string restaurantDelivery(const std::string& dateFilter);
std::string restaurantGuests();
// " AND format(PE_EDATE,'yyyy-mm-dd')   BETWEEN '<yesterday>' AND '<today>' "
std::string restaurantDateFilter(const std::string& yesterday, const std::string& today);
// The header query as start-up counts unsent sales with it (an older form without PE_BAN).
std::string restaurantUnsentCount();

// Retail database (POS.MDB).
// " and  format(SL_DATE,'yyyy-mm-dd')   BETWEEN '<yesterday>' AND '<today>' "
std::string retailHeaderWindow(const std::string& yesterday, const std::string& today);
// " where format(SSL_DATE,'yyyy-mm-dd')  BETWEEN '<start>' AND '<today>' ", ending instead in
// "' AND SSL_POS <> '<discount position>' " when a discount position is to be left out.
std::string retailLineWindow(const std::string& start, const std::string& today,
                             const std::string* leaveOutPosition);
std::string retailHeaders(const std::string& headerWindow);
std::string retailLines(const std::string& lineWindow);
// The shop option BS_M1 of one BAS_CODE ('ZA20', 'ZA16').
std::string retailOption(const std::string& code);
std::string retailUnsentCount();
std::string retailCards();
std::string retailDeletedLines();

}  // namespace veldon::queries
