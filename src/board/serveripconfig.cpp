#include "board/serveripconfig.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "board/board.h"

namespace {

constexpr int kReadLimit = 100;
constexpr size_t kMaxSetText = 98;
constexpr size_t kMaxShownText = 21;

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

file_ptr open_config()
{
    file_ptr f(std::fopen(board.config_file, "r+"));
    if (!f)
        std::puts("can not open the config.txt");
    return f;
}

// Reads the next line (piece) into buf; a missing line leaves empty text.
bool read_line(FILE *f, char *buf)
{
    if (std::fgets(buf, kReadLimit, f) != nullptr)
        return true;
    buf[0] = '\0';
    return false;
}

// Ends the text at its line feed, and after 21 characters at most.
void cut_shown_text(char *buf)
{
    size_t i = 0;
    while (i < kMaxShownText && buf[i] != '\0' && buf[i] != '\n')
        i++;
    buf[i] = '\0';
}

void report_write_error(FILE *f)
{
    if (std::fflush(f) != 0 || std::ferror(f))
        perror("write config");
}

}  // namespace

int server_ip_config(char *buf)
{
    file_ptr f = open_config();
    if (!f)
        return 0;
    read_line(f.get(), buf);
    cut_shown_text(buf);
    return 1;
}

int server_port_config(char *buf)
{
    file_ptr f = open_config();
    if (!f)
        return 0;
    if (read_line(f.get(), buf))
        read_line(f.get(), buf);
    cut_shown_text(buf);
    return 1;
}

int server_ip_set(const char *ip)
{
    file_ptr f = open_config();
    if (!f)
        return 0;
    if (std::strlen(ip) > kMaxSetText)
        return 1;

    // Line 2 is kept aside: a longer address overwrites its start.
    char line2[kReadLimit];
    bool have_line2 = read_line(f.get(), line2) && read_line(f.get(), line2);
    std::fseek(f.get(), 0, SEEK_SET);
    std::fprintf(f.get(), "%s\n", ip);
    if (have_line2) {
        std::fputs(line2, f.get());
        if (std::strchr(line2, '\n') == nullptr)
            std::fputc('\n', f.get());
    }
    report_write_error(f.get());
    return 1;
}

int server_port_set(const char *port)
{
    file_ptr f = open_config();
    if (!f)
        return 0;
    if (std::strlen(port) > kMaxSetText)
        return 1;

    char line1[kReadLimit];
    read_line(f.get(), line1);
    // Line 1 ended the file without a line feed (or the file is empty):
    // end it first, so that the port lands on line 2.
    const bool at_end = std::feof(f.get()) != 0 && std::strchr(line1, '\n') == nullptr;
    std::fseek(f.get(), 0, SEEK_CUR);  // switching from reading to writing
    if (at_end)
        std::fputc('\n', f.get());
    std::fprintf(f.get(), "%s\n", port);
    report_write_error(f.get());
    return 1;
}
