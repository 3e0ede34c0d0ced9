// Many shops uploading at once: restaurant sales (PutPSM13_SIN with realistic arrays) sent to one
// reference service on loopback by concurrent clients, each with its own kept-alive connection,
// for a bounded time; then the retail mix: sales through PutPSM13 with its "Y", a card approval
// through putcard after every second sale and a deleted line through PUTSQL after every
// twentieth, as a retail shop sends them. The same run measures the machine's ceiling: the same
// requests answered by a service that parses them and stores nothing. Given a MariaDB server
// (--mariadb HOST:PORT, or VELDON_TEST_MARIADB as scripts/mariadb-test-server.sh prints it, with
// the account that script makes), the same loads run against the MariaDB store as well, in a
// database of their own that is dropped afterwards.
//
// Usage: bench_central [--seconds S] [--clients N] [--work DIR] [--mariadb HOST:PORT]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <mysql.h>

#include "bench/benchsales.h"
#include "central/mariadbstore.h"
#include "central/server.h"
#include "central/store.h"
#include "platform/error.h"
#include "remote/dataspace.h"

namespace {

using namespace veldon;
using namespace veldon::bench;
using Clock = std::chrono::steady_clock;

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
    std::vector<central::ShopActivity> shopActivity(const std::string&, int) override { return {}; }
};

struct Figures {
    long uploads = 0;
    long refused = 0;
    double seconds = 0;
    double p50ms = 0;
    double p99ms = 0;
};

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

// The benchmark's database is left on no server.
void dropDatabase(const central::MariadbTarget& target) {
    MYSQL* db = mysql_init(nullptr);
    const std::string drop = "DROP DATABASE IF EXISTS " + target.database;
    if (!mysql_real_connect(db, target.host.c_str(), target.user.c_str(), target.password.c_str(),
                            nullptr, static_cast<unsigned>(target.port), nullptr, 0) ||
        mysql_real_query(db, drop.data(), drop.size()) != 0) {
        std::cerr << "cannot drop " << target.database << ": " << mysql_error(db) << "\n";
    }
    mysql_close(db);
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
    const char* fromEnvironment = std::getenv("VELDON_TEST_MARIADB");
    std::string mariadb = fromEnvironment ? fromEnvironment : "";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--clients" && i + 1 < argc) {
            clients = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--work" && i + 1 < argc) {
            work = argv[++i];
        } else if (arg == "--mariadb" && i + 1 < argc) {
            mariadb = argv[++i];
        } else {
            std::cerr << "usage: bench_central [--seconds S] [--clients N] [--work DIR] "
                         "[--mariadb HOST:PORT]\n";
            return 2;
        }
    }
    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work);

    central::ServiceConfig config;
    config.accounts.push_back({"veldon", "mv5529", "bench"});
    config.limits.workers = 16;
    config.limits.maxConnectionsPerAddress = static_cast<std::size_t>(clients) + 8;
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
    std::optional<Figures> mariadb64, mariadb1;
    if (!mariadb.empty()) {
        central::MariadbTarget target = central::parseMariadbTarget(
            "mariadb://veldon@" + mariadb + "/veldon_bench_" + std::to_string(std::time(nullptr)));
        target.password = "veldon";
        {
            auto store = central::openMariadbStore(target);
            store->addShop({"S0001", "데모 식당", "H01", "본사창고", "01", "카운터1"});
            central::CentralService service(config, *store);
            const int port = service.start();
            mariadb64 = load(port, clients, seconds, nextSale);
            print("MariaDB, durable", clients, *mariadb64);
            mariadb1 = load(port, 1, seconds, nextSale);
            print("MariaDB, durable", 1, *mariadb1);
            print("MariaDB, retail mix", clients, load(port, clients, seconds, nextSale, true));
            service.stop();
        }
        dropDatabase(target);
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
    if (mariadb64) {
        std::printf(
            "MariaDB store at %d clients: %.0f%% of the SQLite store's uploads/s (target "
            ">= 50%%), p99 %.2f ms (target <= 50 ms)\n",
            clients, share(*mariadb64, stored64), mariadb64->p99ms);
    }
    return 0;
}
