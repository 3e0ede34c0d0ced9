// The WinHTTP client against a scripted responder on 127.0.0.1 (under Wine in the cross-build's
// tests): what comes back of an answer, and how each failure is raised.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

#include "platform/error.h"
#include "platform/httpclient.h"

namespace veldon {
namespace {

using std::chrono::milliseconds;

// A listening socket on 127.0.0.1 and a free port.
SOCKET listenOnLoopback(int& port) {
    [[maybe_unused]] static const int winsock = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(s, 1);
    int len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return s;
}

// Takes one connection, reads the request whole, sends `reply` and then holds the connection
// until finish().
class Responder {
public:
    explicit Responder(std::string reply) : m_listener(listenOnLoopback(m_port)) {
        m_thread = std::thread([this, reply] { serve(reply); });
    }
    ~Responder() {
        finish();
        closesocket(m_listener);
    }
    int port() const { return m_port; }
    // The request as it came.
    const std::string& finish() {
        m_done = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        return m_request;
    }

private:
    void serve(const std::string& reply) {
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(m_listener, &ready);
        timeval wait{5, 0};
        if (select(0, &ready, nullptr, nullptr, &wait) != 1) {
            return;
        }
        SOCKET s = accept(m_listener, nullptr, nullptr);
        char buffer[4096];
        for (;;) {
            const std::size_t end = m_request.find("\r\n\r\n");
            const std::size_t length = m_request.find("Content-Length: ");
            if (end != std::string::npos && length != std::string::npos &&
                m_request.size() >= end + 4 + std::stoul(m_request.substr(length + 16))) {
                break;
            }
            const int n = recv(s, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            m_request.append(buffer, n);
        }
        send(s, reply.data(), static_cast<int>(reply.size()), 0);
        while (!m_done) {
            FD_ZERO(&ready);
            FD_SET(s, &ready);
            timeval poll{0, 20000};
            if (select(0, &ready, nullptr, nullptr, &poll) == 1 &&
                recv(s, buffer, sizeof buffer, 0) <= 0) {
                break;
            }
        }
        closesocket(s);
    }

    int m_port = 0;
    SOCKET m_listener;
    std::string m_request;
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

TEST(WinHttpConnection, ReturnsAnswersAndRaisesFailuresWithTheirCause) {
    const struct {
        const char* name;
        const char* reply;  // nullptr: nothing listens
        milliseconds deadline;
        int status;
        const char* body;
        long error;
        const char* says;
    } cases[] = {
        {"an answer", "HTTP/1.1 200 OK\r\nContent-Length: 15\r\n\r\n{\"result\":true}",
         milliseconds(10000), 200, "{\"result\":true}", 0, ""},
        {"a failure of the service",
         "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 2\r\n\r\n{}", milliseconds(10000),
         500, "{}", 0, ""},
        {"nothing listening", nullptr, milliseconds(10000), 0, "", errc::CannotConnect,
         "cannot connect to here"},
        {"an oversize answer", "HTTP/1.1 200 OK\r\nContent-Length: 5000000\r\n\r\n{",
         milliseconds(10000), 0, "", errc::ProviderError, "is larger than 4 MB: not the protocol"},
        {"an answer that stalls", "HTTP/1.1 200 OK\r\nContent-Length: 15\r\n\r\n{\"res",
         milliseconds(300), 0, "", errc::Timeout, "no complete answer from here within 0.3 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<Responder> responder;
        int port = 0;
        if (c.reply) {
            port = responder.emplace(c.reply).port();
        } else {
            closesocket(listenOnLoopback(port));
        }
        {
            const auto connection = openHttpConnection(
                false, "127.0.0.1", port, CallTimeouts{milliseconds(5000), c.deadline}, "");
            try {
                const HttpAnswer answer = connection->post("/rds/lumora.demon/putcard",
                                                           "application/json", "[1,2]", "here");
                EXPECT_EQ(c.error, 0);
                EXPECT_EQ(answer.status, c.status);
                EXPECT_EQ(answer.body, c.body);
            } catch (const Error& e) {
                EXPECT_EQ(e.number(), c.error) << e.description();
                EXPECT_NE(e.description().find(c.says), std::string::npos) << e.description();
            }
        }
        if (responder) {
            const std::string& request = responder->finish();
            EXPECT_EQ(request.rfind("POST /rds/lumora.demon/putcard HTTP/1.1\r\n", 0), 0u)
                << request;
            EXPECT_NE(request.find("\r\nContent-Type: application/json\r\n"), std::string::npos);
            EXPECT_TRUE(request.ends_with("\r\n\r\n[1,2]")) << request;
        }
    }
}

}  // namespace
}  // namespace veldon
