// The demo's command line and its scenario files: one event per line,
// "<gateway-seconds> <event> [args]", checked word by word.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "drivers/simulator.h"

namespace {

bool parse_number(const std::string &s, double *out)
{
    char *end = nullptr;
    errno = 0;
    double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0' || errno != 0 || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

bool parse_int(const std::string &s, long lo, long hi, int *out)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || errno != 0 || v < lo || v > hi)
        return false;
    *out = static_cast<int>(v);
    return true;
}

// A whole frame when it starts A3 20 and its length field matches its size;
// otherwise the bytes are taken as a frame body and wrapped.
bytes as_frame(const bytes &b)
{
    if (b.size() >= 6 && b[0] == 0xA3 && b[1] == 0x20 &&
        (static_cast<size_t>(b[2]) << 8 | b[3]) + 6 == b.size())
        return b;
    return make_frame(b);
}

// Splits off the first blank-separated word of s; s keeps the rest, without
// the blanks in between.
std::string next_word(std::string &s)
{
    size_t start = s.find_first_not_of(" \t");
    if (start == std::string::npos) {
        s.clear();
        return "";
    }
    size_t end = s.find_first_of(" \t", start);
    std::string w = s.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t rest = end == std::string::npos ? std::string::npos : s.find_first_not_of(" \t", end);
    s = rest == std::string::npos ? "" : s.substr(rest);
    return w;
}

// ------------------------------------------------------------ one event each

// Each takes the event's name and the words after it (using them up), fills in *e (whose
// kind is set already) and returns an empty text when fine, else the fault.
using event_parser = std::string (*)(const std::string &name, std::string &rest, sim_event *e);

std::string parse_sms(const std::string &, std::string &rest, sim_event *e)
{
    e->sender = next_word(rest);
    e->text = rest;
    return e->sender.empty() ? "sms needs a sender and a text" : "";
}

// radio1/radio2 <hex>, or radio1/radio2 frame <hex body>.
std::string parse_radio(const std::string &name, std::string &rest, sim_event *e)
{
    e->port = name[5] - '0';
    const bool frame = rest.compare(0, 6, "frame ") == 0;
    if (frame)
        next_word(rest);
    if (!parse_hex(rest, &e->data))
        return name + " needs hex bytes";
    if (frame)
        e->data = make_frame(e->data);
    return "";
}

std::string parse_lamp(const std::string &name, std::string &rest, sim_event *e)
{
    e->port = name[4] - '0';
    return parse_int(next_word(rest), 1, 255, &e->lamp) && rest.empty()
               ? ""
               : name + " needs a lamp number 1..255";
}

std::string parse_server(const std::string &, std::string &rest, sim_event *e)
{
    if (!parse_hex(rest, &e->data))
        return "server needs hex bytes";
    e->data = as_frame(e->data);
    return "";
}

// server-lamp <port> <lamp> [level], the level 50 unless given.
std::string parse_server_lamp(const std::string &, std::string &rest, sim_event *e)
{
    e->level = 50;
    if (!parse_int(next_word(rest), 1, 2, &e->port) ||
        !parse_int(next_word(rest), 1, 255, &e->lamp))
        return "server-lamp needs a port (1 or 2) and a lamp number";
    if (!rest.empty() && (!parse_int(next_word(rest), 0, 255, &e->level) || !rest.empty()))
        return "server-lamp: the level is 0..255";
    return "";
}

std::string parse_on_off(const std::string &name, std::string &rest, sim_event *e)
{
    std::string w = next_word(rest);
    e->on = w == "on";
    return (w == "on" || w == "off") && rest.empty() ? "" : name + " needs on or off";
}

std::string parse_bare(const std::string &name, std::string &rest, sim_event *)
{
    return rest.empty() ? "" : name + " takes no arguments";
}

const struct {
    const char *name;
    sim_event_kind kind;
    event_parser parse;
} EVENTS[] = {
    {"sms", sim_event_kind::sms, parse_sms},
    {"radio1", sim_event_kind::radio_bytes, parse_radio},
    {"radio2", sim_event_kind::radio_bytes, parse_radio},
    {"lamp1", sim_event_kind::lamp, parse_lamp},
    {"lamp2", sim_event_kind::lamp, parse_lamp},
    {"server", sim_event_kind::server_frame, parse_server},
    {"server-lamp", sim_event_kind::server_lamp, parse_server_lamp},
    {"silent", sim_event_kind::silent, parse_on_off},
    {"modem-babble", sim_event_kind::modem_babble, parse_on_off},
    {"server-reset-modem", sim_event_kind::server_reset_modem, parse_bare},
    {"drop", sim_event_kind::drop, parse_bare},
    {"modem-vanish", sim_event_kind::modem_vanish, parse_bare},
};

// One scenario line without its time. Returns an empty text when fine.
std::string parse_event(const std::string &name, std::string &rest, sim_event *e)
{
    for (const auto &ev : EVENTS)
        if (name == ev.name) {
            e->kind = ev.kind;
            return ev.parse(name, rest, e);
        }
    return "unknown event \"" + name + "\"";
}

// One line of a scenario: false for a blank or comment line; otherwise
// true, with the event in *e or the fault in *fault.
bool parse_line(std::string line, sim_event *e, std::string *fault)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    std::string rest = line;
    std::string first = next_word(rest);
    if (first.empty() || first[0] == '#')
        return false;
    if (!parse_number(first, &e->at) || e->at < 0) {
        *fault = "\"" + first + "\" is not a time in seconds";
        return true;
    }
    std::string name = next_word(rest);
    *fault = name.empty() ? "no event after the time" : parse_event(name, rest, e);
    return true;
}

// One option with its value; false with the fault in *err.
bool set_option(sim_options *opt, const std::string &a, const std::string &value, std::string *err)
{
    double d = 0;
    int n = 0;
    bool ok = true;
    if (a == "--duration")
        ok = parse_number(value, &d) && d > 0 && (opt->duration = d, true);
    else if (a == "--time-scale")
        ok = parse_int(value, 1, 100000, &n) && (opt->time_scale = static_cast<unsigned>(n), true);
    else if (a == "--lamps")
        ok = parse_int(value, 0, 255, &n) && (opt->lamps = n, true);
    else if (a == "--lamp-interval")
        ok = parse_number(value, &d) && d > 0 && (opt->lamp_interval = d, true);
    else if (a == "--scenario")
        opt->scenario = value;
    else {
        *err = "unknown option " + a;
        return false;
    }
    if (!ok)
        *err = "bad value for " + a + ": " + value;
    return ok;
}

}  // namespace

const char *sim_usage()
{
    return "usage: lampgw-sim [--duration SECONDS] [--time-scale N] [--lamps N] [--lamp-interval "
           "SECONDS]\n"
           "                  [--scenario FILE] [--quiet] [--until-reboot] [--tls]\n"
           "  --duration       gateway seconds to run after start-up (default 60)\n"
           "  --time-scale     gateway clock speed-up, 1 = real time (default 20)\n"
           "  --lamps          lamps behind each radio module, 0..255 (default 3)\n"
           "  --lamp-interval  gateway seconds between status frames of one lamp (default 10)\n"
           "  --scenario       timeline of events, \"<gateway-seconds> <event> [args]\" per line\n"
           "  --quiet          print only the summary\n"
           "  --until-reboot   end at the gateway's first reboot request (--duration bounds it)\n"
           "  --tls            the server speaks TLS (certificates made for the run) and asks\n"
           "                   for the gateway's client certificate\n";
}

int sim_parse_args(int argc, char **argv, sim_options *opt, std::string *err)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i], value;
        size_t eq = a.find('=');
        bool inline_value = a.compare(0, 2, "--") == 0 && eq != std::string::npos;
        if (inline_value) {
            value = a.substr(eq + 1);
            a = a.substr(0, eq);
        }
        if (a == "--help" || a == "-h")
            return 2;
        if (a == "--quiet" || a == "--until-reboot" || a == "--tls") {
            (a == "--quiet" ? opt->quiet : a == "--tls" ? opt->tls : opt->until_reboot) = true;
            continue;
        }
        if (!inline_value) {
            if (i + 1 >= argc) {
                *err = a + " needs a value";
                return 1;
            }
            value = argv[++i];
        }
        if (!set_option(opt, a, value, err))
            return 1;
    }
    return 0;
}

bool sim_parse_scenario(const std::string &text, std::vector<sim_event> *events, std::string *err)
{
    std::istringstream in(text);
    std::string line;
    int number = 0;
    std::vector<sim_event> got;
    while (std::getline(in, line)) {
        ++number;
        sim_event e;
        e.line = number;
        std::string fault;
        if (!parse_line(line, &e, &fault))
            continue;
        if (!fault.empty()) {
            *err = "line " + std::to_string(number) + ": " + fault;
            return false;
        }
        got.push_back(e);
    }
    std::stable_sort(got.begin(), got.end(),
                     [](const sim_event &a, const sim_event &b) { return a.at < b.at; });
    *events = std::move(got);
    return true;
}

bool sim_load_scenario(const std::string &path, std::vector<sim_event> *events, std::string *err)
{
    std::ifstream f(path);
    if (!f) {
        *err = "cannot open " + path;
        return false;
    }
    std::stringstream text;
    text << f.rdbuf();
    if (!sim_parse_scenario(text.str(), events, err)) {
        *err = path + ": " + *err;
        return false;
    }
    return true;
}
