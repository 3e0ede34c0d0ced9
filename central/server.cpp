#include "central/server.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <variant>

#include "central/headoffice.h"
#include "central/httpserver.h"
#include "central/sqlshapes.h"
#include "platform/asciitext.h"
#include "platform/clock.h"
#include "platform/database.h"
#include "platform/error.h"
#include "remote/wire.h"

namespace veldon::central {

namespace {

constexpr const char* kJson = "application/json; charset=utf-8";

// Error numbers of the Windows program's late-bound calls.
constexpr long kNoSuchMethod = 438;
constexpr long kOutOfMemory = 7;
constexpr const char* kShortOfMemory =
    "Out of memory: the central service is short of memory for this call; try again later";

// Descriptions quote client text; keep them short and valid UTF-8.
constexpr std::size_t kQuoteLimit = 200;
constexpr std::size_t kDescriptionLimit = 2000;

// A failure of the call itself, answered with an error body.
struct CallError {
    int status;
    long number;
    std::string description;
};

CallError badArgument(const std::string& what) {
    return {400, errc::InvalidProcedureCall, "Invalid procedure call or argument: " + what};
}

enum class Kind { Text, Whole, Array, Table };

std::string kindName(Kind kind) {
    switch (kind) {
        case Kind::Text:
            return "a text";
        case Kind::Whole:
            return "a whole number";
        case Kind::Array:
            return "a one-dimensional text array";
        case Kind::Table:
            return "a two-dimensional text array";
    }
    return {};
}

std::string kindOf(const wire::Argument& arg) {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::string>) {
                return kindName(Kind::Text);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return kindName(Kind::Whole);
            } else if constexpr (std::is_same_v<T, TextArray>) {
                return kindName(Kind::Array);
            } else {
                return kindName(Kind::Table);
            }
        },
        arg);
}

bool fits(const wire::Argument& arg, Kind kind) {
    switch (kind) {
        case Kind::Text:
            return std::holds_alternative<std::string>(arg);
        case Kind::Whole:
            return std::holds_alternative<std::int64_t>(arg);
        case Kind::Array:
            return std::holds_alternative<TextArray>(arg);
        case Kind::Table:
            // An empty JSON array reads as a one-dimensional one: it is also a table of 0 rows.
            return std::holds_alternative<TextTable>(arg) ||
                   (std::holds_alternative<TextArray>(arg) && std::get<TextArray>(arg).size() == 0);
    }
    return false;
}

// The arguments of one call, already checked against the method's kinds.
class Args {
public:
    explicit Args(const std::vector<wire::Argument>& args) : m_args(args) {}
    std::size_t size() const { return m_args.size(); }
    const std::string& text(std::size_t i) const { return std::get<std::string>(m_args[i]); }
    const TextArray& array(std::size_t i) const { return std::get<TextArray>(m_args[i]); }
    TextTable table(std::size_t i) const {
        const auto* t = std::get_if<TextTable>(&m_args[i]);
        return t ? *t : TextTable();
    }

private:
    const std::vector<wire::Argument>& m_args;
};

struct Parameter {
    const char* name;
    Kind kind;
};

struct Method {
    const char* name;
    std::vector<Parameter> parameters;
    std::size_t optional;  // how many of the last parameters may be left out
    std::size_t reply;     // index of the reply text
    std::size_t connection;
    std::function<wire::Answer(CentralStore&, const Args&)> run;
};

wire::Answer boolAnswer(const StoreReply& reply, std::size_t replyIndex) {
    wire::Answer answer;
    answer.result = reply.accepted;
    answer.byref[replyIndex] = reply.accepted ? std::string() : reply.reply;
    return answer;
}

// What the call this thread answers did, for the store's record of a conflict and for the
// service's log, without threading it through every method. Reset once the call is logged.
struct CallOutcome {
    std::string client;
    std::string store = "-";
    bool refused = false;
    bool conflict = false;
    std::string reason;
};
thread_local CallOutcome t_call;

wire::Answer putSale(CentralStore& store, SaleUpload& sale, std::size_t replyIndex) {
    sale.client = t_call.client;
    const StoreReply reply = store.putSale(sale);
    t_call.conflict = reply.conflict;
    return boolAnswer(reply, replyIndex);
}

wire::Answer getSql(CentralStore& store, const Args& args) {
    wire::Answer answer;
    answer.byref[3] = "";
    auto recognised = recogniseLookup(args.text(0));
    if (auto* refusal = std::get_if<Refusal>(&recognised)) {
        answer.result = wire::RowSet{};
        answer.byref[3] = refusal->text;
        return answer;
    }
    const NameLookup& lookup = std::get<NameLookup>(recognised);
    std::optional<std::string> name;
    switch (lookup.table) {
        case NameLookup::Table::Store:
            name = store.storeName(lookup.code);
            break;
        case NameLookup::Table::Depot:
            name = store.depotName(lookup.code, lookup.storeCode);
            break;
        case NameLookup::Table::Counter:
            name = store.counterName(lookup.code, lookup.storeCode);
            break;
    }
    wire::RowSet rows;
    rows.fields.push_back(lookup.field());
    if (name) {
        rows.rows.push_back({*name});
    }
    answer.result = std::move(rows);
    return answer;
}

wire::Answer putSql(CentralStore& store, const Args& args) {
    const TextArray& list = args.array(0);
    auto refuse = [](const std::string& text) { return boolAnswer({false, text}, 1); };
    if (list.size() < 2) {
        return refuse(
            "PUTSQL received no statement: element 0 stays empty and elements 1 to N "
            "hold the statements");
    }
    if (!list(0).empty()) {
        return refuse("element 0 of the PUTSQL statement list must be empty");
    }
    std::vector<VersionReport> reports;
    std::vector<DeletedLine> lines;
    for (std::size_t i = 1; i < list.size(); ++i) {
        auto recognised = recogniseStatement(list(i));
        if (auto* refusal = std::get_if<Refusal>(&recognised)) {
            return refuse("statement " + std::to_string(i) + ": " + refusal->text);
        }
        if (auto* report = std::get_if<VersionReport>(&recognised)) {
            reports.push_back(std::move(*report));
        } else {
            lines.push_back(std::move(std::get<DeletedLine>(recognised)));
        }
    }
    if (reports.empty()) {
        return boolAnswer(store.putDeletedLines(lines), 1);
    }
    // A version report and deleted lines could not be stored all or none together.
    if (reports.size() > 1 || !lines.empty()) {
        return refuse("PUTSQL takes one version report alone or deleted lines alone");
    }
    const VersionReport& r = reports.front();
    return boolAnswer(store.reportVersion(r.version, r.posId, r.storeCode), 1);
}

const std::vector<Method>& methods() {
    static const std::vector<Method> table = {
        {"PutPSM13",
         {{"TPE", Kind::Array},
          {"TPS", Kind::Table},
          {"TRT", Kind::Array},
          {"TAC", Kind::Table},
          {"the reply text", Kind::Text},
          {"the server connection string", Kind::Text},
          {"the sale key", Kind::Text},
          {"the mark \"Y\"", Kind::Text}},
         1,
         4,
         5,
         [](CentralStore& store, const Args& a) {
             SaleUpload sale;
             sale.method = "PutPSM13";
             sale.TPE = a.array(0);
             sale.TPS = a.table(1);
             sale.TRT = a.array(2);
             sale.TAC = a.table(3);
             sale.saleKey = a.text(6);
             sale.markedY = a.size() > 7 && a.text(7) == "Y";
             return putSale(store, sale, 4);
         }},
        {"PutPSM13_SIN",
         {{"TPE", Kind::Array},
          {"TPS", Kind::Table},
          {"TRT", Kind::Array},
          {"TPSN", Kind::Table},
          {"TAC", Kind::Table},
          {"TDLV", Kind::Array},
          {"the reply text", Kind::Text},
          {"the server connection string", Kind::Text},
          {"the sale key", Kind::Text}},
         0,
         6,
         7,
         [](CentralStore& store, const Args& a) {
             SaleUpload sale;
             sale.method = "PutPSM13_SIN";
             sale.TPE = a.array(0);
             sale.TPS = a.table(1);
             sale.TRT = a.array(2);
             sale.TPSN = a.table(3);
             sale.TAC = a.table(4);
             sale.TDLV = a.array(5);
             sale.saleKey = a.text(8);
             return putSale(store, sale, 6);
         }},
        {"PutPSM13_PSN",
         {{"TPE", Kind::Array},
          {"TPS", Kind::Table},
          {"TRT", Kind::Array},
          {"TPSN", Kind::Table},
          {"TAC", Kind::Table},
          {"the reply text", Kind::Text},
          {"the server connection string", Kind::Text},
          {"the sale key", Kind::Text}},
         0,
         5,
         6,
         [](CentralStore& store, const Args& a) {
             SaleUpload sale;
             sale.method = "PutPSM13_PSN";
             sale.TPE = a.array(0);
             sale.TPS = a.table(1);
             sale.TRT = a.array(2);
             sale.TPSN = a.table(3);
             sale.TAC = a.table(4);
             sale.saleKey = a.text(7);
             return putSale(store, sale, 5);
         }},
        {"putcard",
         {{"TCD", Kind::Table},
          {"the reply text", Kind::Text},
          {"the server connection string", Kind::Text}},
         0,
         1,
         2,
         [](CentralStore& store, const Args& a) {
             const StoreReply reply = store.putCards(a.table(0), t_call.client);
             t_call.conflict = reply.conflict;
             return boolAnswer(reply, 1);
         }},
        {"GETSQL",
         {{"the SQL text", Kind::Text},
          {"the first whole number", Kind::Whole},
          {"the second whole number", Kind::Whole},
          {"the reply text", Kind::Text},
          {"the server connection string", Kind::Text}},
         0,
         3,
         4,
         getSql},
        {"PUTSQL",
         {{"the statement list", Kind::Array},
          {"the reply text", Kind::Text},
          {"the server connection string", Kind::Text}},
         0,
         1,
         2,
         putSql},
    };
    return table;
}

// Late binding finds a method by its name without regard to letter case.
const Method* findMethod(const std::string& name) {
    for (const Method& m : methods()) {
        if (equalsIgnoringAsciiCase(m.name, name)) {
            return &m;
        }
    }
    return nullptr;
}

void checkArguments(const Method& method, const std::vector<wire::Argument>& args) {
    const std::size_t most = method.parameters.size();
    const std::size_t least = most - method.optional;
    if (args.size() < least || args.size() > most) {
        const std::string expected = least == most
                                         ? std::to_string(most)
                                         : std::to_string(least) + " or " + std::to_string(most);
        throw badArgument(std::string(method.name) + " takes " + expected + " arguments, not " +
                          std::to_string(args.size()));
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        const Parameter& p = method.parameters[i];
        if (!fits(args[i], p.kind)) {
            throw badArgument(std::string(method.name) + " argument " + std::to_string(i) + " (" +
                              p.name + ") must be " + kindName(p.kind) + ", not " +
                              kindOf(args[i]));
        }
    }
}

HttpResponse errorAnswer(int status, long number, const std::string& description) {
    return {status, kJson, wire::encodeError(number, excerpt(description, kDescriptionLimit)), {}};
}

// A login form is a few hundred bytes at most.
constexpr std::size_t kLoginBodyLimit = 4096;

// An answer of the head office's page: never cached, never framed, nothing but its own style.
HttpResponse pageAnswer(int status, std::string contentType, std::string body) {
    return {status,
            std::move(contentType),
            std::move(body),
            {{"Cache-Control", "no-store"},
             {"Content-Security-Policy", pageSecurityPolicy()},
             {"X-Frame-Options", "DENY"},
             {"X-Content-Type-Options", "nosniff"},
             {"Referrer-Policy", "no-referrer"}}};
}

HttpResponse seeOther(const std::string& location) {
    HttpResponse res = pageAnswer(303, "text/plain; charset=utf-8", "See " + location + "\n");
    res.headers.emplace_back("Location", location);
    return res;
}

// The session key of a set of accounts: the same, whatever their order, for every service that
// reads the same accounts.
std::string accountsKey(const std::vector<Account>& accounts) {
    std::vector<std::string> parts;
    for (const Account& a : accounts) {
        std::string part;
        for (const std::string* field : {&a.user, &a.password, &a.database}) {
            part += std::to_string(field->size()) + ":" + *field;
        }
        parts.push_back(std::move(part));
    }
    std::sort(parts.begin(), parts.end());
    std::string secret;
    for (const std::string& part : parts) {
        secret += part + "\n";
    }
    return sessionKey(secret);
}

std::int64_t epochSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string connectionValue(const std::string& connectionString, const std::string& key) {
    const std::string wanted = asciiUppered(key);
    const auto attributes = connectionAttributes(connectionString);
    const auto it = attributes.find(wanted);
    return it == attributes.end() ? std::string() : it->second;
}

struct CentralService::Impl {
    Impl(ServiceConfig c, CentralStore& s)
        : config(std::move(c)), store(s), sessionKey(accountsKey(config.accounts)) {
        progIds = {"lumora.demon", "VARNIK.MEM"};
        progIds.insert(config.progIds.begin(), config.progIds.end());
    }

    void checkCredentials(const std::string& connection) const {
        if (config.accounts.empty()) {
            throw CallError{401, errc::PermissionDenied,
                            "Permission denied: the central service has no accounts configured"};
        }
        const std::string user = connectionValue(connection, "UID");
        const std::string password = connectionValue(connection, "PWD");
        const std::string database = connectionValue(connection, "DATABASE");
        for (const Account& a : config.accounts) {
            if (a.user == user && a.password == password && a.database == database) {
                return;
            }
        }
        throw CallError{401, errc::PermissionDenied,
                        "Permission denied: the server connection string's UID, PWD and DATABASE "
                        "name no account of the central service (UID \"" +
                            excerpt(user, kQuoteLimit) + "\", DATABASE \"" +
                            excerpt(database, kQuoteLimit) + "\")"};
    }

    wire::Answer call(HttpRequest& req) {
        const std::string target = req.target.substr(0, req.target.find('?'));
        const auto path = wire::parseCallPath(target);
        if (!path) {
            throw CallError{404, errc::CannotCreateObject,
                            "ActiveX component can't create object: the path \"" +
                                excerpt(target, kQuoteLimit) +
                                "\" is not of the form /rds/<ProgID>/<Method>"};
        }
        const auto& [progId, methodName] = *path;
        if (progIds.count(progId) == 0) {
            throw CallError{
                404, errc::CannotCreateObject,
                "ActiveX component can't create object: " + excerpt(progId, kQuoteLimit)};
        }
        const Method* method = findMethod(methodName);
        if (method == nullptr) {
            throw CallError{404, kNoSuchMethod,
                            "Object doesn't support this property or method: " +
                                excerpt(methodName, kQuoteLimit)};
        }
        std::vector<wire::Argument> args;
        try {
            wire::DecodeLimits limits;
            limits.maxElements = config.maxTexts;
            limits.maxSlots = config.maxSlots;
            limits.reserve = req.reserve;
            args = wire::decodeRequest(req.body, limits);
        } catch (const wire::DecodeLimitError& e) {
            throw CallError{413, kOutOfMemory, std::string("Out of memory: ") + e.what()};
        } catch (const wire::DecodeBudgetError&) {
            throw CallError{503, kOutOfMemory, kShortOfMemory};
        } catch (const wire::ProtocolError& e) {
            throw badArgument(e.what());
        }
        // The body is decoded: its text is of no more use.
        std::string().swap(req.body);
        // The store an upload names, for the log: a sale's TPE slot 4, a card batch's TCD slot 1.
        if (const auto* tpe = args.empty() ? nullptr : std::get_if<TextArray>(&args[0]);
            tpe && tpe->size() > 4) {
            t_call.store = excerpt((*tpe)(4), kQuoteLimit);
        } else if (const auto* tcd = args.empty() ? nullptr : std::get_if<TextTable>(&args[0]);
                   tcd && tcd->rows() > 0 && tcd->slots() > 1) {
            t_call.store = excerpt((*tcd)(0, 1), kQuoteLimit);
        }
        checkArguments(*method, args);
        checkCredentials(std::get<std::string>(args[method->connection]));
        return method->run(store, Args(args));
    }

    // ---- the head office's page

    std::string sessionCookie(const std::string& token, bool clear) const {
        return std::string(kSessionCookie) + "=" + token +
               "; Path=/; Max-Age=" + (clear ? "0" : std::to_string(kSessionSeconds)) +
               "; HttpOnly; SameSite=Strict" + (config.tlsKeyFile.empty() ? "" : "; Secure");
    }

    bool loggedIn(const HttpRequest& req) const {
        const std::string token = cookieValue(req.header("Cookie"), kSessionCookie);
        return !token.empty() && sessionUser(sessionKey, token, epochSeconds()).has_value();
    }

    HttpResponse login(const HttpRequest& req) const {
        if (req.body.size() > kLoginBodyLimit) {
            return pageAnswer(413, "text/plain; charset=utf-8", "The form is too large.\n");
        }
        const std::string user = formValue(req.body, "user");
        const std::string password = formValue(req.body, "password");
        // Every account is compared, so that the time taken tells nothing of which part was wrong.
        bool known = false;
        for (const Account& a : config.accounts) {
            known |= !user.empty() & sameSecret(a.user, user) & sameSecret(a.password, password);
        }
        if (!known) {
            if (config.onCall) {
                config.onCall({req.client, "login", "-", 401, false,
                               "head-office login refused: wrong user name or password"});
            }
            return pageAnswer(401, "text/html; charset=utf-8",
                              renderLoginPage("The user name or the password is wrong."));
        }
        HttpResponse res = seeOther("/");
        res.headers.emplace_back(
            "Set-Cookie", sessionCookie(makeSessionToken(sessionKey, user, epochSeconds()), false));
        return res;
    }

    // The answer to a request of the page, or empty when it is none.
    std::optional<HttpResponse> page(const HttpRequest& req) {
        const std::string path = req.target.substr(0, req.target.find('?'));
        if (req.method == "POST") {
            if (path == "/login") {
                return login(req);
            }
            return std::nullopt;
        }
        if (path == "/login") {
            return pageAnswer(200, "text/html; charset=utf-8", renderLoginPage(""));
        }
        if (path == "/logout") {
            HttpResponse res = seeOther("/login");
            res.headers.emplace_back("Set-Cookie", sessionCookie("", true));
            return res;
        }
        if (path != "/" && path != "/shops.csv") {
            return std::nullopt;
        }
        if (!loggedIn(req)) {
            return path == "/"
                       ? seeOther("/login")
                       : pageAnswer(401, "text/plain; charset=utf-8", "Log in first, at /login.\n");
        }
        const DateTime now = SystemClock().now();
        const auto shops = store.shopActivity(now.toDateText(), config.page.days);
        if (path == "/") {
            return pageAnswer(200, "text/html; charset=utf-8",
                              renderShopsPage(shops, now, config.page));
        }
        HttpResponse res =
            pageAnswer(200, "text/csv; charset=utf-8", renderShopsCsv(shops, now, config.page));
        res.headers.emplace_back("Content-Disposition",
                                 "attachment; filename=\"shops-" + now.toDateText() + ".csv\"");
        return res;
    }

    HttpResponse handle(HttpRequest& req) {
        try {
            if (auto answer = page(req)) {
                return *answer;
            }
        } catch (const std::exception& e) {
            return pageAnswer(500, "text/plain; charset=utf-8",
                              std::string("The store failed: ") + e.what() + "\n");
        }
        if (req.method != "POST") {
            return refusal({req.client, req.method, req.target, 405,
                            "nothing answers " + req.method + " here: calls are POST requests"});
        }
        t_call = CallOutcome{};
        t_call.client = req.client;
        HttpResponse res;
        try {
            const wire::Answer answer = call(req);
            const bool* result = std::get_if<bool>(&answer.result);
            t_call.refused = result && !*result;
            for (const auto& [index, text] : answer.byref) {
                t_call.reason = excerpt(text, 200);
            }
            res.contentType = kJson;
            res.body = wire::encodeAnswer(answer);
        } catch (const CallError& e) {
            t_call.reason = excerpt(e.description, 200);
            res = errorAnswer(e.status, e.number, e.description);
        } catch (const Error& e) {
            t_call.reason = excerpt(e.description(), 200);
            res = errorAnswer(500, errc::ProviderError, e.description());
        } catch (const std::exception& e) {
            t_call.reason = excerpt(e.what(), 200);
            res = errorAnswer(500, errc::ProviderError, e.what());
        }
        noteCall(req.client, req.target, res.status);
        return res;
    }

    // What the log says of a call, from what the handler kept of it.
    void noteCall(const std::string& client, const std::string& target, int status) const {
        CallOutcome outcome = std::exchange(t_call, CallOutcome{});
        if (!config.onCall) {
            return;
        }
        CallNote note;
        note.client = client;
        note.status = status;
        const auto path = wire::parseCallPath(target.substr(0, target.find('?')));
        note.method = path ? excerpt(path->second, kQuoteLimit) : "-";
        note.store = outcome.store;
        note.refused = status == 200 && outcome.refused;
        note.reason = outcome.reason;
        if (outcome.conflict) {
            note.reason += " (conflict: the service holds other content under this key)";
        }
        config.onCall(note);
    }

    // The answer to a request the HTTP server refused before it reached a method: the protocol's
    // error body, numbered as the Windows program's errors are, and a line in the log.
    HttpResponse refusal(const HttpRefusal& r) const {
        long number = errc::InvalidProcedureCall;
        std::string description = "Invalid procedure call or argument: " + r.description;
        if (r.status == 413 || r.status == 503) {
            number = kOutOfMemory;
            description = "Out of memory: " + r.description;
        } else if (r.status == 404 || r.status == 405) {
            number = errc::CannotCreateObject;
            description = "ActiveX component can't create object: " + r.description;
        } else if (r.status >= 500 && r.status != 501 && r.status != 505) {
            number = errc::ProviderError;
            description = r.description;
        }
        if (config.onCall) {
            CallNote note;
            note.client = r.client;
            note.store = "-";
            note.status = r.status;
            const auto path = wire::parseCallPath(r.target.substr(0, r.target.find('?')));
            note.method = path ? excerpt(path->second, kQuoteLimit) : "-";
            note.reason = excerpt(r.description, 200);
            config.onCall(note);
        }
        return errorAnswer(r.status, number, description);
    }

    ServiceConfig config;
    CentralStore& store;
    const std::string sessionKey;
    std::set<std::string> progIds;
    std::unique_ptr<HttpServer> server;
    std::mutex mutex;  // start and stop
    int port = 0;
};

CentralService::CentralService(ServiceConfig config, CentralStore& store)
    : m_impl(std::make_unique<Impl>(std::move(config), store)) {}

CentralService::~CentralService() {
    stop();
}

int CentralService::start() {
    Impl& d = *m_impl;
    std::lock_guard lock(d.mutex);
    if (d.server) {
        throw Error(errc::InvalidProcedureCall, "the central service was started already");
    }
    HttpServerConfig http;
    http.host = d.config.host;
    http.port = d.config.port;
    http.limits = d.config.limits;
    http.tlsCertificateFile = d.config.tlsCertificateFile;
    http.tlsKeyFile = d.config.tlsKeyFile;
    http.handler = [&d](HttpRequest& req) { return d.handle(req); };
    http.refusal = [&d](const HttpRefusal& r) { return d.refusal(r); };
    auto server = std::make_unique<HttpServer>(std::move(http));
    d.port = server->start();
    d.server = std::move(server);
    return d.port;
}

void CentralService::stop() {
    Impl& d = *m_impl;
    std::lock_guard lock(d.mutex);
    if (d.server) {
        d.server->stop();
    }
}

int CentralService::port() const {
    return m_impl->port;
}

}  // namespace veldon::central
