#include "drivers/stats_check.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

bool stats_parse(const std::string &line, gw_stats *out)
{
    const size_t at = line.find("stats ");
    if (at == std::string::npos || line.find(" uptime=", at) == std::string::npos)
        return false;
    out->clear();
    std::istringstream words(line.substr(at + 6));
    std::string w;
    while (words >> w) {
        const size_t eq = w.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == w.size())
            continue;
        char *end = nullptr;
        errno = 0;
        const long long v = std::strtoll(w.c_str() + eq + 1, &end, 10);
        if (*end == '\0' && errno == 0)
            (*out)[w.substr(0, eq)] = v;
    }
    return !out->empty();
}

void count_checks_run(const gw_stats &stats, std::vector<count_check> *checks)
{
    for (count_check &c : *checks) {
        std::istringstream keys(c.keys);
        std::string k;
        c.gateway = 0;
        while (keys >> k) {
            auto it = stats.find(k);
            if (it == stats.end()) {
                c.gateway = -1;
                break;
            }
            c.gateway += it->second;
        }
        c.ok = c.gateway >= 0 && c.gateway >= c.street_before - c.below &&
               c.gateway <= c.street_after + c.above;
    }
}

std::string count_check_text(const count_check &c)
{
    std::string names = c.keys;
    for (char &ch : names)
        ch = ch == ' ' ? '+' : ch;
    std::string t = names + ": gateway " +
                    (c.gateway < 0 ? std::string("(no such key)") : std::to_string(c.gateway)) +
                    ", " + c.figure + " " + std::to_string(c.street_before);
    if (c.street_after != c.street_before)
        t += " to " + std::to_string(c.street_after);
    if (c.below != 0 || c.above != 0)
        t += " (tolerance -" + std::to_string(c.below) + "/+" + std::to_string(c.above) + ": " +
             c.why + ")";
    return t;
}
