#include "central/storerules.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "platform/clock.h"
#include "platform/error.h"

namespace veldon::central::rules {

const char* const DuplicateData = ":중복DATA";

const char* const DataTables[13] = {
    "RCT",     "HCT",        "POS",      "DELPSS13", "SALE_HDR", "SALE_RT",     "SALE_LINE",
    "SALE_AC", "SALE_GUEST", "SALE_DLV", "CARD_APR", "CONFLICT", "UPLOAD_EVENT"};

namespace {

// 64-bit FNV-1a over every element, each with its length.
class ContentDigest {
public:
    void add(std::string_view text) {
        const std::uint64_t size = text.size();
        addBytes(reinterpret_cast<const unsigned char*>(&size), sizeof size);
        addBytes(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    }
    void add(const TextArray& array) {
        add(std::to_string(array.size()));
        for (const std::string& element : array.elements()) {
            add(element);
        }
    }
    void add(const TextTable& table, std::size_t firstRow, std::size_t rows) {
        add(std::to_string(rows) + "x" + std::to_string(table.slots()));
        for (std::size_t row = firstRow; row < firstRow + rows; ++row) {
            for (std::size_t slot = 0; slot < table.slots(); ++slot) {
                add(table(row, slot));
            }
        }
    }
    std::string text() const {
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(m_hash));
        return hex;
    }

private:
    void addBytes(const unsigned char* bytes, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            m_hash = (m_hash ^ bytes[i]) * 1099511628211ull;
        }
    }
    std::uint64_t m_hash = 14695981039346656037ull;
};

std::string tooFewSlots(const char* array, std::size_t needed, std::size_t got) {
    return std::string(array) + " 항목 부족: " + std::to_string(needed) + "개 필요, " +
           std::to_string(got) + "개 수신";
}

std::string tooManySlots(const char* array, std::size_t columns, std::size_t got) {
    return std::string(array) + " 항목 초과: " + std::to_string(columns) + "개까지 저장, " +
           std::to_string(got) + "개 수신";
}

std::string keyTooLong(const std::string& what) {
    return what + " 길이 초과: " + std::to_string(MaxKeyChars) + "자까지";
}

}  // namespace

std::string saleDigest(const SaleUpload& sale) {
    ContentDigest d;
    d.add(sale.TPE);
    d.add(sale.TPS, 0, sale.TPS.rows());
    d.add(sale.TRT);
    d.add(sale.TAC, 0, sale.TAC.rows());
    if (sale.TPSN) {
        d.add(*sale.TPSN, 0, sale.TPSN->rows());
    }
    if (sale.TDLV) {
        d.add(*sale.TDLV);
    }
    d.add(sale.markedY ? "Y" : "");
    return d.text();
}

std::string cardDigest(const TextTable& TCD, std::size_t row) {
    ContentDigest d;
    d.add(TCD, row, 1);
    return d.text();
}

std::size_t charCount(std::string_view utf8) {
    std::size_t n = 0;
    for (unsigned char c : utf8) {
        n += (c & 0xC0) != 0x80;
    }
    return n;
}

std::string slotName(const char* array, std::size_t slot) {
    char name[32];
    std::snprintf(name, sizeof name, "%s_%02zu", array, slot);
    return name;
}

std::string slotColumnsDdl(const char* array, std::size_t count,
                           std::initializer_list<std::size_t> keySlots) {
    std::string ddl;
    for (std::size_t slot = 0; slot < count; ++slot) {
        bool key = std::find(keySlots.begin(), keySlots.end(), slot) != keySlots.end();
        ddl += ", " + slotName(array, slot) +
               (key ? " VARCHAR(" + std::to_string(MaxKeyChars) + ") NOT NULL" : " TEXT");
    }
    return ddl;
}

std::string slotColumnsList(const char* array, std::size_t count) {
    std::string list;
    for (std::size_t slot = 0; slot < count; ++slot) {
        list += ", " + slotName(array, slot);
    }
    return list;
}

std::string placeholders(std::size_t count) {
    std::string list;
    for (std::size_t i = 0; i < count; ++i) {
        list += i == 0 ? "?" : ", ?";
    }
    return list;
}

StoreReply refused(std::string reply) {
    return {false, std::move(reply)};
}

std::string unknownStore(const std::string& storeCode) {
    return "미등록 가맹점: " + storeCode;
}

std::string duplicate(std::size_t row) {
    return std::to_string(row) + DuplicateData;
}

std::optional<StoreReply> checkSale(const SaleUpload& sale) {
    if (sale.TPE.size() < TpeKeySlots) {
        return refused(tooFewSlots("TPE", TpeKeySlots, sale.TPE.size()));
    }
    struct Size {
        const char* array;
        std::size_t got, columns;
    };
    const Size sizes[] = {
        {"TPE", sale.TPE.size(), TpeColumns},
        {"TRT", sale.TRT.size(), TrtColumns},
        {"TPS", sale.TPS.slots(), TpsColumns},
        {"TAC", sale.TAC.slots(), TacColumns},
        {"TPSN", sale.TPSN ? sale.TPSN->slots() : 0, TpsnColumns},
        {"TDLV", sale.TDLV ? sale.TDLV->size() : 0, TdlvColumns},
    };
    for (const Size& size : sizes) {
        if (size.got > size.columns) {
            return refused(tooManySlots(size.array, size.columns, size.got));
        }
    }
    if (charCount(sale.saleKey) > MaxKeyChars) {
        return refused(keyTooLong("판매키"));
    }
    if (sale.saleKey.empty()) {
        for (std::size_t slot : {std::size_t{21}, std::size_t{0}}) {
            if (charCount(sale.TPE(slot)) > MaxKeyChars) {
                return refused(keyTooLong("TPE " + std::to_string(slot) + "번 항목"));
            }
        }
    }
    return std::nullopt;
}

std::optional<StoreReply> checkCards(const TextTable& TCD) {
    if (TCD.rows() == 0) {
        return refused("카드 자료 없음");
    }
    if (TCD.slots() < TcdColumns) {
        return refused(tooFewSlots("TCD", TcdColumns, TCD.slots()));
    }
    if (TCD.slots() > TcdColumns) {
        return refused(tooManySlots("TCD", TcdColumns, TCD.slots()));
    }
    for (std::size_t row = 0; row < TCD.rows(); ++row) {
        for (std::size_t slot : {std::size_t{0}, std::size_t{2}, std::size_t{12}}) {
            if (charCount(TCD(row, slot)) > MaxKeyChars) {
                return refused(keyTooLong("TCD " + std::to_string(row) + "행 " +
                                          std::to_string(slot) + "번 항목"));
            }
        }
    }
    return std::nullopt;
}

std::optional<StoreReply> checkDeletedLines(const std::vector<DeletedLine>& lines) {
    if (lines.empty()) {
        return StoreReply{true, ""};
    }
    for (const DeletedLine& line : lines) {
        if (charCount(line.posId) > MaxKeyChars) {
            return refused(keyTooLong("POS_ID"));
        }
    }
    return std::nullopt;
}

ActivityPeriod activityPeriod(const std::string& today, int days, const std::string& store) {
    DateTime day;
    if (!parseDateTime(today, day) || days < 1 || days > 366) {
        throw Error(errc::BadArguments, "central store " + store + ": no such period: " + today +
                                            ", " + std::to_string(days) + " days");
    }
    ActivityPeriod period;
    for (int i = 0; i < days; ++i) {
        period.dayIndex[day.date().addDays(-i).toDateText()] = static_cast<std::size_t>(i);
    }
    period.from = day.date().addDays(1 - days).toDateText();
    period.until = day.date().addDays(1).toDateText();
    return period;
}

void checkShop(const Shop& shop, const std::string& store) {
    if (shop.storeCode.empty()) {
        throw Error(errc::BadArguments, "central store " + store + ": a shop needs a store code");
    }
    for (const std::string* code : {&shop.storeCode, &shop.depotCode, &shop.posId}) {
        if (charCount(*code) > MaxKeyChars) {
            throw Error(errc::BadArguments, "central store " + store + ": code '" + *code +
                                                "' is longer than " + std::to_string(MaxKeyChars) +
                                                " characters");
        }
    }
}

}  // namespace veldon::central::rules
