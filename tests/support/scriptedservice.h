// A stand-in for the central service on 127.0.0.1 that answers every call as the test scripts it,
// byte by byte if need be: slow, dripping, oversized, cut off or not the protocol at all. Each
// connection is served on a thread of its own and may carry several calls (keep-alive).
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace veldon::test {

class ScriptedService {
public:
    // One call as it arrived.
    struct Call {
        std::string path;  // "/rds/lumora.demon/PutPSM13_SIN"
        std::string body;
    };
    // What the service does with a call: writes to `out` whatever it likes. Returning false
    // closes the connection.
    class Connection;
    using Script = std::function<bool(const Call&, Connection& out)>;

    explicit ScriptedService(Script script);
    ~ScriptedService();
    ScriptedService(const ScriptedService&) = delete;
    ScriptedService& operator=(const ScriptedService&) = delete;

    std::string server() const { return "127.0.0.1:" + std::to_string(m_port); }
    int calls() const { return m_calls; }

    // A complete HTTP answer with `body`.
    static std::string answer(const std::string& body, int status = 200);
    // The protocol's answer of an upload: {"result": true|false, "byref": {index: reply}}.
    static std::string uploadAnswer(bool result, int replyIndex = -1,
                                    const std::string& reply = {});

private:
    void acceptLoop();
    void serve(int fd);

    Script m_script;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_calls{0};
    std::thread m_acceptor;
    std::mutex m_mutex;
    std::vector<std::thread> m_connections;
    std::vector<int> m_fds;
};

class ScriptedService::Connection {
public:
    Connection(int fd, const std::atomic<bool>& stopping) : m_fd(fd), m_stopping(stopping) {}
    // Writes all of `bytes`; false once the peer is gone.
    bool write(const std::string& bytes);
    // Waits, cut short when the service stops; false then.
    bool wait(std::chrono::milliseconds time);

private:
    int m_fd;
    const std::atomic<bool>& m_stopping;
};

}  // namespace veldon::test
