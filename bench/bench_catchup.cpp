// A first installation catching up: a restaurant shop (delivery engine) and a retail shop, each
// with 10,000 and 100,000 unsent sales, send their backlog with one `veldonctl scan` to the
// reference service, a process of its own on loopback, durable at both ends as installed. Agent and
// service each run as a child process, so that their peak memory and CPU time are their own.
//
// The same run measures this machine's floor: one loopback HTTP round trip with a sale-sized
// body, one durable commit of the service's store (WAL, flushed to disk), and one commit of the
// agent's mark in the shop's database (rollback journal, flushed). Each sale and each card
// approval needs one of each: the agent commits every mark on its own, after the answer, so that
// the POS program never waits on the database while a call is in flight. A retail shop sends its
// card approvals in one batch and its deleted lines in another: their floor is that of the sales.
//
// Usage: bench_catchup [--sales N]... [--work DIR]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "tools/makeshop.h"

namespace {

using namespace veldon;
using SteadyClock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double since(SteadyClock::time_point t) {
    return std::chrono::duration<double>(SteadyClock::now() - t).count();
}

struct ChildResult {
    int status = -1;
    double cpuSeconds = 0;
    double peakMb = 0;
};

ChildResult reap(pid_t pid) {
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    ChildResult r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                   usage.ru_stime.tv_usec / 1e6;
    r.peakMb = usage.ru_maxrss / 1024.0;
    return r;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const fs::path& output) {
    std::fflush(stdout);  // else the child inherits what is not printed yet
    pid_t pid = fork();
    if (pid == 0) {
        for (const std::string& e : env) {
            putenv(const_cast<char*>(e.c_str()));
        }
        std::freopen(output.c_str(), "w", stdout);
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// A port of 127.0.0.1 that nothing listens on now; the service binds it next.
int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    close(fd);
    return ntohs(a.sin_port);
}

std::string readAll(const fs::path& file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The median of one loopback round trip of a sale-sized body through a kept-alive connection.
double roundTripSeconds() {
    httplib::Server echo;
    echo.set_tcp_nodelay(true);
    echo.set_keep_alive_max_count(1000000);
    echo.Post("/rds/x/y", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(R"({"result":true,"byref":{"6":""}})", "application/json");
    });
    const int port = echo.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { echo.listen_after_bind(); });
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    const std::string body(6000, 'x');
    std::vector<double> times;
    for (int i = 0; i < 3000; ++i) {
        const auto t = SteadyClock::now();
        client.Post("/rds/x/y", body, "application/json");
        times.push_back(since(t));
    }
    echo.stop();
    serving.join();
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The median of one durable commit of a small insert in WAL mode on the benchmark's disk.
double durableCommitSeconds(const fs::path& folder) {
    const fs::path file = folder / "floor.db";
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; CREATE TABLE t(a, b)",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?)", -1, &insert, nullptr);
    std::vector<double> times;
    for (int i = 0; i < 1000; ++i) {
        const auto t = SteadyClock::now();
        sqlite3_bind_int(insert, 1, i);
        sqlite3_bind_text(insert, 2, "2612050001 데모 식당 2026-12-05", -1, SQLITE_STATIC);
        sqlite3_step(insert);
        sqlite3_reset(insert);
        times.push_back(since(t));
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);
    fs::remove(file);
    fs::remove(folder / "floor.db-wal");
    fs::remove(folder / "floor.db-shm");
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The median of one mark as the agent commits it: an UPDATE of its own in a rollback-journal
// database, as the shop's database is kept.
double localMarkSeconds(const fs::path& folder) {
    const fs::path file = folder / "marks.db";
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    sqlite3_exec(db,
                 "CREATE TABLE PE (PE_ID TEXT PRIMARY KEY, PE_SD INTEGER); BEGIN; "
                 "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000) "
                 "INSERT INTO PE SELECT printf('261206%04d', i), 0 FROM n; COMMIT; "
                 "PRAGMA journal_mode = PERSIST",
                 nullptr, nullptr, nullptr);
    std::vector<double> times;
    for (int i = 1; i <= 1000; ++i) {
        char sql[96];
        std::snprintf(sql, sizeof sql, "UPDATE PE SET PE_SD = 7 WHERE PE_ID = '261206%04d'", i);
        const auto t = SteadyClock::now();
        sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        times.push_back(since(t));
    }
    sqlite3_close(db);
    fs::remove(file);
    fs::remove(folder / "marks.db-journal");
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

struct Run {
    long sales = 0;
    long cards = 0;
    long deleted = 0;
    double seconds = 0;
    ChildResult agent, service;
};

// Reads "  <name>   <number>" from the scan's summary.
long summaryNumber(const std::string& summary, const std::string& name) {
    const std::size_t at = summary.find("  " + name);
    return at == std::string::npos ? -1 : std::atol(summary.c_str() + at + 2 + name.size());
}

Run catchUp(demodb::Kind kind, long sales, const fs::path& work, const fs::path& buildDir) {
    const fs::path dir = work / ("sales-" + std::to_string(sales));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const int port = freePort();
    const std::string server = "127.0.0.1:" + std::to_string(port);

    demodb::ShopOptions options;
    options.kind = kind;
    options.sales = sales;
    options.days = std::max(30L, sales / 5000 + 1);
    options.seed = 42;
    options.server = server;
    options.delivery = kind == demodb::Kind::Restaurant;
    const auto shop = demodb::makeShop(options, dir / "shop", DateTime{2026, 12, 6, 12, 0, 0});

    const std::string central = (buildDir / "central" / "veldon-central").string();
    const std::string db = (dir / "central.db").string();
    reap(spawn(
        {central, "--db", db, "add-shop", "--store", "S0001", "--store-name", "데모 식당",
         "--depot", "H01", "--depot-name", "본사창고", "--pos", "01", "--pos-name", "카운터1"},
        {}, dir / "add-shop.out"));
    const pid_t service =
        spawn({central, "--listen", server, "--db", db, "--account", "veldon:mv5529:veldon_demo"},
              {}, dir / "central.out");
    for (int i = 0; i < 200 && readAll(dir / "central.out").find("listening") == std::string::npos;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (readAll(dir / "central.out").find("listening") == std::string::npos) {
        std::cerr << "veldon-central did not start on " << server << "\n";
        kill(service, SIGTERM);
        std::exit(1);
    }

    Run run;
    const auto start = SteadyClock::now();
    const pid_t agent = spawn({(buildDir / "tools" / "veldonctl").string(), "--program-folder",
                               shop.programFolder.string(), "scan"},
                              {"XDG_CONFIG_HOME=" + shop.configHome.string()}, dir / "scan.out");
    run.agent = reap(agent);
    run.seconds = since(start);
    kill(service, SIGTERM);
    run.service = reap(service);

    const std::string summary = readAll(dir / "scan.out");
    run.sales = summaryNumber(summary, "sales sent");
    run.cards = summaryNumber(summary, "card approvals sent");
    run.deleted = std::max(0L, summaryNumber(summary, "deleted lines sent"));
    if (run.agent.status != 0 || run.sales <= 0 ||
        summary.find("ended by error") != std::string::npos) {
        std::cerr << "the scan over " << sales << " sales failed:\n" << summary;
        std::exit(1);
    }
    fs::remove_all(dir);
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<long> sizes;
    std::vector<demodb::Kind> kinds;
    fs::path work = "bench-out/catchup";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--sales" && i + 1 < argc) {
            sizes.push_back(std::atol(argv[++i]));
        } else if (arg == "--kind" && i + 1 < argc &&
                   (std::string(argv[i + 1]) == "restaurant" ||
                    std::string(argv[i + 1]) == "retail")) {
            kinds.push_back(std::string(argv[++i]) == "retail" ? demodb::Kind::Retail
                                                               : demodb::Kind::Restaurant);
        } else if (arg == "--work" && i + 1 < argc) {
            work = argv[++i];
        } else {
            std::cerr << "usage: bench_catchup [--kind restaurant|retail]... [--sales N]... "
                         "[--work DIR]\n";
            return 2;
        }
    }
    if (sizes.empty()) {
        sizes = {10000, 100000};
    }
    if (kinds.empty()) {
        kinds = {demodb::Kind::Restaurant, demodb::Kind::Retail};
    }
    fs::create_directories(work);
    const fs::path buildDir = fs::canonical("/proc/self/exe").parent_path().parent_path();

    const double roundTrip = roundTripSeconds();
    const double commit = durableCommitSeconds(work);
    const double mark = localMarkSeconds(work);
    std::printf(
        "First installation catching up: veldonctl scan of a backlog to veldon-central on "
        "loopback\n");
    std::printf(
        "floor of this machine: loopback round trip %.0f us, durable commit %.0f us, local mark "
        "%.0f us\n",
        roundTrip * 1e6, commit * 1e6, mark * 1e6);
    std::printf("%-10s %8s %7s %7s %8s %9s %9s %8s %10s %10s %9s %9s\n", "shop", "sales", "cards",
                "deleted", "seconds", "sales/s", "floor/s", "of floor", "agent MB", "service MB",
                "agent s", "service s");
    for (demodb::Kind kind : kinds) {
        const bool retail = kind == demodb::Kind::Retail;
        std::vector<Run> runs;
        for (long sales : sizes) {
            Run r = catchUp(kind, sales, work, buildDir);
            // Each sale costs one round trip, one durable commit at the service and one local mark
            // at least; so does each card approval of a restaurant, while a retail shop sends
            // its approvals, and its deleted lines, in one call each.
            const long calls = r.sales + (retail ? 2 : r.cards);
            const double floorSeconds = calls * (roundTrip + commit + mark);
            std::printf(
                "%-10s %8ld %7ld %7ld %8.2f %9.0f %9.0f %7.0f%% %10.1f %10.1f %9.2f %9.2f\n",
                retail ? "retail" : "restaurant", r.sales, r.cards, r.deleted, r.seconds,
                r.sales / r.seconds, r.sales / floorSeconds, 100 * floorSeconds / r.seconds,
                r.agent.peakMb, r.service.peakMb, r.agent.cpuSeconds, r.service.cpuSeconds);
            runs.push_back(r);
        }
        if (runs.size() >= 2) {
            std::printf("%s time ratio %ld/%ld sales: %.2f\n", retail ? "retail" : "restaurant",
                        runs.back().sales, runs.front().sales,
                        runs.back().seconds / runs.front().seconds);
        }
    }
    return 0;
}
