#include "io/tls.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "board/paraconfig.h"

struct tls_session {
    SSL *ssl;
};

namespace {

using steady = std::chrono::steady_clock;

// The one context of the process: built at start-up, read by the connector
// only, freed by tests.
SSL_CTX *context = nullptr;

// The first queued OpenSSL error as text, the queue emptied; `fallback`
// when there is none.
void error_text(char *why, size_t why_size, const char *fallback)
{
    const unsigned long e = ERR_peek_last_error();
    const char *reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
    std::snprintf(why, why_size, "%s", reason != nullptr ? reason : fallback);
    ERR_clear_error();
}

// The reason a handshake failed: the certificate check's own words when the
// check failed, a name mismatch said as such, else the library's reason.
void handshake_why(SSL *ssl, const char *name, char *why, size_t why_size)
{
    const long v = SSL_get_verify_result(ssl);
    if (v == X509_V_ERR_HOSTNAME_MISMATCH || v == X509_V_ERR_IP_ADDRESS_MISMATCH) {
        std::snprintf(why, why_size, "name mismatch: the server's certificate is not for %s", name);
        ERR_clear_error();
    } else if (v != X509_V_OK) {
        std::snprintf(why, why_size, "%s", X509_verify_cert_error_string(v));
        ERR_clear_error();
    } else {
        error_text(why, why_size, "handshake failed");
    }
}

// A key protected by a passphrase is refused: nobody types one in a street
// cabinet, and the library's default would wait for it on a terminal.
int no_passphrase(char *, int, int, void *)
{
    return 0;
}

int remaining_ms(steady::time_point until)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - steady::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until fd is ready for what `err` (SSL_ERROR_WANT_READ/WRITE) asks,
// at most until `until`. False when the time ran out or the wait failed.
bool wait_for(int fd, int err, steady::time_point until)
{
    pollfd p = {fd, static_cast<short>(err == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    for (;;) {
        const int ms = remaining_ms(until);
        if (ms == 0)
            return false;
        const int r = poll(&p, 1, ms);
        if (r > 0)
            return true;
        if (r == 0 || errno != EINTR)
            return false;
    }
}

bool set_nonblocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags != -1 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != -1;
}

// The server's name as the certificate must carry it: an IPv4 address is
// checked against the certificate's IP addresses, anything else against its
// DNS names (and sent as SNI).
bool expect_name(SSL *ssl, const char *name)
{
    X509_VERIFY_PARAM *param = SSL_get0_param(ssl);
    in_addr a;
    if (inet_pton(AF_INET, name, &a) == 1)
        return X509_VERIFY_PARAM_set1_ip_asc(param, name) == 1;
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return X509_VERIFY_PARAM_set1_host(param, name, 0) == 1 &&
           SSL_set_tlsext_host_name(ssl, name) == 1;
}

bool load_trust(SSL_CTX *c, const char *ca_file)
{
    if (SSL_CTX_load_verify_locations(c, ca_file, nullptr) != 1)
        return false;
    // The file may hold the server's own certificate rather than a CA: any
    // certificate in it is a trust anchor, and nothing else is.
    X509_VERIFY_PARAM_set_flags(SSL_CTX_get0_param(c), X509_V_FLAG_PARTIAL_CHAIN);
    return true;
}

}  // namespace

bool tls_settings_read(const char *config_file, tls_settings *s, char *why, size_t why_size)
{
    *s = tls_settings{};
    read_conf_value(TLS_CA_KEY, s->ca_file, sizeof s->ca_file, config_file);
    read_conf_value(TLS_NAME_KEY, s->server_name, sizeof s->server_name, config_file);
    read_conf_value(TLS_CERT_KEY, s->cert_file, sizeof s->cert_file, config_file);
    read_conf_value(TLS_KEY_KEY, s->key_file, sizeof s->key_file, config_file);
    s->enabled = s->ca_file[0] != '\0';
    const bool any = s->enabled || s->server_name[0] != '\0' || s->cert_file[0] != '\0' ||
                     s->key_file[0] != '\0';
    const char *fault = nullptr;
    if (any && !s->enabled)
        fault = TLS_NEEDS_CA;
    else if ((s->cert_file[0] != '\0') != (s->key_file[0] != '\0'))
        fault = TLS_PAIR;
    if (fault != nullptr) {
        std::snprintf(why, why_size, "%s", fault);
        return false;
    }
    return true;
}

const char *tls_file_problem(const char *path, tls_file_kind kind, char *why, size_t why_size)
{
    FILE *f = std::fopen(path, "re");
    if (f == nullptr) {
        std::snprintf(why, why_size, "cannot be read: %s", std::strerror(errno));
        return why;
    }
    struct stat st;
    const bool others = fstat(fileno(f), &st) == 0 && (st.st_mode & (S_IRWXG | S_IRWXO)) != 0;
    bool parsed = false;
    if (kind == TLS_FILE_KEY) {
        EVP_PKEY *key = PEM_read_PrivateKey(f, nullptr, no_passphrase, nullptr);
        parsed = key != nullptr;
        EVP_PKEY_free(key);
    } else {
        X509 *cert = PEM_read_X509(f, nullptr, no_passphrase, nullptr);
        parsed = cert != nullptr;
        X509_free(cert);
    }
    std::fclose(f);
    ERR_clear_error();
    if (!parsed)
        std::snprintf(why, why_size, "holds no PEM %s",
                      kind == TLS_FILE_KEY ? "private key without a passphrase" : "certificate");
    else if (kind == TLS_FILE_KEY && others)
        std::snprintf(why, why_size, "is open to other users: chmod 600 it");
    else
        return nullptr;
    return why;
}

bool tls_start(const tls_settings &s)
{
    tls_stop();
    SSL_CTX *c = SSL_CTX_new(TLS_client_method());
    const char *step = "cannot make a TLS context";
    bool ok = c != nullptr;
    if (ok) {
        SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
        SSL_CTX_set_options(c, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
        SSL_CTX_set_mode(c, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_default_passwd_cb(c, no_passphrase);
        step = s.ca_file;
        ok = load_trust(c, s.ca_file);
    }
    if (ok && s.cert_file[0] != '\0') {
        step = s.cert_file;
        ok = SSL_CTX_use_certificate_chain_file(c, s.cert_file) == 1;
        if (ok) {
            step = s.key_file;
            ok = SSL_CTX_use_PrivateKey_file(c, s.key_file, SSL_FILETYPE_PEM) == 1 &&
                 SSL_CTX_check_private_key(c) == 1;
        }
    }
    if (!ok) {
        char why[160];
        error_text(why, sizeof why, "unusable");
        printf("tls: %s: %s\n", step, why);
        SSL_CTX_free(c);
        return false;
    }
    context = c;
    return true;
}

bool tls_on()
{
    return context != nullptr;
}

void tls_stop()
{
    SSL_CTX_free(context);
    context = nullptr;
}

tls_session *tls_open(int fd, const char *name, int timeout_ms, char *why, size_t why_size)
{
    SSL *ssl = context != nullptr ? SSL_new(context) : nullptr;
    if (ssl == nullptr || !set_nonblocking(fd) || SSL_set_fd(ssl, fd) != 1 ||
        !expect_name(ssl, name)) {
        error_text(why, why_size, "cannot start a session");
        SSL_free(ssl);
        return nullptr;
    }
    const steady::time_point until = steady::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const int r = SSL_connect(ssl);
        if (r == 1)
            return new tls_session{ssl};
        const int err = SSL_get_error(ssl, r);
        if ((err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) && wait_for(fd, err, until))
            continue;
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE)
            std::snprintf(why, why_size, "the server did not finish the handshake in time");
        else if (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
            std::snprintf(why, why_size, "the server ended the connection in the handshake");
        else
            handshake_why(ssl, name, why, why_size);
        SSL_free(ssl);
        return nullptr;
    }
}

ssize_t tls_read(tls_session *t, void *buf, size_t len, char *why, size_t why_size)
{
    const int r = SSL_read(t->ssl, buf, static_cast<int>(len > 0x40000000 ? 0x40000000 : len));
    if (r > 0)
        return r;
    const int err = SSL_get_error(t->ssl, r);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE)
        return 0;
    if (err == SSL_ERROR_ZERO_RETURN) {
        // The server's close_notify: an orderly end, as a FIN on plain TCP.
        if (why_size > 0)
            why[0] = '\0';
    } else if (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
        std::snprintf(why, why_size, "the connection ended inside a record");
    else
        error_text(why, why_size, "bad record");
    return -1;
}

bool tls_pending(const tls_session *t)
{
    return SSL_pending(t->ssl) > 0;
}

ssize_t tls_write(tls_session *t, const void *buf, size_t len, int timeout_ms)
{
    const steady::time_point until = steady::now() + std::chrono::milliseconds(timeout_ms);
    const int fd = SSL_get_fd(t->ssl);
    for (;;) {
        const int r = SSL_write(t->ssl, buf, static_cast<int>(len));
        if (r > 0)
            return r;
        const int err = SSL_get_error(t->ssl, r);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            if (wait_for(fd, err, until))
                continue;
            errno = EAGAIN;
            return -1;
        }
        ERR_clear_error();
        errno = EPIPE;
        return -1;
    }
}

void tls_free(tls_session *t)
{
    if (t == nullptr)
        return;
    SSL_free(t->ssl);
    delete t;
}
