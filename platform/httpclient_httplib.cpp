// HTTP calls over cpp-httplib, HTTPS verified by OpenSSL (Linux).
#include <httplib.h>
#include <openssl/x509.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/error.h"
#include "platform/httpclient.h"
#include "platform/httperrors.h"

namespace veldon {

namespace {

// The transport's failure as the caller's error.
Error transportError(httplib::Error error, const std::string& where) {
    switch (error) {
        case httplib::Error::Connection:
            return http::cannotConnect(where);
        case httplib::Error::ConnectionTimeout:
            return http::noConnectionInTime(where);
        case httplib::Error::Read:
            return http::noAnswer(where);
        case httplib::Error::Write:
            return http::notSent(where);
        case httplib::Error::SSLConnection:
            return http::noTls(where);
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
        return http::wrongHost(where, host);
    }
    return http::notTrusted(where, X509_verify_cert_error_string(verifyResult));
}

// Ends a call that outlives its deadline. httplib bounds each single read and write only, so a
// service that drips one byte at a time would hold a call for ever; shutting the connection down
// with Client::stop(), the one call that is safe from another thread, ends it at once. Deadlines
// only move forward, so arming a call wakes the thread only when it is idle.
class Watchdog {
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

class HttplibConnection : public HttpConnection {
public:
    HttplibConnection(bool https, const std::string& host, int port, const CallTimeouts& timeouts,
                      const std::string& caFile)
        : m_host(host), m_timeouts(timeouts) {
        if (https) {
            const std::string bracketed =
                host.find(':') != std::string::npos ? "[" + host + "]" : host;
            m_client = std::make_unique<httplib::Client>("https://" + bracketed + ":" +
                                                         std::to_string(port));
            m_client->enable_server_certificate_verification(true);
            if (!caFile.empty()) {
                m_client->set_ca_cert_path(caFile.c_str());
            }
        } else {
            m_client = std::make_unique<httplib::Client>(host, port);
        }
        m_client->set_keep_alive(true);
        m_client->set_tcp_nodelay(true);  // else every request waits for the delayed ACK
        auto seconds = [](std::chrono::milliseconds ms) {
            return std::make_pair(static_cast<time_t>(ms.count() / 1000),
                                  static_cast<time_t>(ms.count() % 1000 * 1000));
        };
        // Single reads and writes are bounded by the whole call's deadline, which the watchdog
        // enforces; connecting may be bounded more tightly.
        auto [cs, cus] = seconds(std::min(timeouts.connect, timeouts.deadline));
        auto [ds, dus] = seconds(timeouts.deadline);
        m_client->set_connection_timeout(cs, cus);
        m_client->set_read_timeout(ds, dus);
        m_client->set_write_timeout(ds, dus);
    }

    HttpAnswer post(const std::string& path, const std::string& contentType,
                    const std::string& body, const std::string& where) override {
        httplib::Request request;
        request.method = "POST";
        request.path = path;
        request.set_header("Content-Type", contentType);
        request.body = body;
        HttpAnswer answer;
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
            if (answer.body.size() + size > MaxAnswerBytes) {
                tooLarge = true;
                return false;
            }
            answer.body.append(data, size);
            return true;
        };

        if (!m_watchdog) {
            m_watchdog = std::make_unique<Watchdog>();
        }
        m_watchdog->arm(*m_client, std::chrono::steady_clock::now() + m_timeouts.deadline);
        httplib::Response response;
        httplib::Error failure = httplib::Error::Success;
        const bool answered = m_client->send(request, response, failure);
        const bool late = m_watchdog->disarm();
        if (tooLarge) {
            throw http::tooLarge(where);
        }
        if (!answered) {
            if (late) {
                throw http::late(where, m_timeouts.deadline);
            }
            if (failure == httplib::Error::SSLServerVerification) {
                throw certificateError(m_client->get_openssl_verify_result(), m_host, where);
            }
            throw transportError(failure, where);
        }
        answer.status = response.status;
        return answer;
    }

private:
    std::string m_host;
    CallTimeouts m_timeouts;
    std::unique_ptr<httplib::Client> m_client;
    std::unique_ptr<Watchdog> m_watchdog;  // started with the first call
};

}  // namespace

std::unique_ptr<HttpConnection> openHttpConnection(bool https, const std::string& host, int port,
                                                   const CallTimeouts& timeouts,
                                                   const std::string& caFile) {
    // httplib would report an unreadable file only as a failed connection.
    if (https && !caFile.empty() && !std::ifstream(caFile)) {
        throw Error(errc::CannotConnect, "the CA file " + caFile + " cannot be read");
    }
    return std::make_unique<HttplibConnection>(https, host, port, timeouts, caFile);
}

}  // namespace veldon
