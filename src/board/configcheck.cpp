#include "board/configcheck.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "board/paraconfig.h"
#include "io/tls.h"

namespace {

constexpr size_t TEXT_MAX = sizeof(config_problem::text) - 1;
constexpr size_t FIELD_MAX = 19;  // the gateway's text fields are 20 bytes
constexpr int LINE_LIMIT = 1023;  // the reader's pieces: 1022 characters and the NUL
constexpr int INTERVAL_MAX = 86400;
constexpr const char MORE[] = " ... and more";

constexpr size_t PASSWORD_MIN = 4, PASSWORD_MAX = 16;

enum value_kind { IPV4, PORT, DEVICE_ID, ADMIN_LIST, INTERVAL, PASSWORD, CERTS, KEY, HOST };

struct known_key {
    const char *name;
    value_kind kind;
    bool required;
    bool field;  // read into a 20-byte field: longer values are refused
};

constexpr known_key KEYS[] = {
    {"server_ip_addr", IPV4, true, true},       {"server_port_num", PORT, true, true},
    {"device_id", DEVICE_ID, true, true},       {"sms_admin_numbers", ADMIN_LIST, false, false},
    {"stats_interval", INTERVAL, false, false}, {"sms_password", PASSWORD, false, false},
    {"tls_ca_file", CERTS, false, false},       {"tls_server_name", HOST, false, false},
    {"tls_cert_file", CERTS, false, false},     {"tls_key_file", KEY, false, false},
};
constexpr int ADMIN_KEY_AT = 3;  // KEYS[3]: missing, it lets every sender command
constexpr int TLS_CA_AT = 6, TLS_NAME_AT = 7, TLS_CERT_AT = 8, TLS_KEY_AT = 9;
constexpr int KEY_COUNT = sizeof KEYS / sizeof KEYS[0];

constexpr bool key_at(int at, const char *name)
{
    const char *k = KEYS[at].name;
    while (*k != '\0' && *k == *name)
        k++, name++;
    return *k == *name;
}
static_assert(key_at(ADMIN_KEY_AT, "sms_admin_numbers") && key_at(TLS_CA_AT, "tls_ca_file") &&
                  key_at(TLS_NAME_AT, "tls_server_name") && key_at(TLS_CERT_AT, "tls_cert_file") &&
                  key_at(TLS_KEY_AT, "tls_key_file"),
              "the key positions name their keys");

struct problem_list {
    config_problem *out;
    int max;
    int count;
    bool dropped;
};

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool is_hex(char c)
{
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Appends up to n bytes of s to dst (room for len + n + 1 bytes assumed).
void append(char *dst, size_t *len, const char *s, size_t n)
{
    std::memcpy(dst + *len, s, n);
    *len += n;
    dst[*len] = '\0';
}

// Stores one problem: head, then `quoted` in double quotes if given, then
// tail. The quoted text is cut so that the whole line fits, and its control
// characters become '?' so that it stays one printable line.
void add(problem_list *p, const char *key, const char *head, const char *quoted, const char *tail)
{
    if (p->count >= p->max) {
        p->dropped = true;
        return;
    }
    config_problem *pr = &p->out[p->count++];
    std::snprintf(pr->key, sizeof pr->key, "%s", key);
    char *t = pr->text;
    size_t len = 0;
    t[0] = '\0';
    append(t, &len, head, std::min(std::strlen(head), TEXT_MAX));
    const size_t tail_len = std::min(std::strlen(tail), TEXT_MAX - len);
    if (quoted != nullptr && len + tail_len + 2 <= TEXT_MAX) {
        size_t room = TEXT_MAX - len - tail_len - 2;
        size_t n = std::strlen(quoted);
        const bool cut = n > room;
        if (cut) {
            n = room >= 3 ? room - 3 : 0;
            // Never end inside a UTF-8 sequence.
            while (n > 0 && (static_cast<unsigned char>(quoted[n]) & 0xC0) == 0x80)
                n--;
        }
        append(t, &len, "\"", 1);
        const size_t from = len;
        append(t, &len, quoted, n);
        for (size_t i = from; i < len; i++) {
            const unsigned char c = static_cast<unsigned char>(t[i]);
            if (c < 0x20 || c == 0x7F)
                t[i] = '?';
        }
        if (cut && room >= 3)
            append(t, &len, "...", 3);
        append(t, &len, "\"", 1);
    }
    append(t, &len, tail, std::min(tail_len, TEXT_MAX - len));
}

bool is_number_item(const char *b, const char *e)
{
    config_bare_number(&b, &e);
    if (b < e && *b == '+')
        b++;
    if (e - b < 3 || e - b > 20)
        return false;
    for (; b < e; b++)
        if (!is_digit(*b))
            return false;
    return true;
}

// Finds the first malformed item of an admin list: true, with its bounds
// as written, when there is one.
bool find_bad_item(const char *s, const char **bad_b, const char **bad_e)
{
    for (const char *item = s;;) {
        const char *comma = std::strchr(item, ',');
        const char *end = comma != nullptr ? comma : item + std::strlen(item);
        if (!is_number_item(item, end)) {
            *bad_b = item;
            *bad_e = end;
            return true;
        }
        if (comma == nullptr)
            return false;
        item = comma + 1;
    }
}

// A DNS name: dot-separated labels of letters, digits and inner hyphens,
// each 1 to 63 characters, 253 in all.
bool is_host_name(const char *s)
{
    const size_t len = std::strlen(s);
    if (len == 0 || len > 253)
        return false;
    size_t label = 0;
    for (size_t i = 0; i <= len; i++) {
        const char c = s[i];
        if (c == '.' || c == '\0') {
            if (label == 0 || s[i - 1] == '-')
                return false;
            label = 0;
        } else if (is_digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') ||
                   (c == '-' && label > 0)) {
            if (++label > 63)
                return false;
        } else {
            return false;
        }
    }
    return true;
}

// The TLS values: files that must exist, be readable and parse; a key file
// that only its owner may read; a name the certificate can carry.
void check_tls_value(problem_list *p, const char *head, const known_key &k, const char *value)
{
    char why[160];
    if (k.kind == HOST) {
        if (!config_is_ipv4(value) && !is_host_name(value))
            add(p, k.name, head, value, " is neither a dotted IPv4 address nor a DNS name");
        return;
    }
    char tail[200];
    if (tls_file_problem(value, k.kind == KEY ? TLS_FILE_KEY : TLS_FILE_CERTS, why, sizeof why)) {
        std::snprintf(tail, sizeof tail, " %s", why);
        add(p, k.name, head, value, tail);
    }
}

// The problem with a known key's value, if any.
void check_value(problem_list *p, const char *head, const known_key &k, const char *value)
{
    const size_t len = std::strlen(value);
    char tail[96];
    if (k.field && len > FIELD_MAX) {
        std::snprintf(tail, sizeof tail,
                      " is %zu characters, at most %zu fit: the gateway leaves it empty", len,
                      FIELD_MAX);
        add(p, k.name, head, value, tail);
        return;
    }
    int seconds = 0;
    switch (k.kind) {
    case IPV4:
        if (!config_is_ipv4(value))
            add(p, k.name, head, value, " is not a dotted IPv4 address");
        break;
    case PORT:
        if (!config_is_port(value))
            add(p, k.name, head, value, " is not a port from 1 to 65535");
        break;
    case DEVICE_ID:
        if (!config_is_device_id(value))
            add(p, k.name, head, value, " is not 12 hexadecimal digits");
        break;
    case INTERVAL:
        if (!config_parse_interval(value, &seconds))
            add(p, k.name, head, value, " is not a number of seconds from 0 to 86400");
        break;
    case PASSWORD:
        // The value itself is never shown: the console goes to the journal.
        if (len < PASSWORD_MIN || len > PASSWORD_MAX) {
            std::snprintf(tail, sizeof tail, "is %zu characters: a password has %zu to %zu", len,
                          PASSWORD_MIN, PASSWORD_MAX);
            add(p, k.name, head, nullptr, tail);
        } else if (!config_is_sms_password(value)) {
            add(p, k.name, head, nullptr,
                "holds a blank or a character outside the GSM 7-bit alphabet's letters, digits "
                "and !\"#$%&'()*+,-./:;<=>?@_");
        }
        break;
    case CERTS:
    case KEY:
    case HOST: check_tls_value(p, head, k, value); break;
    case ADMIN_LIST: {
        const char *b = nullptr, *e = nullptr;
        if (value[0] != '\0' && find_bad_item(value, &b, &e)) {
            char item[sizeof(config_item::value)];
            std::snprintf(item, sizeof item, "%.*s", static_cast<int>(e - b), b);
            char item_head[TEXT_MAX + 8];  // add() cuts it to fit
            std::snprintf(item_head, sizeof item_head, "%sitem ", head);
            add(p, k.name, item_head, item, " is not '+' and 3 to 20 digits");
        }
        break;
    }
    }
}

// The known key that `key` is with its surrounding blanks taken off, or -1.
int known_with_blanks(const char *key)
{
    char bare[sizeof(config_item::key)];
    std::snprintf(bare, sizeof bare, "%s", key);
    strtrim(bare);
    for (int i = 0; i < KEY_COUNT; i++)
        if (std::strcmp(bare, KEYS[i].name) == 0)
            return i;
    return -1;
}

// One key=value entry at line line_no: an unknown key (or a known one with
// blanks around it), a key given again, or the first entry of a known key,
// whose value is then checked. first_line records each known key's first
// entry.
void check_entry(problem_list *p, const char *path, int line_no, const config_item &item,
                 int *first_line)
{
    char head[TEXT_MAX + 1];
    int k = 0;
    while (k < KEY_COUNT && std::strcmp(item.key, KEYS[k].name) != 0)
        k++;
    if (k == KEY_COUNT) {
        const int near = known_with_blanks(item.key);
        std::snprintf(head, sizeof head, "%s:%d: %skey ", path, line_no,
                      near < 0 ? "unknown " : "");
        if (near < 0) {
            add(p, item.key, head, item.key, " is ignored");
        } else {
            char tail[96];
            std::snprintf(tail, sizeof tail, " is not %s: blanks around '=' belong to the key",
                          KEYS[near].name);
            add(p, KEYS[near].name, head, item.key, tail);
        }
    } else if (first_line[k] != 0) {
        std::snprintf(head, sizeof head, "%s:%d: %s given again, ignored: line %d counts", path,
                      line_no, KEYS[k].name, first_line[k]);
        add(p, KEYS[k].name, head, nullptr, "");
    } else {
        first_line[k] = line_no;
        std::snprintf(head, sizeof head, "%s:%d: %s ", path, line_no, KEYS[k].name);
        check_value(p, head, KEYS[k], item.value);
    }
}

// The keys the whole file lacks: a required one, or the admin list (whose
// absence lets every sender command).
void check_missing(problem_list *p, const char *path, const int *first_line)
{
    char head[TEXT_MAX + 1];
    for (int k = 0; k < KEY_COUNT; k++) {
        if (KEYS[k].required && first_line[k] == 0) {
            std::snprintf(head, sizeof head, "%s: %s is missing", path, KEYS[k].name);
            add(p, KEYS[k].name, head, nullptr, "");
        }
    }
    const bool cert = first_line[TLS_CERT_AT] != 0, key = first_line[TLS_KEY_AT] != 0;
    if (first_line[TLS_CA_AT] == 0 && (cert || key || first_line[TLS_NAME_AT] != 0)) {
        std::snprintf(head, sizeof head, "%s: %s", path, TLS_NEEDS_CA);
        add(p, KEYS[TLS_CA_AT].name, head, nullptr, "");
    }
    if (cert != key) {
        std::snprintf(head, sizeof head, "%s: %s", path, TLS_PAIR);
        add(p, KEYS[cert ? TLS_KEY_AT : TLS_CERT_AT].name, head, nullptr, "");
    }
    if (first_line[ADMIN_KEY_AT] == 0) {
        std::snprintf(head, sizeof head,
                      "%s: sms_admin_numbers is missing: every sender may command the gateway by "
                      "SMS (an empty sms_admin_numbers= lets nobody)",
                      path);
        add(p, KEYS[ADMIN_KEY_AT].name, head, nullptr, "");
    }
}

void check_lines(FILE *in, const char *path, problem_list *p)
{
    int first_line[KEY_COUNT] = {};  // line of each known key's first entry, 0: none yet
    char line[LINE_LIMIT];
    config_item item;
    int line_no = 1;
    bool continued = false;  // this piece continues the line of the previous one
    bool long_told = false;  // the current line was already reported as too long
    char head[TEXT_MAX + 1];

    while (std::fgets(line, sizeof line, in) != nullptr) {
        const bool ends_line = std::strchr(line, '\n') != nullptr;
        const int r = get_item_from_line(line, &item);
        if (continued && !long_told && r != CONF_LINE_EMPTY) {
            std::snprintf(head, sizeof head, "%s:%d: ", path, line_no);
            add(p, "", head, nullptr,
                "line is longer than 1022 characters: the gateway reads the rest as lines of "
                "their own");
            long_told = true;
        }
        if (r == CONF_LINE_NO_EQUAL) {
            std::snprintf(head, sizeof head, "%s:%d: line without '=' is ignored: ", path, line_no);
            // A password line with its '=' missing: its text is not shown.
            const bool secret = std::strncmp(line, "sms_password", 12) == 0;
            add(p, "", head, secret ? "sms_password..." : line, "");
        } else if (r == CONF_LINE_ENTRY) {
            check_entry(p, path, line_no, item, first_line);
        }
        continued = !ends_line;
        if (ends_line) {
            line_no++;
            long_told = false;
        }
    }
    if (std::ferror(in)) {
        // Whatever was found so far stands on a file only partly seen.
        const int err = errno;
        p->count = 0;
        p->dropped = false;
        std::snprintf(head, sizeof head, "%s: cannot be read: %s", path, std::strerror(err));
        add(p, "", head, nullptr, "");
        return;
    }
    check_missing(p, path, first_line);
}

}  // namespace

int config_check(const char *path, config_problem *out, int max)
{
    if (out == nullptr || max <= 0)
        return 0;
    problem_list p = {out, max, 0, false};
    char head[TEXT_MAX + 1];
    file_ptr in(std::fopen(path, "re"));
    if (!in) {
        std::snprintf(head, sizeof head, "%s: cannot be read: %s", path, std::strerror(errno));
        add(&p, "", head, nullptr, "");
        return p.count;
    }
    check_lines(in.get(), path, &p);
    if (p.dropped) {
        char *t = out[p.count - 1].text;
        const size_t keep = std::min(std::strlen(t), TEXT_MAX - (sizeof MORE - 1));
        std::memcpy(t + keep, MORE, sizeof MORE);
    }
    return p.count;
}

bool config_is_ipv4(const char *s)
{
    in_addr a;
    return std::strlen(s) <= FIELD_MAX && inet_pton(AF_INET, s, &a) == 1;
}

bool config_is_port(const char *s)
{
    const size_t n = std::strlen(s);
    if (n == 0 || n > 5)
        return false;
    long v = 0;
    for (size_t i = 0; i < n; i++) {
        if (!is_digit(s[i]))
            return false;
        v = v * 10 + (s[i] - '0');
    }
    return v >= 1 && v <= 65535;
}

bool config_is_device_id(const char *s)
{
    size_t n = 0;
    while (n < 12 && is_hex(s[n]))
        n++;
    return n == 12 && s[12] == '\0';
}

bool config_parse_interval(const char *s, int *seconds)
{
    if (s[0] == '\0')
        return false;
    long v = 0;
    for (const char *c = s; *c != '\0'; c++) {
        if (!is_digit(*c))
            return false;
        v = v * 10 + (*c - '0');
        if (v > INTERVAL_MAX)  // also keeps a long run of digits from overflowing
            return false;
    }
    *seconds = static_cast<int>(v);
    return true;
}

bool config_is_admin_list(const char *s)
{
    const char *b = nullptr, *e = nullptr;
    return s[0] == '\0' || !find_bad_item(s, &b, &e);
}

bool config_is_sms_password(const char *s)
{
    static const char punctuation[] = "!\"#$%&'()*+,-./:;<=>?@_";
    const size_t n = std::strlen(s);
    if (n < PASSWORD_MIN || n > PASSWORD_MAX)
        return false;
    for (size_t i = 0; i < n; i++) {
        const char c = s[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && !is_digit(c) && std::strchr(punctuation, c) == nullptr)
            return false;
    }
    return true;
}

int check_config_main(const char *path)
{
    config_problem problems[CONFIG_PROBLEMS_MAX];
    const int n = config_check(path, problems, CONFIG_PROBLEMS_MAX);
    for (int i = 0; i < n; i++)
        std::printf("%s\n", problems[i].text);
    if (n == 0)
        std::printf("%s: ok\n", path);
    std::fflush(stdout);
    return n > 0 ? 1 : 0;
}

void config_bare_number(const char **b, const char **e)
{
    while (*b < *e && (**b == ' ' || **b == '\t'))
        ++*b;
    while (*e > *b && ((*e)[-1] == ' ' || (*e)[-1] == '\t'))
        --*e;
    if (*e - *b >= 2 && **b == '"' && (*e)[-1] == '"') {
        ++*b;
        --*e;
    }
}
