#include "support/testutil.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

#include <ftw.h>

#include "board/timebase.h"
#include "peers/street.h"

namespace testutil {

TempDir::TempDir()
{
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/lampgw-test-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir()
{
    nftw(
        path_.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<missing>";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool file_exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

testing::AssertionResult wait_for(const char *what, int timeout_ms,
                                  const std::function<bool()> &pred)
{
    if (::wait_for(pred, timeout_ms))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "waited " << timeout_ms << " ms for " << what;
}

BoardGuard::BoardGuard() : saved_(board), saved_speedup_(time_speedup()) {}

BoardGuard::~BoardGuard()
{
    board = saved_;
    time_set_speedup(saved_speedup_);
}

}  // namespace testutil
