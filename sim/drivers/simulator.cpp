// sim_run: the gateway's start-up in-process, its worker threads and its
// supervision loop on threads of our own, the timeline, and the stop. The
// street, the events and the counts live in the files beside this one
// (simulator_street.h lists them).
#include "drivers/simulator.h"

#include <algorithm>
#include <memory>

#include "drivers/simulator_street.h"
#include "modem/message.h"
#include "runtime/connect.h"
#include "runtime/main.h"
#include "runtime/report.h"

namespace {

// A thread of the gateway that reports when its entry returned.
struct worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
};

worker start_worker(void *(*entry)(void *))
{
    worker w;
    auto done = w.done;
    w.thread = std::thread([entry, done] {
        entry(&net_fd1);
        done->store(true);
    });
    return w;
}

// The gateway's start-up, then its workers and, on a thread of its own
// instead of the main one, its supervision loop. sv outlives the workers.
std::vector<worker> start_gateway(sim_street &s, supervision_state &sv)
{
    gateway_stopping.store(false);
    net_fd1.sockfd.store(-1);
    net_fd1.net_connect_flag.store(0);
    sms_phone_store(&net_fd1, "");
    sim_say(s, "sim",
            "street ready: radio1 (434 MHz side) on " + s.radio[0].path() +
                ", radio2 (450 MHz side) on " + s.radio[1].path() + ", modem on " +
                s.modem.slave_path() + ", server on 127.0.0.1:" + std::to_string(s.server.port()) +
                ", " + std::to_string(s.opt.lamps) + " lamp(s) per module");
    sim_say(s, "sim",
            "gateway start-up (about 25 gateway seconds; clock x" +
                std::to_string(s.opt.time_scale) + ")");
    gateway_startup(&net_fd1, &sv);
    for (int i = 0; i < 2; ++i)
        sim_say(s, sim_radio_name(i), "configured: " + s.radio[i].settings_text());

    s.workers_at = sim_clock::now();
    s.running.store(true);
    sim_say(s, "sim", "workers start; scenario time 0");
    std::vector<worker> workers;
    for (auto entry : {receive_short_message, connecttoserver, from_device_to_server,
                       from_server_to_device, stats_reporter})
        workers.push_back(start_worker(entry));
    worker supervision;
    supervision.thread = std::thread([&sv, done = supervision.done] {
        while (!gateway_stopping.load())
            supervision_pass(&sv);
        done->store(true);
    });
    workers.push_back(std::move(supervision));
    return workers;
}

bool reboot_requested(sim_street &s)
{
    std::lock_guard<std::mutex> hold(s.lock);
    return s.c.reboots > 0;
}

// Scenario events and the lamps' own status frames, in gateway time, until
// the duration (or, with until_reboot, the first reboot request).
void play_timeline(sim_street &s, const std::vector<sim_event> &events)
{
    std::vector<double> lamp_due[2];
    sim_lamp_schedule(s.opt, lamp_due);
    size_t next = 0;
    for (;;) {
        const double now = sim_gateway_seconds(s);
        if (now >= s.opt.duration || (s.opt.until_reboot && reboot_requested(s)))
            break;
        for (; next < events.size() && events[next].at <= now; ++next)
            sim_play_event(s, events[next]);
        sim_send_due_lamps(s, lamp_due, now);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Every worker loop tests gateway_stopping between its steps; the longest
// step (an SMS exchange at its time limit, a forwarded frame) takes about
// ten gateway seconds. True when every thread ended and was joined; one
// still busy is left behind.
bool stop_gateway(sim_street &s, std::vector<worker> &workers, int stop_ms)
{
    sim_say(s, "sim", "stopping the gateway");
    gateway_stopping.store(true);
    wait_for(
        [&workers] {
            return std::all_of(workers.begin(), workers.end(),
                               [](const worker &w) { return w.done->load(); });
        },
        stop_ms);
    bool all_joined = true;
    for (auto &w : workers) {
        if (w.done->load()) {
            w.thread.join();
        } else {
            w.thread.detach();
            all_joined = false;
        }
    }
    // A connector still trying ends within a scaled second.
    wait_for([] { return net_fd1.net_connect_flag.load() == 1 || net_fd1.sockfd.load() == -1; },
             stop_ms);
    for (pid_t pid : s.processes.pids())
        s.processes.stop(pid, 2000);
    return all_joined;
}

}  // namespace

int sim_run(const sim_options &opt, const std::vector<sim_event> &events, sim_counters *cp)
{
    *cp = sim_counters{};
    const auto real_start = sim_clock::now();
    sim_street s(opt, *cp);
    if (!sim_street_open(s))
        return 2;
    sim_console console;
    if (!sim_console_start(console, s)) {
        perror("lampgw-sim: capturing the console");
        sim_street_close(s);
        return 2;
    }
    supervision_state sv;
    std::vector<worker> workers = start_gateway(s, sv);
    play_timeline(s, events);
    sim_settle(s);
    const int stop_ms = static_cast<int>(30000 / opt.time_scale) + 5000;
    const bool joined = stop_gateway(s, workers, stop_ms);
    sim_final_counts(s, joined, stop_ms);
    sim_check_modules(s);
    sim_console_stop(console);
    sim_street_close(s);
    cp->real_seconds = std::chrono::duration<double>(sim_clock::now() - real_start).count();
    return cp->failures.empty() ? 0 : 1;
}
