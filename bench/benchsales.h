// The uploads of the service benchmarks: a restaurant sale as the delivery engine fills its
// arrays, and a retail shop's calls, sent through the agent's own client.
#pragma once

#include <string>

#include "remote/dataspace.h"
#include "remote/recordarrays.h"

namespace veldon::bench {

inline const char* const Connection =
    "DRIVER={MySQL ODBC 3.51 Driver};SERVER=127.0.0.1;DATABASE=bench;UID=veldon;PWD=mv5529;"
    "OPTION=16386";

// A restaurant sale as the delivery engine fills it: 3 lines, 2 accounting rows, guests, delivery.
struct Sale {
    TextArray TPE{24}, TRT{8}, TDLV{11};
    TextTable TPS{3, 20}, TPSN{1, 7}, TAC{2, 26};

    explicit Sale(const std::string& id) {
        const char* header[] = {"",
                                "1",
                                "2026-12-05",
                                "",
                                "S0001",
                                "데모 식당",
                                "1000000000000000",
                                "소비자",
                                "8182",
                                "818",
                                "9000",
                                "0",
                                "9000",
                                "1000",
                                "E006",
                                "",
                                "",
                                "20",
                                "U01",
                                "",
                                "",
                                "01",
                                "",
                                ""};
        for (std::size_t i = 0; i < 24; ++i) {
            TPE(i) = header[i];
        }
        TPE(0) = TPE(20) = id;
        const char* rt[] = {"", "2026-12-05", "2026-12-05 12:31:07", "T12", "3", "10000", "0", "0"};
        for (std::size_t i = 0; i < 8; ++i) {
            TRT(i) = rt[i];
        }
        TRT(0) = id;
        const char* products[][3] = {{"P0012", "김치찌개", "8000"},
                                     {"P0031", "공기밥", "1000"},
                                     {"P0107", "계란말이", "6000"}};
        for (std::size_t r = 0; r < 3; ++r) {
            const char* line[] = {"",
                                  "",
                                  "2026-12-05",
                                  products[r][0],
                                  products[r][1],
                                  "",
                                  "1",
                                  "Ea",
                                  "1",
                                  "0",
                                  "3000",
                                  products[r][2],
                                  products[r][2],
                                  "300",
                                  "U01",
                                  "SS00",
                                  "",
                                  "H01",
                                  "본사창고",
                                  "0"};
            for (std::size_t s = 0; s < 20; ++s) {
                TPS(r, s) = line[s];
            }
            TPS(r, 0) = id;
            TPS(r, 1) = std::to_string(r + 1);
        }
        const char* guest[] = {"", "1", "2", "1", "A", "3", "S0001"};
        for (std::size_t s = 0; s < 7; ++s) {
            TPSN(0, s) = guest[s];
        }
        TPSN(0, 0) = id;
        for (std::size_t r = 0; r < 2; ++r) {
            const char* ac[] = {"",
                                "",
                                "1",
                                "15",
                                "D",
                                "2026-12-05",
                                "2026-12-05",
                                "S0001",
                                "1000000000000000",
                                "소비자",
                                "",
                                r ? "111055" : "111010",
                                "00",
                                r ? "5000" : "4000",
                                "",
                                "",
                                "",
                                "",
                                "20",
                                "",
                                "",
                                "",
                                "",
                                "",
                                "",
                                "U01"};
            for (std::size_t s = 0; s < 26; ++s) {
                TAC(r, s) = ac[s];
            }
            TAC(r, 0) = TAC(r, 19) = id;
            TAC(r, 1) = std::to_string(r + 1);
        }
        const char* dlv[] = {"D01",
                             "홍길동",
                             "010-1234-5678",
                             "",
                             "",
                             "06236",
                             "서울특별시 강남구 테헤란로 123 4층",
                             "문 앞에 놓아 주세요",
                             "",
                             "",
                             "Y"};
        for (std::size_t s = 0; s < 11; ++s) {
            TDLV(s) = dlv[s];
        }
    }
};

// A retail sale as the retail engine fills it: 2 lines, cash and card entries.
struct RetailSale {
    TextArray TPE{22}, TRT{8};
    TextTable TPS{2, 19}, TAC{2, 26}, TCD{1, 13};
    TextArray statements{2};

    explicit RetailSale(long n) {
        const std::string id = std::to_string(1000000 + n);
        const char* header[] = {
            "",       "1",    "2026-12-05", "",      "S0001", "데모 마트", "1000000000000000",
            "소비자", "9091", "909",        "10000", "0",     "10000",     "0",
            "E006",   "",     "",           "0",     "U01",   "",          "1",
            "01"};
        for (std::size_t i = 0; i < 22; ++i) {
            TPE(i) = header[i];
        }
        TPE(0) = id;
        const char* rt[] = {"", "2026-12-05 12:31:07", "", "", "0", "0", "0", "0"};
        for (std::size_t i = 0; i < 8; ++i) {
            TRT(i) = rt[i];
        }
        TRT(0) = id;
        for (std::size_t r = 0; r < 2; ++r) {
            const char* line[] = {
                "",  "",    "2026-12-05", "8801234000018", "서울우유 1L", "0001", "1",   "개",
                "1", "0",   "0",          "5000",          "4545",        "455",  "U01", "",
                "",  "H01", "본사창고"};
            for (std::size_t s = 0; s < 19; ++s) {
                TPS(r, s) = line[s];
            }
            TPS(r, 0) = id;
            TPS(r, 1) = std::to_string(r + 1);
            const char* ac[] = {"",
                                "",
                                "1",
                                "15",
                                "D",
                                "2026-12-05",
                                "2026-12-05",
                                "S0001",
                                "1000000000000000",
                                "소비자",
                                "",
                                r ? "111055" : "111010",
                                "00",
                                "5000",
                                "",
                                r ? "신한" : "5000",
                                r ? "비씨" : "0",
                                r ? "30012345" : "",
                                "0",
                                "",
                                "",
                                "",
                                "",
                                "",
                                "",
                                "U01"};
            for (std::size_t s = 0; s < 26; ++s) {
                TAC(r, s) = ac[s];
            }
            TAC(r, 0) = id;
            TAC(r, 1) = r ? "2" : "1";
        }
        const char* card[] = {"", "S0001", "1",    "2026-12-05", "1",    "9410123456781234",
                              "", "신한",  "비씨", "00",         "5000", "",
                              ""};
        for (std::size_t s = 0; s < 13; ++s) {
            TCD(0, s) = card[s];
        }
        TCD(0, 0) = id;
        TCD(0, 12) = std::to_string(30000000 + n);
        statements(1) =
            " INSERT INTO DELPSS13 (DEL_DATE, PR_BCODE, PR_NAME, PR_UNIT, PR_UP, PR_QTY, PR_AMT, "
            "POS_ID, RCT_CODE )  VALUES ( '2026-12-05 12:" +
            std::to_string(10 + n % 50) + ":" + std::to_string(10 + n / 50 % 50) +
            "', '0001', '서울우유 1L', '개', 5000, " + std::to_string(1 + n / 2500) +
            ",           5000, '01', 'S0001' ) ";
    }
};

// One upload of the mix: a restaurant sale, or the retail shop's next call.
bool upload(DataSpace& space, int port, bool retail, long n);

}  // namespace veldon::bench
