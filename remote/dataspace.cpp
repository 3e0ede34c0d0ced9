#include "remote/dataspace.h"

#include <httplib.h>
#include <openssl/x509.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/asciitext.h"
#include "platform/error.h"
#include "remote/wire.h"

namespace veldon {

namespace {

const char* const JsonType = "application/json; charset=utf-8";

// The transport's failure as the caller's error.
Error transportError(httplib::Error error, const std::string& where) {
    switch (error) {
        case httplib::Error::Connection:
            return Error(errc::CannotConnect, "cannot connect to " + where);
        case httplib::Error::ConnectionTimeout:
            return Error(errc::Timeout, "no connection to " + where + " within the time allowed");
        case httplib::Error::Read:
            return Error(errc::Timeout,
                         "no answer from " + where + " (the connection was closed or timed out)");
        case httplib::Error::Write:
            return Error(errc::CannotConnect, "the request could not be sent to " + where);
        case httplib::Error::SSLConnection:
            return Error(errc::CannotConnect, "no TLS connection to " + where +
                                                  " (the service does not speak HTTPS there, or "
                                                  "it and this side share no TLS version)");
        case httplib::Error::SSLLoadingCerts:
            return Error(errc::CannotConnect,
                         "the certificate authorities to verify " + where +
                             " against cannot be loaded (the CA file is no PEM file)");
        case httplib::Error::BindIPAddress:
        case httplib::Error::Unknown:
        default:
            return Error(errc::CannotConnect,
                         "the call to " + where + " failed: " + httplib::to_string(error));
    }
}

// A certificate the service presented and this side could not trust, named by its cause.
Error certificateError(long verifyResult, const std::string& host, const std::string& where) {
    if (verifyResult == X509_V_OK) {
        return Error(errc::CannotConnect,
                     "the certificate of " + where + " is not made out to the host name " + host);
    }
    return Error(errc::CannotConnect, "the certificate of " + where + " is not trusted: " +
                                          X509_verify_cert_error_string(verifyResult));
}

std::string secondsText(std::chrono::milliseconds ms) {
    const auto whole = ms.count() / 1000;
    const auto tenths = ms.count() % 1000 / 100;
    return std::to_string(whole) + (tenths ? "." + std::to_string(tenths) : "") + " s";
}

}  // namespace

// Ends a call that outlives its deadline. httplib bounds each single read and write only, so a
// service that drips one byte at a time would hold a call for ever; shutting the connection down
// with Client::stop(), the one call that is safe from another thread, ends it at once. Deadlines
// only move forward, so arming a call wakes the thread only when it is idle.
class DataSpace::Watchdog {
public:
    Watchdog() : m_thread([this] { loop(); }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }

    void arm(httplib::Client& client, std::chrono::steady_clock::time_point deadline) {
        bool wake;
        {
            std::lock_guard lock(m_mutex);
            m_client = &client;
            m_deadline = deadline;
            m_fired = false;
            wake = m_idle;
        }
        if (wake) {
            m_wake.notify_one();
        }
    }

    // True when the deadline passed before the call ended.
    bool disarm() {
        std::lock_guard lock(m_mutex);
        m_client = nullptr;
        return m_fired;
    }

private:
    void loop() {
        std::unique_lock lock(m_mutex);
        while (!m_quit) {
            if (!m_client) {
                m_idle = true;
                m_wake.wait(lock);
                m_idle = false;
                continue;
            }
            const auto deadline = m_deadline;
            if (std::chrono::steady_clock::now() < deadline) {
                m_wake.wait_until(lock, deadline);
                continue;
            }
            m_client->stop();
            m_fired = true;
            // A call still connecting has no socket to shut down yet: try again shortly.
            m_deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    httplib::Client* m_client = nullptr;
    std::chrono::steady_clock::time_point m_deadline;
    bool m_fired = false;
    bool m_idle = false;
    bool m_quit = false;
    std::thread m_thread;  // last: starts once the members above exist
};

std::unique_ptr<Recordset> CallResult::takeRecordset() {
    if (!m_recordset) {
        throw Error(errc::TypeMismatch, "Type mismatch (the call returned no recordset)");
    }
    return std::move(m_recordset);
}

RemoteObject::RemoteObject(DataSpace& space, std::string progId, bool https, std::string host,
                           int port)
    : m_space(space),
      m_progId(std::move(progId)),
      m_https(https),
      m_host(std::move(host)),
      m_port(port) {}

CallResult RemoteObject::call(const std::string& method, std::vector<CallArgument> args) {
    std::vector<wire::Argument> wireArgs;
    wireArgs.reserve(args.size());
    for (const CallArgument& a : args) {
        std::visit(
            [&](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, std::string*>) {
                    wireArgs.emplace_back(*v);
                } else if constexpr (std::is_same_v<T, std::string>) {
                    wireArgs.emplace_back(v);
                } else if constexpr (std::is_same_v<T, const TextArray*>) {
                    wireArgs.emplace_back(*v);
                } else if constexpr (std::is_same_v<T, const TextTable*>) {
                    wireArgs.emplace_back(*v);
                } else {
                    wireArgs.emplace_back(static_cast<std::int64_t>(v));
                }
            },
            a.m_value);
    }

    const std::string where =
        m_host + ":" + std::to_string(m_port) + " (" + m_progId + "." + method + ")";
    httplib::Client& client = m_space.clientFor(m_https, m_host, m_port);

    httplib::Request request;
    request.method = "POST";
    request.path = wire::callPath(m_progId, method);
    request.set_header("Content-Type", JsonType);
    request.body = wire::encodeRequest(wireArgs);
    std::string body;
    bool tooLarge = false;
    request.response_handler = [&](const httplib::Response& head) {
        // Refused before a byte of the body is read when the service says how much is coming.
        if (head.has_header("Content-Length") &&
            head.get_header_value<std::uint64_t>("Content-Length") > MaxAnswerBytes) {
            tooLarge = true;
            return false;
        }
        return true;
    };
    request.content_receiver = [&](const char* data, std::size_t size, std::uint64_t,
                                   std::uint64_t) {
        if (body.size() + size > MaxAnswerBytes) {
            tooLarge = true;
            return false;
        }
        body.append(data, size);
        return true;
    };

    const CallTimeouts& limits = m_space.timeouts();
    if (!m_space.m_watchdog) {
        m_space.m_watchdog = std::make_unique<DataSpace::Watchdog>();
    }
    m_space.m_watchdog->arm(client, std::chrono::steady_clock::now() + limits.deadline);
    httplib::Response response;
    httplib::Error failure = httplib::Error::Success;
    const bool answered = client.send(request, response, failure);
    const bool late = m_space.m_watchdog->disarm();
    if (tooLarge) {
        throw Error(errc::ProviderError, "the answer of " + where + " is larger than " +
                                             std::to_string(MaxAnswerBytes / 1024 / 1024) +
                                             " MB: not the protocol");
    }
    if (!answered) {
        if (late) {
            throw Error(errc::Timeout, "no complete answer from " + where + " within " +
                                           secondsText(limits.deadline));
        }
        if (failure == httplib::Error::SSLServerVerification) {
            throw certificateError(client.get_openssl_verify_result(), m_host, where);
        }
        throw transportError(failure, where);
    }
    if (response.status != 200) {
        if (auto e = wire::decodeError(body)) {
            throw Error(e->first, e->second);
        }
        throw Error(errc::ProviderError,
                    "HTTP " + std::to_string(response.status) + " from " + where);
    }
    wire::Answer answer;
    try {
        answer = wire::decodeAnswer(body);
    } catch (const wire::ProtocolError& e) {
        throw Error(errc::ProviderError,
                    "the answer of " + where + " is not the protocol: " + e.what());
    }
    // A recordset where a Boolean is due (or the reverse) is no success: read as True it would
    // mark rows sent that the service never took.
    const bool wantsRecordset = equalsIgnoringAsciiCase(method, "GETSQL");
    if (std::holds_alternative<wire::RowSet>(answer.result) != wantsRecordset) {
        throw Error(errc::ProviderError, "the answer of " + where +
                                             " is not the protocol: its result is " +
                                             (wantsRecordset ? "no recordset" : "no Boolean"));
    }
    for (const auto& [index, text] : answer.byref) {
        // Only by-reference texts take a value back; other indexes are ignored.
        if (index < args.size()) {
            if (auto** target = std::get_if<std::string*>(&args[index].m_value)) {
                **target = text;
            }
        }
    }
    CallResult result;
    if (const bool* b = std::get_if<bool>(&answer.result)) {
        result.m_boolean = *b;
    } else {
        const wire::RowSet& set = std::get<wire::RowSet>(answer.result);
        result.m_recordset = std::make_unique<Recordset>(set.fields);
        for (const auto& row : set.rows) {
            for (const auto& value : row) {
                if (value) {
                    result.m_recordset->addText(*value);
                } else {
                    result.m_recordset->addNull();
                }
            }
            result.m_recordset->endRow();
        }
        result.m_recordset->finishLoading();
    }
    return result;
}

std::unique_ptr<Recordset> RemoteObject::GETSQL(std::string& sql, std::int32_t first,
                                                std::int32_t second, std::string& reply,
                                                std::string& connection) {
    return call("GETSQL", {CallArgument::byRef(sql), CallArgument::number(first),
                           CallArgument::number(second), CallArgument::byRef(reply),
                           CallArgument::byRef(connection)})
        .takeRecordset();
}

bool RemoteObject::PUTSQL(const TextArray& statements, std::string& reply,
                          std::string& connection) {
    return call("PUTSQL", {CallArgument::byRef(statements), CallArgument::byRef(reply),
                           CallArgument::byRef(connection)})
        .toBoolean();
}

bool RemoteObject::PutPSM13(const TextArray& TPE, const TextTable& TPS, const TextArray& TRT,
                            const TextTable& TAC, std::string& reply, std::string& connection,
                            std::string& saleKey, const std::optional<std::string>& flagY) {
    std::vector<CallArgument> args{CallArgument::byRef(TPE),    CallArgument::byRef(TPS),
                                   CallArgument::byRef(TRT),    CallArgument::byRef(TAC),
                                   CallArgument::byRef(reply),  CallArgument::byRef(connection),
                                   CallArgument::byRef(saleKey)};
    if (flagY) {
        args.push_back(CallArgument::byVal(*flagY));
    }
    return call("PutPSM13", std::move(args)).toBoolean();
}

bool RemoteObject::PutPSM13_SIN(const TextArray& TPE, const TextTable& TPS, const TextArray& TRT,
                                const TextTable& TPSN, const TextTable& TAC, const TextArray& TDLV,
                                std::string& reply, std::string& connection, std::string& saleKey) {
    return call("PutPSM13_SIN",
                {CallArgument::byRef(TPE), CallArgument::byRef(TPS), CallArgument::byRef(TRT),
                 CallArgument::byRef(TPSN), CallArgument::byRef(TAC), CallArgument::byRef(TDLV),
                 CallArgument::byRef(reply), CallArgument::byRef(connection),
                 CallArgument::byRef(saleKey)})
        .toBoolean();
}

bool RemoteObject::PutPSM13_PSN(const TextArray& TPE, const TextTable& TPS, const TextArray& TRT,
                                const TextTable& TPSN, const TextTable& TAC, std::string& reply,
                                std::string& connection, std::string& saleKey) {
    return call("PutPSM13_PSN",
                {CallArgument::byRef(TPE), CallArgument::byRef(TPS), CallArgument::byRef(TRT),
                 CallArgument::byRef(TPSN), CallArgument::byRef(TAC), CallArgument::byRef(reply),
                 CallArgument::byRef(connection), CallArgument::byRef(saleKey)})
        .toBoolean();
}

bool RemoteObject::putcard(const TextTable& TCD, std::string& reply, std::string& connection) {
    return call("putcard", {CallArgument::byRef(TCD), CallArgument::byRef(reply),
                            CallArgument::byRef(connection)})
        .toBoolean();
}

std::string serverUrl(const std::string& serverSetting) {
    for (const char* scheme : {"http://", "https://"}) {
        const std::string_view s(scheme);
        if (serverSetting.size() >= s.size() &&
            equalsIgnoringAsciiCase(std::string_view(serverSetting).substr(0, s.size()), s)) {
            return std::string(s) + serverSetting.substr(s.size());
        }
    }
    return "http://" + serverSetting;
}

DataSpace::DataSpace(CallTimeouts timeouts, std::string caFile)
    : m_timeouts(timeouts), m_caFile(std::move(caFile)) {}

DataSpace::~DataSpace() = default;

std::unique_ptr<RemoteObject> DataSpace::CreateObject(const std::string& progId,
                                                      const std::string& url) {
    auto refuse = [&](const std::string& why) {
        return Error(errc::CannotCreateObject, "ActiveX component can't create object: " + progId +
                                                   " on \"" + url + "\" (" + why + ")");
    };
    const bool https = url.starts_with("https://");
    if (!https && !url.starts_with("http://")) {
        throw refuse("not an http:// or https:// address");
    }
    std::string authority = url.substr(https ? 8 : 7);
    if (std::size_t slash = authority.find('/'); slash != std::string::npos) {
        authority.resize(slash);
    }
    std::string host = authority;
    int port = https ? 443 : 80;
    // "[::1]:8750", "host:8750" or "host".
    std::size_t colon = authority.rfind(':');
    std::size_t bracket = authority.rfind(']');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
        host = authority.substr(0, colon);
        const std::string portText = authority.substr(colon + 1);
        char* end = nullptr;
        long p = std::strtol(portText.c_str(), &end, 10);
        if (portText.empty() || *end != '\0' || p < 1 || p > 65535) {
            throw refuse("bad port \"" + portText + "\"");
        }
        port = static_cast<int>(p);
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (host.empty() || host.find_first_of(" \t") != std::string::npos) {
        throw refuse("no server named");
    }
    return std::unique_ptr<RemoteObject>(new RemoteObject(*this, progId, https, host, port));
}

httplib::Client& DataSpace::clientFor(bool https, const std::string& host, int port) {
    auto& slot = m_clients[{https, host, port}];
    if (!slot) {
        if (https) {
            // httplib would report an unreadable file only as a failed connection.
            if (!m_caFile.empty() && !std::ifstream(m_caFile)) {
                throw Error(errc::CannotConnect, "the CA file " + m_caFile + " cannot be read");
            }
            const std::string bracketed =
                host.find(':') != std::string::npos ? "[" + host + "]" : host;
            slot = std::make_unique<httplib::Client>("https://" + bracketed + ":" +
                                                     std::to_string(port));
            slot->enable_server_certificate_verification(true);
            if (!m_caFile.empty()) {
                slot->set_ca_cert_path(m_caFile.c_str());
            }
        } else {
            slot = std::make_unique<httplib::Client>(host, port);
        }
        slot->set_keep_alive(true);
        slot->set_tcp_nodelay(true);  // else every request waits for the delayed ACK
        auto seconds = [](std::chrono::milliseconds ms) {
            return std::make_pair(static_cast<time_t>(ms.count() / 1000),
                                  static_cast<time_t>(ms.count() % 1000 * 1000));
        };
        // Single reads and writes are bounded by the whole call's deadline, which the watchdog
        // enforces; connecting may be bounded more tightly.
        auto [cs, cus] = seconds(std::min(m_timeouts.connect, m_timeouts.deadline));
        auto [ds, dus] = seconds(m_timeouts.deadline);
        slot->set_connection_timeout(cs, cus);
        slot->set_read_timeout(ds, dus);
        slot->set_write_timeout(ds, dus);
    }
    return *slot;
}

}  // namespace veldon
