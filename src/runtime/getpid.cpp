#include "runtime/getpid.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "board/board.h"
#include "runtime/state.h"

namespace {

// Paths below the process table and link targets both fit in 4096 bytes
// plus the terminating NUL; anything longer is treated as unreadable.
constexpr size_t path_limit = 4097;

// Ten sightings of a new pid (the first one included) mean the companion
// keeps dying; the board is rebooted once when the count reaches it.
constexpr int reboot_after_changes = 10;

struct dir_closer {
    void operator()(DIR *dir) const { closedir(dir); }
};
using dir_handle = std::unique_ptr<DIR, dir_closer>;

struct file_closer {
    void operator()(std::FILE *fp) const { std::fclose(fp); }
};
using file_handle = std::unique_ptr<std::FILE, file_closer>;

// The pid named by a process table entry, read the way atoi reads it
// (leading digits, rest ignored); 0 for names that are not process ids
// ("self", "sys") and for values no pid can take.
int entry_pid(const char *entry)
{
    errno = 0;
    const long value = std::strtol(entry, nullptr, 10);
    if (errno != 0 || value <= 0 || value > INT_MAX)
        return 0;
    return static_cast<int>(value);
}

// True when `base` is `name` itself or `name` followed by a blank.
bool base_name_matches(const char *base, const char *name, size_t name_len)
{
    if (std::strncmp(base, name, name_len) != 0)
        return false;
    const char next = base[name_len];  // within base: its first name_len chars are non-NUL
    return next == '\0' || next == ' ';
}

// True when the executable of process table entry `entry` has a base name
// matching `name`. Entries whose link cannot be read (kernel threads, other
// users' processes) or whose target has no '/' never match.
bool exe_matches(const char *entry, const char *name, size_t name_len)
{
    char path[path_limit];
    const int written = std::snprintf(path, sizeof path, "%s/%s/exe", board.proc_root, entry);
    if (written < 0 || static_cast<size_t>(written) >= sizeof path)
        return false;

    char target[path_limit];
    const ssize_t len = readlink(path, target, sizeof target - 1);
    if (len < 0)
        return false;
    target[len] = '\0';  // readlink does not terminate

    const char *slash = std::strrchr(target, '/');
    return slash != nullptr && base_name_matches(slash + 1, name, name_len);
}

// True for a directory entry that is itself a directory. File systems that
// do not report the type in the entry are asked with fstatat.
bool is_directory(DIR *dir, const dirent *entry)
{
    if (entry->d_type != DT_UNKNOWN)
        return entry->d_type == DT_DIR;
    struct stat st;
    return fstatat(dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

// Prints the entry's pid when the first line of its status file
// ("Name:\t<comm>") carries exactly `name`.
void print_if_status_name(const char *entry, const char *name)
{
    char path[path_limit];
    const int written = std::snprintf(path, sizeof path, "%s/%s/status", board.proc_root, entry);
    if (written < 0 || static_cast<size_t>(written) >= sizeof path)
        return;

    const file_handle fp(std::fopen(path, "re"));
    if (!fp)
        return;
    char line[1024];
    char word[1024];
    if (std::fgets(line, sizeof line, fp.get()) == nullptr)
        return;
    if (std::sscanf(line, "%*s %1023s", word) == 1 && std::strcmp(word, name) == 0)
        std::printf("PID:%s\n", entry);
}

}  // namespace

int Is_file_exist(const char *path)
{
    if (path == nullptr)
        return -1;
    return access(path, F_OK) == 0 ? 0 : -1;
}

int find_pid_by_name(const char *name, int *pid_list, int capacity)
{
    if (pid_list == nullptr)
        capacity = 0;
    if (capacity > 0)
        pid_list[0] = 0;

    const dir_handle dir(opendir(board.proc_root));
    if (!dir) {
        std::printf("cannot open /proc");
        return -1;
    }
    if (name == nullptr)
        return 0;

    const size_t name_len = std::strlen(name);
    bool found = false;
    int stored = 0;  // pid_list[0 .. stored) holds the matches so far
    while (const dirent *entry = readdir(dir.get())) {
        const int pid = entry_pid(entry->d_name);
        if (pid == 0 || !exe_matches(entry->d_name, name, name_len))
            continue;
        found = true;
        if (stored == capacity)
            break;  // list full: the first `capacity` matches are kept
        pid_list[stored++] = pid;
    }
    return found ? 1 : 0;
}

void process_check(const char *name, int *change_count, int *last_pid, int *pid_list, int capacity)
{
    switch (find_pid_by_name(name, pid_list, capacity)) {
    case 1:
        // Only the first pid listed is watched; with capacity 0 there is
        // none to compare.
        if (capacity > 0 && pid_list != nullptr && pid_list[0] != *last_pid) {
            *last_pid = pid_list[0];
            if (++*change_count == reboot_after_changes)
                board.run_command("reboot");
        }
        break;
    case 0:
        // The companion is started under its own name whatever was asked
        // for; it is counted when a later step finds it.
        counter_add(gw_counters.board.companion_restarts);
        board.run_command("zuzize-vid &");
        break;
    default: std::printf("cannot open /proc"); break;
    }
}

void getPidByName(const char *name)
{
    const dir_handle dir(opendir(board.proc_root));
    if (!dir || name == nullptr)
        return;

    while (const dirent *entry = readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        if (is_directory(dir.get(), entry))
            print_if_status_name(entry->d_name, name);
    }
}
