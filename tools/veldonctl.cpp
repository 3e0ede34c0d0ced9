// veldonctl: the operator tool. A second front end beside the tray program for installers and
// support: settings, demo databases and scratch installations, and a look at what is still unsent.
//
// Exit status: 0 done, 1 the command failed, 2 the command line is wrong.

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/backlog.h"
#include "app/passwordpad.h"
#include "platform/asciitext.h"
#include "platform/clock.h"
#include "platform/database.h"
#include "platform/error.h"
#include "platform/fileerror.h"
#include "platform/programfolder.h"
#include "platform/recordset.h"
#include "platform/settingsstore.h"
#include "tools/demodb.h"
#include "tools/makeshop.h"
#include "tools/refusals.h"
#include "tools/status.h"
#include "tools/transfer.h"

namespace veldon {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

std::string versionText() {
    return "veldonctl " + std::to_string(VELDON_VERSION_MAJOR) + "." +
           std::to_string(VELDON_VERSION_MINOR) + "." + std::to_string(VELDON_VERSION_REVISION);
}

// A wrong command line; reported with a pointer to the help and exit status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// -h or --help among a command's arguments: the dispatcher prints the command's help.
struct HelpRequested {};

// A command that could not do its work (exit status 1), like any veldon::Error.
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using Args = std::vector<std::string>;

struct Context {
    std::optional<std::filesystem::path> programFolderOption;
    std::ostream& out;

    // The folder given with --program-folder, else the one holding this executable.
    std::filesystem::path programFolder() const {
        return programFolderOption ? *programFolderOption : executableFolder();
    }

    // The program folder for the commands that start the program up. Without --program-folder,
    // a folder without the POS program's MyCF.MDB is no installation (veldonctl run from the build
    // folder, say): that is said, instead of starting up there.
    std::optional<std::filesystem::path> installation() const {
        const std::filesystem::path folder = programFolder();
        if (programFolderOption) {
            return folder;
        }
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
            if (equalsIgnoringAsciiCase(entry.path().filename().string(), "MyCF.MDB")) {
                return folder;
            }
        }
        std::cerr << "veldonctl: no MyCF.MDB in " << pathText(folder)
                  << ", the folder of veldonctl, so it is no program folder of a shop; give "
                     "the shop's with --program-folder DIR\n";
        return std::nullopt;
    }
};

// One entry of the command table. A handler gets the arguments after its name and raises
// UsageError for a wrong command line, HelpRequested through parseArgs.
struct Command {
    std::string_view name;
    std::string_view summary;
    std::string_view help;  // usage lines and details, printed for COMMAND --help
    int (*run)(Context&, const Args&);
};

// ---------------------------------------------------------------------------------------------
// Command-line parsing shared by the commands.

struct ParsedArgs {
    std::map<std::string, std::string, std::less<>> values;  // options that take a value
    std::vector<std::string> flags;
    std::vector<std::string> positionals;

    bool has(std::string_view flag) const {
        return std::find(flags.begin(), flags.end(), flag) != flags.end();
    }
    const std::string* value(std::string_view option) const {
        const auto it = values.find(option);
        return it == values.end() ? nullptr : &it->second;
    }
};

// Options are "--name value" or "--name=value"; "--" ends them, so that a positional argument
// may itself begin with "-". A help option wins over any mistake in the rest of the line.
ParsedArgs parseArgs(const Args& args, std::initializer_list<std::string_view> valueOptions = {},
                     std::initializer_list<std::string_view> flagOptions = {}) {
    auto among = [](std::initializer_list<std::string_view> list, std::string_view name) {
        return std::find(list.begin(), list.end(), name) != list.end();
    };
    for (const std::string& arg : args) {
        if (arg == "--") {
            break;
        }
        if (arg == "-h" || arg == "--help") {
            throw HelpRequested{};
        }
    }
    ParsedArgs parsed;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // "-5" reads as a value, not as an option.
        const bool negativeNumber =
            arg.size() > 1 && arg[0] == '-' && std::isdigit(static_cast<unsigned char>(arg[1]));
        if (optionsEnded || arg.size() < 2 || arg[0] != '-' || negativeNumber) {
            parsed.positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        if (among(flagOptions, name)) {
            if (equals != std::string::npos) {
                throw UsageError("option " + name + " takes no value");
            }
            parsed.flags.push_back(name);
        } else if (among(valueOptions, name)) {
            std::string value;
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                throw UsageError("option " + name + " needs a value");
            }
            if (!parsed.values.emplace(name, value).second) {
                throw UsageError("option " + name + " is given twice");
            }
        } else {
            throw UsageError("unknown option " + arg);
        }
    }
    return parsed;
}

const std::string& requiredValue(const ParsedArgs& parsed, std::string_view option) {
    const std::string* value = parsed.value(option);
    if (!value) {
        throw UsageError("option " + std::string(option) + " is required");
    }
    return *value;
}

// A whole number in [min, max], digits only: "12abc", " 12", "+3" and "1e3" are refused rather
// than read as far as they go.
template <typename Number>
Number parseNumber(const std::string& text, std::string_view option, Number min, Number max) {
    Number value{};
    const char* end = text.data() + text.size();
    const bool digitsOnly = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return c >= '0' && c <= '9';
    });
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (!digitsOnly || ec != std::errc() || ptr != end || value < min || value > max) {
        const std::string range =
            max == std::numeric_limits<Number>::max()
                ? std::to_string(min) + " or more"
                : "from " + std::to_string(min) + " to " + std::to_string(max);
        throw UsageError(std::string(option) + " must be a whole number " + range + ", not '" +
                         text + "'");
    }
    return value;
}

demodb::Kind parseKind(const std::string& text) {
    if (text == "restaurant") {
        return demodb::Kind::Restaurant;
    }
    if (text == "retail") {
        return demodb::Kind::Retail;
    }
    throw UsageError("--kind must be restaurant or retail, not '" + text + "'");
}

void expectPositionals(const std::vector<std::string>& positionals, std::size_t count,
                       std::string_view what) {
    if (positionals.size() < count) {
        throw UsageError("missing " + std::string(what));
    }
    if (positionals.size() > count) {
        throw UsageError("unexpected argument '" + positionals[count] + "'");
    }
}

// ---------------------------------------------------------------------------------------------
// settings

constexpr std::string_view kSettingsHelp =
    R"(Usage: veldonctl settings get APP SECTION KEY
       veldonctl settings set [--force] APP SECTION KEY VALUE
       veldonctl settings list [APP]

Reads and changes the per-user settings store that VELDON and the POS programs share.
Applications in use: TORVANE (sections Settings and 전송에러), MERIDEX_II (section DBLOC) and
외식업 (section LOCATION). Names match without regard to letter case.

  get    print the value; exit status 1 when it is not set
  set    store the value, keeping every other entry. A value of TORVANE\Settings that the program
         would read as something else (a scan interval that is no whole number of minutes, a
         business type other than 0 or 1, a server without a port, ...) is refused with the
         reason, exit status 1, unless --force is given
  list   print the entries of APP, or of every application, as [APP\SECTION] and KEY=VALUE lines

Put -- before a value that begins with "-" and is not a number.
)";

// The store reads a missing value as the default it is given. A line break can never be stored,
// so a default holding one tells "missing" apart from "empty".
constexpr std::string_view kNotStored = "\n";

void checkName(const std::string& name, std::string_view what) {
    if (name.empty()) {
        throw UsageError(std::string(what) + " must not be empty");
    }
    if (name.find_first_of("\r\n") != std::string::npos) {
        throw UsageError(std::string(what) + " must not contain a line break");
    }
}

// Why the program would read `value` of TORVANE\Settings\`key` as something else than meant;
// empty when it reads it as it stands or does not know the key.
std::string misreadSetting(const std::string& key, const std::string& value) {
    auto wholeIn = [&](long low, long high) {
        if (value.empty() || value.size() > 5 ||
            value.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        const long n = std::stol(value);
        return n >= low && n <= high;
    };
    auto oneOf = [&](std::initializer_list<std::string_view> allowed) {
        return std::find(allowed.begin(), allowed.end(), value) != allowed.end();
    };
    if (key == "스캔시간" && !wholeIn(1, 32767)) {
        return "the scan interval is a whole number of minutes from 1 to 32767; any other value "
               "never comes round, so nothing would ever be transferred";
    }
    if (key == "서비스형태" && !oneOf({"0", "1"})) {
        return "the business type is 0 (retail) or 1 (restaurant); no other has an engine";
    }
    if (key == "1차서버" && !demodb::hostOfServer(value)) {
        return "the server is HOST:PORT, a port from 1 to 65535 included";
    }
    if (key == "호출제한시간" && !wholeIn(1, 3600)) {
        return "the call deadline is a whole number of seconds from 1 to 3600; any other value "
               "is read as 60";
    }
    if (key == "서비스상태" && !oneOf({"시작", "종료"})) {
        return "the service state is 시작 (started) or 종료 (stopped); anything else reads as "
               "stopped";
    }
    if ((key == "일일스캔" || key == "배송정보전송" || key == "삭제자료전송") &&
        !oneOf({"0", "1"})) {
        return "the option is 1 (on) or 0 (off)";
    }
    return {};
}

void printEntries(std::ostream& out, const std::string& app,
                  const std::vector<SettingEntry>& entries) {
    std::optional<std::string> section;
    for (const SettingEntry& e : entries) {
        if (!section || *section != e.section) {
            out << "[" << app << "\\" << e.section << "]\n";
            section = e.section;
        }
        out << e.key << "=" << e.value << "\n";
    }
}

int runSettings(Context& ctx, const Args& args) {
    const ParsedArgs parsed = parseArgs(args, {}, {"--force"});
    if (parsed.positionals.empty()) {
        throw UsageError("missing get, set or list");
    }
    const std::string action = parsed.positionals[0];
    const std::vector<std::string> p(parsed.positionals.begin() + 1, parsed.positionals.end());
    if (action == "get") {
        expectPositionals(p, 3, "APP SECTION KEY");
        const auto store = openUserSettingsStore();
        const std::string value = store->get(p[0], p[1], p[2], std::string(kNotStored));
        if (value == kNotStored) {
            throw Failure(p[0] + "\\" + p[1] + "\\" + p[2] + " is not set");
        }
        ctx.out << value << "\n";
        return kExitOk;
    }
    if (action == "set") {
        expectPositionals(p, 4, "APP SECTION KEY VALUE");
        checkName(p[0], "APP");
        checkName(p[1], "SECTION");
        checkName(p[2], "KEY");
        if (p[3].find_first_of("\r\n") != std::string::npos) {
            throw UsageError("VALUE must not contain a line break");
        }
        const bool ours =
            equalsIgnoringAsciiCase(p[0], "TORVANE") && equalsIgnoringAsciiCase(p[1], "Settings");
        if (const std::string why = ours ? misreadSetting(p[2], p[3]) : std::string();
            !why.empty() && !parsed.has("--force")) {
            throw Failure("'" + p[3] + "' is not stored as " + p[2] + ": " + why +
                          " (--force stores it all the same)");
        }
        openUserSettingsStore()->set(p[0], p[1], p[2], p[3]);
        return kExitOk;
    }
    if (action == "list") {
        if (p.size() > 1) {
            throw UsageError("unexpected argument '" + p[1] + "'");
        }
        const auto store = openUserSettingsStore();
        const std::vector<std::string> apps = p.empty() ? store->applications() : p;
        for (const std::string& app : apps) {
            printEntries(ctx.out, app, store->list(app));
        }
        return kExitOk;
    }
    throw UsageError("unknown settings action '" + action + "'; use get, set or list");
}

#ifndef _WIN32
// The demo databases are SQLite files, made on Linux; a shop PC's come from its POS program.

// ---------------------------------------------------------------------------------------------
// make-db

constexpr std::string_view kMakeDbHelp =
    R"(Usage: veldonctl make-db --kind restaurant|retail --sales N [--days D] [--seed S]
                        [--pre-upgrade] --out FILE

Creates a stand-in of the POS program's database (restaurant: FOOD.MDB, retail: POS.MDB) holding
N unsent sales spread over the last D days up to today. The same seed gives the same content.
FILE must not exist yet: a shop's database is never overwritten.

  --kind          restaurant or retail
  --sales N       number of sales, 0 or more (at most 9999 a day)
  --days D        days the sales are spread over, 1 or more (default 30)
  --seed S        seed of the made-up data, a whole number (default 1)
  --pre-upgrade   leave out the columns and the table that VELDON's schema upgrade adds
  --out FILE      the database file to create
)";

// --kind, --sales, --days and --seed, as make-db and make-shop take them.
demodb::DemoDbOptions parseDemoDbOptions(const ParsedArgs& parsed) {
    demodb::DemoDbOptions options;
    options.kind = parseKind(requiredValue(parsed, "--kind"));
    options.sales = parseNumber<long>(requiredValue(parsed, "--sales"), "--sales", 0,
                                      std::numeric_limits<long>::max());
    if (const std::string* days = parsed.value("--days")) {
        options.days = parseNumber<int>(*days, "--days", 1, 36500);
    }
    if (const std::string* seed = parsed.value("--seed")) {
        options.seed = parseNumber<std::uint64_t>(*seed, "--seed", 0,
                                                  std::numeric_limits<std::uint64_t>::max());
    }
    if (options.sales > demodb::kMaxSalesPerDay * options.days) {
        throw UsageError("--sales " + std::to_string(options.sales) + " is more than " +
                         std::to_string(demodb::kMaxSalesPerDay) + " a day over " +
                         std::to_string(options.days) + " days");
    }
    return options;
}

int runMakeDb(Context& ctx, const Args& args) {
    const ParsedArgs parsed =
        parseArgs(args, {"--kind", "--sales", "--days", "--seed", "--out"}, {"--pre-upgrade"});
    expectPositionals(parsed.positionals, 0, "");
    demodb::DemoDbOptions options = parseDemoDbOptions(parsed);
    options.preUpgrade = parsed.has("--pre-upgrade");
    options.today = SystemClock().now();
    const std::filesystem::path out = requiredValue(parsed, "--out");
    if (out.empty()) {
        throw UsageError("--out must name a file");
    }

    const auto started = std::chrono::steady_clock::now();
    const demodb::DemoDbSummary summary = demodb::makeDemoDb(options, out);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;

    ctx.out << "created " << std::filesystem::absolute(summary.file).string() << " ("
            << demodb::kindName(options.kind) << (options.preUpgrade ? ", before the upgrade" : "")
            << "): " << options.sales << " sales over " << options.days << " days up to "
            << options.today.toDateText() << ", seed " << options.seed << "\n";
    for (const demodb::TableRows& t : summary.tables) {
        ctx.out << "  " << std::left << std::setw(10) << t.table << std::right << std::setw(10)
                << t.rows << "\n";
    }
    ctx.out << std::fixed << std::setprecision(2) << "took " << took.count() << " s\n";
    return kExitOk;
}

// ---------------------------------------------------------------------------------------------
// make-shop

constexpr std::string_view kMakeShopHelp =
    R"(Usage: veldonctl make-shop --kind restaurant|retail --sales N --server HOST:PORT
                          [--delivery] [--days D] [--seed S]
                          [--store CODE] [--store-name NAME] [--depot CODE] [--depot-name NAME]
                          [--pos ID] [--pos-name NAME] [--object NAME]
                          [--db-server HOST] [--db-user USER] [--db-name NAME] OUT_DIR

Creates a complete scratch installation of one shop, for demos, tests and benchmarks:
  OUT_DIR/program/  the program folder: UpdatePath.ini (probe target 127.0.0.1, probe off),
                    MyCF.MDB (not an order terminal) and an empty log/
  OUT_DIR/data/     the POS program's database with N unsent sales, as make-db makes it
  OUT_DIR/config/   the settings store: VELDON's settings and the POS program's data folder
Run the program with XDG_CONFIG_HOME=OUT_DIR/config. The service is stored as stopped and sends
the whole backlog once started. OUT_DIR must be missing or empty: nothing is overwritten.

  --kind              restaurant (FOOD.MDB) or retail (POS.MDB)
  --sales N           number of sales, 0 or more (at most 9999 a day)
  --days D            days the sales are spread over, 1 or more (default 30)
  --seed S            seed of the made-up data, a whole number (default 1)
  --server HOST:PORT  the central service (1차서버); the program calls http://HOST:PORT, or
                      over TLS when given as https://HOST:PORT
  --delivery          restaurant only: send delivery data too (배송정보전송 = 1)
  --store CODE        store code (가맹점); by default S and four digits taken from OUT_DIR's
                      full path, so that scratch shops on one service do not share the codes
                      the service's duplicate rule keys on
  --store-name NAME   store name (가맹점명, default 데모 식당 / 데모 마트)
  --depot CODE        depot code (하치장, default H01)
  --depot-name NAME   depot name (하치장명, default 본사창고)
  --pos ID            counter id (카운터, default 01)
  --pos-name NAME     counter name (카운터명, default 카운터1)
  --object NAME       remote object name (개체명, default lumora.demon / VARNIK.MEM)
  --db-server HOST    central database server (DB서버, default: the HOST of --server)
  --db-user USER      central database user (DBUser, default veldon)
  --db-name NAME      central database (DBName, default veldon_demo)

The central database password is always mv5529: the program sends no other.
)";

// A word the shell reads back unchanged, quoted only when it needs to be.
std::string shellWord(const std::string& text) {
    const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) ||
               std::string_view("/._-+=:,@%").find(c) != std::string_view::npos;
    });
    if (plain) {
        return text;
    }
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// "S" and four digits from a folder's full path (FNV-1a): the same folder gives the same code.
std::string scratchStoreCode(const std::filesystem::path& folder) {
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : folder.lexically_normal().string()) {
        hash = (hash ^ c) * 16777619u;
    }
    const std::string digits = std::to_string(hash % 10000);
    return "S" + std::string(4 - digits.size(), '0') + digits;
}

int runMakeShop(Context& ctx, const Args& args) {
    const ParsedArgs parsed =
        parseArgs(args,
                  {"--kind", "--sales", "--days", "--seed", "--server", "--store", "--store-name",
                   "--depot", "--depot-name", "--pos", "--pos-name", "--object", "--db-server",
                   "--db-user", "--db-name"},
                  {"--delivery"});
    const demodb::DemoDbOptions db = parseDemoDbOptions(parsed);
    demodb::ShopOptions options;
    options.kind = db.kind;
    options.sales = db.sales;
    options.days = db.days;
    options.seed = db.seed;
    options.server = requiredValue(parsed, "--server");
    if (!demodb::hostOfServer(options.server)) {
        throw UsageError("--server must be HOST:PORT with a port from 1 to 65535, not '" +
                         options.server + "'");
    }
    options.delivery = parsed.has("--delivery");
    if (options.delivery && options.kind != demodb::Kind::Restaurant) {
        throw UsageError("--delivery is for restaurants only");
    }

    auto take = [&](std::string_view option, auto& field) {
        if (const std::string* value = parsed.value(option)) {
            if (value->find_first_of("\r\n") != std::string::npos) {
                throw UsageError(std::string(option) + " must not contain a line break");
            }
            field = *value;
        }
    };
    take("--store", options.storeCode);
    take("--store-name", options.storeName);
    take("--depot", options.depotCode);
    take("--depot-name", options.depotName);
    take("--pos", options.posId);
    take("--pos-name", options.posName);
    take("--object", options.objectName);
    take("--db-server", options.dbServer);
    take("--db-user", options.dbUser);
    take("--db-name", options.dbName);
    // Start-up stops at once when any of the three is blank.
    for (std::string_view option : {"--db-server", "--db-user", "--db-name"}) {
        const std::string* value = parsed.value(option);
        if (value && value->find_first_not_of(' ') == std::string::npos) {
            throw UsageError(std::string(option) + " must not be blank");
        }
    }
    expectPositionals(parsed.positionals, 1, "OUT_DIR");
    const std::filesystem::path outDir = parsed.positionals[0];
    if (outDir.empty()) {
        throw UsageError("OUT_DIR must name a folder");
    }
    if (!parsed.value("--store")) {
        options.storeCode = scratchStoreCode(std::filesystem::absolute(outDir));
    }

    const DateTime today = SystemClock().now();
    const demodb::ShopSummary shop = demodb::makeShop(options, outDir, today);

    const bool restaurant = options.kind == demodb::Kind::Restaurant;
    const std::string posApp = restaurant ? "외식업" : "MERIDEX_II";
    ctx.out << "created a " << demodb::kindName(options.kind) << " shop in " << shop.root.string()
            << "\n"
            << "  program folder  " << shop.programFolder.string()
            << "  (UpdatePath.ini, MyCF.MDB, log/)\n"
            << "  data folder     " << shop.dataFolder.string() << "  ("
            << shop.database.file.filename().string() << ": " << options.sales << " sales over "
            << options.days << " days up to " << today.toDateText() << ", seed " << options.seed
            << ")\n"
            << "  settings        " << (shop.settingsFolder / "TORVANE.ini").string() << "\n"
            << "                  " << (shop.settingsFolder / (posApp + ".ini")).string() << "\n"
            << "The central service must accept:\n"
            << "  server          " << shop.server << ", object " << shop.objectName << "\n"
            << "  database        server " << shop.dbServer << ", user " << shop.dbUser
            << ", password " << demodb::kCentralDbPassword << ", database " << shop.dbName << "\n"
            << "Register the shop at a reference service (veldon-central):\n"
            << "  veldon-central --db central.db add-shop --store " << shellWord(options.storeCode)
            << " --store-name " << shellWord(shop.storeName) << " --depot "
            << shellWord(options.depotCode) << " --depot-name " << shellWord(options.depotName)
            << " --pos " << shellWord(options.posId) << " --pos-name " << shellWord(options.posName)
            << "\n"
            << "Run the shop's transfer once:\n"
            << "  XDG_CONFIG_HOME=" << shellWord(shop.configHome.string()) << " "
            << shellWord((executableFolder() / "veldonctl").string()) << " --program-folder "
            << shellWord(shop.programFolder.string()) << " scan\n"
            << "or point a shell at its settings:\n"
            << "export XDG_CONFIG_HOME=" << shellWord(shop.configHome.string()) << "\n";
    return kExitOk;
}
#endif

// ---------------------------------------------------------------------------------------------
// unsent

constexpr std::string_view kUnsentHelp =
    R"(Usage: veldonctl unsent --kind restaurant|retail FILE

Counts the rows of a POS database that the transfer engines would still send, with the queries
the engines use, through the program's own database layer.
  restaurant: sales (closed, PE_SD not 7) and card approvals (CD_SD not 7)
  retail:     sales (SL_SND not 7), card approvals (C_SND not 7) and deleted lines (DEL_SD not "7")
)";

int runUnsent(Context& ctx, const Args& args) {
    const ParsedArgs parsed = parseArgs(args, {"--kind"});
    const demodb::Kind kind = parseKind(requiredValue(parsed, "--kind"));
    expectPositionals(parsed.positionals, 1, "FILE");
    const std::filesystem::path file = std::filesystem::absolute(parsed.positionals[0]);
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) {
        throw Failure(file.string() + " not found");
    }
    if (!std::filesystem::is_regular_file(file, ec)) {
        throw Failure(file.string() + " is not a file");
    }

    const auto db = createConnection();
    db->open("Dbq=" + file.filename().string() + ";DefaultDir=" + file.parent_path().string() +
             ";");
    const bool retail = kind == demodb::Kind::Retail;
    const Backlog backlog = countBacklog(*db, retail);
    ctx.out << "unsent sales: " << backlog.sales << "\n"
            << "unsent card approvals: " << backlog.cardApprovals << "\n";
    if (retail) {
        ctx.out << "unsent deleted lines: "
                << (backlog.deletedLines ? std::to_string(*backlog.deletedLines)
                                         : backlog.deletedLinesNote)
                << "\n";
    }
    db->close();
    return kExitOk;
}

// ---------------------------------------------------------------------------------------------

// ---------------------------------------------------------------------------------------------
// status

constexpr std::string_view kStatusHelp =
    R"(Usage: veldonctl [--program-folder DIR] status

Runs the program's start-up checks without changing anything: reads the settings store and
UpdatePath.ini, opens MyCF.MDB, checks for an order terminal and for the central connection data,
builds the connection strings, then prints the state (passwords masked) and what the local
database still has to send.
Exit status 2 when the program would stop at start-up (its message goes to standard error), 1 when
the local database cannot be counted.
)";

int runStatus(Context& ctx, const Args& args) {
    const ParsedArgs parsed = parseArgs(args);
    expectPositionals(parsed.positionals, 0, "");
    const auto folder = ctx.installation();
    return folder ? printStatus(*folder, ctx.out, std::cerr) : kExitUsage;
}

// ---------------------------------------------------------------------------------------------
// password

constexpr std::string_view kPasswordHelp =
    R"(Usage: veldonctl password

Prints the settings password of the window ("적용" and "회사정보 확인") for this hour of this
PC's clock, and until when it holds. It changes every hour; it is stored nowhere.
)";

int runPassword(Context& ctx, const Args& args) {
    const ParsedArgs parsed = parseArgs(args);
    expectPositionals(parsed.positionals, 0, "");
    const DateTime now = SystemClock().now();
    char until[8];
    std::snprintf(until, sizeof until, "%02d:59", now.hour);
    ctx.out << hourlyPassword(now) << "  (until " << until << ")\n";
    return kExitOk;
}

// ---------------------------------------------------------------------------------------------
// scan, run

constexpr std::string_view kScanHelp =
    R"(Usage: veldonctl [--program-folder DIR] scan

Runs the program's start-up (version report, schema upgrade, and the catch-up transfer when unsent
sales exist), then one forced scan: probes the line and, when it is up, sends everything unsent
with the engine of the business type. Prints progress and a summary. Message boxes of start-up go
to standard error.
Exit status:
  0  everything due was sent or is held by the service already
  1  the line probe found the line down: the forced scan sent nothing
  2  start-up stopped (an order terminal, incomplete central connection data, an unhandled error)
  3  a run ended by an error (the service unreachable, the account refused, an answer that is not
     the protocol, a local database error), or the business type has no engine
  4  the service refused some uploads (listed by veldonctl refusals)
)";

int runScanCommand(Context& ctx, const Args& args) {
    const ParsedArgs parsed = parseArgs(args);
    expectPositionals(parsed.positionals, 0, "");
    const auto folder = ctx.installation();
    return folder ? runScan(*folder, ctx.out, std::cerr) : ScanExit::StartupStopped;
}

constexpr std::string_view kRunHelp =
    R"(Usage: veldonctl [--program-folder DIR] run

The agent without a desktop: start-up, then the transfer service as the stored service state
(서비스상태) says, ticking every minute and transferring every scan interval (스캔시간) while the
line answers, until SIGINT or SIGTERM. Prints one line per transfer.
Exit status 0 after a signal, 2 when start-up stopped.
)";

int runServiceCommand(Context& ctx, const Args& args) {
    const ParsedArgs parsed = parseArgs(args);
    expectPositionals(parsed.positionals, 0, "");
    const auto folder = ctx.installation();
    return folder ? runService(*folder, ctx.out, std::cerr) : kExitUsage;
}

// ---------------------------------------------------------------------------------------------
// refusals

constexpr std::string_view kRefusalsHelp =
    R"(Usage: veldonctl [--program-folder DIR] refusals [--kind sale|card]
       veldonctl [--program-folder DIR] refusals resend [--kind sale|card] (--all | KEY...)

The refusal journal, refusals.jsonl in the program folder, holds every upload that the central
service refused or that failed, with its reply and the arrays sent.

  (no action)  list the records oldest first (time, kind, outcome, key, method, the reply's first
               line), then their number
  resend       clear the sent mark of the sales and card approvals that the journal holds as
               refused or failed, so that the next transfer sends them again (the service answers
               what it holds already as a duplicate): all of them with --all, else those of the
               KEYs (a sale's PE_ID or SL_ID, a card approval's AC_ID or C_SLID). Runs the
               start-up checks as status does.

  --kind K     only sales (sale) or only card approvals (card)
  --all        every sale and card approval the journal holds as refused or failed

Exit status of resend: 1 when a KEY is not in the journal as refused or failed or a mark cannot be
cleared (the other KEYs are done all the same); 2 when the program would stop at start-up.
)";

int runRefusals(Context& ctx, const Args& args) {
    const ParsedArgs parsed = parseArgs(args, {"--kind"}, {"--all"});
    ResendRequest request;
    if (const std::string* kind = parsed.value("--kind")) {
        if (*kind != "sale" && *kind != "card") {
            throw UsageError("--kind must be sale or card, not '" + *kind + "'");
        }
        request.kind = *kind;
    }
    request.all = parsed.has("--all");
    const std::vector<std::string>& p = parsed.positionals;
    if (p.empty()) {
        if (request.all) {
            throw UsageError("--all belongs to refusals resend");
        }
        return listRefusals(ctx.programFolder(), request.kind, ctx.out);
    }
    if (p[0] != "resend") {
        throw UsageError("unknown refusals action '" + p[0] + "'; use resend or none");
    }
    request.keys.assign(p.begin() + 1, p.end());
    if (request.all && !request.keys.empty()) {
        throw UsageError("give either --all or KEYs, not both");
    }
    if (!request.all && request.keys.empty()) {
        throw UsageError("missing --all or KEY");
    }
    const auto folder = ctx.installation();
    return folder ? resendRefusals(*folder, request, ctx.out, std::cerr) : kExitUsage;
}

constexpr Command kCommands[] = {
    {"settings", "read and change the per-user settings", kSettingsHelp, runSettings},
#ifndef _WIN32
    {"make-db", "create a demo database of the POS program", kMakeDbHelp, runMakeDb},
    {"make-shop", "create a scratch installation of one shop", kMakeShopHelp, runMakeShop},
#endif
    {"unsent", "count what a POS database still has to send", kUnsentHelp, runUnsent},
    {"status", "show what the program would start with", kStatusHelp, runStatus},
    {"password", "print the window's settings password of this hour", kPasswordHelp, runPassword},
    {"scan", "start up and send everything unsent now", kScanHelp, runScanCommand},
    {"run", "run the transfer service until stopped", kRunHelp, runServiceCommand},
    {"refusals", "list refused uploads and have them sent again", kRefusalsHelp, runRefusals},
};

void printHelp(std::ostream& out) {
    out << "Usage: veldonctl [--program-folder DIR] COMMAND [ARGS...]\n\n"
           "Operator tool of VELDON, the shop-side sales transfer agent.\n\nCommands:\n";
    for (const Command& c : kCommands) {
        out << "  " << std::left << std::setw(12) << c.name << c.summary << "\n";
    }
    out << "\nOptions:\n"
           "  --program-folder DIR  the program folder (default: the folder of veldonctl)\n"
           "  -h, --help            show this help\n"
           "  --version             show the version\n\n"
           "Run 'veldonctl COMMAND --help' for the arguments of a command.\n";
}

int run(const Args& args) {
    Context ctx{std::nullopt, std::cout};
    std::size_t i = 0;
    for (; i < args.size() && args[i].size() > 1 && args[i][0] == '-'; ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            printHelp(std::cout);
            return kExitOk;
        }
        if (arg == "--version") {
            std::cout << versionText() << "\n";
            return kExitOk;
        }
        std::string folder;
        if (arg.starts_with("--program-folder=")) {
            folder = arg.substr(std::string_view("--program-folder=").size());
        } else if (arg == "--program-folder" && i + 1 < args.size()) {
            folder = args[++i];
        } else if (arg == "--program-folder") {
            throw UsageError("option --program-folder needs a value");
        } else {
            throw UsageError("unknown option " + arg);
        }
        if (!std::filesystem::is_directory(folder)) {
            throw UsageError("program folder " + folder + " does not exist");
        }
        ctx.programFolderOption = std::filesystem::absolute(folder);
    }
    if (i == args.size()) {
        printHelp(std::cerr);
        return kExitUsage;
    }
    for (const Command& c : kCommands) {
        if (c.name == args[i]) {
            try {
                return c.run(ctx,
                             Args(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end()));
            } catch (const HelpRequested&) {
                ctx.out << c.help;
                return kExitOk;
            } catch (const UsageError& e) {
                std::cerr << "veldonctl " << c.name << ": " << e.what() << "\n"
                          << "Run 'veldonctl " << c.name << " --help' for its usage.\n";
                return kExitUsage;
            }
        }
    }
    throw UsageError("unknown command '" + args[i] + "'");
}

}  // namespace
}  // namespace veldon

int main(int argc, char** argv) {
    try {
        return veldon::run(veldon::Args(argv + 1, argv + argc));
    } catch (const veldon::UsageError& e) {
        std::cerr << "veldonctl: " << e.what() << "\nRun 'veldonctl --help' for its usage.\n";
        return veldon::kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "veldonctl: " << e.what() << "\n";
        return veldon::kExitFailed;
    }
}
