// veldon-central: the reference central service a chain's head office runs for its shops, and its
// two administration commands.
//
// Exit status: 0 done (or stopped by SIGINT/SIGTERM), 1 failed, 2 the command line is wrong.

#include <pthread.h>
#include <signal.h>

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "central/mariadbstore.h"
#include "central/server.h"
#include "central/store.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/serverprocess.h"

namespace veldon::central {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

constexpr const char* kHelp = R"(Usage:
  veldon-central --listen HOST:PORT --db STORE [--db-password-file FILE] [--accounts-file FILE]
                 [--account USER:PASSWORD:DATABASE]... [--tls-cert FILE --tls-key FILE]
                 [--progid NAME]... [--threads N] [--quiet] [--silent-after MINUTES]
                 [--page-days N] [LIMITS]
  veldon-central --db STORE add-shop --store CODE [--store-name NAME] [--depot CODE]
                 [--depot-name NAME] [--pos ID] [--pos-name NAME]
  veldon-central --db STORE stats [--store CODE]

The reference central service of VELDON: answers the shops' remote calls over HTTP
(POST /rds/<ProgID>/<Method>) and keeps their uploads in one SQLite file or in a database
of a MariaDB server, which several veldon-central processes may share.

Serving (until SIGINT or SIGTERM; requests in flight are answered first):
  --listen HOST:PORT   address to listen on; port 0 takes any free port
  --db FILE            the store: a SQLite file (created when missing), or
  --db mariadb://USER@HOST:PORT/DATABASE
                       a database on a MariaDB server (the database and its tables are
                       created when missing; the server must have
                       innodb_flush_log_at_trx_commit=1). The password is the first line of
                       --db-password-file, or else the environment variable
                       VELDON_CENTRAL_DB_PASSWORD; never the command line
  --db-password-file FILE
                       the MariaDB password; refused when its group or others may read it
                       (chmod 600). Also for add-shop and stats
  --accounts-file FILE the accounts the shops' connection strings must name (UID, PWD,
                       DATABASE), one USER:PASSWORD:DATABASE a line; blank lines and lines
                       beginning with # are skipped. Refused when its group or others may
                       read it (chmod 600). Without an account every call is refused.
  --account U:P:D      one more account; repeatable. It stands in the process list, where
                       every user of the machine reads it: prefer the file.
  --tls-cert FILE      serve HTTPS with this PEM certificate chain (the service's own
                       certificate first, then the intermediates); the shops then name the
                       server https://HOST:PORT. Without it the calls, with the connection
                       string's password, cross the network in clear
  --tls-key FILE       the certificate's PEM private key; refused when its group or others
                       may read it (chmod 600)
  --progid NAME        a ProgID to serve besides lumora.demon and VARNIK.MEM; repeatable
  --threads N          worker threads: calls answered at once (default 16); a connection
                       that idles or sends slowly never holds one
  --quiet              no line per refused or failed call on standard error (the line of
                       totals per busy minute stays)

The head office's page: http://HOST:PORT/ in a browser, after a login with the user name and
password of an account (its DATABASE is not asked), shows every registered shop with what it
sent per day; /shops.csv is the same table as a CSV file.
  --silent-after MINUTES  a shop that sent nothing for longer stands out as silent (default
                       180: a shop's agent sends each sale within minutes, three hours pass a
                       quiet afternoon yet show a stopped shop the same day; outside business
                       hours every shop is silent); one that never sent anything is silent
  --page-days N        the days shown, today included (default 7, at most 366)

Limits, so that no few connections can take the service from the honest shops:
  --per-address N      connections one client address may hold (default 64: shops
                       behind one NAT share an address, each holds one at a time)
  --max-connections N  connections in all (default 10000, or what the open-file limit allows)
  --memory MB          memory for request bodies and their decoded arguments in flight
                       (default 256); a call that does not fit is refused (HTTP 503)
  --address-memory MB  of that, what one client address may hold (default 96: enough for
                       the largest call the limits allow, 2 million texts)
  --body-limit MB      the largest request body (default 32; HTTP 413 beyond)
  --request-seconds N  a request must arrive whole within N s of its first byte (default 60)
  --idle-seconds N     a kept-alive connection idle for N s is closed (default 5)

Each call that is refused (answered false) or fails (an error answer) gets a line on standard
error: time, client address, store, method, HTTP status and the reason; never a password. A
minute with calls ends with a line of its totals.

Commands:
  add-shop             register (or rename) a store with its depot and counter
  stats                the row count of every table, one per line; with --store CODE what
                       that store sent: its sales, card approvals and deleted lines

  -h, --help           show this help
  --version            show the version
)";

struct Options {
    std::optional<std::string> listen;
    std::optional<std::filesystem::path> db;
    std::optional<MariadbTarget> mariadb;  // when --db names a MariaDB server
    std::optional<std::filesystem::path> dbPasswordFile;
    std::vector<Account> accounts;
    std::vector<std::string> progIds;
    HttpLimits limits;
    PageOptions page;
    bool quiet = false;
    std::optional<std::string> tlsCertificate, tlsKey;
};

// The log of a serving service on standard error: a line per unsuccessful call unless quiet, and
// a line of totals at the end of every minute that had calls.
class CallLog {
public:
    explicit CallLog(bool quiet) : m_quiet(quiet), m_thread([this] { everyMinute(); }) {}
    ~CallLog() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join();
        printTotals();
    }

    void note(const CallNote& call) {
        std::lock_guard lock(m_mutex);
        ++m_calls;
        const bool failed = call.status != 200;
        m_refused += call.refused ? 1 : 0;
        m_failed += failed ? 1 : 0;
        if (!m_quiet && (call.refused || failed)) {
            std::cerr << m_clock.now().toDateTimeText() << " " << call.client << " " << call.store
                      << " " << call.method << " " << call.status << " "
                      << (failed ? "failed" : "refused") << ": " << call.reason << std::endl;
        }
    }

private:
    void everyMinute() {
        std::unique_lock lock(m_mutex);
        while (!m_wake.wait_for(lock, std::chrono::minutes(1), [this] { return m_stop; })) {
            printTotalsLocked();
        }
    }
    void printTotals() {
        std::lock_guard lock(m_mutex);
        printTotalsLocked();
    }
    void printTotalsLocked() {
        if (m_calls > 0) {
            std::cerr << m_clock.now().toDateTimeText() << " calls " << m_calls << ", refused "
                      << m_refused << ", failed " << m_failed << std::endl;
        }
        m_calls = m_refused = m_failed = 0;
    }

    bool m_quiet;
    veldon::SystemClock m_clock;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    long m_calls = 0, m_refused = 0, m_failed = 0;
    std::thread m_thread;  // last: starts once the members above exist
};

std::optional<long> wholeNumber(std::string_view text) {
    long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::pair<std::string, int> parseListen(const std::string& text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        throw UsageError("--listen needs HOST:PORT, not '" + text + "'");
    }
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    const std::optional<long> port = wholeNumber(std::string_view(text).substr(colon + 1));
    if (host.empty() || !port || *port < 0 || *port > 65535) {
        throw UsageError("--listen needs HOST:PORT with a port from 0 to 65535, not '" + text +
                         "'");
    }
    return {host, static_cast<int>(*port)};
}

Account parseAccount(const std::string& text) {
    // The password may hold ":"; user and database names do not.
    const std::size_t first = text.find(':');
    const std::size_t last = text.rfind(':');
    if (first == std::string::npos || first == last || first == 0 || last + 1 == text.size()) {
        throw UsageError("--account needs USER:PASSWORD:DATABASE");
    }
    return {text.substr(0, first), text.substr(first + 1, last - first - 1), text.substr(last + 1)};
}

// Refuses a file of secrets that its group or others may read: its owner alone may.
void requireOwnerOnly(const std::filesystem::path& file, const std::string& what) {
    if (readableByOthers(file)) {
        throw std::runtime_error("the " + what + " " + file.string() +
                                 " may be read by its group or others; allow its owner alone "
                                 "(chmod 600)");
    }
}

// The accounts of an accounts file; its owner alone may read it.
std::vector<Account> readAccountsFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) {
        throw std::runtime_error("cannot read the accounts file " + file.string());
    }
    requireOwnerOnly(file, "accounts file");
    std::vector<Account> accounts;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') {
            continue;
        }
        try {
            accounts.push_back(parseAccount(line));
        } catch (const UsageError&) {
            throw UsageError(file.string() + " line " + std::to_string(number) +
                             ": an account is USER:PASSWORD:DATABASE");
        }
    }
    return accounts;
}

// Splits "--name value" and "--name=value"; `i` moves past what was taken.
std::optional<std::string> optionValue(const std::vector<std::string>& args, std::size_t& i,
                                       const std::string& name) {
    const std::string& arg = args[i];
    if (arg.starts_with(name + "=")) {
        return arg.substr(name.size() + 1);
    }
    if (arg != name) {
        return std::nullopt;
    }
    if (i + 1 >= args.size()) {
        throw UsageError("option " + name + " needs a value");
    }
    return args[++i];
}

struct NumberOption {
    const char* name;
    long least;
    long most;
    std::function<void(long)> set;
};

// Takes the option of `table` at `i`, a whole number within its bounds; false when args[i] is
// none of them.
template <std::size_t N>
bool numberOption(const std::vector<std::string>& args, std::size_t& i,
                  const NumberOption (&table)[N]) {
    for (const NumberOption& option : table) {
        if (auto text = optionValue(args, i, option.name)) {
            const std::optional<long> n = wholeNumber(*text);
            if (!n || *n < option.least || *n > option.most) {
                throw UsageError(std::string(option.name) + " needs a number from " +
                                 std::to_string(option.least) + " to " +
                                 std::to_string(option.most) + ", not '" + *text + "'");
            }
            option.set(*n);
            return true;
        }
    }
    return false;
}

// Takes one of the numeric limit options at `i`; false when args[i] is none of them.
bool limitOption(const std::vector<std::string>& args, std::size_t& i, HttpLimits& limits) {
    constexpr std::size_t MB = 1024 * 1024;
    using std::chrono::seconds;
    const NumberOption table[] = {
        {"--threads", 1, 10000, [&](long n) { limits.workers = static_cast<std::size_t>(n); }},
        {"--per-address", 1, 1000000,
         [&](long n) { limits.maxConnectionsPerAddress = static_cast<std::size_t>(n); }},
        {"--max-connections", 1, 1000000,
         [&](long n) { limits.maxConnections = static_cast<std::size_t>(n); }},
        {"--memory", 16, 1 << 20, [&](long n) { limits.memoryBudget = n * MB; }},
        {"--address-memory", 1, 1 << 20, [&](long n) { limits.addressMemory = n * MB; }},
        {"--body-limit", 1, 4096, [&](long n) { limits.maxBodyBytes = n * MB; }},
        {"--request-seconds", 1, 3600, [&](long n) { limits.requestTime = seconds(n); }},
        {"--idle-seconds", 1, 3600, [&](long n) { limits.idleTime = seconds(n); }},
    };
    return numberOption(args, i, table);
}

// Takes one of the head-office page's options at `i`; false when args[i] is none of them.
bool pageOption(const std::vector<std::string>& args, std::size_t& i, PageOptions& page) {
    const NumberOption table[] = {
        {"--silent-after", 1, 100000,
         [&](long n) { page.silentAfterMinutes = static_cast<int>(n); }},
        {"--page-days", 1, 366, [&](long n) { page.days = static_cast<int>(n); }},
    };
    return numberOption(args, i, table);
}

// The first line of a password file; its owner alone may read it.
std::string readPasswordFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) {
        throw std::runtime_error("cannot read the password file " + file.string());
    }
    requireOwnerOnly(file, "password file");
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

std::unique_ptr<CentralStore> openStore(const Options& options) {
    if (!options.db) {
        throw UsageError("--db FILE is missing");
    }
    if (!options.mariadb) {
        if (options.dbPasswordFile) {
            throw UsageError("--db-password-file goes with --db mariadb://..., not a SQLite file");
        }
        return openSqliteStore(*options.db);
    }
    MariadbTarget target = *options.mariadb;
    if (options.dbPasswordFile) {
        target.password = readPasswordFile(*options.dbPasswordFile);
    } else if (const char* password = std::getenv("VELDON_CENTRAL_DB_PASSWORD")) {
        target.password = password;
    }
    return openMariadbStore(target);
}

int addShop(const Options& options, const std::vector<std::string>& args) {
    Shop shop;
    std::map<std::string, std::string*> fields = {
        {"--store", &shop.storeCode}, {"--store-name", &shop.storeName},
        {"--depot", &shop.depotCode}, {"--depot-name", &shop.depotName},
        {"--pos", &shop.posId},       {"--pos-name", &shop.posName},
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        bool taken = false;
        for (auto& [name, field] : fields) {
            if (auto value = optionValue(args, i, name)) {
                *field = *value;
                taken = true;
                break;
            }
        }
        if (!taken) {
            throw UsageError("add-shop does not know '" + args[i] + "'");
        }
    }
    if (shop.storeCode.empty()) {
        throw UsageError("add-shop needs --store CODE");
    }
    if (shop.depotCode.empty() && !shop.depotName.empty()) {
        throw UsageError("add-shop: --depot-name needs --depot");
    }
    if (shop.posId.empty() && !shop.posName.empty()) {
        throw UsageError("add-shop: --pos-name needs --pos");
    }
    auto store = openStore(options);
    store->addShop(shop);
    std::cout << "store " << shop.storeCode << " (" << shop.storeName << ") registered";
    if (!shop.depotCode.empty()) {
        std::cout << ", depot " << shop.depotCode << " (" << shop.depotName << ")";
    }
    if (!shop.posId.empty()) {
        std::cout << ", counter " << shop.posId << " (" << shop.posName << ")";
    }
    std::cout << "\n";
    return kExitOk;
}

int stats(const Options& options, const std::vector<std::string>& args) {
    std::optional<std::string> storeCode;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (auto code = optionValue(args, i, "--store")) {
            storeCode = *code;
        } else {
            throw UsageError("stats takes only --store CODE, not '" + args[i] + "'");
        }
    }
    std::error_code ec;
    if (options.db && !options.mariadb && !std::filesystem::exists(*options.db, ec)) {
        throw veldon::Error(veldon::errc::ProviderError,
                            "no store at " + options.db->string() + " (not found)");
    }
    auto store = openStore(options);
    for (const auto& [table, count] :
         storeCode ? store->storeCounts(*storeCode) : store->tableCounts()) {
        std::cout << table << " " << count << "\n";
    }
    return kExitOk;
}

int serve(const Options& options) {
    if (!options.listen) {
        throw UsageError("--listen HOST:PORT is missing (or give a command)");
    }
    const auto [host, port] = parseListen(*options.listen);
    if (options.accounts.empty()) {
        std::cerr << "veldon-central: warning: no account given (--accounts-file, --account); "
                     "every call will be refused (permission denied)\n";
    }
    // Every thread inherits the blocked signals, so only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    returnLargeBlocksToSystem();
    auto store = openStore(options);
    ServiceConfig config;
    config.host = host;
    config.port = port;
    config.accounts = options.accounts;
    config.progIds = options.progIds;
    config.limits = options.limits;
    if (options.tlsCertificate.has_value() != options.tlsKey.has_value()) {
        throw UsageError("--tls-cert and --tls-key go together");
    }
    if (options.tlsKey) {
        requireOwnerOnly(*options.tlsKey, "key file");
        config.tlsCertificateFile = *options.tlsCertificate;
        config.tlsKeyFile = *options.tlsKey;
    } else if (host != "127.0.0.1" && host != "::1" && host != "localhost") {
        std::cerr << "veldon-central: warning: serving plain HTTP on " << host
                  << ": the shops' calls, with their connection strings' passwords, cross the "
                     "network in clear (--tls-cert, --tls-key)\n";
    }
    config.page = options.page;
    CallLog log(options.quiet);
    config.onCall = [&log](const CallNote& call) { log.note(call); };
    CentralService service(config, *store);
    const int bound = service.start();
    std::cout << "veldon-central listening on " << host << ":" << bound
              << (options.tlsKey ? " (HTTPS)" : "") << ", store " << options.db->string()
              << std::endl;

    int received = 0;
    sigwait(&stopSignals, &received);
    std::cout << "veldon-central stopping (" << (received == SIGINT ? "SIGINT" : "SIGTERM")
              << "), answering the calls in flight" << std::endl;
    service.stop();
    std::cout << "veldon-central stopped" << std::endl;
    return kExitOk;
}

int run(const std::vector<std::string>& args) {
    Options options;
    std::size_t i = 0;
    for (; i < args.size() && args[i].starts_with("-"); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            std::cout << kHelp;
            return kExitOk;
        }
        if (arg == "--version") {
            std::cout << "veldon-central " << VELDON_VERSION_MAJOR << "." << VELDON_VERSION_MINOR
                      << "." << VELDON_VERSION_REVISION << "\n";
            return kExitOk;
        }
        if (arg == "--quiet") {
            options.quiet = true;
            continue;
        }
        if (auto v = optionValue(args, i, "--listen")) {
            options.listen = *v;
        } else if (auto d = optionValue(args, i, "--db")) {
            if (d->empty()) {
                throw UsageError("--db needs a file name");
            }
            options.db = *d;
            options.mariadb.reset();
            if (isMariadbAddress(*d)) {
                try {
                    options.mariadb = parseMariadbTarget(*d);
                } catch (const veldon::Error& e) {
                    throw UsageError("--db " + e.description());
                }
            }
        } else if (auto pw = optionValue(args, i, "--db-password-file")) {
            options.dbPasswordFile = *pw;
        } else if (auto f = optionValue(args, i, "--accounts-file")) {
            for (Account& account : readAccountsFile(*f)) {
                options.accounts.push_back(std::move(account));
            }
        } else if (auto c = optionValue(args, i, "--tls-cert")) {
            options.tlsCertificate = *c;
        } else if (auto k = optionValue(args, i, "--tls-key")) {
            options.tlsKey = *k;
        } else if (auto a = optionValue(args, i, "--account")) {
            options.accounts.push_back(parseAccount(*a));
        } else if (auto p = optionValue(args, i, "--progid")) {
            if (p->empty()) {
                throw UsageError("--progid needs a name");
            }
            options.progIds.push_back(*p);
        } else if (!limitOption(args, i, options.limits) && !pageOption(args, i, options.page)) {
            throw UsageError("unknown option " + arg);
        }
    }
    if (i == args.size()) {
        return serve(options);
    }
    const std::string command = args[i];
    const std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                        args.end());
    for (const std::string& r : rest) {
        if (r == "-h" || r == "--help") {
            std::cout << kHelp;
            return kExitOk;
        }
    }
    if (options.listen) {
        throw UsageError("--listen serves; it does not go with the command " + command);
    }
    if (command == "add-shop") {
        return addShop(options, rest);
    }
    if (command == "stats") {
        return stats(options, rest);
    }
    throw UsageError("unknown command '" + command + "'");
}

}  // namespace
}  // namespace veldon::central

int main(int argc, char** argv) {
    using namespace veldon::central;
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::cerr << "veldon-central: " << e.what()
                  << "\nRun 'veldon-central --help' for its usage.\n";
        return kExitUsage;
    } catch (const veldon::Error& e) {
        std::cerr << "veldon-central: " << e.description() << " (error " << e.number() << ")\n";
        return kExitFailed;
    } catch (const std::exception& e) {
        std::cerr << "veldon-central: " << e.what() << "\n";
        return kExitFailed;
    }
}
