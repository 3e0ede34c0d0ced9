// Reading a first installation's backlog through the local database layer: the six queries of the
// restaurant engine with delivery, opened at once and narrowed once per sale exactly as the engine
// narrows them (filters on accounting, lines and guests, a forward search on delivery), with every
// field the engine copies read once.
//
// Usage: bench_recordsets [--sales N]... [--repeat R] [--work DIR]
// Each run is a child process of its own, so that its peak memory is its own; each size runs R
// times (default 3) and the fastest run counts, so that a passing disturbance does not skew the
// ratio of the sizes.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "engines/queries.h"
#include "platform/database.h"
#include "platform/error.h"
#include "tools/demodb.h"

namespace {

using namespace veldon;
using Clock = std::chrono::steady_clock;

struct Figures {
    double seconds = 0;  // opening the queries and walking every sale
    double openSeconds = 0;
    long sales = 0;
    long rows = 0;  // rows of all six recordsets
    long fieldsRead = 0;
    double storageMb = 0;
};

void readAll(Recordset& rs, long& fields) {
    for (int i = 0; i < rs.fieldCount(); ++i) {
        Value v = rs.field(i);
        fields += v.isNull() ? 0 : 1;
    }
}

Figures transfer(const std::filesystem::path& folder) {
    Figures f;
    auto start = Clock::now();
    auto db = createConnection();
    db->open(
        "PROVIDER=MSDataShape;Driver={Microsoft Access Driver (*.mdb)};Dbq=FOOD.MDB;"
        "DefaultDir=" +
        folder.string() + ";Uid=Admin;pwd=qtrk48207");
    auto lock = LockType::Optimistic;
    auto cursor = CursorType::ForwardOnly;
    auto headers = db->openRecordset(queries::restaurantHeaders("", true), cursor, lock);
    auto accounting = db->openRecordset(queries::restaurantAccounting(""), cursor, lock);
    auto lines = db->openRecordset(queries::restaurantLines(""), cursor, lock);
    auto cards = db->openRecordset(queries::restaurantCards(), cursor, lock);
    auto delivery = db->openRecordset(queries::restaurantDelivery(""), cursor, lock);
    auto guests = db->openRecordset(queries::restaurantGuests(), cursor, lock);
    f.openSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (Recordset* rs : {headers.get(), accounting.get(), lines.get(), cards.get(), delivery.get(),
                          guests.get()}) {
        f.rows += rs->recordCount();
        f.storageMb += rs->storageBytes() / 1048576.0;
    }

    int peId = headers->fieldIndex("PE_ID");
    while (!headers->eof()) {
        readAll(*headers, f.fieldsRead);
        std::string id = headers->field(peId).toText();
        accounting->setFilter(" PEID = " + id);
        for (long n = accounting->recordCount(); n > 0; --n, accounting->moveNext()) {
            readAll(*accounting, f.fieldsRead);
        }
        lines->setFilter(" PE_ID = " + id);
        for (long n = lines->recordCount(); n > 0; --n, lines->moveNext()) {
            readAll(*lines, f.fieldsRead);
        }
        guests->setFilter(" PE_ID = " + id);
        for (long n = guests->recordCount(); n > 0; --n, guests->moveNext()) {
            readAll(*guests, f.fieldsRead);
        }
        if (delivery->recordCount() > 0) {
            delivery->moveFirst();
            delivery->find("PE_ID = '" + id + "'");
            if (!delivery->eof()) {
                readAll(*delivery, f.fieldsRead);
            }
        }
        ++f.sales;
        headers->moveNext();
    }
    while (!cards->eof()) {
        readAll(*cards, f.fieldsRead);
        cards->moveNext();
    }
    f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return f;
}

struct Result {
    Figures figures;
    double peakMb = 0;
};

// Runs one size in a child process; its figures come back through a pipe.
bool runChild(const std::filesystem::path& folder, Result& result) {
    int fds[2];
    if (pipe(fds) != 0) {
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        int status = 0;
        try {
            Figures f = transfer(folder);
            if (write(fds[1], &f, sizeof f) != static_cast<ssize_t>(sizeof f)) {
                status = 1;
            }
        } catch (const Error& e) {
            std::cerr << "error " << e.number() << ": " << e.description() << "\n";
            status = 1;
        }
        _exit(status);
    }
    close(fds[1]);
    bool ok = read(fds[0], &result.figures, sizeof result.figures) ==
              static_cast<ssize_t>(sizeof result.figures);
    close(fds[0]);
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    result.peakMb = usage.ru_maxrss / 1024.0;
    return ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<long> sizes;
    int repeat = 3;
    std::filesystem::path work = "bench-out/recordsets";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--sales" && i + 1 < argc) {
            sizes.push_back(std::atol(argv[++i]));
        } else if (arg == "--repeat" && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--work" && i + 1 < argc) {
            work = argv[++i];
        } else {
            std::cerr << "usage: bench_recordsets [--sales N]... [--repeat R] [--work DIR]\n";
            return 2;
        }
    }
    if (sizes.empty()) {
        sizes = {10000, 100000};
    }

    std::printf(
        "Local database layer: the six restaurant queries over a first installation's "
        "backlog, narrowed once per sale\n");
    std::printf("%9s %9s %9s %9s %12s %10s %10s\n", "sales", "rows", "open s", "total s", "rows/s",
                "rows MB", "peak MB");
    std::vector<Result> results;
    for (long sales : sizes) {
        auto folder = work / ("sales-" + std::to_string(sales));
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        demodb::DemoDbOptions options;
        options.kind = demodb::Kind::Restaurant;
        options.sales = sales;
        options.days = std::max(30L, sales / 5000 + 1);
        options.seed = 42;
        options.today = DateTime{2026, 12, 6, 12, 0, 0};
        demodb::makeDemoDb(options, folder / "FOOD.MDB");

        Result r;
        for (int run = 0; run < repeat; ++run) {
            Result attempt;
            if (!runChild(folder, attempt)) {
                std::fprintf(stderr, "the run over %ld sales failed\n", sales);
                return 1;
            }
            if (run == 0 || attempt.figures.seconds < r.figures.seconds) {
                r.figures = attempt.figures;
            }
            r.peakMb = std::max(r.peakMb, attempt.peakMb);
        }
        const Figures& f = r.figures;
        std::printf("%9ld %9ld %9.2f %9.2f %12.0f %10.1f %10.1f\n", f.sales, f.rows, f.openSeconds,
                    f.seconds, f.rows / f.seconds, f.storageMb, r.peakMb);
        results.push_back(r);
        std::filesystem::remove_all(folder);
    }
    if (results.size() >= 2) {
        const Result& small = results.front();
        const Result& large = results.back();
        std::printf("time ratio %ld/%ld sales: %.2f\n", large.figures.sales, small.figures.sales,
                    large.figures.seconds / small.figures.seconds);
    }
    return 0;
}
