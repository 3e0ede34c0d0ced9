// A small HTTP/1.1 server that stays up for honest clients whatever a few others do.
//
// One thread watches every connection (platform/netsocket's poller) and reads requests as their
// bytes arrive; only a request that has arrived whole goes to a worker thread. So a connection
// that idles between calls, or drips its request a byte at a time, holds a socket and a few
// kilobytes but never a worker. What a connection may cost is bounded:
//   - time: a request must arrive whole within `requestTime` of its first byte, however slowly
//     its bytes come; a connection idle for `idleTime` between requests is closed; an answer the
//     client does not take within `writeTime` is dropped;
//   - memory: request bodies and what the handler decodes from them draw on one budget
//     (`memoryBudget`), of which one client address may hold at most `addressMemory`; a body is
//     charged in full before its first byte is read, so a request that does not fit is refused
//     (503) at once instead of being read;
//   - count: at most `maxConnections` in all and `maxConnectionsPerAddress` from one address;
//     a new connection beyond them first closes an idle one, else it is refused (503).
// Requests are POST (which must name its length, Content-Length; chunked bodies are not
// accepted) or GET.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veldon::central {

struct HttpLimits {
    std::size_t maxHeadBytes = 16 * 1024;
    std::size_t maxBodyBytes = 32 * 1024 * 1024;
    std::size_t memoryBudget = 256 * 1024 * 1024;
    std::size_t addressMemory = 96 * 1024 * 1024;
    std::size_t maxConnections = 10000;  // lowered to what the open-file limit allows
    // Shops behind one NAT share an address; each holds one connection at a time.
    std::size_t maxConnectionsPerAddress = 64;
    std::chrono::milliseconds requestTime{std::chrono::seconds(60)};
    std::chrono::milliseconds idleTime{std::chrono::seconds(5)};
    std::chrono::milliseconds writeTime{std::chrono::seconds(30)};
    std::size_t workers = 16;
    // Bodies of this size or more (card batches of a first installation, or an attack) are
    // answered by at most `largeWorkers` workers at a time; smaller ones never wait for them.
    std::size_t largeBodyBytes = 1024 * 1024;
    std::size_t largeWorkers = 2;
};

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;
    std::string target;
    std::string client;   // the peer's address
    HttpHeaders headers;  // as received, values trimmed
    std::string body;
    // Draws `bytes` more from the memory budget for what the handler builds from the body;
    // false when the budget cannot spare them. Given back when the request is answered.
    std::function<bool(std::size_t bytes)> reserve;

    // The value of the first header field of that name (without regard to letter case); empty
    // when there is none.
    std::string header(std::string_view name) const;
};

struct HttpResponse {
    int status = 200;
    std::string contentType;
    std::string body;
    // Header fields written besides Content-Type, Content-Length and Connection. A field whose
    // name or value holds a line break is left out.
    HttpHeaders headers;
};

// A request the server refuses itself, before any handler sees it.
struct HttpRefusal {
    std::string client;
    std::string method;  // "-" when the request line was not read
    std::string target;
    int status;
    std::string description;
};

struct HttpServerConfig {
    std::string host = "127.0.0.1";
    int port = 0;  // 0: any free port
    HttpLimits limits;
    // Answers a whole request, on a worker thread. An exception becomes a 500 refusal.
    std::function<HttpResponse(HttpRequest&)> handler;
    // The answer to a refused request (the body and content type; the status is the refusal's),
    // on any thread. Without it the answer has an empty body. Also told, for its log, of a TLS
    // connection that failed before a request could be read (status 400, nothing answered).
    std::function<HttpResponse(const HttpRefusal&)> refusal;
    // HTTPS: a PEM certificate chain and its private key; both empty for plain HTTP.
    std::string tlsCertificateFile;
    std::string tlsKeyFile;
};

class HttpServer {
public:
    explicit HttpServer(HttpServerConfig config);
    ~HttpServer();  // stops
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and serves on threads of its own; returns the bound port. Raises veldon::Error when
    // the address cannot be bound or the server runs already.
    int start();
    // Stops accepting and closes idle connections; a request that has begun to arrive is still
    // read (within `requestTime`) and answered, then its connection closed. Safe to call twice.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace veldon::central
