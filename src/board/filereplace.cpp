#include "board/filereplace.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What follows the file name in a temporary's name; mkostemp fills the six
// X with letters and digits.
constexpr char kTempSuffix[] = ".tmp-XXXXXX";
constexpr size_t kTempRandom = 6;

// Splits `path` into its directory ("." when there is none) and its last
// component. False when the directory does not fit `dir`.
bool split_path(const char *path, char *dir, size_t dir_size, const char **base)
{
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        *base = path;
        return std::snprintf(dir, dir_size, ".") > 0;
    }
    *base = slash + 1;
    const size_t len = slash == path ? 1 : static_cast<size_t>(slash - path);
    if (len >= dir_size)
        return false;
    std::memcpy(dir, path, len);
    dir[len] = '\0';
    return true;
}

bool is_leftover_name(const char *name, const char *base)
{
    const size_t base_len = std::strlen(base);
    const size_t fixed = sizeof kTempSuffix - 1 - kTempRandom;  // ".tmp-"
    if (std::strncmp(name, base, base_len) != 0 ||
        std::strncmp(name + base_len, kTempSuffix, fixed) != 0)
        return false;
    const char *random = name + base_len + fixed;
    for (size_t i = 0; i < kTempRandom; i++) {
        const char c = random[i];
        const bool alnum =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!alnum)
            return false;
    }
    return random[kTempRandom] == '\0';
}

// Writes all `len` bytes, continuing after a short write; false on an error.
bool write_all(int fd, const char *data, size_t len)
{
    while (len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Flushes the directory so that a completed rename survives a power cut.
bool sync_directory(const char *dir)
{
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        perror("open config directory");
        return false;
    }
    const bool synced = fsync(fd) == 0;
    if (!synced)
        perror("fsync config directory");
    // Nothing was written through this descriptor: once fsync succeeded, a
    // failing close cannot lose anything.
    close(fd);
    return synced;
}

}  // namespace

int remove_replace_leftovers(const char *file)
{
    char dir[PATH_MAX];
    const char *base = nullptr;
    if (!split_path(file, dir, sizeof dir, &base))
        return 0;
    DIR *d = opendir(dir);
    if (d == nullptr)
        return 0;
    int removed = 0;
    char path[PATH_MAX];
    while (const dirent *e = readdir(d)) {
        if (!is_leftover_name(e->d_name, base))
            continue;
        const int n = std::snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
        if (n > 0 && static_cast<size_t>(n) < sizeof path && unlink(path) == 0)
            removed++;
    }
    closedir(d);
    return removed;
}

int replace_file(const char *file, const char *data, size_t len)
{
    char dir[PATH_MAX];
    const char *base = nullptr;
    char tmp[PATH_MAX];
    const int n = std::snprintf(tmp, sizeof tmp, "%s%s", file, kTempSuffix);
    if (n < 0 || static_cast<size_t>(n) >= sizeof tmp || !split_path(file, dir, sizeof dir, &base))
        return 1;

    remove_replace_leftovers(file);

    struct stat old_stat;
    const bool have_old_mode = stat(file, &old_stat) == 0;

    // Close-on-exec: other threads may start shell commands meanwhile.
    int fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0) {
        perror("create config");
        return 1;
    }
    // Reports the failed step and drops the temporary file; the target was
    // never touched.
    auto fail = [&](const char *what) {
        perror(what);
        if (fd >= 0)
            close(fd);
        unlink(tmp);
        return 1;
    };

    // mkostemp creates the file private to the owner; keep the mode the old
    // file had.
    if (have_old_mode && fchmod(fd, old_stat.st_mode & 07777) != 0)
        return fail("fchmod config");
    if (!write_all(fd, data, len))
        return fail("write config");
    if (fsync(fd) != 0)
        return fail("fsync config");
    // Linux releases the descriptor even when close fails; the error still
    // means the content may not be what was written.
    const int closed = close(fd);
    fd = -1;
    if (closed != 0)
        return fail("close config");
    if (std::rename(tmp, file) != 0)
        return fail("rename config");
    return sync_directory(dir) ? 0 : 2;
}
