#include "platform/netsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/error.h"

namespace veldon::net {

namespace {

[[noreturn]] void fail(const std::string& what, int cause) {
    throw Error(errc::PermissionDenied, what + ": " + std::strerror(cause));
}

std::string addressText(const sockaddr_storage& addr) {
    char text[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, text, sizeof text);
    } else if (addr.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr, text,
                  sizeof text);
    }
    return text;
}

std::uint32_t interest(bool read, bool write) {
    return (read ? EPOLLIN | EPOLLRDHUP : 0u) | (write ? EPOLLOUT : 0u);
}

}  // namespace

int listenTcp(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string where = host + ":" + std::to_string(port);
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        throw Error(errc::PermissionDenied,
                    "the central service cannot listen on " + where + ": " + gai_strerror(rc));
    }
    int cause = 0;
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            cause = errno;
            continue;
        }
        const int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
            cause = errno;
            ::close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) {
        fail("the central service cannot listen on " + where, cause);
    }
    return fd;
}

int boundPort(int fd) {
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        return 0;
    }
    if (addr.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
}

AcceptResult acceptOne(int listening, Accepted& out) {
    for (;;) {
        sockaddr_storage addr{};
        socklen_t length = sizeof addr;
        const int fd = ::accept4(listening, reinterpret_cast<sockaddr*>(&addr), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            const int yes = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            out.fd = fd;
            out.address = addressText(addr);
            return AcceptResult::Accepted;
        }
        switch (errno) {
            case EINTR:
            case ECONNABORTED:
            case EPROTO:
                continue;  // that connection is gone already; take the next
            case EMFILE:
            case ENFILE:
            case ENOBUFS:
            case ENOMEM:
                return AcceptResult::OutOfDescriptors;
            default:
                return AcceptResult::None;
        }
    }
}

long readSome(int fd, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, size, 0);
        if (n >= 0) {
            return static_cast<long>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : kFailed;
    }
}

long writeSome(int fd, const char* data, std::size_t size) {
    for (;;) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n >= 0) {
            return static_cast<long>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : kFailed;
    }
}

void shutdownWrite(int fd) {
    ::shutdown(fd, SHUT_WR);
}

void closeSocket(int fd) {
    if (fd >= 0) {
        ::close(fd);
    }
}

Poller::Poller() {
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_epoll < 0 || m_wakeFd < 0) {
        const int cause = errno;
        closeSocket(m_epoll);
        closeSocket(m_wakeFd);
        fail("cannot create a poller", cause);
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = UINT64_MAX;
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wakeFd, &ev);
}

Poller::~Poller() {
    ::close(m_wakeFd);
    ::close(m_epoll);
}

void Poller::add(int fd, std::uint64_t token, bool read, bool write) {
    epoll_event ev{};
    ev.events = interest(read, write);
    ev.data.u64 = token;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) != 0) {
        fail("cannot watch a socket", errno);
    }
}

void Poller::modify(int fd, std::uint64_t token, bool read, bool write) {
    epoll_event ev{};
    ev.events = interest(read, write);
    ev.data.u64 = token;
    epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &ev);
}

void Poller::remove(int fd) {
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
}

void Poller::wait(int timeoutMs, std::vector<Event>& events) {
    epoll_event ready[256];
    const int n = epoll_wait(m_epoll, ready, 256, timeoutMs);
    for (int i = 0; i < n; ++i) {
        if (ready[i].data.u64 == UINT64_MAX) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t r = ::read(m_wakeFd, &count, sizeof count);
            continue;
        }
        const std::uint32_t e = ready[i].events;
        events.push_back({ready[i].data.u64, (e & EPOLLIN) != 0, (e & EPOLLOUT) != 0,
                          (e & (EPOLLERR | EPOLLHUP)) != 0});
    }
}

void Poller::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t r = ::write(m_wakeFd, &one, sizeof one);
}

}  // namespace veldon::net
