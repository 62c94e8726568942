// What the code under test prints on standard output (or error): while a
// Capture runs, the stream's descriptor points at an unnamed temporary file.
// A test failure reported meanwhile (on standard output) is shown, with all
// that was captured, when the capture ends. Header only: the crash tests'
// binary links no other test support.
#pragma once

#include <cstdio>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

namespace testutil {

class Capture {
public:
    explicit Capture(FILE *stream = stdout) : stream_(stream), fd_(fileno(stream))
    {
        std::fflush(stream_);
        if (file_ != nullptr)
            saved_ = dup(fd_), dup2(fileno(file_), fd_);
    }
    ~Capture() { end(); }
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    // Everything written so far, while the capture goes on.
    std::string text() const
    {
        if (file_ == nullptr)
            return kept_;
        std::fflush(stream_);
        std::string all;
        char buf[4096];
        for (ssize_t n; (n = pread(fileno(file_), buf, sizeof buf, off_t(all.size()))) > 0;)
            all.append(buf, size_t(n));
        return all;
    }

    // Ends the capture, the stream back where it pointed; all it got.
    std::string end()
    {
        if (file_ == nullptr)
            return kept_;
        kept_ = text();
        dup2(saved_, fd_), close(saved_), std::fclose(file_), file_ = nullptr;
        if (testing::Test::HasFailure() && !failed_before_)
            std::fprintf(stream_, "[ captured ]\n%s[ captured end ]\n", kept_.c_str());
        return kept_;
    }

private:
    FILE *stream_;
    int fd_, saved_ = -1;
    FILE *file_ = std::tmpfile();
    bool failed_before_ = testing::Test::HasFailure();
    std::string kept_;
};

}  // namespace testutil
