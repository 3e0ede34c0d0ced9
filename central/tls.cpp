#include "central/tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "platform/error.h"

namespace veldon::central {

namespace {

// The reasons OpenSSL queued on this thread, oldest first; empties the queue.
std::string openSslReasons() {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text += (text.empty() ? "" : "; ") + std::string(buffer);
    }
    return text.empty() ? "unknown reason" : text;
}

}  // namespace

struct TlsContext::Impl {
    SSL_CTX* ctx = nullptr;
};

TlsContext::TlsContext(const std::string& certificateFile, const std::string& keyFile)
    : m_impl(std::make_unique<Impl>()) {
    ERR_clear_error();
    m_impl->ctx = SSL_CTX_new(TLS_server_method());
    if (!m_impl->ctx) {
        throw Error(errc::ProviderError, "TLS: " + openSslReasons());
    }
    SSL_CTX* ctx = m_impl->ctx;
    auto fail = [&](const std::string& what) {
        const std::string reason = openSslReasons();
        SSL_CTX_free(ctx);
        m_impl->ctx = nullptr;
        throw Error(errc::ProviderError, what + ": " + reason);
    };
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    // Idle connections give their record buffers back.
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
    if (SSL_CTX_use_certificate_chain_file(ctx, certificateFile.c_str()) != 1) {
        fail("cannot use the certificate file " + certificateFile);
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        fail("cannot use the key file " + keyFile);
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        fail("the key in " + keyFile + " does not belong to the certificate in " + certificateFile);
    }
}

TlsContext::~TlsContext() {
    SSL_CTX_free(m_impl->ctx);
}

struct TlsSession::Impl {
    SSL* ssl = nullptr;
    BIO* in = nullptr;   // bytes from the peer, owned by ssl
    BIO* out = nullptr;  // bytes for the peer, owned by ssl
};

TlsSession::TlsSession(TlsContext& context) : m_impl(std::make_unique<Impl>()) {
    m_impl->ssl = SSL_new(context.m_impl->ctx);
    m_impl->in = BIO_new(BIO_s_mem());
    m_impl->out = BIO_new(BIO_s_mem());
    if (!m_impl->ssl || !m_impl->in || !m_impl->out) {
        BIO_free(m_impl->in);
        BIO_free(m_impl->out);
        SSL_free(m_impl->ssl);
        throw std::bad_alloc();
    }
    // An empty input buffer means "wait for more", not the end of the stream.
    BIO_set_mem_eof_return(m_impl->in, -1);
    SSL_set_bio(m_impl->ssl, m_impl->in, m_impl->out);
    SSL_set_accept_state(m_impl->ssl);
}

TlsSession::~TlsSession() {
    SSL_free(m_impl->ssl);  // frees both buffers
}

bool TlsSession::receive(const char* data, std::size_t size, std::string& plain) {
    if (!m_error.empty()) {
        return false;
    }
    if (size > 0 && BIO_write(m_impl->in, data, static_cast<int>(size)) != static_cast<int>(size)) {
        m_error = "TLS: out of memory";
        return false;
    }
    ERR_clear_error();
    char buffer[16 * 1024];
    for (;;) {
        const int n = SSL_read(m_impl->ssl, buffer, sizeof buffer);
        if (n > 0) {
            plain.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        switch (SSL_get_error(m_impl->ssl, n)) {
            case SSL_ERROR_WANT_READ:
            case SSL_ERROR_WANT_WRITE:  // memory buffers never fill; the output is taken later
                return true;
            case SSL_ERROR_ZERO_RETURN:
                m_closed = true;
                return true;
            default:
                m_error = "TLS: " + openSslReasons();
                return false;
        }
    }
}

void TlsSession::send(std::string_view plain, std::string& out) {
    std::size_t done = 0;
    while (done < plain.size()) {
        std::size_t written = 0;
        if (SSL_write_ex(m_impl->ssl, plain.data() + done, plain.size() - done, &written) != 1) {
            ERR_clear_error();
            break;  // the peer sent an alert: what is left cannot be sent
        }
        done += written;
    }
    takeOutput(out);
}

void TlsSession::takeOutput(std::string& out) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(m_impl->out, &data);
    if (size > 0) {
        out.append(data, static_cast<std::size_t>(size));
        (void)BIO_reset(m_impl->out);
    }
}

bool TlsSession::established() const {
    return SSL_is_init_finished(m_impl->ssl) == 1;
}

}  // namespace veldon::central
