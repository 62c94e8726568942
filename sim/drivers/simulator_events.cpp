// The demo's timeline: what each scenario event does to the street, and the
// lamps' own status frames.
#include "drivers/simulator_street.h"

#include <unistd.h>

namespace {

// The module an event names (port 1 or 2), as an index.
int module_of(const sim_event &e)
{
    return e.port >= 1 && e.port <= 2 ? e.port - 1 : 0;
}

void sms_arrives(sim_street &s, const sim_event &e)
{
    s.modem.add_sms(e.sender, e.text);
    {
        std::lock_guard<std::mutex> hold(s.lock);
        ++s.c.sms_in;
    }
    sim_say(s, "modem", "SMS from " + e.sender + " arrives: \"" + e.text + "\"");
}

void radio_bytes(sim_street &s, const sim_event &e)
{
    const int p = module_of(e);
    const bool frame = e.data.size() >= 14 && e.data[0] == 0xA3;
    if (frame) {
        std::lock_guard<std::mutex> hold(s.lock);
        ++s.c.port[p].injected_frames;
        // The types that go on to the server, when the bytes are one whole
        // frame the gateway will cut.
        if ((e.data[10] == 1 || e.data[10] == 5) && sim_whole_frame(e.data)) {
            s.pending[e.data] = {sim_clock::now(), p};
            ++s.c.port[p].relay_sent;
            s.c.port[p].up_at_risk += s.link_lost;
        }
    }
    s.radio[p].send_raw(e.data);
    sim_say(s, sim_radio_name(p),
            "-> " + (frame ? describe_frame(e.data) + " : " : std::string()) + hex(e.data));
}

void lamp_status(sim_street &s, const sim_event &e)
{
    const int p = module_of(e);
    if (e.lamp > s.opt.lamps)
        sim_say(s, sim_radio_name(p),
                "note: lamp " + std::to_string(e.lamp) + " is beyond --lamps");
    s.radio[p].send_status(e.lamp);
}

// The frame a server event sends: as given, a lamp's dimming command, or
// the modem reset for the gateway itself.
bytes server_frame_of(sim_street &s, const sim_event &e)
{
    if (e.kind == sim_event_kind::server_lamp) {
        const RadioModule &m = s.radio[module_of(e)];
        auto a = m.lamp_address(e.lamp);
        return make_frame(a.data(), m.lamp_type(), static_cast<uint8_t>(e.port),
                          static_cast<uint8_t>(e.lamp), 0x02, {static_cast<uint8_t>(e.level)});
    }
    if (e.kind == sim_event_kind::server_reset_modem)
        return make_frame(SIM_GATEWAY_ADDRESS, 0, 0x01, 0x01, 3, {});
    return e.data;
}

void server_sends(sim_street &s, const sim_event &e)
{
    const bytes f = server_frame_of(s, e);
    const bool up = s.server.connected();
    if (f.size() > 12 && (f[10] == 1 || f[10] == 4 || f[10] == 5)) {
        const int m = f[10] == 5 ? 1 : 0;
        std::lock_guard<std::mutex> hold(s.lock);
        ++s.c.port[m].server_sent;
        if (up && sim_whole_frame(f))
            s.server_forms[m].insert(hex(radio_frame(f)));
    }
    s.server.send(f);
    sim_say(s, "server",
            "-> " + describe_frame(f) + (up ? " : " : " NOT SENT, no connection : ") + hex(f));
}

void server_drops(sim_street &s)
{
    const bool up = s.server.connected();
    if (up) {
        std::lock_guard<std::mutex> hold(s.lock);
        s.server.drop();
        ++s.c.server_drops;
        // What the server has not read yet goes with the connection; frames
        // still waiting from before it began were never written (the link
        // was down) or were lost before.
        s.link_lost = true;
        for (const auto &f : s.pending)
            if (f.second.first >= s.connected_at - std::chrono::seconds(1))
                ++s.c.port[f.second.second].up_at_risk;
    }
    sim_say(s, "server", up ? "drops the connection" : "has no connection to drop");
}

void server_silent(sim_street &s, bool on)
{
    s.server.answer_heartbeats.store(!on);
    sim_say(s, "server", on ? "stops answering heartbeats" : "answers heartbeats again");
}

void modem_babbles(sim_street &s, bool on)
{
    s.modem.set_babble(on ? SIM_BABBLE_MS : 0);
    sim_say(s, "modem",
            on ? "babbles: an unsolicited line every " + std::to_string(SIM_BABBLE_MS) + " ms"
               : "stops babbling");
}

void modem_vanishes(sim_street &s)
{
    s.modem_gone = true;
    s.modem.vanish();
    unlink(s.watch.c_str());
    sim_say(s, "modem", "device nodes vanish (USB modem gone)");
}

}  // namespace

void sim_play_event(sim_street &s, const sim_event &e)
{
    switch (e.kind) {
    case sim_event_kind::sms: sms_arrives(s, e); break;
    case sim_event_kind::radio_bytes: radio_bytes(s, e); break;
    case sim_event_kind::lamp: lamp_status(s, e); break;
    case sim_event_kind::server_frame:
    case sim_event_kind::server_lamp:
    case sim_event_kind::server_reset_modem: server_sends(s, e); break;
    case sim_event_kind::drop: server_drops(s); break;
    case sim_event_kind::silent: server_silent(s, e.on); break;
    case sim_event_kind::modem_babble: modem_babbles(s, e.on); break;
    case sim_event_kind::modem_vanish: modem_vanishes(s); break;
    }
}

// The lamps of each module spread over one interval, the second module's
// half a lamp later.
void sim_lamp_schedule(const sim_options &opt, std::vector<double> due[2])
{
    for (int i = 0; i < 2; ++i)
        for (int n = 0; n < opt.lamps; ++n)
            due[i].push_back(1.0 + opt.lamp_interval * (n + 0.5 * i) / opt.lamps);
}

void sim_send_due_lamps(sim_street &s, std::vector<double> due[2], double now)
{
    for (int i = 0; i < 2; ++i)
        for (size_t n = 0; n < due[i].size(); ++n)
            if (now >= due[i][n]) {
                due[i][n] += s.opt.lamp_interval;
                s.radio[i].send_status(static_cast<int>(n) + 1);
            }
}
