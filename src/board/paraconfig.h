// The key-value configuration file: lines of the form name=value.
//
// Format, as read here:
//  - lines are read with a 1023-byte limit, so a line longer than 1022
//    characters arrives in pieces and each piece counts as a line of its own;
//  - each line is trimmed of whitespace at both ends (blank, tab, line feed,
//    vertical tab, form feed, carriage return; bytes >= 0x80 never count);
//  - an empty line or a line starting with '#' carries nothing;
//  - any other line is split at its first '=': key before, value after, not
//    trimmed again ("a = b" has the key "a " and the value " b");
//  - a line without '=' carries nothing;
//  - keys compare byte for byte; the first line with a key is the one that
//    counts.
#pragma once

#include <cstddef>

// One entry of the file. Both texts are NUL-terminated.
struct config_item {
    char key[1025];
    char value[1025];
};

// Results of get_item_from_line.
enum {
    CONF_LINE_ENTRY = 0,     // the record holds a key and a value
    CONF_LINE_EMPTY = 1,     // nothing left after trimming
    CONF_LINE_COMMENT = 2,   // first character after trimming is '#'
    CONF_LINE_NO_EQUAL = 3,  // text without '=': no entry
    CONF_LINE_TOO_LONG = 4,  // key or value longer than 1024 characters
};

// Removes trailing whitespace in place; returns s.
char *strtrimr(char *s);
// Moves the text over its leading whitespace; returns s.
char *strtriml(char *s);
// strtrimr then strtriml; returns s.
char *strtrim(char *s);

// Trims `line` in place and, if it holds an entry, splits it at its first
// '=' (overwritten by a NUL) into item->key and item->value. Returns one of
// the CONF_LINE_* codes; `item` is written only for CONF_LINE_ENTRY.
// Lines read from a file never exceed 1022 characters, so
// CONF_LINE_TOO_LONG only concerns callers passing their own text.
int get_item_from_line(char *line, config_item *item);

// Loads every entry of `file` into items[0..], in file order.
// 0: loaded, *num holds the count.
// 1: the file cannot be opened or a read fails; *num untouched.
// 2: the file holds more than `capacity` entries; *num untouched.
// Slots may have been overwritten whatever the result.
int file_to_items(const char *file, config_item *items, int capacity, int *num);

// Copies the value of the first entry named `key` into `value`, a buffer of
// `value_size` bytes. A value that does not fit (with its NUL) is refused
// with a console message naming the key and leaves `value` as it was; so does
// a key that is not in the file. Returns 1 when the file cannot be opened,
// otherwise 0 (found, not found or refused alike).
int read_conf_value(const char *key, char *value, size_t value_size, const char *file);

// Gives the first entry named `key` the value `value` and rewrites the file
// from its entries (comments, blank lines and lines without '=' are dropped,
// entries come out trimmed as "key=value\n"). A key that is not present
// changes no entry but the file is still rewritten. The file is replaced
// crash-safely (board/filereplace.h): after a kill or a power cut at any
// moment it is either the old one or the complete new one. Each written line
// is echoed to stdout once the new file is in place and on disk.
// Returns 0 on success; 1, leaving the file untouched, when the file cannot
// be read, holds more than 20 entries, gives no entry although it is not
// empty (one console line: a rewrite would leave it empty), the value is
// longer than 1024 characters or contains a line feed or carriage return, or
// writing fails.
// It also returns 1, without the echo, in the one case where the new file is
// already in place: flushing its directory failed, so a power cut could
// still bring back the old file and the change must not be confirmed.
int write_conf_value(const char *key, const char *value, const char *file);
