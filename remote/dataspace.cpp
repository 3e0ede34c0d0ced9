#include "remote/dataspace.h"

#include "platform/asciitext.h"
#include "platform/error.h"
#include "remote/wire.h"

namespace veldon {

namespace {

const char* const JsonType = "application/json; charset=utf-8";

}  // namespace

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
    const HttpAnswer response =
        m_space.connectionFor(m_https, m_host, m_port)
            .post(wire::callPath(m_progId, method), JsonType, wire::encodeRequest(wireArgs), where);
    const std::string& body = response.body;
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

HttpConnection& DataSpace::connectionFor(bool https, const std::string& host, int port) {
    auto& slot = m_connections[{https, host, port}];
    if (!slot) {
        slot = openHttpConnection(https, host, port, m_timeouts, m_caFile);
    }
    return *slot;
}

}  // namespace veldon
