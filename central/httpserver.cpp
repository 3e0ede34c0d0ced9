#include "central/httpserver.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "central/tls.h"
#include "platform/asciitext.h"
#include "platform/error.h"
#include "platform/netsocket.h"
#include "platform/serverprocess.h"

namespace veldon::central {

namespace {

using Clock = std::chrono::steady_clock;

// How often deadlines are looked at; they are kept to within this.
constexpr auto kSweepEvery = std::chrono::milliseconds(100);
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kMaxHeaderLines = 100;
// Descriptors kept back from connections for the store, logs and the listening socket.
constexpr std::size_t kSpareDescriptors = 64;
// After a refusal the client may still be sending its request. Closing at once would reset the
// connection and could destroy the answer before the client reads it, so what it sends is read
// and dropped for a moment first.
constexpr auto kDrainTime = std::chrono::seconds(2);
constexpr std::size_t kDrainBytes = 1024 * 1024;
// While no descriptor is left for a new connection, the listening socket rests this long.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

const char* reasonPhrase(int status) {
    switch (status) {
        case 100:
            return "Continue";
        case 200:
            return "OK";
        case 303:
            return "See Other";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 411:
            return "Length Required";
        case 413:
            return "Payload Too Large";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 503:
            return "Service Unavailable";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Unknown";
    }
}

std::string serialise(const HttpResponse& response, bool keepAlive) {
    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " +
                      reasonPhrase(response.status) + "\r\n";
    if (!response.contentType.empty()) {
        out += "Content-Type: " + response.contentType + "\r\n";
    }
    for (const auto& [name, value] : response.headers) {
        if (name.find_first_of("\r\n:") == std::string::npos &&
            value.find_first_of("\r\n") == std::string::npos) {
            out += name + ": " + value + "\r\n";
        }
    }
    out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    out += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    out += response.body;
    return out;
}

// Memory drawn by the requests in flight, in all and per client address.
class MemoryBudget {
public:
    MemoryBudget(std::size_t total, std::size_t perAddress)
        : m_total(total), m_perAddress(perAddress) {}

    bool reserve(const std::string& address, std::size_t bytes) {
        std::lock_guard lock(m_mutex);
        std::size_t& mine = m_byAddress[address];
        if (bytes > m_total - m_used || bytes > m_perAddress - mine) {
            if (mine == 0) {
                m_byAddress.erase(address);
            }
            return false;
        }
        m_used += bytes;
        mine += bytes;
        return true;
    }
    void release(const std::string& address, std::size_t bytes) {
        std::lock_guard lock(m_mutex);
        auto it = m_byAddress.find(address);
        if (it == m_byAddress.end()) {
            return;
        }
        const std::size_t given = std::min(bytes, it->second);
        it->second -= given;
        m_used -= given;
        if (it->second == 0) {
            m_byAddress.erase(it);
        }
    }

private:
    std::mutex m_mutex;
    const std::size_t m_total;
    const std::size_t m_perAddress;
    std::size_t m_used = 0;
    std::map<std::string, std::size_t> m_byAddress;
};

// What one request holds of the budget; given back when it is destroyed.
class Charge {
public:
    Charge(MemoryBudget& budget, std::string address)
        : m_budget(budget), m_address(std::move(address)) {}
    ~Charge() { m_budget.release(m_address, m_bytes); }
    Charge(const Charge&) = delete;
    Charge& operator=(const Charge&) = delete;

    bool draw(std::size_t bytes) {
        std::lock_guard lock(m_mutex);
        if (!m_budget.reserve(m_address, bytes)) {
            return false;
        }
        m_bytes += bytes;
        return true;
    }

private:
    MemoryBudget& m_budget;
    const std::string m_address;
    std::mutex m_mutex;
    std::size_t m_bytes = 0;
};

enum class Phase {
    Idle,      // between requests, nothing of the next one read yet
    Head,      // reading the request line and header fields
    Body,      // reading the body
    Handling,  // a worker has the request
    Writing,   // sending the answer
    Draining,  // refused: what the client still sends is read and dropped for a moment
};

struct Connection {
    int fd = -1;
    std::string address;
    Phase phase = Phase::Idle;
    Clock::time_point deadline;
    bool peerGone = false;  // hung up while its request was being handled
    bool eof = false;       // the peer will send nothing more
    std::string in;         // bytes received and not yet taken
    // The request being read.
    std::string method;
    std::string target;
    HttpHeaders headers;
    std::size_t contentLength = 0;
    bool keepAlive = true;
    std::shared_ptr<Charge> charge;
    // The answer being written.
    std::string out;
    std::size_t written = 0;
    std::size_t drained = 0;
    // HTTPS only: the connection's TLS state, and what it must send while a request is read
    // (handshake messages) that the socket did not take at once.
    std::unique_ptr<TlsSession> tls;
    std::string tlsOut;
};

struct Job {
    std::uint64_t id;
    bool large;
    HttpRequest request;
    std::shared_ptr<Charge> charge;
};

struct Done {
    std::uint64_t id;
    HttpResponse response;
};

// The parsed head of a request, or the refusal it earns.
struct Head {
    std::string method;
    std::string target;
    HttpHeaders headers;
    std::size_t contentLength = 0;
    bool keepAlive = true;
    bool expectContinue = false;
};
struct HeadRefusal {
    int status;
    std::string description;
};

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

std::optional<HeadRefusal> parseHead(std::string_view text, Head& head) {
    std::size_t lineEnd = text.find("\r\n");
    const std::string_view requestLine = text.substr(0, lineEnd);
    const std::size_t sp1 = requestLine.find(' ');
    const std::size_t sp2 = requestLine.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1 || sp1 == 0) {
        return HeadRefusal{400, "the request line is not of the form METHOD TARGET HTTP/1.x"};
    }
    head.method = std::string(requestLine.substr(0, sp1));
    head.target = std::string(requestLine.substr(sp1 + 1, sp2 - sp1 - 1));
    const std::string_view version = requestLine.substr(sp2 + 1);
    if (version == "HTTP/1.0") {
        head.keepAlive = false;
    } else if (version != "HTTP/1.1") {
        return HeadRefusal{505, "only HTTP/1.0 and HTTP/1.1 are spoken here"};
    }
    bool lengthSeen = false;
    std::size_t lines = 0;
    while (lineEnd != std::string_view::npos && lineEnd + 2 < text.size()) {
        const std::size_t start = lineEnd + 2;
        lineEnd = text.find("\r\n", start);
        const std::string_view line =
            text.substr(start, lineEnd == std::string_view::npos ? text.npos : lineEnd - start);
        if (line.empty()) {
            break;
        }
        if (++lines > kMaxHeaderLines) {
            return HeadRefusal{431, "the request has more than 100 header fields"};
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0 || line.front() == ' ' ||
            line.front() == '\t') {
            return HeadRefusal{400, "a header field is malformed"};
        }
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trimmed(line.substr(colon + 1));
        head.headers.emplace_back(name, value);
        if (equalsIgnoringAsciiCase(name, "Content-Length")) {
            std::size_t length = 0;
            const auto [end, ec] =
                std::from_chars(value.data(), value.data() + value.size(), length);
            if (ec != std::errc() || end != value.data() + value.size() || value.empty() ||
                (lengthSeen && length != head.contentLength)) {
                return HeadRefusal{400, "the Content-Length is malformed"};
            }
            lengthSeen = true;
            head.contentLength = length;
        } else if (equalsIgnoringAsciiCase(name, "Transfer-Encoding")) {
            return HeadRefusal{501,
                               "chunked or encoded bodies are not accepted: send Content-Length"};
        } else if (equalsIgnoringAsciiCase(name, "Connection")) {
            if (equalsIgnoringAsciiCase(value, "close")) {
                head.keepAlive = false;
            } else if (equalsIgnoringAsciiCase(value, "keep-alive")) {
                head.keepAlive = true;
            }
        } else if (equalsIgnoringAsciiCase(name, "Expect")) {
            head.expectContinue = equalsIgnoringAsciiCase(value, "100-continue");
        }
    }
    if (head.method != "POST" && head.method != "GET") {
        return HeadRefusal{405, "nothing answers " + head.method +
                                    " here: calls are POST requests, pages GET requests"};
    }
    if (!lengthSeen && head.method == "POST") {
        return HeadRefusal{411, "the request names no Content-Length"};
    }
    return std::nullopt;
}

}  // namespace

std::string HttpRequest::header(std::string_view name) const {
    for (const auto& [n, value] : headers) {
        if (equalsIgnoringAsciiCase(n, name)) {
            return value;
        }
    }
    return {};
}

struct HttpServer::Impl {
    explicit Impl(HttpServerConfig c)
        : config(std::move(c)), budget(config.limits.memoryBudget, config.limits.addressMemory) {}

    HttpServerConfig config;
    MemoryBudget budget;
    std::unique_ptr<TlsContext> tlsContext;  // serving HTTPS
    std::mutex startStop;
    bool started = false;
    int listening = -1;
    std::size_t maxConnections = 0;

    std::unique_ptr<net::Poller> poller;
    std::thread loopThread;
    std::vector<std::thread> workers;
    std::atomic<bool> stopping{false};

    // Owned by the loop thread.
    std::unordered_map<std::uint64_t, Connection> connections;
    std::unordered_map<std::string, std::size_t> perAddress;
    std::uint64_t nextId = 1;
    std::optional<Clock::time_point> acceptResumes;

    // Loop thread to workers.
    std::mutex jobsMutex;
    std::condition_variable jobsReady;
    std::deque<Job> jobs;
    std::size_t largeRunning = 0;
    bool workersStop = false;
    // Workers to loop thread.
    std::mutex doneMutex;
    std::vector<Done> done;

    HttpResponse refusalAnswer(const HttpRefusal& refusal) const {
        HttpResponse response;
        if (config.refusal) {
            try {
                response = config.refusal(refusal);
            } catch (...) {
                response = HttpResponse{};
            }
        }
        response.status = refusal.status;
        return response;
    }

    // ---- workers

    // The next job a worker may take: a small one first, a large one only while fewer than
    // `largeWorkers` are at work, so that large bodies never keep the shops' sales waiting.
    std::optional<Job> takeJob() {
        auto it = std::find_if(jobs.begin(), jobs.end(), [](const Job& j) { return !j.large; });
        if (it == jobs.end() && largeRunning < config.limits.largeWorkers) {
            it = jobs.begin();
        }
        if (it == jobs.end()) {
            return std::nullopt;
        }
        Job job = std::move(*it);
        jobs.erase(it);
        largeRunning += job.large ? 1 : 0;
        return job;
    }

    void work() {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(jobsMutex);
                std::optional<Job> next;
                jobsReady.wait(lock, [&] { return workersStop || (next = takeJob()); });
                if (!next) {
                    return;
                }
                job = std::move(*next);
            }
            HttpResponse response;
            try {
                response = config.handler(job.request);
            } catch (const std::exception& e) {
                response =
                    refusalAnswer({job.request.client, job.request.method, job.request.target, 500,
                                   std::string("the service failed on this call: ") + e.what()});
            }
            // The body and what was decoded from it are gone: give their memory back now.
            job.request = HttpRequest{};
            job.charge.reset();
            if (job.large) {
                {
                    std::lock_guard lock(jobsMutex);
                    --largeRunning;
                }
                jobsReady.notify_all();
            }
            {
                std::lock_guard lock(doneMutex);
                done.push_back({job.id, std::move(response)});
            }
            poller->wake();
        }
    }

    // ---- the loop thread

    void watch(std::uint64_t id, Connection& c, bool read, bool write) {
        // A worker's answer takes the pending TLS bytes along (wireBytes).
        poller->modify(c.fd, id, read, write || (!c.tlsOut.empty() && c.phase != Phase::Handling));
    }

    // Sends what the TLS session has to say of itself, as far as the socket takes it; the rest
    // waits for the socket to be writable. False when the connection was closed.
    bool flushTls(std::uint64_t id, Connection& c) {
        const bool waiting = !c.tlsOut.empty();
        c.tls->takeOutput(c.tlsOut);
        while (!c.tlsOut.empty()) {
            const long n = net::writeSome(c.fd, c.tlsOut.data(), c.tlsOut.size());
            if (n == net::kWouldBlock) {
                break;
            }
            if (n <= 0) {
                close(id);
                return false;
            }
            c.tlsOut.erase(0, static_cast<std::size_t>(n));
        }
        if (waiting != !c.tlsOut.empty()) {
            watch(id, c, true, false);
        }
        return true;
    }

    // A plain answer as it goes on the wire: encrypted on a TLS connection, after what the
    // session had still to send.
    std::string wireBytes(Connection& c, std::string plain) {
        if (!c.tls) {
            return plain;
        }
        std::string out = std::move(c.tlsOut);
        c.tlsOut.clear();
        c.tls->send(plain, out);
        return out;
    }

    void close(std::uint64_t id) {
        auto it = connections.find(id);
        if (it == connections.end()) {
            return;
        }
        Connection& c = it->second;
        if (!c.peerGone) {
            poller->remove(c.fd);
        }
        net::closeSocket(c.fd);
        if (auto a = perAddress.find(c.address); a != perAddress.end() && --a->second == 0) {
            perAddress.erase(a);
        }
        connections.erase(it);
    }

    // Answers a request the server refuses itself, as far as the socket takes it at once, and
    // closes: a client that sent something unacceptable gets no more of our time.
    void refuse(std::uint64_t id, int status, const std::string& description) {
        Connection& c = connections.at(id);
        const HttpResponse answer = refusalAnswer(
            {c.address, c.method.empty() ? "-" : c.method, c.target, status, description});
        if (c.tls && !c.tls->established()) {
            close(id);  // no secure channel to answer on
            return;
        }
        const std::string out = wireBytes(c, serialise(answer, false));
        net::writeSome(c.fd, out.data(), out.size());
        net::shutdownWrite(c.fd);
        c.phase = Phase::Draining;
        c.deadline = Clock::now() + kDrainTime;
        c.charge.reset();
        c.in = std::string();
        watch(id, c, true, false);
    }

    // Reads and drops what a refused client still sends; closes at its end or when it sent enough.
    void drain(std::uint64_t id, Connection& c) {
        char buffer[kReadChunk];
        for (;;) {
            const long n = net::readSome(c.fd, buffer, sizeof buffer);
            if (n == net::kWouldBlock) {
                return;
            }
            if (n <= 0 || (c.drained += static_cast<std::size_t>(n)) > kDrainBytes) {
                close(id);
                return;
            }
        }
    }

    void refuseSocket(int fd, const std::string& address, int status,
                      const std::string& description) {
        const std::string out =
            serialise(refusalAnswer({address, "-", "", status, description}), false);
        // Over HTTPS the answer could be sent only after a handshake: the refused client just
        // sees its connection closed.
        if (!tlsContext) {
            net::writeSome(fd, out.data(), out.size());
        }
        net::closeSocket(fd);
    }

    // The idle connection closest to its end, optionally of one address.
    std::optional<std::uint64_t> oldestIdle(const std::string* address) const {
        std::optional<std::uint64_t> found;
        Clock::time_point soonest = Clock::time_point::max();
        for (const auto& [id, c] : connections) {
            if (c.phase == Phase::Idle && c.in.empty() && (!address || c.address == *address) &&
                c.deadline < soonest) {
                soonest = c.deadline;
                found = id;
            }
        }
        return found;
    }

    void acceptAll() {
        for (;;) {
            net::Accepted a;
            const net::AcceptResult result = net::acceptOne(listening, a);
            if (result == net::AcceptResult::OutOfDescriptors) {
                // Make room by closing the idle connection nearest its end, if there is one;
                // else let the waiting connections wait a moment instead of spinning on them.
                if (auto idle = oldestIdle(nullptr)) {
                    close(*idle);
                    continue;
                }
                poller->modify(listening, 0, false, false);
                acceptResumes = Clock::now() + kAcceptPause;
                return;
            }
            if (result != net::AcceptResult::Accepted) {
                return;
            }
            if (perAddress[a.address] >= config.limits.maxConnectionsPerAddress) {
                if (auto idle = oldestIdle(&a.address)) {
                    close(*idle);
                } else {
                    if (perAddress[a.address] == 0) {
                        perAddress.erase(a.address);
                    }
                    refuseSocket(a.fd, a.address, 503,
                                 "the service is busy: this address holds " +
                                     std::to_string(config.limits.maxConnectionsPerAddress) +
                                     " connections already");
                    continue;
                }
            }
            if (connections.size() >= maxConnections) {
                if (auto idle = oldestIdle(nullptr)) {
                    close(*idle);
                } else {
                    if (perAddress[a.address] == 0) {
                        perAddress.erase(a.address);
                    }
                    refuseSocket(a.fd, a.address, 503,
                                 "the service is busy: it holds " + std::to_string(maxConnections) +
                                     " connections already");
                    continue;
                }
            }
            const std::uint64_t id = nextId++;
            Connection& c = connections[id];
            c.fd = a.fd;
            c.address = a.address;
            if (tlsContext) {
                c.tls = std::make_unique<TlsSession>(*tlsContext);
            }
            ++perAddress[a.address];
            // A new connection gets an idle one's time to begin its request.
            c.deadline = Clock::now() + config.limits.idleTime;
            poller->add(c.fd, id, true, false);
        }
    }

    // Reads what the socket holds; false when the connection was closed.
    bool receive(std::uint64_t id, Connection& c) {
        char buffer[kReadChunk];
        for (;;) {
            // Never buffer more than the part of the request being read still needs.
            std::size_t room = kReadChunk;
            if (c.phase == Phase::Body) {
                room = std::min(room, c.contentLength - std::min(c.contentLength, c.in.size()));
                if (room == 0) {
                    return true;
                }
            } else if (c.in.size() >= config.limits.maxHeadBytes) {
                return true;
            }
            const long n = net::readSome(c.fd, buffer, room);
            if (n == net::kWouldBlock) {
                return true;
            }
            if (n == net::kFailed) {
                close(id);
                return false;
            }
            if (n == 0) {
                c.eof = true;
                return true;
            }
            if (c.phase == Phase::Idle) {
                c.phase = Phase::Head;
                c.deadline = Clock::now() + config.limits.requestTime;
            }
            if (c.tls) {
                // The plain text is never longer than the records it came in, so `room` holds.
                if (!c.tls->receive(buffer, static_cast<std::size_t>(n), c.in)) {
                    refusalAnswer({c.address, "-", "", 400, c.tls->error()});  // for the log
                    close(id);
                    return false;
                }
                if (!flushTls(id, c)) {
                    return false;
                }
                c.eof = c.eof || c.tls->closed();
            } else {
                c.in.append(buffer, static_cast<std::size_t>(n));
            }
            if (static_cast<std::size_t>(n) < room) {
                return true;
            }
        }
    }

    // Moves a connection on with what it has received; false when it was closed.
    bool advance(std::uint64_t id) {
        Connection& c = connections.at(id);
        if (c.phase == Phase::Idle && !c.in.empty()) {
            c.phase = Phase::Head;
            c.deadline = Clock::now() + config.limits.requestTime;
        }
        if (c.phase == Phase::Head) {
            const std::size_t end = c.in.find("\r\n\r\n");
            if (end == std::string::npos) {
                if (c.in.size() >= config.limits.maxHeadBytes) {
                    refuse(id, 431,
                           "the request line and header fields exceed " +
                               std::to_string(config.limits.maxHeadBytes) + " bytes");
                    return false;
                }
                if (c.eof) {
                    close(id);
                    return false;
                }
                return true;
            }
            if (end + 4 > config.limits.maxHeadBytes) {
                refuse(id, 431,
                       "the request line and header fields exceed " +
                           std::to_string(config.limits.maxHeadBytes) + " bytes");
                return false;
            }
            Head head;
            const auto refusal = parseHead(std::string_view(c.in).substr(0, end + 2), head);
            c.method = head.method;
            c.target = head.target;
            c.headers = std::move(head.headers);
            if (refusal) {
                refuse(id, refusal->status, refusal->description);
                return false;
            }
            if (head.contentLength > config.limits.maxBodyBytes) {
                refuse(id, 413,
                       "the request body of " + std::to_string(head.contentLength) +
                           " bytes exceeds the limit of " +
                           std::to_string(config.limits.maxBodyBytes) + " bytes");
                return false;
            }
            c.charge = std::make_shared<Charge>(budget, c.address);
            if (!c.charge->draw(head.contentLength)) {
                refuse(id, 503,
                       "the service is short of memory for a body of " +
                           std::to_string(head.contentLength) + " bytes: try again later");
                return false;
            }
            c.contentLength = head.contentLength;
            c.keepAlive = head.keepAlive;
            c.in.erase(0, end + 4);
            c.in.reserve(c.contentLength);
            c.phase = Phase::Body;
            if (head.expectContinue && c.in.size() < c.contentLength) {
                static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
                if (c.tls) {
                    c.tls->send(kContinue, c.tlsOut);
                    if (!flushTls(id, c)) {
                        return false;
                    }
                } else {
                    net::writeSome(c.fd, kContinue.data(), kContinue.size());
                }
            }
        }
        if (c.phase == Phase::Body) {
            if (c.in.size() < c.contentLength) {
                if (c.eof) {
                    close(id);
                    return false;
                }
                return true;
            }
            Job job{id, c.contentLength >= config.limits.largeBodyBytes, {}, std::move(c.charge)};
            job.request.method = std::move(c.method);
            job.request.target = std::move(c.target);
            job.request.headers = std::move(c.headers);
            c.headers.clear();
            job.request.client = c.address;
            if (c.in.size() == c.contentLength) {
                job.request.body = std::move(c.in);
                c.in.clear();
            } else {
                job.request.body = c.in.substr(0, c.contentLength);
                c.in.erase(0, c.contentLength);
            }
            job.request.reserve = [charge = job.charge](std::size_t bytes) {
                return charge->draw(bytes);
            };
            if (c.eof) {
                c.keepAlive = false;
            }
            c.phase = Phase::Handling;
            watch(id, c, false, false);
            {
                std::lock_guard lock(jobsMutex);
                jobs.push_back(std::move(job));
            }
            jobsReady.notify_one();
            return true;
        }
        if (c.phase == Phase::Idle && c.eof) {
            close(id);
            return false;
        }
        return true;
    }

    // Writes what the socket takes of the answer; false when the connection was closed.
    bool send(std::uint64_t id, Connection& c) {
        while (c.written < c.out.size()) {
            const long n = net::writeSome(c.fd, c.out.data() + c.written, c.out.size() - c.written);
            if (n == net::kWouldBlock) {
                watch(id, c, false, true);
                return true;
            }
            if (n <= 0) {
                close(id);
                return false;
            }
            c.written += static_cast<std::size_t>(n);
        }
        if (!c.keepAlive || stopping) {
            close(id);
            return false;
        }
        c.out = std::string();
        c.written = 0;
        c.phase = Phase::Idle;
        c.deadline = Clock::now() + config.limits.idleTime;
        watch(id, c, true, false);
        return advance(id);  // a request may have come in behind the last one
    }

    void finish(Done& d) {
        auto it = connections.find(d.id);
        if (it == connections.end()) {
            return;
        }
        Connection& c = it->second;
        if (c.peerGone) {
            close(d.id);
            return;
        }
        c.out = wireBytes(c, serialise(d.response, c.keepAlive && !stopping));
        c.written = 0;
        c.phase = Phase::Writing;
        c.deadline = Clock::now() + config.limits.writeTime;
        send(d.id, c);
    }

    void onEvent(const net::Poller::Event& e) {
        auto it = connections.find(e.token);
        if (it == connections.end()) {
            return;
        }
        Connection& c = it->second;
        if (c.phase == Phase::Handling) {
            if (e.hangup) {
                // Keep the record until the worker is done; the socket is of no more use.
                poller->remove(c.fd);
                c.peerGone = true;
            }
            return;
        }
        if (c.phase == Phase::Draining) {
            drain(e.token, c);
            return;
        }
        if (c.phase == Phase::Writing) {
            if (e.hangup) {
                close(e.token);
            } else if (e.writable) {
                send(e.token, c);
            }
            return;
        }
        if (e.writable && !c.tlsOut.empty() && !flushTls(e.token, c)) {
            return;
        }
        if (e.readable || e.hangup) {
            if (receive(e.token, c)) {
                advance(e.token);
            }
        }
    }

    void sweep(Clock::time_point now) {
        std::vector<std::pair<std::uint64_t, Phase>> expired;
        for (const auto& [id, c] : connections) {
            if (c.phase != Phase::Handling && c.deadline <= now) {
                expired.emplace_back(id, c.phase);
            }
        }
        for (const auto& [id, phase] : expired) {
            if (phase == Phase::Head || phase == Phase::Body) {
                refuse(id, 408,
                       "the request did not arrive whole within " +
                           std::to_string(config.limits.requestTime.count() / 1000) + " s");
            } else {
                close(id);
            }
        }
    }

    bool busy() const {
        return std::any_of(connections.begin(), connections.end(), [](const auto& entry) {
            return entry.second.phase != Phase::Idle && entry.second.phase != Phase::Draining;
        });
    }

    void loop() {
        std::vector<net::Poller::Event> events;
        Clock::time_point nextSweep = Clock::now() + kSweepEvery;
        bool listeningClosed = false;
        for (;;) {
            if (stopping && !listeningClosed) {
                poller->remove(listening);
                net::closeSocket(listening);
                listening = -1;
                listeningClosed = true;
                // Idle connections are closed; a request that has begun to arrive is still read
                // (within its deadline) and answered.
                std::vector<std::uint64_t> quiet;
                for (const auto& [id, c] : connections) {
                    if (c.phase == Phase::Idle || c.phase == Phase::Draining) {
                        quiet.push_back(id);
                    }
                }
                for (const std::uint64_t id : quiet) {
                    close(id);
                }
            }
            if (listeningClosed && !busy()) {
                break;
            }
            events.clear();
            poller->wait(static_cast<int>(kSweepEvery.count()), events);
            for (const auto& e : events) {
                if (e.token == 0) {
                    if (!listeningClosed) {
                        acceptAll();
                    }
                } else {
                    onEvent(e);
                }
            }
            std::vector<Done> finished;
            {
                std::lock_guard lock(doneMutex);
                finished.swap(done);
            }
            for (Done& d : finished) {
                finish(d);
            }
            const auto now = Clock::now();
            if (acceptResumes && now >= *acceptResumes && !listeningClosed) {
                acceptResumes.reset();
                poller->modify(listening, 0, true, false);
            }
            if (now >= nextSweep) {
                sweep(now);
                nextSweep = now + kSweepEvery;
            }
        }
        std::vector<std::uint64_t> rest;
        for (const auto& entry : connections) {
            rest.push_back(entry.first);
        }
        for (const std::uint64_t id : rest) {
            close(id);
        }
    }
};

HttpServer::HttpServer(HttpServerConfig config)
    : m_impl(std::make_unique<Impl>(std::move(config))) {}

HttpServer::~HttpServer() {
    stop();
}

int HttpServer::start() {
    Impl& d = *m_impl;
    std::lock_guard lock(d.startStop);
    if (d.started) {
        throw Error(errc::InvalidProcedureCall, "the HTTP server was started already");
    }
    if (!d.config.tlsCertificateFile.empty() || !d.config.tlsKeyFile.empty()) {
        d.tlsContext =
            std::make_unique<TlsContext>(d.config.tlsCertificateFile, d.config.tlsKeyFile);
    }
    const std::size_t files = raiseOpenFileLimit();
    d.maxConnections =
        std::min(d.config.limits.maxConnections,
                 files > kSpareDescriptors * 2 ? files - kSpareDescriptors : kSpareDescriptors);
    d.poller = std::make_unique<net::Poller>();
    d.listening = net::listenTcp(d.config.host, d.config.port);
    const int port = net::boundPort(d.listening);
    d.poller->add(d.listening, 0, true, false);
    d.started = true;
    const std::size_t workers = std::max<std::size_t>(1, d.config.limits.workers);
    for (std::size_t i = 0; i < workers; ++i) {
        d.workers.emplace_back([&d] { d.work(); });
    }
    d.loopThread = std::thread([&d] { d.loop(); });
    return port;
}

void HttpServer::stop() {
    Impl& d = *m_impl;
    std::lock_guard lock(d.startStop);
    if (!d.loopThread.joinable()) {
        return;
    }
    d.stopping = true;
    d.poller->wake();
    d.loopThread.join();
    {
        std::lock_guard jobsLock(d.jobsMutex);
        d.workersStop = true;
    }
    d.jobsReady.notify_all();
    for (std::thread& t : d.workers) {
        t.join();
    }
    d.workers.clear();
}

}  // namespace veldon::central
