// The optional protected server link: TLS 1.2 or later, the server's
// certificate checked against one trust anchor and one name, optionally a
// client certificate of this gateway.
//
// Without tls_ca_file in config.txt the link is plain TCP, byte for byte as
// it always was, and nothing here is used. With it, every connection the
// connector makes is handed to tls_open before the link goes up; a failed
// handshake closes the connection with one console line ("tls: <why>") and
// the connector tries again on its usual cadence. Nothing turns the checks
// off.
//
// Threads: a TLS session must not be read and written at once. All calls on
// one session are made under the link lock (connect.cpp): server_write
// writes under it anyway, and the server pump waits for the socket without
// the lock and reads under it. The socket is non-blocking once the
// handshake is done, so a read that finds half a record returns at once and
// never holds the lock while it waits.
#pragma once

#include <cstddef>
#include <sys/types.h>

// config.txt keys.
constexpr const char *TLS_CA_KEY = "tls_ca_file";        // CA or the server's own cert, PEM
constexpr const char *TLS_NAME_KEY = "tls_server_name";  // default: server_ip_addr
constexpr const char *TLS_CERT_KEY = "tls_cert_file";    // this gateway's certificate, PEM
constexpr const char *TLS_KEY_KEY = "tls_key_file";      // its private key, PEM, mode 0600

// The two ways the keys fail to go together, for the gateway's console and
// the config check alike.
constexpr const char *TLS_NEEDS_CA = "tls_ca_file is missing: the other tls_ keys need it";
constexpr const char *TLS_PAIR = "tls_cert_file and tls_key_file go together";

constexpr size_t TLS_PATH_MAX = 256;
constexpr size_t TLS_NAME_MAX = 254;

struct tls_settings {
    bool enabled = false;  // tls_ca_file given
    char ca_file[TLS_PATH_MAX] = {};
    char server_name[TLS_NAME_MAX + 1] = {};  // empty: the server's address
    char cert_file[TLS_PATH_MAX] = {};
    char key_file[TLS_PATH_MAX] = {};
};

// The settings in config_file. False, with the reason in why, when a TLS
// key is present but unusable (a client certificate without its key, say).
bool tls_settings_read(const char *config_file, tls_settings *s, char *why, size_t why_size);

// What is wrong with one of the files the TLS keys name, for the config
// check: nullptr when it is fine, else the reason ("cannot be read: ...",
// "holds no PEM certificate", "is open to other users: chmod 600 it", ...) in why.
enum tls_file_kind { TLS_FILE_CERTS, TLS_FILE_KEY };
const char *tls_file_problem(const char *path, tls_file_kind kind, char *why, size_t why_size);

// Builds the process's TLS context from s. False, with "tls: <why>" printed,
// when a file cannot be read or parsed or the key does not match the
// certificate; the link then stays down rather than fall back to plain TCP.
bool tls_start(const tls_settings &s);

// True after a successful tls_start.
bool tls_on();

// Drops the context (tests).
void tls_stop();

struct tls_session;

// Runs the handshake on the connected socket fd, checking that the server's
// certificate chains to the trust anchor, is valid now and carries `name`
// (an IPv4 address is checked as one). Waits at most timeout_ms of real
// time in all. On success the socket is non-blocking and the session is
// returned; on failure nullptr, why holds the reason ("certificate has
// expired", "name mismatch: ...") and the socket is left to the caller.
tls_session *tls_open(int fd, const char *name, int timeout_ms, char *why, size_t why_size);

// One read of decrypted bytes, never waiting. >0: bytes; 0: nothing whole
// yet; -1: the session ended. why is empty when the server closed it in
// order (close_notify), else it holds the fault (a cut, a bad record).
ssize_t tls_read(tls_session *t, void *buf, size_t len, char *why, size_t why_size);

// True when decrypted bytes wait inside the session: read them before
// waiting on the socket again.
bool tls_pending(const tls_session *t);

// Writes all len bytes, waiting for room at most timeout_ms of real time.
// Returns len, or -1 with errno EPIPE (the session ended) or EAGAIN (no
// room in time).
ssize_t tls_write(tls_session *t, const void *buf, size_t len, int timeout_ms);

// Frees the session; the socket is the caller's to close.
void tls_free(tls_session *t);
