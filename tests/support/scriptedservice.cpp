#include "tests/support/scriptedservice.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace veldon::test {

namespace {

// Reads one request (headers and a Content-Length body); false at the end of the connection.
bool readRequest(int fd, const std::atomic<bool>& stopping, std::string& buffer,
                 ScriptedService::Call& call) {
    auto fill = [&] {
        for (;;) {
            if (stopping) {
                return false;
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) {
                continue;
            }
            char chunk[65536];
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return false;
            }
            buffer.append(chunk, static_cast<std::size_t>(n));
            return true;
        }
    };
    std::size_t headerEnd;
    while ((headerEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (!fill()) {
            return false;
        }
    }
    const std::string head = buffer.substr(0, headerEnd);
    const std::size_t pathStart = head.find(' ') + 1;
    call.path = head.substr(pathStart, head.find(' ', pathStart) - pathStart);
    std::size_t length = 0;
    for (const char* name : {"Content-Length: ", "content-length: "}) {
        if (std::size_t at = head.find(name); at != std::string::npos) {
            length = std::strtoul(head.c_str() + at + 16, nullptr, 10);
        }
    }
    while (buffer.size() < headerEnd + 4 + length) {
        if (!fill()) {
            return false;
        }
    }
    call.body = buffer.substr(headerEnd + 4, length);
    buffer.erase(0, headerEnd + 4 + length);
    return true;
}

}  // namespace

ScriptedService::ScriptedService(Script script) : m_script(std::move(script)) {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(m_listener, 16) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        throw std::runtime_error("the scripted service cannot listen on 127.0.0.1");
    }
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { acceptLoop(); });
}

ScriptedService::~ScriptedService() {
    m_stopping = true;
    m_acceptor.join();
    {
        std::lock_guard lock(m_mutex);
        for (int fd : m_fds) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    for (std::thread& t : m_connections) {
        t.join();
    }
    for (int fd : m_fds) {
        ::close(fd);
    }
    ::close(m_listener);
}

void ScriptedService::acceptLoop() {
    while (!m_stopping) {
        pollfd p{m_listener, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::lock_guard lock(m_mutex);
        m_fds.push_back(fd);
        m_connections.emplace_back([this, fd] { serve(fd); });
    }
}

void ScriptedService::serve(int fd) {
    std::string buffer;
    Call call;
    Connection out(fd, m_stopping);
    while (readRequest(fd, m_stopping, buffer, call)) {
        ++m_calls;
        if (!m_script(call, out)) {
            break;
        }
    }
    ::shutdown(fd, SHUT_RDWR);
    // The descriptor is closed with the service, so that shutting it down never hits a reused one.
}

std::string ScriptedService::answer(const std::string& body, int status) {
    return "HTTP/1.1 " + std::to_string(status) +
           " Scripted\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string ScriptedService::uploadAnswer(bool result, int replyIndex, const std::string& reply) {
    std::string body = std::string("{\"result\":") + (result ? "true" : "false");
    if (replyIndex >= 0) {
        body += ",\"byref\":{\"" + std::to_string(replyIndex) + "\":\"" + reply + "\"}";
    }
    return answer(body + "}");
}

bool ScriptedService::Connection::write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool ScriptedService::Connection::wait(std::chrono::milliseconds time) {
    const auto end = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < end) {
        if (m_stopping) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !m_stopping;
}

}  // namespace veldon::test
