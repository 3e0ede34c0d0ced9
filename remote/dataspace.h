// The client of the central service's remote business object.
//
// As on Windows, a caller keeps one DataSpace for its run and asks it for a fresh object before
// every call: CreateObject(ProgID, serverUrl(server)). The objects of one DataSpace share its
// kept-alive HTTP connections, so a fresh object per call costs nothing.
//
// HTTPS: a server setting "https://host:port" is called over TLS, the service's certificate
// verified (chain, expiry and host name) against the system's trust store or, when the settings
// name one, a CA file (Windows: its certificate store only, platform/httpclient.h). A certificate
// that fails is an error of the call like any other; there is never a fall-back to plain HTTP.
// The HTTP calls themselves are the platform layer's. Methods are called by
// name with the arguments of protocol.md; by-reference texts are written back from the answer.
//
// Every failure of a call itself (no connection, a timeout or a missed deadline, an HTTP error,
// an answer that is too large or not the protocol) is raised as veldon::Error with a description
// naming the cause, which the callers write into their dump files. Nothing is retried.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "platform/httpclient.h"
#include "platform/recordset.h"
#include "remote/recordarrays.h"

namespace veldon {

// One argument of a late-bound call: texts and arrays by reference, whole numbers and the
// optional "Y" by value.
class CallArgument {
public:
    static CallArgument byRef(std::string& text) { return CallArgument(&text); }
    static CallArgument byVal(std::string text) { return CallArgument(std::move(text)); }
    static CallArgument byRef(const TextArray& array) { return CallArgument(&array); }
    static CallArgument byRef(const TextTable& table) { return CallArgument(&table); }
    static CallArgument number(std::int32_t n) { return CallArgument(n); }

private:
    friend class RemoteObject;
    template <typename T>
    explicit CallArgument(T v) : m_value(std::move(v)) {}
    std::variant<std::string*, std::string, const TextArray*, const TextTable*, std::int32_t>
        m_value;
};

// What a call returned: a Boolean, or for GETSQL a recordset.
class CallResult {
public:
    bool isRecordset() const { return m_recordset != nullptr; }
    // A Boolean result (False for a recordset; a call only gets the kind its method answers).
    bool toBoolean() const { return m_boolean; }
    // The recordset of GETSQL (record count, fields by name); error 13 when the result is none.
    std::unique_ptr<Recordset> takeRecordset();

private:
    friend class RemoteObject;
    bool m_boolean = false;
    std::unique_ptr<Recordset> m_recordset;
};

class DataSpace;

class RemoteObject {
public:
    // Calls `method` by name; by-reference texts take the values the server wrote back. GETSQL
    // must answer a recordset, every other method exactly true or false: any other answer is
    // "not the protocol" and raised as an error, never read as a success.
    CallResult call(const std::string& method, std::vector<CallArgument> args);

    // The methods of the business object, in the program's argument order.
    std::unique_ptr<Recordset> GETSQL(std::string& sql, std::int32_t first, std::int32_t second,
                                      std::string& reply, std::string& connection);
    bool PUTSQL(const TextArray& statements, std::string& reply, std::string& connection);
    bool PutPSM13(const TextArray& TPE, const TextTable& TPS, const TextArray& TRT,
                  const TextTable& TAC, std::string& reply, std::string& connection,
                  std::string& saleKey, const std::optional<std::string>& flagY = std::nullopt);
    bool PutPSM13_SIN(const TextArray& TPE, const TextTable& TPS, const TextArray& TRT,
                      const TextTable& TPSN, const TextTable& TAC, const TextArray& TDLV,
                      std::string& reply, std::string& connection, std::string& saleKey);
    bool PutPSM13_PSN(const TextArray& TPE, const TextTable& TPS, const TextArray& TRT,
                      const TextTable& TPSN, const TextTable& TAC, std::string& reply,
                      std::string& connection, std::string& saleKey);
    bool putcard(const TextTable& TCD, std::string& reply, std::string& connection);

    const std::string& progId() const { return m_progId; }

private:
    friend class DataSpace;
    RemoteObject(DataSpace& space, std::string progId, bool https, std::string host, int port);

    DataSpace& m_space;
    std::string m_progId;
    bool m_https;
    std::string m_host;
    int m_port;
};

// The address to create objects on for a server setting: the setting itself when it names its
// scheme ("http://..." or "https://...", in any letter case), else "http://" + setting.
std::string serverUrl(const std::string& serverSetting);

class DataSpace {
public:
    // `caFile`: a PEM file of the certificate authorities HTTPS services are verified against;
    // empty: the system's trust store.
    explicit DataSpace(CallTimeouts timeouts = {}, std::string caFile = {});
    ~DataSpace();
    DataSpace(const DataSpace&) = delete;
    DataSpace& operator=(const DataSpace&) = delete;

    // An object of the business object `progId` on `url` ("http://host[:port]", port 80 when
    // none, or "https://host[:port]", port 443). Raises error 429 when the URL names no server.
    std::unique_ptr<RemoteObject> CreateObject(const std::string& progId, const std::string& url);

    const CallTimeouts& timeouts() const { return m_timeouts; }

private:
    friend class RemoteObject;
    HttpConnection& connectionFor(bool https, const std::string& host, int port);

    CallTimeouts m_timeouts;
    std::string m_caFile;
    std::map<std::tuple<bool, std::string, int>, std::unique_ptr<HttpConnection>> m_connections;
};

}  // namespace veldon
