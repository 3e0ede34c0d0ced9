// Many shops uploading at once: restaurant sales (PutPSM13_SIN with realistic arrays) sent to one
// reference service on loopback by concurrent clients, each with its own kept-alive connection,
// for a bounded time; then the retail mix: sales through PutPSM13 with its "Y", a card approval
// through putcard after every second sale and a deleted line through PUTSQL after every
// twentieth, as a retail shop sends them. The same run measures the machine's ceiling: the same
// requests answered by a service that parses them and stores nothing.
//
// Usage: bench_central [--seconds S] [--clients N] [--work DIR]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "central/server.h"
#include "central/store.h"
#include "platform/error.h"
#include "remote/dataspace.h"

namespace {

using namespace veldon;
using Clock = std::chrono::steady_clock;

const char* const Connection =
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

// Stores nothing: the ceiling of HTTP, JSON and dispatch on this machine.
class NullStore : public central::CentralStore {
public:
    central::StoreReply putSale(const central::SaleUpload&) override { return {true, ""}; }
    central::StoreReply putCards(const TextTable&, const std::string&) override {
        return {true, ""};
    }
    central::StoreReply putDeletedLines(const std::vector<central::DeletedLine>&) override {
        return {true, ""};
    }
    central::StoreReply reportVersion(const std::string&, const std::string&,
                                      const std::string&) override {
        return {true, ""};
    }
    std::optional<std::string> storeName(const std::string&) override { return {}; }
    std::optional<std::string> depotName(const std::string&, const std::string&) override {
        return {};
    }
    std::optional<std::string> counterName(const std::string&, const std::string&) override {
        return {};
    }
    void addShop(const central::Shop&) override {}
    std::vector<std::pair<std::string, long>> tableCounts() override { return {}; }
    std::vector<std::pair<std::string, long>> storeCounts(const std::string&) override {
        return {};
    }
};

struct Figures {
    long uploads = 0;
    long refused = 0;
    double seconds = 0;
    double p50ms = 0;
    double p99ms = 0;
};

// One upload of the mix: a restaurant sale, or the retail shop's next call.
bool upload(DataSpace& space, int port, bool retail, long n) {
    std::string connection = Connection;
    std::string reply;
    const std::string url = "http://127.0.0.1:" + std::to_string(port);
    if (!retail) {
        Sale sale("26120" + std::to_string(5000000 + n));
        std::string key = sale.TPE(0) + "01";
        return space.CreateObject("lumora.demon", url)
            ->PutPSM13_SIN(sale.TPE, sale.TPS, sale.TRT, sale.TPSN, sale.TAC, sale.TDLV, reply,
                           connection, key);
    }
    // Of every twenty calls: 13 sales, 6 card approvals and 1 deleted line.
    RetailSale sale(n);
    auto object = space.CreateObject("VARNIK.MEM", url);
    if (n % 20 == 19) {
        return object->PUTSQL(sale.statements, reply, connection);
    }
    if (n % 3 == 2) {
        return object->putcard(sale.TCD, reply, connection);
    }
    std::string key = "T" + sale.TPE(0);
    return object->PutPSM13(sale.TPE, sale.TPS, sale.TRT, sale.TAC, reply, connection, key,
                            std::string("Y"));
}

Figures load(int port, int clients, double seconds, std::atomic<long>& nextSale,
             bool retail = false) {
    std::vector<std::vector<double>> latencies(clients);
    std::vector<long> refused(clients, 0);
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            DataSpace space;
            while (Clock::now() < deadline) {
                const long n = nextSale++;
                const auto t0 = Clock::now();
                try {
                    if (!upload(space, port, retail, n)) {
                        ++refused[c];
                    }
                } catch (const Error& e) {
                    std::cerr << "call failed: " << e.description() << "\n";
                    ++refused[c];
                }
                latencies[c].push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    Figures f;
    f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    for (int c = 0; c < clients; ++c) {
        all.insert(all.end(), latencies[c].begin(), latencies[c].end());
        f.refused += refused[c];
    }
    f.uploads = static_cast<long>(all.size()) - f.refused;
    std::sort(all.begin(), all.end());
    if (!all.empty()) {
        f.p50ms = all[all.size() / 2];
        f.p99ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    }
    return f;
}

void print(const char* what, int clients, const Figures& f) {
    std::printf("%-22s %7d %10.0f %9.2f %9.2f %8ld\n", what, clients, f.uploads / f.seconds,
                f.p50ms, f.p99ms, f.refused);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 5;
    int clients = 64;
    std::filesystem::path work = "bench-out/central";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--clients" && i + 1 < argc) {
            clients = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--work" && i + 1 < argc) {
            work = argv[++i];
        } else {
            std::cerr << "usage: bench_central [--seconds S] [--clients N] [--work DIR]\n";
            return 2;
        }
    }
    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work);

    central::ServiceConfig config;
    config.accounts.push_back({"veldon", "mv5529", "bench"});
    config.threads = static_cast<std::size_t>(clients) + 16;
    std::atomic<long> nextSale{0};

    std::printf(
        "Central service on loopback: PutPSM13_SIN uploads of restaurant sales, then the retail "
        "mix, %.0f s per run\n",
        seconds);
    std::printf("%-22s %7s %10s %9s %9s %8s\n", "store", "clients", "uploads/s", "p50 ms", "p99 ms",
                "refused");
    Figures stored64, stored1, ceiling64, ceiling1, retail64, retailCeiling64;
    {
        auto store = central::openSqliteStore(work / "central.db");
        store->addShop({"S0001", "데모 식당", "H01", "본사창고", "01", "카운터1"});
        central::CentralService service(config, *store);
        const int port = service.start();
        stored64 = load(port, clients, seconds, nextSale);
        print("SQLite, durable", clients, stored64);
        stored1 = load(port, 1, seconds, nextSale);
        print("SQLite, durable", 1, stored1);
        retail64 = load(port, clients, seconds, nextSale, true);
        print("SQLite, retail mix", clients, retail64);
        service.stop();
    }
    {
        NullStore store;
        central::CentralService service(config, store);
        const int port = service.start();
        ceiling64 = load(port, clients, seconds, nextSale);
        print("none (ceiling)", clients, ceiling64);
        ceiling1 = load(port, 1, seconds, nextSale);
        print("none (ceiling)", 1, ceiling1);
        retailCeiling64 = load(port, clients, seconds, nextSale, true);
        print("none, retail mix", clients, retailCeiling64);
        service.stop();
    }
    auto share = [](const Figures& stored, const Figures& ceiling) {
        return 100.0 * (stored.uploads / stored.seconds) / (ceiling.uploads / ceiling.seconds);
    };
    std::printf("durable store at %d clients: %.0f%% of the ceiling (retail mix %.0f%%)\n", clients,
                share(stored64, ceiling64), share(retail64, retailCeiling64));
    return 0;
}
