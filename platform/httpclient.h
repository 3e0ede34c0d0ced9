// HTTP calls to the central service: one kept-alive connection per service, over cpp-httplib and
// OpenSSL on Linux and over WinHTTP on Windows.
//
// Both sides raise the same errors with the same descriptions, so that a dump file reads the same
// on every platform. What differs is where HTTPS certificates are verified: on Linux against the
// system's trust store or a CA file, on Windows against the Windows certificate store only.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace veldon {

// Bounds of one call on a shop's line. A sale upload is a few kilobytes and the service answers
// once the sale is on its disk, so a healthy call takes milliseconds; the bounds are generous
// for a slow or congested line, yet neither a silent nor a slowly dripping service holds a run
// for longer than `deadline`: connecting, sending and the whole answer share it.
struct CallTimeouts {
    std::chrono::milliseconds connect{10000};
    std::chrono::milliseconds deadline{60000};
};

// The largest answer a call reads. The protocol's answers are a Boolean and a reply text, or the
// few rows of a name look-up: a few hundred bytes. Anything near this is no answer of the service.
inline constexpr std::size_t MaxAnswerBytes = 4 * 1024 * 1024;

struct HttpAnswer {
    int status = 0;
    std::string body;
};

// One kept-alive connection to one service (http or https, host, port).
class HttpConnection {
public:
    virtual ~HttpConnection() = default;
    // POSTs `body` to `path`; `where` names the call in error texts. Raises veldon::Error
    // (errc::CannotConnect, errc::Timeout, errc::ProviderError) with a description naming the
    // cause: no connection, a deadline missed over the whole call, an answer larger than
    // MaxAnswerBytes ("not the protocol"), a certificate that is not trusted and why. An answer
    // with any HTTP status is returned; the caller judges it.
    virtual HttpAnswer post(const std::string& path, const std::string& contentType,
                            const std::string& body, const std::string& where) = 0;
};

// A connection to `host`:`port`, made on the first call. `caFile`: for HTTPS, a PEM file of the
// certificate authorities the service is verified against; empty: the system's trust store.
// Windows verifies against its certificate store only and refuses a CA file for HTTPS.
std::unique_ptr<HttpConnection> openHttpConnection(bool https, const std::string& host, int port,
                                                   const CallTimeouts& timeouts,
                                                   const std::string& caFile);

}  // namespace veldon
