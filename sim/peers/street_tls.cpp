// ServerPeer's TLS mode and the connection primitives both modes share.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "peers/certs.h"
#include "peers/street.h"

namespace {

// A handshake or a write waits at most this long, real time.
constexpr int TLS_PEER_WAIT_MS = 3000;

// Waits for what the session asked for (err: SSL_ERROR_WANT_*). False when
// the error is another one or until_ms has passed.
bool wait_for_session(int fd, int err, std::chrono::steady_clock::time_point until)
{
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
        return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          until - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0)
        return false;
    pollfd p{fd, static_cast<short>(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
    return poll(&p, 1, static_cast<int>(std::min<long long>(left, 100))) >= 0;
}

std::chrono::steady_clock::time_point deadline()
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(TLS_PEER_WAIT_MS);
}

}  // namespace

server_tls_options street_server_tls(const test_certs &c)
{
    return {c.pem("server"), c.key("server"), c.pem("ca"), 0};
}

bool ServerPeer::use_tls(const server_tls_options &o, std::string *err)
{
    // OpenSSL writes to the socket with write(), not send(MSG_NOSIGNAL): a
    // gateway that closed its end would end this whole process by SIGPIPE.
    // Every write here checks its result, so the signal is not needed.
    std::signal(SIGPIPE, SIG_IGN);
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr) {
        *err = "cannot make a TLS context";
        return false;
    }
    SSL_CTX_set_num_tickets(ctx, 0);  // nothing but application data after the handshake
    bool ok = SSL_CTX_use_certificate_chain_file(ctx, o.cert_file.c_str()) == 1 &&
              SSL_CTX_use_PrivateKey_file(ctx, o.key_file.c_str(), SSL_FILETYPE_PEM) == 1 &&
              SSL_CTX_check_private_key(ctx) == 1;
    if (ok && o.max_version != 0) {
        // An old server: the old protocols need the lowest security level.
        SSL_CTX_set_security_level(ctx, 0);
        ok = SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION) == 1 &&
             SSL_CTX_set_max_proto_version(ctx, o.max_version) == 1;
    }
    if (ok && !o.client_ca_file.empty()) {
        ok = SSL_CTX_load_verify_locations(ctx, o.client_ca_file.c_str(), nullptr) == 1;
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    if (!ok) {
        *err = "cannot use " + o.cert_file + " / " + o.key_file;
        SSL_CTX_free(ctx);
        return false;
    }
    tls_ctx_ = ctx;
    return true;
}

void ServerPeer::tls_end()
{
    SSL_CTX_free(tls_ctx_);
    tls_ctx_ = nullptr;
}

// The handshake on the accepted socket c, bounded; the session, or nullptr
// when it failed (counted).
ssl_st *ServerPeer::tls_accept(int c)
{
    SSL *s = SSL_new(tls_ctx_);
    const int flags = fcntl(c, F_GETFL);
    bool ok = s != nullptr && fcntl(c, F_SETFL, flags | O_NONBLOCK) == 0 && SSL_set_fd(s, c) == 1;
    const auto until = deadline();
    int r = 0;
    while (ok && (r = SSL_accept(s)) != 1)
        ok = wait_for_session(c, SSL_get_error(s, r), until);
    ERR_clear_error();
    std::lock_guard<std::mutex> hold(lock_);
    if (!ok) {
        SSL_free(s);
        ++tls_refused_;
        return nullptr;
    }
    ++tls_handshakes_;
    client_name_.clear();
    if (X509 *peer = SSL_get_peer_certificate(s)) {
        char cn[128] = {};
        X509_NAME_get_text_by_NID(X509_get_subject_name(peer), NID_commonName, cn, sizeof cn);
        client_name_ = cn;
        X509_free(peer);
    }
    return s;
}

// One read of conn: >0 bytes, 0 at its end (or an error), -2 when only part
// of a record has come (TLS). Plain reads take no lock, as they always did.
// A TLS read returns one record at most: the gateway writes each frame as a
// record of its own, far below the reader's 4 KiB, so nothing stays behind
// in the session where poll() would not see it.
ssize_t ServerPeer::conn_read(int conn, uint8_t *buf, size_t size)
{
    if (tls_ctx_ == nullptr)
        return read(conn, buf, size);
    std::lock_guard<std::mutex> hold(lock_);
    if (ssl_ == nullptr || conn != conn_)
        return 0;
    const int n = SSL_read(ssl_, buf, static_cast<int>(size));
    if (n > 0)
        return n;
    const int err = SSL_get_error(ssl_, n);
    ERR_clear_error();
    return err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE ? -2 : 0;
}

void ServerPeer::tls_write_locked(const uint8_t *p, size_t n)
{
    const auto until = deadline();
    while (n > 0) {
        size_t done = 0;
        const int r = SSL_write_ex(ssl_, p, n, &done);
        if (r == 1) {
            p += done;
            n -= done;
        } else if (!wait_for_session(conn_, SSL_get_error(ssl_, r), until)) {
            ERR_clear_error();
            return;
        }
    }
}

// A TLS server ends a session in order: its close_notify goes out before the
// connection is shut. Non-blocking: a full socket simply goes without it.
void ServerPeer::close_notify_locked()
{
    if (ssl_ != nullptr)
        (void)SSL_shutdown(ssl_);
    ERR_clear_error();
}

void ServerPeer::close_conn_locked()
{
    SSL_free(ssl_);
    ssl_ = nullptr;
    if (conn_ >= 0)
        close(conn_);
    conn_ = -1;
}

int ServerPeer::tls_handshakes() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return tls_handshakes_;
}

int ServerPeer::tls_refused() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return tls_refused_;
}

std::string ServerPeer::client_name() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return client_name_;
}

void ServerPeer::send_raw(const bytes &b)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (conn_ >= 0 && !dropped_)
        (void)::send(conn_, b.data(), b.size(), MSG_NOSIGNAL);
}

// The record is written into memory in place of the socket; half of it goes
// out, then the connection ends as in drop().
void ServerPeer::cut_record(const bytes &b)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (conn_ < 0 || dropped_ || ssl_ == nullptr)
        return;
    BIO *mem = BIO_new(BIO_s_mem());
    if (mem == nullptr)
        return;
    SSL_set0_wbio(ssl_, mem);  // the session owns it from here
    size_t done = 0;
    if (SSL_write_ex(ssl_, b.data(), b.size(), &done) == 1) {
        char *rec = nullptr;
        const long len = BIO_get_mem_data(mem, &rec);
        if (len > 1)
            (void)::send(conn_, rec, static_cast<size_t>(len / 2), MSG_NOSIGNAL);
    }
    ERR_clear_error();
    shutdown(conn_, SHUT_RDWR);
    dropped_ = true;
}
