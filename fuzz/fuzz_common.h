// What the fuzz targets share: a failed property aborts (libFuzzer reports
// it), shell commands are ignored, and a scratch directory for files.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

inline void check(bool ok)
{
    if (!ok)
        abort();
}

inline int ignore_command(const char *)
{
    return 0;
}

// True when a fixed-size text field holds its terminating NUL.
inline bool terminated(const char *field, size_t size)
{
    return memchr(field, '\0', size) != nullptr;
}

// Makes a fresh directory under $TMPDIR (or /tmp) for the run and sends
// standard output, where the gateway logs, to /dev/null: the fuzzer reports
// on standard error. Aborts when either fails.
inline const char *fuzz_scratch_dir()
{
    static char dir[256];
    const char *tmp = getenv("TMPDIR");
    snprintf(dir, sizeof dir, "%s/lampgw-fuzz-XXXXXX", tmp && *tmp ? tmp : "/tmp");
    check(mkdtemp(dir) != nullptr);
    check(freopen("/dev/null", "w", stdout) != nullptr);
    return dir;
}

}  // namespace
