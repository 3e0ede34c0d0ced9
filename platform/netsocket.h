// Non-blocking TCP sockets and a readiness poller, for servers that must hold many slow or idle
// connections without a thread each. Linux (epoll); the central service is the only user and
// runs on Linux.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veldon::net {

// Listens on host:port (port 0: any free port) with SO_REUSEADDR but not SO_REUSEPORT, so a
// second service on the same port fails instead of silently sharing the calls. Returns the
// non-blocking socket; raises veldon::Error when the address cannot be bound.
int listenTcp(const std::string& host, int port);
int boundPort(int fd);

struct Accepted {
    int fd = -1;
    std::string address;  // the peer's IP address as text
};
enum class AcceptResult { Accepted, None, OutOfDescriptors };
// Takes one waiting connection, non-blocking with TCP_NODELAY.
AcceptResult acceptOne(int listening, Accepted& out);

// Bytes read (> 0); 0 when the peer closed; kWouldBlock when nothing is there yet; kFailed on a
// reset or other error.
constexpr long kWouldBlock = -1;
constexpr long kFailed = -2;
long readSome(int fd, char* buffer, std::size_t size);
long writeSome(int fd, const char* data, std::size_t size);
void closeSocket(int fd);
// Ends the sending side: the peer reads what was sent, then the end of the stream.
void shutdownWrite(int fd);

// Edge-free (level-triggered) readiness of many sockets; `token` comes back with each event.
class Poller {
public:
    Poller();
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    struct Event {
        std::uint64_t token;
        bool readable;
        bool writable;
        bool hangup;  // error or hang-up: the socket is done
    };
    void add(int fd, std::uint64_t token, bool read, bool write);
    void modify(int fd, std::uint64_t token, bool read, bool write);
    void remove(int fd);
    // Waits up to `timeoutMs` (-1: for ever) for events or a wake(); appends them to `events`.
    void wait(int timeoutMs, std::vector<Event>& events);
    // Makes a wait() on another thread return; safe from any thread.
    void wake();

private:
    int m_epoll = -1;
    int m_wakeFd = -1;
};

}  // namespace veldon::net
