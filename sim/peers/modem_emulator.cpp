#include "peers/modem_emulator.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "board/timebase.h"

namespace {

const char kOk[] = "\r\nOK\r\n";
const char kError[] = "\r\nERROR\r\n";
const char kInvalidIndex[] = "\r\n+CMS ERROR: 321\r\n";
const char kFailed[] = "\r\n+CMS ERROR: 500\r\n";
const char kTimestamp[] = "\"26/12/06,12:00:00+32\"";
const char kBabble[] = "\r\n+CREG: 1\r\n";

std::string upper(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The last line of an answer, for event lines: "OK", "+CMS ERROR: 321", "> ".
std::string last_line(std::string ans)
{
    while (ans.size() >= 2 && ans.compare(ans.size() - 2, 2, "\r\n") == 0)
        ans.resize(ans.size() - 2);
    size_t nl = ans.rfind("\r\n");
    return nl == std::string::npos ? ans : ans.substr(nl + 2);
}

// Moves the bytes of `want` that directly follow p[i] into `raw`, advancing i.
// Returns what of `want` may still arrive in the next read: the rest of it
// when the read ended first, nothing when another byte broke the sequence.
std::string absorb(std::string &raw, const char *want, const char *p, size_t n, size_t &i)
{
    size_t k = 0;
    while (want[k] != '\0' && i + 1 < n && p[i + 1] == want[k]) {
        raw += want[k++];
        ++i;
    }
    return (want[k] != '\0' && i + 1 == n) ? std::string(want + k) : std::string();
}

// The storage index of "<index>" or "<index>,0" (blanks before the index
// are tolerated); -1 when args are not that.
int parse_index(const std::string &args, bool flag_allowed)
{
    const size_t pos = args.find_first_not_of(' ');
    if (pos == std::string::npos)
        return -1;
    const size_t end = std::min(args.find_first_not_of("0123456789", pos), args.size());
    const std::string rest = args.substr(end);
    if (end == pos || end - pos > 5 || !(rest.empty() || (flag_allowed && rest == ",0")))
        return -1;
    return std::atoi(args.substr(pos, end - pos).c_str());
}

// A fault count: n > 0 counts down, n < 0 stays on. True when it fires.
bool fault_fires(int &n)
{
    if (n == 0)
        return false;
    if (n > 0)
        --n;
    return true;
}

// Real time for a span of gateway milliseconds.
std::chrono::microseconds real_span(int gateway_ms)
{
    return std::chrono::microseconds(static_cast<long long>(gateway_ms) * 1000 / time_speedup());
}

// Writes all of data to the non-blocking master; gives up when the emulator
// stops or the pty fails, so a gateway that never reads cannot hang it.
void write_all(int fd, const char *data, size_t len, const std::atomic<bool> &stop)
{
    while (len > 0 && !stop) {
        ssize_t n = write(fd, data, len);
        if (n > 0) {
            data += n;
            len -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd pfd{fd, POLLOUT, 0};
            poll(&pfd, 1, 20);
        } else if (n < 0 && errno != EINTR) {
            return;
        }
    }
}

}  // namespace

ModemEmulator::ModemEmulator() = default;

ModemEmulator::~ModemEmulator()
{
    stop_thread();
    if (master_ >= 0)
        close(master_);
    if (slave_ >= 0)
        close(slave_);
}

bool ModemEmulator::start()
{
    if (slave_ >= 0)
        return false;  // one pty and one thread per emulator
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
        perror("openpty");
        master_ = slave_ = -1;
        return false;
    }
    char name[128];
    termios t{};
    if (ptsname_r(master_, name, sizeof name) != 0 || tcgetattr(slave_, &t) != 0) {
        perror("modem emulator pty");
        return false;
    }
    // Raw, so the CR ending each command reaches the master unchanged.
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    tcsetattr(slave_, TCSANOW, &t);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    slave_path_ = name;
    thread_ = std::thread(&ModemEmulator::run, this);
    return true;
}

const std::string &ModemEmulator::slave_path() const
{
    return slave_path_;
}

int ModemEmulator::slave_fd() const
{
    return slave_;
}

void ModemEmulator::stop_thread()
{
    stop_ = true;
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

void ModemEmulator::vanish()
{
    // From on_event the thread is this one: closing here and letting the loop
    // see stop_ is enough, as nothing else uses the master.
    stop_thread();
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

void ModemEmulator::run()
{
    char buf[2048];
    while (!stop_) {
        babble_if_due();
        pollfd pfd{master_, POLLIN, 0};
        int wait_ms = 20;  // short, so stop_thread() is prompt
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (babble_ms_ > 0) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    next_babble_ - std::chrono::steady_clock::now());
                wait_ms = static_cast<int>(
                    std::max<long long>(0, std::min<long long>(wait_ms, left.count() + 1)));
            }
        }
        int r = poll(&pfd, 1, wait_ms);
        if (r < 0 && errno != EINTR) {
            perror("modem emulator poll");
            return;
        }
        if (r <= 0)
            continue;
        ssize_t n = read(master_, buf, sizeof buf);
        if (n > 0) {
            {
                std::lock_guard<std::mutex> lock(mu_);
                if (recording_)
                    received_.append(buf, static_cast<size_t>(n));
            }
            feed(buf, static_cast<size_t>(n));
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            // EIO: no slave descriptor is open. The gateway may open the
            // node again, so wait instead of spinning on the hang-up.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

// Splits the byte stream into command lines and SMS bodies. Invariant:
// tail_ is non-empty only right after a record, and holds the terminator
// bytes that still count as part of that record if they come next.
void ModemEmulator::feed(const char *p, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        char c = p[i];
        if (!tail_.empty()) {
            if (c == tail_[0]) {
                tail_.erase(0, 1);
                std::lock_guard<std::mutex> lock(mu_);
                if (recording_ && !commands_.empty())
                    commands_.back() += c;
                continue;
            }
            tail_.clear();
        }
        if (in_body_) {
            if (c == 0x1A || c == 0x1B) {
                std::string raw = body_ + c;
                tail_ = absorb(raw, "\r\n", p, n, i);
                end_body(raw, c == 0x1A);
            } else {
                body_ += c;
            }
        } else if (c == 0x1B) {
            line_.clear();  // ESC outside a body: the line begun is dropped
            std::lock_guard<std::mutex> lock(mu_);
            if (recording_)
                commands_.push_back(std::string(1, c));
        } else if (c == '\r') {
            if (line_.empty())
                continue;  // an empty line is no command
            std::string raw = line_ + c;
            tail_ = absorb(raw, "\n", p, n, i);
            end_line(raw);
        } else if (c != '\n' || !line_.empty()) {
            line_ += c;
        }
    }
}

void ModemEmulator::end_line(const std::string &raw)
{
    std::string line;
    line.swap(line_);
    std::string ans, event;
    int delay = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (recording_)
            commands_.push_back(raw);
        if (silent_)
            return;
        if (upper(line).compare(0, 7, "AT+CMGL") == 0)
            delay = listing_delay_ms_;
    }
    if (delay > 0)
        pause_gateway_ms(delay);
    std::vector<std::pair<bool, emu_sms>> deleted;
    {
        std::lock_guard<std::mutex> lock(mu_);
        ans = handle(line, event);
        deleted.swap(deleted_);
    }
    answer(ans);
    emit(event);
    for (const auto &d : deleted)
        if (on_delete)
            on_delete(d.first, d.second);
}

void ModemEmulator::end_body(const std::string &raw, bool send)
{
    std::string ans, event;
    emu_sent_sms sms;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (recording_)
            commands_.push_back(raw);
        in_body_ = false;
        if (silent_) {
            body_.clear();
            return;
        }
        if (send) {
            sms = {number_, body_, cmgs_at_};
            if (recording_)
                sent_.push_back(sms);
            ans = "\r\n+CMGS: " + std::to_string(next_mr_) + "\r\n" + kOk;
            next_mr_ = (next_mr_ + 1) % 256;  // message reference, 0..255
            event = "sms sent to " + number_ + ": ok";
        } else {
            ans = kOk;
            event = "sms to " + number_ + ": cancelled";
        }
    }
    body_.clear();
    answer(ans);
    emit(event);
    if (send && on_sms)
        on_sms(sms);
}

// Handles one command line (without its CR); called with mu_ held. Returns the
// answer and sets event to the line for on_event.
std::string ModemEmulator::handle(const std::string &line, std::string &event)
{
    const std::string up = upper(line);
    const size_t eq = up.find('=');
    const std::string name = up.substr(0, eq);
    const bool has_args = eq != std::string::npos;
    const std::string args = has_args ? line.substr(eq + 1) : std::string();
    std::string ans = kError;

    if (up == "AT" || up == "AT+CHUP") {
        ans = kOk;
    } else if (up.compare(0, 3, "ATD") == 0) {
        if (up.size() > 4 && up.back() == ';' && !has_args)
            ans = kOk;  // voice call "placed"; nobody ever answers
    } else if (name == "AT+CMGF") {
        if (args == "1")
            ans = kOk;
    } else if (name == "AT+CPMS" && has_args) {
        std::string used = std::to_string(inbox_.size());
        std::string total = std::to_string(capacity_);
        ans = "\r\n+CPMS: " + used + "," + total + "," + used + "," + total + "," + used + "," +
              total + "\r\n" + kOk;
    } else if (up == "AT+GMR") {
        ans = "\r\n" + version_ + "\r\n" + kOk;
    } else if (up == "AT+CSQ") {
        const int rssi = signal_.load();
        ans = rssi < 0 ? std::string("\r\nERROR\r\n")
                       : "\r\n+CSQ: " + std::to_string(rssi) + ",99\r\n" + kOk;
    } else if (up == "AT+CCID") {
        ans = std::string("\r\n+CCID: 89860000000000000000\r\n") + kOk;
    } else if (name == "AT+CMGL") {
        ans = listing_mode_ == emu_listing::whole
                  ? listing(has_args ? args : "\"REC UNREAD\"")
                  : faulty_listing(has_args ? args : "\"REC UNREAD\"");
    } else if (name == "AT+CMGR" && has_args) {
        const int index = parse_index(args, false);
        auto it = std::find_if(inbox_.begin(), inbox_.end(),
                               [index](const emu_sms &m) { return m.index == index; });
        if (index < 0) {
            ans = kError;
        } else if (it == inbox_.end()) {
            ans = kInvalidIndex;
        } else {
            ans = std::string("\r\n+CMGR: ") + (it->read ? "\"REC READ\"" : "\"REC UNREAD\"") +
                  ",\"" + it->sender + "\",," + kTimestamp + "\r\n" + it->text + "\r\n" + kOk;
            it->read = true;
        }
    } else if (name == "AT+CMGS" && !args.empty() && fault_fires(fail_sends_)) {
        ans = kFailed;
    } else if (name == "AT+CMGS" && !args.empty()) {
        in_body_ = true;
        number_ = args;
        cmgs_at_ = std::chrono::steady_clock::now();
        ans = "\r\n> ";
    } else if (name == "AT+CMGD" && has_args) {
        const int index = parse_index(args, true);
        if (index >= 0 && fault_fires(fail_deletes_)) {
            ans = kFailed;
        } else if (index >= 0) {
            auto it = std::find_if(inbox_.begin(), inbox_.end(),
                                   [index](const emu_sms &m) { return m.index == index; });
            if (it == inbox_.end()) {
                ans = kInvalidIndex;
                deleted_.emplace_back(false, emu_sms{index, "", "", false});
            } else {
                deleted_.emplace_back(true, *it);
                inbox_.erase(it);
                ans = kOk;
            }
        }
    }
    event = line + ": " + last_line(ans);
    return ans;
}

// The text-mode listing for one quoted status; called with mu_ held. Listed
// unread messages become read, as on a real SIM.
std::string ModemEmulator::listing(const std::string &stat)
{
    const std::string wanted[] = {"\"REC UNREAD\"", "\"REC READ\"", "\"ALL\"", "\"STO UNSENT\"",
                                  "\"STO SENT\""};
    if (std::find(std::begin(wanted), std::end(wanted), stat) == std::end(wanted))
        return kError;
    std::string entries;
    for (emu_sms &m : inbox_) {
        bool match = stat == "\"ALL\"" || (stat == "\"REC UNREAD\"" && !m.read) ||
                     (stat == "\"REC READ\"" && m.read);
        if (!match)
            continue;
        entries += "+CMGL: " + std::to_string(m.index) + "," +
                   (m.read ? "\"REC READ\"" : "\"REC UNREAD\"") + ",\"" + m.sender + "\",," +
                   kTimestamp + "\r\n" + m.text + "\r\n";
        m.read = true;
    }
    return entries.empty() ? std::string(kOk) : "\r\n" + entries + kOk;
}

// A junk or cut-off answer to AT+CMGL; called with mu_ held.
std::string ModemEmulator::faulty_listing(const std::string &stat)
{
    auto next = [this](uint32_t n) {
        fault_rng_ = fault_rng_ * 1664525u + 1013904223u;  // LCG, enough for noise
        return (fault_rng_ >> 8) % n;
    };
    if (listing_mode_ == emu_listing::junk) {
        // Printable noise, never a '+', so no listing header can appear.
        std::string junk = "\r\n";
        for (uint32_t i = 0, n = 5 + next(200); i < n; ++i) {
            char c = static_cast<char>(' ' + next(95));
            junk += c == '+' ? '#' : c;
        }
        return junk + (next(2) ? "\r\n" : "");
    }
    // Cut: list without marking anything read, cut after a whole entry or
    // inside the final OK, then mark read the entries that went out whole.
    // Never inside an entry: a late answer run together with the next one
    // would make a cut text look whole to a reader.
    std::vector<bool> was_read;
    for (const emu_sms &m : inbox_)
        was_read.push_back(m.read);
    const std::string whole = listing(stat);
    for (size_t i = 0; i < inbox_.size(); ++i)
        inbox_[i].read = was_read[i];
    std::vector<size_t> cuts = {0};
    for (size_t at = whole.find("+CMGL: "); at != std::string::npos;
         at = whole.find("+CMGL: ", at + 1)) {
        const size_t text_end = whole.find("\r\n", whole.find("\r\n", at) + 2);
        if (text_end != std::string::npos)
            cuts.push_back(text_end + 2);
    }
    for (size_t k = whole.size() >= 5 ? whole.size() - 5 : 0; k < whole.size(); ++k)
        cuts.push_back(k);
    std::string part = whole.substr(0, cuts[next(static_cast<uint32_t>(cuts.size()))]);
    for (emu_sms &m : inbox_) {
        const size_t at = part.find("+CMGL: " + std::to_string(m.index) + ",");
        const size_t text_at = at == std::string::npos ? at : part.find("\r\n", at);
        if (text_at != std::string::npos && part.find(m.text + "\r\n", text_at + 2) == text_at + 2)
            m.read = true;
    }
    return part;
}

void ModemEmulator::answer(const std::string &text)
{
    size_t chunk, gap;
    {
        std::lock_guard<std::mutex> lock(mu_);
        chunk = chunk_bytes_ == 0 ? text.size() : chunk_bytes_;
        gap = static_cast<size_t>(std::max(gap_ms_, 0));
    }
    for (size_t off = 0; off < text.size() && master_ >= 0 && !stop_; off += chunk) {
        if (off > 0 && gap > 0)
            gw_usleep(static_cast<unsigned long>(gap) * 1000UL);
        write_all(master_, text.data() + off, std::min(chunk, text.size() - off), stop_);
    }
}

// Sleeps ms of gateway time in short real slices, so stop_thread() stays prompt.
void ModemEmulator::pause_gateway_ms(int ms)
{
    auto until = std::chrono::steady_clock::now() +
                 std::chrono::microseconds(static_cast<long long>(ms) * 1000 / time_speedup());
    while (!stop_ && std::chrono::steady_clock::now() < until) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            until - std::chrono::steady_clock::now());
        std::this_thread::sleep_for(std::min(left, std::chrono::microseconds(20000)));
    }
}

void ModemEmulator::emit(const std::string &event)
{
    if (on_event && !event.empty())
        on_event(event);
}

int ModemEmulator::add_sms(const std::string &sender, const std::string &text)
{
    std::lock_guard<std::mutex> lock(mu_);
    int index = 1;
    auto it = inbox_.begin();  // inbox_ is ordered by index
    for (; it != inbox_.end() && it->index == index; ++it)
        ++index;
    if (index > capacity_) {
        ++refused_;
        return 0;
    }
    inbox_.insert(it, emu_sms{index, sender, text, false});
    return index;
}

void ModemEmulator::set_capacity(int slots)
{
    std::lock_guard<std::mutex> lock(mu_);
    capacity_ = std::max(slots, 0);
}

int ModemEmulator::refused() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return refused_;
}

void ModemEmulator::set_babble(int gateway_ms)
{
    std::lock_guard<std::mutex> lock(mu_);
    babble_ms_ = std::max(gateway_ms, 0);
    next_babble_ = std::chrono::steady_clock::now() + real_span(babble_ms_);
}

// Called by the emulator thread between answers only, so an unsolicited
// line never lands inside one.
void ModemEmulator::babble_if_due()
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        const auto now = std::chrono::steady_clock::now();
        if (babble_ms_ == 0 || in_body_ || now < next_babble_)
            return;
        next_babble_ = now + real_span(babble_ms_);
    }
    answer(kBabble);
}

void ModemEmulator::fail_next_sends(int n)
{
    std::lock_guard<std::mutex> lock(mu_);
    fail_sends_ = n;
}

void ModemEmulator::fail_next_deletes(int n)
{
    std::lock_guard<std::mutex> lock(mu_);
    fail_deletes_ = n;
}

void ModemEmulator::set_listing_fault(emu_listing mode, uint32_t seed)
{
    std::lock_guard<std::mutex> lock(mu_);
    listing_mode_ = mode;
    fault_rng_ = seed | 1u;
}

void ModemEmulator::set_recording(bool keep)
{
    std::lock_guard<std::mutex> lock(mu_);
    recording_ = keep;
}

std::vector<emu_sms> ModemEmulator::inbox() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return inbox_;
}

std::vector<emu_sent_sms> ModemEmulator::sent() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return sent_;
}

std::vector<std::string> ModemEmulator::commands() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return commands_;
}

std::string ModemEmulator::received() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
}

void ModemEmulator::set_silent(bool silent)
{
    std::lock_guard<std::mutex> lock(mu_);
    silent_ = silent;
}

void ModemEmulator::set_chunking(size_t chunk_bytes, int gap_ms)
{
    std::lock_guard<std::mutex> lock(mu_);
    chunk_bytes_ = chunk_bytes;
    gap_ms_ = gap_ms;
}

void ModemEmulator::set_listing_delay(int gateway_ms)
{
    std::lock_guard<std::mutex> lock(mu_);
    listing_delay_ms_ = gateway_ms;
}

void ModemEmulator::set_signal(int rssi)
{
    signal_.store(rssi);
}

void ModemEmulator::set_version(const std::string &v)
{
    std::lock_guard<std::mutex> lock(mu_);
    version_ = v;
}

bool ModemEmulator::wait_until(const std::function<bool()> &pred, int timeout_ms) const
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
