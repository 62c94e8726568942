// Checking config.txt before the gateway runs on it.
//
// The gateway reads the file once at start-up and takes whatever it finds:
// an odd-length device_id, a server address that is no address or a port
// that is no number pass silently and only show later as a gateway that
// never connects or sends a zero address. These procedures read the file
// with the same line rules as start-up (board/paraconfig.h) and say what is
// wrong with it, line by line. They only read the file.
//
// Keys: server_ip_addr, server_port_num and device_id are required;
// sms_admin_numbers, sms_password and stats_interval are optional, but a
// file without sms_admin_numbers is reported: every sender may then
// command the gateway by SMS. The value of sms_password is never shown.
#pragma once

// One problem of the file.
struct config_problem {
    char key[32];    // the key the problem is about, "" when it is about no one key
    char text[192];  // one line, no line feed, e.g. "config.txt:3: device_id \"0102\" is not ..."
};

constexpr int CONFIG_PROBLEMS_MAX = 32;

// The report interval when stats_interval is absent, in seconds.
constexpr int CONFIG_STATS_INTERVAL_DEFAULT = 900;

// Reads the file and stores its problems in out[0..], in file order, then the
// required keys that are missing. Each text starts with the path and, for a
// problem of one line, its number ("config.txt:3: ..."); a line longer than
// 1022 characters keeps its number in all of its pieces. Values and keys
// quoted in a text are the text as read, cut (ending in "...") so that the
// line fits, control characters shown as '?'.
//
// Problems: a line that is no comment but has no '='; an unknown key (when it
// is a known key with blanks around it, the text says that blanks around '='
// belong to the key, and `key` holds the known key); a known key given again
// (the first line counts); a value the gateway cannot use (too long for its
// 20-byte field, not 12 hex digits, not dotted IPv4, not a port, not a list of
// numbers, not an interval, not a password); a line long enough to be read
// in pieces; a missing required key; a missing sms_admin_numbers.
//
// Returns how many problems were stored, at most max; further ones are
// dropped and the last stored text then ends in "... and more". A file that
// cannot be opened or read gives the one problem "<path>: cannot be read:
// <reason>". max <= 0 stores nothing and returns 0.
int config_check(const char *path, config_problem *out, int max);

// Dotted IPv4 text as inet_pton(AF_INET) accepts it, at most 19 characters.
bool config_is_ipv4(const char *s);

// A TCP port: 1 to 65535 in decimal digits only (no sign, no blanks).
bool config_is_port(const char *s);

// Exactly 12 hexadecimal digits, either case.
bool config_is_device_id(const char *s);

// stats_interval: decimal digits only (leading zeros allowed), 0 to 86400
// seconds, 0 turning the report off. Stores the value and returns true, or
// returns false and leaves *seconds untouched.
bool config_parse_interval(const char *s, int *seconds);

// sms_admin_numbers: numbers separated by commas; each item, with blanks
// (space, tab) and then one pair of surrounding double quotes taken off as
// the SMS thread compares senders, is an optional '+' and 3 to 20 digits.
// An empty list is valid and lets nobody command the gateway; an empty item
// in a list is malformed.
bool config_is_admin_list(const char *s);

// sms_password: 4 to 16 characters of the GSM 7-bit default alphabet that
// every modem shows as they are in text mode: ASCII letters, digits and
// !"#$%&'()*+,-./:;<=>?@_ (no blank).
bool config_is_sms_password(const char *s);

// A number as the SMS thread compares it: [*b, *e) narrowed past surrounding
// blanks (space, tab) and then one pair of surrounding double quotes.
void config_bare_number(const char **b, const char **e);

// `lampgw --check-config FILE`: prints one line per problem on stdout and
// returns 1 when there was any; otherwise prints "<FILE>: ok" and returns 0.
int check_config_main(const char *path);
