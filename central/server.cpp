#include "central/server.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <variant>

#include "central/sqlshapes.h"
#include "platform/asciitext.h"
#include "platform/database.h"
#include "platform/error.h"
#include "remote/wire.h"

namespace veldon::central {

namespace {

constexpr const char* kJson = "application/json; charset=utf-8";

// Error numbers of the Windows program's late-bound calls.
constexpr long kNoSuchMethod = 438;
constexpr long kOutOfMemory = 7;

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

// The caller of the call this thread answers, and whether its upload met a conflict: for the
// store's record and the service's log, without threading them through every method.
// What the call this thread answers did, for the store's record of a conflict and for the
// service's log, without threading it through every method. Reset once the call is logged.
struct CallOutcome {
    bool handled = false;  // the call reached our handler (httplib answers some itself)
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

void setError(httplib::Response& res, int status, long number, const std::string& description) {
    res.status = status;
    res.set_content(wire::encodeError(number, excerpt(description, kDescriptionLimit)), kJson);
}

}  // namespace

std::string connectionValue(const std::string& connectionString, const std::string& key) {
    std::string wanted = key;
    for (char& c : wanted) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const auto attributes = connectionAttributes(connectionString);
    const auto it = attributes.find(wanted);
    return it == attributes.end() ? std::string() : it->second;
}

struct CentralService::Impl {
    Impl(ServiceConfig c, CentralStore& s) : config(std::move(c)), store(s) {
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

    wire::Answer call(const httplib::Request& req) {
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
            args = wire::decodeRequest(req.body);
        } catch (const wire::ProtocolError& e) {
            throw badArgument(e.what());
        }
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

    void handle(const httplib::Request& req, httplib::Response& res) {
        t_call = CallOutcome{true, req.remote_addr};
        try {
            const wire::Answer answer = call(req);
            const bool* result = std::get_if<bool>(&answer.result);
            t_call.refused = result && !*result;
            for (const auto& [index, text] : answer.byref) {
                t_call.reason = excerpt(text, 200);
            }
            res.status = 200;
            res.set_content(wire::encodeAnswer(answer), kJson);
        } catch (const CallError& e) {
            t_call.reason = excerpt(e.description, 200);
            setError(res, e.status, e.number, e.description);
        } catch (const Error& e) {
            t_call.reason = excerpt(e.description(), 200);
            setError(res, 500, errc::ProviderError, e.description());
        } catch (const std::exception& e) {
            t_call.reason = excerpt(e.what(), 200);
            setError(res, 500, errc::ProviderError, e.what());
        }
    }

    // What the log says of a call: the outcome from the answer, the store from the upload.
    // What the log says of a call, from what the handler kept of it.
    void noteCall(const httplib::Request& req, const httplib::Response& res) const {
        CallOutcome outcome = std::exchange(t_call, CallOutcome{});
        CallNote note;
        note.client = req.remote_addr;
        note.status = res.status;
        const auto path = wire::parseCallPath(req.target.substr(0, req.target.find('?')));
        note.method = path ? excerpt(path->second, kQuoteLimit) : "-";
        note.store = outcome.store;
        note.refused = outcome.handled && res.status == 200 && outcome.refused;
        if (outcome.handled) {
            note.reason = outcome.reason;
        } else if (auto e = wire::decodeError(res.body)) {  // an answer httplib made itself
            note.reason = excerpt(e->second, 200);
        }
        if (outcome.conflict) {
            note.reason += " (conflict: the service holds other content under this key)";
        }
        config.onCall(note);
    }

    // Answers that httplib makes itself (body too large, no route, bad request line) get the
    // protocol's error body too.
    void completeError(const httplib::Request& req, httplib::Response& res) const {
        if (!res.body.empty()) {
            return;
        }
        if (res.status == 413) {
            setError(res, 413, kOutOfMemory,
                     "Out of memory: the request body exceeds the central service's limit of " +
                         std::to_string(config.bodyLimit) + " bytes");
        } else if (res.status == 404 || res.status == 405) {
            setError(res, res.status, errc::CannotCreateObject,
                     "ActiveX component can't create object: nothing answers " + req.method + " " +
                         excerpt(req.target, kQuoteLimit));
        } else if (res.status < 500) {
            setError(res, res.status, errc::InvalidProcedureCall,
                     "Invalid procedure call or argument: the request was refused with HTTP " +
                         std::to_string(res.status));
        } else {
            setError(res, res.status, errc::ProviderError,
                     "the central service failed with HTTP " + std::to_string(res.status));
        }
    }

    ServiceConfig config;
    CentralStore& store;
    std::set<std::string> progIds;
    httplib::Server server;
    std::thread thread;
    std::mutex mutex;  // start and stop
    std::atomic<bool> listenReturned{false};
    bool started = false;
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
    if (d.started) {
        throw Error(errc::InvalidProcedureCall, "the central service was started already");
    }
    httplib::Server& s = d.server;
    // httplib's default also sets SO_REUSEPORT, which would let a second service on the same
    // port silently take half of the shops' calls.
    socket_t listening = INVALID_SOCKET;
    s.set_socket_options([&listening](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listening = sock;
    });
    s.set_tcp_nodelay(true);
    s.set_keep_alive_max_count(100000);
    s.set_keep_alive_timeout(d.config.keepAliveSeconds);
    s.set_read_timeout(d.config.ioTimeoutSeconds);
    s.set_write_timeout(d.config.ioTimeoutSeconds);
    s.set_payload_max_length(d.config.bodyLimit);
    const std::size_t threads = std::max<std::size_t>(1, d.config.threads);
    s.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    s.Post(".*", [&d](const httplib::Request& req, httplib::Response& res) { d.handle(req, res); });
    s.set_error_handler(
        [&d](const httplib::Request& req, httplib::Response& res) { d.completeError(req, res); });
    if (d.config.onCall) {
        s.set_logger([&d](const httplib::Request& req, const httplib::Response& res) {
            d.noteCall(req, res);
        });
    }
    s.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
            setError(res, 500, errc::ProviderError, "the central service failed on this call");
        });

    errno = 0;
    int port = d.config.port;
    const bool bound = port == 0 ? (port = s.bind_to_any_port(d.config.host)) > 0
                                 : s.bind_to_port(d.config.host, port);
    if (!bound) {
        const int cause = errno;
        throw Error(errc::PermissionDenied,
                    "the central service cannot listen on " + d.config.host + ":" +
                        std::to_string(d.config.port) +
                        (cause != 0 ? std::string(": ") + std::strerror(cause) : std::string()));
    }
    // httplib listens with a backlog of 5: when many shops connect at once, the kernel would drop
    // the connections beyond it. Listening again on the bound socket raises the backlog.
    if (listening != INVALID_SOCKET) {
        ::listen(listening, SOMAXCONN);
    }
    d.port = port;
    d.started = true;
    d.thread = std::thread([&d] {
        d.server.listen_after_bind();
        d.listenReturned = true;
    });
    // stop() is lost on a server that has not begun its accept loop yet.
    while (!d.server.is_running() && !d.listenReturned) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return port;
}

void CentralService::stop() {
    Impl& d = *m_impl;
    std::lock_guard lock(d.mutex);
    if (!d.thread.joinable()) {
        return;
    }
    d.server.stop();
    d.thread.join();
}

int CentralService::port() const {
    return m_impl->port;
}

}  // namespace veldon::central
