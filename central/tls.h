// TLS for the central service's own HTTP server, on memory buffers: the server keeps reading and
// writing its non-blocking sockets as for plain HTTP and passes the bytes through a TlsSession,
// which turns what arrives into plain text and plain answers into what is sent. So the limits the
// server puts on a connection (time, bytes buffered, memory) hold for TLS connections unchanged:
// the plain text a session yields is never more than the bytes read for it.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace veldon::central {

// The certificate chain and key the service presents; TLS 1.2 or newer, no renegotiation.
class TlsContext {
public:
    // Reads a PEM certificate chain (the service's certificate first) and its PEM private key.
    // Raises veldon::Error naming the file and OpenSSL's reason when either cannot be used or
    // the key does not belong to the certificate.
    TlsContext(const std::string& certificateFile, const std::string& keyFile);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

private:
    friend class TlsSession;
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// One connection's TLS state, server side.
class TlsSession {
public:
    explicit TlsSession(TlsContext& context);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Takes bytes read from the socket and appends the plain text they complete to `plain`.
    // False when the peer broke the protocol (a failed handshake, plain HTTP, a forged record):
    // the connection is of no more use and error() says why.
    bool receive(const char* data, std::size_t size, std::string& plain);
    // The peer ended its side cleanly (close_notify).
    bool closed() const { return m_closed; }
    // Encrypts `plain` and appends the records to `out`. Only after the handshake: a session
    // that has not yet read a request has nothing to answer.
    void send(std::string_view plain, std::string& out);
    // What the session itself must send (handshake messages, alerts), moved to the end of `out`.
    void takeOutput(std::string& out);
    bool established() const;
    const std::string& error() const { return m_error; }

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    bool m_closed = false;
    std::string m_error;
};

}  // namespace veldon::central
