// HTTP calls over WinHTTP (Windows).
//
// The session takes the shop's proxy settings (the automatic ones where Windows has them, else
// the WinHTTP default), and HTTPS services are verified against the Windows certificate store.
// WinHTTP takes no CA file: a setting CA인증서 that names one is refused for HTTPS rather than
// ignored, so that a shop never believes it pins an authority it does not; such a shop adds its
// authority to the certificate store instead.
//
// WinHTTP bounds connecting, sending and each single receive; the whole call's deadline is kept
// by giving every receive only the time that is left of it.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <vector>

#include "platform/error.h"
#include "platform/httpclient.h"
#include "platform/httperrors.h"
#include "platform/textcodec.h"

namespace veldon {

namespace {

using Clock = std::chrono::steady_clock;

struct HandleCloser {
    void operator()(HINTERNET handle) const { WinHttpCloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

Error winHttpFailure(const std::string& where, DWORD error) {
    return Error(errc::CannotConnect,
                 "the call to " + where + " failed: WinHTTP error " + std::to_string(error));
}

// Collects the causes WinHTTP reports for a certificate it does not trust; `context` points to
// the flags of the call.
void CALLBACK onSecureFailure(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info,
                              DWORD length) {
    if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && context && info &&
        length >= sizeof(DWORD)) {
        *reinterpret_cast<DWORD*>(context) |= *static_cast<const DWORD*>(info);
    }
}

// A certificate the service presented and Windows could not trust, named by its cause: what is
// wrong with the chain first, the host name only once the chain is good, as on Linux.
Error certificateError(DWORD flags, const std::string& host, const std::string& where) {
    const struct {
        DWORD flag;
        const char* cause;
    } causes[] = {
        {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA,
         "its authority is not in the Windows certificate store"},
        {WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID,
         "certificate has expired or is not yet valid"},
        {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, "certificate revoked"},
        {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED, "its revocation cannot be checked"},
        {WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE, "unsupported certificate purpose"},
        {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT, "the certificate is malformed"},
    };
    for (const auto& c : causes) {
        if (flags & c.flag) {
            return http::notTrusted(where, c.cause);
        }
    }
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID) {
        return http::wrongHost(where, host);
    }
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR) {
        return http::noTls(where);
    }
    return http::notTrusted(where, "the TLS handshake failed (WinHTTP error " +
                                       std::to_string(ERROR_WINHTTP_SECURE_FAILURE) + ")");
}

class WinHttpConnection : public HttpConnection {
public:
    WinHttpConnection(bool https, const std::string& host, int port, const CallTimeouts& timeouts)
        : m_https(https), m_host(host), m_timeouts(timeouts) {
        const wchar_t* agent = L"VELDON";
        m_session.reset(WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!m_session) {
            // Before Windows 8.1: the proxy of `netsh winhttp`.
            m_session.reset(WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        }
        const std::string where = host + ":" + std::to_string(port);
        if (!m_session) {
            throw winHttpFailure(where, GetLastError());
        }
        m_connection.reset(WinHttpConnect(m_session.get(), utf8ToWide(host).c_str(),
                                          static_cast<INTERNET_PORT>(port), 0));
        if (!m_connection) {
            throw winHttpFailure(where, GetLastError());
        }
    }

    HttpAnswer post(const std::string& path, const std::string& contentType,
                    const std::string& body, const std::string& where) override {
        const Clock::time_point deadline = Clock::now() + m_timeouts.deadline;
        // What is left of the deadline, in whole milliseconds and at least one (0 would be none).
        auto left = [&] {
            const auto ms =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (ms <= 0) {
                throw http::late(where, m_timeouts.deadline);
            }
            return static_cast<int>(std::min<long long>(ms, 0x7fffffff));
        };

        Handle request(WinHttpOpenRequest(m_connection.get(), L"POST", utf8ToWide(path).c_str(),
                                          nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          m_https ? WINHTTP_FLAG_SECURE : 0));
        if (!request) {
            throw winHttpFailure(where, GetLastError());
        }
        // As on Linux: an answer is the service's own, never one a redirect leads to.
        DWORD features = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
        WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features);
        WinHttpSetStatusCallback(request.get(), onSecureFailure,
                                 WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);

        const int connect =
            static_cast<int>(std::min(m_timeouts.connect, m_timeouts.deadline).count());
        const int sending = left();
        WinHttpSetTimeouts(request.get(), connect, connect, sending, sending);
        DWORD secureFailure = 0;
        const std::wstring headers = L"Content-Type: " + utf8ToWide(contentType);
        if (!WinHttpSendRequest(request.get(), headers.c_str(), static_cast<DWORD>(-1),
                                const_cast<char*>(body.data()), static_cast<DWORD>(body.size()),
                                static_cast<DWORD>(body.size()),
                                reinterpret_cast<DWORD_PTR>(&secureFailure))) {
            const DWORD error = GetLastError();
            switch (error) {
                case ERROR_WINHTTP_TIMEOUT:
                case WSAETIMEDOUT:  // as Wine reports it
                    if (Clock::now() >= deadline) {
                        throw http::late(where, m_timeouts.deadline);
                    }
                    throw http::noConnectionInTime(where);
                case ERROR_WINHTTP_CANNOT_CONNECT:
                case ERROR_WINHTTP_CONNECTION_ERROR:
                case ERROR_WINHTTP_NAME_NOT_RESOLVED:
                    throw http::cannotConnect(where);
                case ERROR_WINHTTP_SECURE_FAILURE:
                    throw certificateError(secureFailure, m_host, where);
                default:
                    throw winHttpFailure(where, error);
            }
        }

        // From here every wait gets only what is left of the deadline.
        auto receiving = [&](BOOL done) {
            if (done) {
                return;
            }
            const DWORD error = GetLastError();
            switch (error) {
                case ERROR_WINHTTP_TIMEOUT:
                case WSAETIMEDOUT:  // as Wine reports it
                    throw http::late(where, m_timeouts.deadline);
                case ERROR_WINHTTP_CONNECTION_ERROR:
                case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
                case WSAECONNRESET:
                case WSAECONNABORTED:
                    throw http::noAnswer(where);
                case ERROR_WINHTTP_SECURE_FAILURE:
                    throw certificateError(secureFailure, m_host, where);
                default:
                    throw winHttpFailure(where, error);
            }
        };
        auto bound = [&] {
            DWORD ms = static_cast<DWORD>(left());
            WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &ms,
                             sizeof ms);
            WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, &ms, sizeof ms);
        };
        bound();
        receiving(WinHttpReceiveResponse(request.get(), nullptr));

        HttpAnswer answer;
        DWORD status = 0;
        DWORD size = sizeof status;
        receiving(WinHttpQueryHeaders(
            request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX));
        answer.status = static_cast<int>(status);
        // Refused before a byte of the body is read when the service says how much is coming.
        wchar_t length[32] = {};
        size = sizeof length;
        if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_LENGTH,
                                WINHTTP_HEADER_NAME_BY_INDEX, length, &size,
                                WINHTTP_NO_HEADER_INDEX) &&
            std::wcstoull(length, nullptr, 10) > MaxAnswerBytes) {
            throw http::tooLarge(where);
        }

        std::vector<char> buffer;
        for (;;) {
            bound();
            DWORD available = 0;
            receiving(WinHttpQueryDataAvailable(request.get(), &available));
            if (available == 0) {
                break;
            }
            if (answer.body.size() + available > MaxAnswerBytes) {
                throw http::tooLarge(where);
            }
            buffer.resize(available);
            DWORD read = 0;
            receiving(WinHttpReadData(request.get(), buffer.data(), available, &read));
            if (read == 0) {
                break;
            }
            answer.body.append(buffer.data(), read);
        }
        return answer;
    }

private:
    bool m_https;
    std::string m_host;
    CallTimeouts m_timeouts;
    // Kept for the next call: WinHTTP keeps the connection to the service alive under them.
    Handle m_session;
    Handle m_connection;
};

}  // namespace

std::unique_ptr<HttpConnection> openHttpConnection(bool https, const std::string& host, int port,
                                                   const CallTimeouts& timeouts,
                                                   const std::string& caFile) {
    if (https && !caFile.empty()) {
        throw Error(errc::CannotConnect,
                    "the CA file " + caFile +
                        " cannot be used on Windows: HTTPS services are verified against the "
                        "Windows certificate store; leave the setting CA인증서 blank and add the "
                        "authority to the store");
    }
    return std::make_unique<WinHttpConnection>(https, host, port, timeouts);
}

}  // namespace veldon
