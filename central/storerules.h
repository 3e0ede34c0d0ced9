// What every central store checks before it stores, and how it answers: the key widths, the slot
// columns of each array, the replies the shops read and the content digests of a conflict's
// record. The SQLite and the MariaDB store share them, so that a shop gets the same answer from
// either.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "central/store.h"

namespace veldon::central::rules {

// The width of the key columns (VARCHAR(100)); longer keys are refused rather than cut.
constexpr std::size_t MaxKeyChars = 100;

// Slot columns per array: the largest array any engine sends.
constexpr std::size_t TpeColumns = 24;
constexpr std::size_t TpeKeySlots = 22;  // slot 21 (counter id) is part of the key
constexpr std::size_t TrtColumns = 8;
constexpr std::size_t TpsColumns = 20;
constexpr std::size_t TacColumns = 26;
constexpr std::size_t TpsnColumns = 7;
constexpr std::size_t TdlvColumns = 11;
constexpr std::size_t TcdColumns = 13;

extern const char* const DuplicateData;  // ":중복DATA", after the number of the row held

// In the order tableCounts() reports them; SCHEMA_VERSION is bookkeeping and left out.
extern const char* const DataTables[13];

// Digests of an upload's content: tell a sale sent again, which matches, from another sale under
// the same key.
std::string saleDigest(const SaleUpload& sale);
std::string cardDigest(const TextTable& TCD, std::size_t row);

std::size_t charCount(std::string_view utf8);

// "TPE_07"; ", TPE_00 TEXT, ..." with the key slots as VARCHAR so that a UNIQUE may cover them;
// ", TPE_00, TPE_01, ..."; "?, ?, ...".
std::string slotName(const char* array, std::size_t slot);
std::string slotColumnsDdl(const char* array, std::size_t count,
                           std::initializer_list<std::size_t> keySlots = {});
std::string slotColumnsList(const char* array, std::size_t count);
std::string placeholders(std::size_t count);

StoreReply refused(std::string reply);
std::string unknownStore(const std::string& storeCode);
std::string duplicate(std::size_t row);  // "<row>:중복DATA"

// The refusals that need no database: arrays too small or too wide, keys too long. Empty when the
// upload may go on to the store (a batch of no deleted lines is accepted at once).
std::optional<StoreReply> checkSale(const SaleUpload& sale);
std::optional<StoreReply> checkCards(const TextTable& TCD);
std::optional<StoreReply> checkDeletedLines(const std::vector<DeletedLine>& lines);
// Raises veldon::Error (BadArguments) for a shop the store cannot register; `store` names the
// store in the message.
void checkShop(const Shop& shop, const std::string& store);

// The days of shopActivity(): each day's text ("YYYY-MM-DD") to its index, 0 for `today`, and the
// received times the period covers (from <= RECEIVED_AT < until). Raises veldon::Error
// (BadArguments) unless `today` is a date and `days` 1 to 366.
struct ActivityPeriod {
    std::map<std::string, std::size_t> dayIndex;
    std::string from, until;
};
ActivityPeriod activityPeriod(const std::string& today, int days, const std::string& store);

}  // namespace veldon::central::rules
