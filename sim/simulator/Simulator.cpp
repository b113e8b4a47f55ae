#include "Simulator.h"

#include <ctype.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

#include "BusBody.h"
#include "CommandLine.h"
#include "McuText.h"
#include "ServerText.h"
#include "dmsg.h"

namespace vsim {

namespace {

// Where the sandbox keeps the platform tools' command log and the daemon's output.
const char* const kCommandLog = "/sim/log/commands.log";
const char* const kDaemonStdout = "/sim/log/daemon.stdout";
const char* const kDaemonStderr = "/sim/log/daemon.stderr";
const char* const kStatusDir = "/var/etc";

enum { POLL_MS = 20, SERVER_TEXT_MAX = 200, MAX_ROOMS = 50 };

std::string address_of(const std::string& cidr)
{
    return cidr.substr(0, cidr.find('/'));
}

std::string join(const std::vector<std::string>& w, size_t from)
{
    std::string out;
    for (size_t i = from; i < w.size(); i++)
        out += (i > from ? " " : "") + w[i];
    return out;
}

bool parse_onoff(const std::string& w, int* v)
{
    if (w == "on" || w == "1") {
        *v = 1;
        return true;
    }
    if (w == "off" || w == "0") {
        *v = 0;
        return true;
    }
    return false;
}

// "1-2-3-4" (building-unit-floor-family) as the room identity of a card entry.
bool parse_room(const std::string& w, std::string* host)
{
    long long v[4];
    size_t start = 0;
    for (int i = 0; i < 4; i++) {
        size_t dash = i < 3 ? w.find('-', start) : w.size();
        if (dash == std::string::npos)
            return false;
        if (!CommandLine::integer(w.substr(start, dash - start), 0, i == 0 ? 9999 : 99, &v[i]))
            return false;
        start = dash + 1;
    }
    char buf[24];
    snprintf(buf, sizeof(buf), "S%04d%02d%02d%02d0", int(v[0]), int(v[1]), int(v[2]), int(v[3]));
    *host = buf;
    return true;
}

bool parse_hex(const std::vector<std::string>& w, size_t from, std::vector<uint8_t>* out)
{
    std::string digits;
    for (size_t i = from; i < w.size(); i++)
        digits += w[i];
    if (digits.empty() || digits.size() % 2 || digits.size() > 2 * 2047)
        return false;
    for (size_t i = 0; i < digits.size(); i += 2) {
        char pair[3] = {digits[i], digits[i + 1], 0};
        if (!isxdigit((unsigned char)pair[0]) || !isxdigit((unsigned char)pair[1]))
            return false;
        out->push_back(uint8_t(strtoul(pair, nullptr, 16)));
    }
    return true;
}

}  // namespace

Simulator::Simulator(Sandbox& sb, const Profile& profile, Trace& trace, int quit_fd)
    : m_sb(sb), m_profile(profile), m_trace(trace), m_quit_fd(quit_fd)
{
}

Simulator::~Simulator()
{
    shutdown();
}

std::string Simulator::help()
{
    return "Commands (the same interactively and in a script; a line that begins with '#' is a comment):\n"
           "  key K [down|up]        press key K: a door station's key label (0-9 * # A-D),\n"
           "                         an indoor unit's key code (pressed and released)\n"
           "  call [V]               the door station's call button (V 1: pressed, 0: released)\n"
           "  button exit|sensor|ecall V   the exit button, door sensor or emergency call\n"
           "  button akey I V        an extra key of the door station\n"
           "  input I V              alarm input I (0-7) to state V (indoor unit)\n"
           "  inputs V0 V1 ...       every alarm input at once\n"
           "  adc V                  an analogue value (0-65535)\n"
           "  eio I V                an extended input\n"
           "  ir [reading N]         infrared presence, or a raw IR reading (door station)\n"
           "  card HEX               a Wiegand card read (door station), e.g. card 12 34 56\n"
           "  mcu reboot             restart the MCU\n"
           "  mcu version A.B.C | mcu kind N | mcu silent on|off | mcu raw HEX\n"
           "  server text \"hello\" [TYPE]       a text message for the resident\n"
           "  server card add CARD ROOM ...   cards to add, ROOM as building-unit-floor-family\n"
           "  server card remove CARD ...     cards to remove\n"
           "  server card list                ask the terminal for its card list\n"
           "  server silent on|off | server timeout SECONDS   heartbeat answers\n"
           "  post /control/PATH key=value ...  a request to the daemon, e.g.\n"
           "                         post /control/w350/lock onoff=1 index=0\n"
           "  peer off|on ENDPOINT   take the emulated application at /ui, /talk ... away or back\n"
           "  clock +SECONDS | clock -SECONDS | clock set \"YYYY-MM-DD HH:MM:SS\"\n"
           "                         move the terminal's wall clock\n"
           "  daemon stop|start|restart\n"
           "  status                 what the daemon has set on the MCU, and who runs\n"
           "  wait MS                pause (scripts)\n"
           "  expect TEXT [MS]       wait for the next trace line holding TEXT (default 5000 ms);\n"
           "                         a script ends with an error when it does not come\n"
           "  help                   this list\n"
           "  quit                   end the simulator (so do end of input, Ctrl-C and SIGTERM)\n"
           "Trace: '->' leaves the daemon, '<-' reaches it.";
}

bool Simulator::quit_requested()
{
    if (m_quit)
        return true;
    pollfd p = {m_quit_fd, POLLIN, 0};
    if (m_quit_fd >= 0 && ::poll(&p, 1, 0) > 0)
        m_quit = true;
    return m_quit;
}

// Sleeps, but wakes at once when the simulator is asked to end.
bool Simulator::pause_ms(int ms)
{
    if (m_quit)
        return false;
    pollfd p = {m_quit_fd, POLLIN, 0};
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
                           .count());
        if (left <= 0)
            return true;
        if (m_quit_fd >= 0 ? ::poll(&p, 1, left) > 0 : ::poll(nullptr, 0, left) > 0) {
            m_quit = true;
            return false;
        }
    }
}

bool Simulator::start(const std::vector<std::string>& free)
{
    for (const ProfileFile& f : m_profile.files)
        if (!m_sb.write(f.path, f.text, f.mode)) {
            m_trace.line("sim", "cannot write the terminal file " + f.path);
            return false;
        }
    // The platform has finished booting before the daemon starts.
    if (!m_sb.write("/var/etc/boot_end", "1\n")) {
        m_trace.line("sim", "cannot write /var/etc/boot_end");
        return false;
    }

    if (!m_profile.mcu_port.empty()) {
        int master = m_sb.serial(m_profile.mcu_port);
        if (master < 0) {
            m_trace.line("sim", "cannot make the serial port " + m_profile.mcu_port);
            return false;
        }
        m_mcu.reset(new McuEmu(master, m_profile.mcu_port, m_profile.w350));
        m_mcu->set_frame_callback([this](const McuFrame& f) { on_frame(f); });
    }

    for (const Interface& i : m_profile.interfaces)
        if (!i.peer.empty() && address_of(i.peer) == m_profile.server)
            m_terminal = address_of(i.address);
    if (!m_terminal.empty()) {
        m_server.reset(new ServerEmu(m_sb, m_profile.server, m_terminal));
        if (!m_server->ok()) {
            m_trace.line("sim", "the building server cannot take " + m_profile.server + ":8300");
            m_server.reset();
        } else {
            m_server->set_trace([this](const ServerDatagram& d, const std::string& what) { on_datagram(d, what); });
        }
    }

    for (const msg_port_t& e : msg_port) {
        if (strcmp(e.url, "/control") == 0)
            continue;
        Peer p;
        p.url = e.url;
        p.port = e.port;
        bool left = false;
        for (const std::string& f : free)
            left = left || f == p.url;
        if (!left && !open_peer(p))
            return false;
        m_peers.push_back(std::move(p));
    }

    m_sniffer.reset(new BusSniffer(dmsg_port("/control")));
    if (!m_sniffer->ok()) {
        m_trace.line("sim", "cannot watch the loopback interface (" + m_sniffer->error() +
                                "); only the simulator's own requests to /control are traced");
        m_sniffer.reset();
    }
    m_commands.reset(new FileTail(kCommandLog));
    m_stderr.reset(new FileTail(kDaemonStderr));
    m_stdout.reset(new FileTail(kDaemonStdout));
    m_status.reset(new StatusWatch(kStatusDir));
    if (!m_status->ok())
        m_trace.line("sim", std::string("cannot watch ") + kStatusDir + "; status files are not traced");
    m_commands->lines();  // what the sandbox itself ran is not the daemon's
    m_stop = false;
    m_monitor = std::thread(&Simulator::monitor, this);

    if (!start_daemon())
        return false;
    // The daemon opens its bus endpoint and the MCU link first thing, and the
    // building-server loop right after its devices.
    bool ready = false;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(READY_TIMEOUT_MS);
    while (!ready && !quit_requested() && std::chrono::steady_clock::now() < until) {
        if (m_mcu)
            ready = m_mcu->wait_frame(-1, 200);
        else if (m_server)
            ready = m_server->wait([](const ServerDatagram&) { return true; }, nullptr, 200);
        else
            ready = pause_ms(500);
        std::lock_guard<std::mutex> lock(m_daemon_mutex);
        if (!m_daemon_up)
            break;
    }
    if (ready)
        m_trace.line("sim", m_mcu ? "ready: the daemon talks to the MCU" : "ready: the daemon talks to the server");
    else if (!quit_requested())
        m_trace.line("sim", "the daemon has not spoken yet; commands are taken all the same");
    return true;
}

bool Simulator::open_peer(Peer& p)
{
    p.peer.reset(new BusPeer(p.port));
    if (!p.peer->ok()) {
        m_trace.line("sim", "cannot take the bus endpoint " + p.url + " (127.0.0.1:" + std::to_string(p.port) + ")");
        p.peer.reset();
        return false;
    }
    p.seen = 0;
    return true;
}

bool Simulator::start_daemon()
{
    std::lock_guard<std::mutex> lock(m_daemon_mutex);
    pid_t pid = m_sb.start_daemon();
    if (pid < 0) {
        m_trace.line("sim", "cannot start the daemon");
        return false;
    }
    m_daemon_up = true;
    m_trace.line("sim", "daemon started (pid " + std::to_string(pid) + " in the terminal)");
    return true;
}

void Simulator::shutdown()
{
    if (m_monitor.joinable()) {
        m_stop = true;
        m_monitor.join();
        poll(false);  // what the daemon did before it is stopped keeps its place
    }
    {
        std::lock_guard<std::mutex> lock(m_daemon_mutex);
        if (m_daemon_up) {
            m_sb.stop_daemon();
            m_daemon_up = false;
            m_trace.line("sim", "daemon stopped");
        }
    }
    if (m_status)
        poll(true);
    // The emulators' threads end here; their callbacks must not outlive the trace.
    m_peers.clear();
    m_server.reset();
    m_mcu.reset();
    m_status.reset();
    m_sniffer.reset();
}

void Simulator::monitor()
{
    while (!m_stop) {
        poll(false);
        m_trace.flush();
        ::poll(nullptr, 0, POLL_MS);
    }
}

void Simulator::poll(bool flush)
{
    std::lock_guard<std::mutex> lock(m_poll_mutex);
    for (Peer& p : m_peers) {
        if (!p.peer)
            continue;
        std::vector<BusMessage> msgs = p.peer->messages();
        for (size_t i = p.seen; i < msgs.size(); i++) {
            const BusMessage& m = msgs[i];
            std::string text = "-> " + (m.method == "POST" ? "" : m.method + " ") + m.path;
            std::string body = BusBody::flatten(m.body);
            if (!body.empty())
                text += " " + body;
            m_trace.line_at(Trace::wall_of_monotonic(m.t_us), "bus", text);
        }
        p.seen = msgs.size();
    }
    if (m_sniffer)
        m_sniffer->poll([this](const BusPacket& p) { on_control(p); });
    for (const std::string& l : m_commands->lines(flush))
        m_trace.line("shell", l);
    for (const StatusChange& c : m_status->changes()) {
        if (c.path == "/var/etc/boot_end")
            continue;
        m_trace.line("file", c.path + (c.removed ? " removed" : " = " + BusBody::quote(c.text, 120)));
    }
    // The emulator keeps every call, and the input scan makes a thousand a second, so
    // the trace takes them and clears the record; a call that falls between the two
    // is lost to the trace (not to the emulator's state).
    for (const GpioCall& c : m_sb.gpio().calls()) {
        // The zone multiplexer's select lines are switched all the time by the input
        // scan; they would drown everything else.
        if (c.sub.compare(0, 5, "4051_") == 0)
            continue;
        if (c.cmd == 4)
            m_trace.line_at(Trace::wall_of_monotonic(c.t_us), "gpio",
                            "-> " + c.main + "/" + c.sub + " = " + std::to_string(c.data) +
                                (c.result < 0 ? " (refused)" : ""));
        else if (c.cmd == 6)
            m_trace.line_at(Trace::wall_of_monotonic(c.t_us), "gpio",
                            "-> regulator " + c.sub + " " + std::to_string(c.data) + " mV");
    }
    m_sb.gpio().clear();
    for (const std::string& l : m_stderr->lines(flush))
        m_trace.line("stderr", l);
    for (const std::string& l : m_stdout->lines(flush))
        m_trace.line("stdout", l);
    std::unique_lock<std::mutex> daemon(m_daemon_mutex, std::try_to_lock);
    if (daemon.owns_lock() && m_daemon_up) {
        int code = m_sb.wait_daemon(0);
        if (code >= 0) {
            m_daemon_up = false;
            m_trace.line("sim", "the daemon ended with exit code " + std::to_string(code) +
                                    (code > 128 ? " (signal " + std::to_string(code - 128) + ")" : ""));
        }
    }
}

void Simulator::on_frame(const McuFrame& f)
{
    std::string text = f.to_mcu ? "-> " : "<- ";
    if (f.code < 0) {
        text += "not a frame: " + std::to_string(f.raw.size()) + " bytes " + McuText::hex(f.raw);
    } else {
        bool w350 = m_profile.w350;
        text += McuEmu::code_name(w350, f.code);
        if (f.code >= 0 && strcmp(McuEmu::code_name(w350, f.code), "?") == 0)
            text += " (code " + std::to_string(f.code) + ")";
        std::string what = McuText::describe(w350, f.to_mcu, f.code, f.payload);
        if (!what.empty())
            text += " " + what;
        if (!f.valid)
            text += " (bad check byte: " + McuText::hex(f.raw) + ")";
        else if (f.sync != (w350 ? 0xA5 : 0xA7))
            text += " (other variant's sync byte)";
    }
    m_trace.line_at(Trace::wall_of_monotonic(f.t_us), "mcu", text);
}

void Simulator::on_datagram(const ServerDatagram& d, const std::string& what)
{
    std::string text = (d.outgoing ? "<- " : "-> ") + what;
    std::string more = ServerText::details(d);
    if (!more.empty())
        text += ": " + more;
    // Another sender than the terminal is worth knowing about.
    if (!d.outgoing && !d.peer.empty() && d.peer != m_terminal)
        text += " (from " + d.peer + ")";
    m_trace.line_at(d.wall_us, "server", text);
}

void Simulator::on_control(const BusPacket& p)
{
    std::string body = BusBody::flatten(p.body);
    std::string text = p.answer ? "-> " + (p.code ? std::to_string(p.code) : std::string("unreadable answer")) +
                                      " answers " + (p.path.empty() ? "a request" : p.path)
                                : "<- " + p.path;
    if (!body.empty())
        text += " " + body;
    m_trace.line_at(p.host_us + m_sb.clock_offset_us(), "bus", text);
}

// An error goes out at once, after what the sources have to say so far.
void Simulator::error(const std::string& why)
{
    if (m_status)
        poll(false);
    m_trace.plain("error: " + why);
}

int Simulator::bad(const std::string& why)
{
    error(why);
    return BAD;
}

int Simulator::report(bool sent, const std::string& what)
{
    if (sent)
        return OK;
    error(what);
    return FAILED;
}

int Simulator::execute(const std::string& line)
{
    std::vector<std::string> w;
    std::string error;
    if (!CommandLine::split(line, &w, &error))
        return bad(error);
    if (w.empty())
        return OK;
    return run(w);
}

int Simulator::run(const std::vector<std::string>& w)
{
    const std::string& v = w[0];
    if (v == "help" || v == "?") {
        m_trace.plain(help());
        return OK;
    }
    if (v == "quit" || v == "exit") {
        m_quit = true;
        return QUIT;
    }
    if (v == "wait")
        return wait(w);
    if (v == "expect")
        return expect(w);
    if (v == "post")
        return post(w);
    if (v == "peer")
        return peer(w);
    if (v == "clock")
        return clock(w);
    if (v == "daemon")
        return daemon(w);
    if (v == "status")
        return status();
    if (v == "server")
        return server(w);
    if (!m_mcu && (v == "key" || v == "call" || v == "button" || v == "input" || v == "inputs" || v == "adc" ||
                   v == "eio" || v == "ir" || v == "card" || v == "mcu"))
        return bad("this terminal has no MCU link (profile: mcu none)");
    if (v == "key")
        return key(w);
    if (v == "call" || v == "button")
        return button(w);
    if (v == "input" || v == "inputs")
        return input(w);
    if (v == "adc" || v == "eio" || v == "ir" || v == "card" || v == "mcu")
        return mcu(w);
    return bad("unknown command \"" + v + "\" (help lists them)");
}

int Simulator::key(const std::vector<std::string>& w)
{
    if (w.size() < 2 || w.size() > 3)
        return bad("key K [down|up]");
    if (m_profile.w350) {
        if (w.size() == 3)
            return bad("a door station reports a key once, without down or up");
        int index = McuText::key_index(w[1]);
        if (index < 0)
            return bad("the door station's keys are 0-9, *, #, A-D");
        return report(m_mcu->press_key(index), "the MCU cannot report the key");
    }
    long long code;
    if (!CommandLine::integer(w[1], 0, 255, &code))
        return bad("an indoor unit's key is a code 0-255");
    if (w.size() == 3 && w[2] != "down" && w[2] != "up")
        return bad("key K [down|up]");
    bool ok = true;
    if (w.size() == 2 || w[2] == "down")
        ok = m_mcu->press_key(int(code));
    if (ok && (w.size() == 2 || w[2] == "up"))
        ok = m_mcu->release_key(int(code));
    return report(ok, "the MCU cannot report the key");
}

int Simulator::button(const std::vector<std::string>& w)
{
    if (!m_profile.w350)
        return bad("buttons belong to the door station; an indoor unit's keys are \"key CODE\"");
    long long value = 1;
    if (w[0] == "call") {
        if (w.size() > 2 || (w.size() == 2 && !CommandLine::integer(w[1], 0, 255, &value)))
            return bad("call [V]");
        return report(m_mcu->press_call(int(value)), "the MCU cannot report the call button");
    }
    if (w.size() >= 2 && w[1] == "akey") {
        long long index;
        if (w.size() != 4 || !CommandLine::integer(w[2], 0, 255, &index) ||
            !CommandLine::integer(w[3], 0, 255, &value))
            return bad("button akey I V");
        return report(m_mcu->press_akey(int(index), int(value)), "the MCU cannot report the key");
    }
    if (w.size() != 3 || !CommandLine::integer(w[2], 0, 255, &value))
        return bad("button exit|sensor|ecall V");
    bool ok;
    if (w[1] == "exit")
        ok = m_mcu->press_exit(int(value));
    else if (w[1] == "sensor")
        ok = m_mcu->send_sensor(int(value));
    else if (w[1] == "ecall")
        ok = m_mcu->press_ecall(int(value));
    else
        return bad("the buttons are exit, sensor, ecall and akey");
    return report(ok, "the MCU cannot report the button");
}

int Simulator::input(const std::vector<std::string>& w)
{
    if (m_profile.w350)
        return bad("the door station's alarm zones are wired to the processor, not to the MCU");
    std::vector<uint8_t> next = m_inputs;
    if (w[0] == "input") {
        long long index, value;
        if (w.size() != 3 || !CommandLine::integer(w[1], 0, 7, &index) || !CommandLine::integer(w[2], 0, 255, &value))
            return bad("input I V, I 0-7");
        next[size_t(index)] = uint8_t(value);
    } else {
        if (w.size() < 2 || w.size() > 9)
            return bad("inputs V0 [V1 ... V7]");
        next.assign(w.size() - 1, 0);
        for (size_t i = 1; i < w.size(); i++) {
            long long value;
            if (!CommandLine::integer(w[i], 0, 255, &value))
                return bad("an input state is 0-255");
            next[i - 1] = uint8_t(value);
        }
    }
    m_inputs = next;
    return report(m_mcu->set_inputs(next), "the MCU cannot report its inputs");
}

int Simulator::mcu(const std::vector<std::string>& w)
{
    const std::string& v = w[0];
    long long a, b;
    if (v == "adc") {
        if (w.size() != 2 || !CommandLine::integer(w[1], 0, 65535, &a))
            return bad("adc V, V 0-65535");
        return report(m_mcu->send_adc(int(a)), "the MCU cannot report the value");
    }
    if (v == "eio") {
        if (w.size() != 3 || !CommandLine::integer(w[1], 0, 255, &a) || !CommandLine::integer(w[2], 0, 255, &b))
            return bad("eio I V");
        return report(m_mcu->send_eio(int(a), int(b)), "the MCU cannot report the input");
    }
    if (v == "ir") {
        if (!m_profile.w350)
            return bad("the IR presence sensor belongs to the door station");
        if (w.size() == 1)
            return report(m_mcu->send_ir_detect(), "the MCU cannot report presence");
        if (w.size() != 3 || w[1] != "reading" || !CommandLine::integer(w[2], -32768, 32767, &a))
            return bad("ir [reading N], N -32768 to 32767");
        return report(m_mcu->send_ir_reading(int(a)), "the MCU cannot report the reading");
    }
    if (v == "card") {
        std::vector<uint8_t> bytes;
        if (!m_profile.w350)
            return bad("the Wiegand input belongs to the door station");
        if (w.size() < 2 || !parse_hex(w, 1, &bytes))
            return bad("card HEX: the Wiegand bytes, e.g. card 12 34 56 or card 123456");
        return report(m_mcu->send_card(bytes), "the MCU cannot report the card");
    }
    // mcu ...
    if (w.size() < 2)
        return bad("mcu reboot | version A.B.C | kind N | silent on|off | raw HEX");
    if (w[1] == "reboot" && w.size() == 2)
        return report(m_mcu->reboot(), "the MCU cannot restart");
    if (w[1] == "version" && w.size() == 3) {
        int x, y, z;
        char end;
        if (sscanf(w[2].c_str(), "%d.%d.%d%c", &x, &y, &z, &end) != 3 || x < 0 || x > 255 || y < 0 || y > 255 ||
            z < 0 || z > 255)
            return bad("mcu version A.B.C, each 0-255");
        m_mcu->set_version(x, y, z);
        return OK;
    }
    if (w[1] == "kind" && w.size() == 3) {
        if (!CommandLine::integer(w[2], 0, 255, &a))
            return bad("mcu kind N");
        m_mcu->set_kind(int(a));
        return OK;
    }
    int on;
    if (w[1] == "silent" && w.size() == 3 && parse_onoff(w[2], &on)) {
        m_mcu->set_silent(on != 0);
        return OK;
    }
    if (w[1] == "raw") {
        std::vector<uint8_t> bytes;
        if (!parse_hex(w, 2, &bytes))
            return bad("mcu raw HEX: the bytes as they go on the line");
        return report(m_mcu->send_raw(bytes), "the MCU cannot write");
    }
    return bad("mcu reboot | version A.B.C | kind N | silent on|off | raw HEX");
}

int Simulator::server(const std::vector<std::string>& w)
{
    if (!m_server)
        return bad("no building server is emulated (its address is on no interface of the profile)");
    const char* usage = "server text \"TEXT\" [TYPE] | card add CARD ROOM ... | card remove CARD ... | card list | "
                        "silent on|off | timeout SECONDS";
    if (w.size() < 2)
        return bad(usage);
    if (w[1] == "text") {
        long long type = 0;
        if (w.size() < 3 || w.size() > 4 || (w.size() == 4 && !CommandLine::integer(w[3], 0, 65535, &type)))
            return bad("server text \"TEXT\" [TYPE]");
        if (w[2].size() > SERVER_TEXT_MAX)
            return bad("a text message holds at most 200 bytes");
        return report(m_server->send_text(uint16_t(type), ++m_seq, w[2]), "the server cannot send");
    }
    if (w[1] == "card" && w.size() >= 3) {
        if (w[2] == "list" && w.size() == 3)
            return report(m_server->request_card_list(++m_seq), "the server cannot send");
        if (w[2] == "add") {
            if (w.size() < 5 || (w.size() - 3) % 2 || (w.size() - 3) / 2 > MAX_ROOMS)
                return bad("server card add CARD ROOM [CARD ROOM ...], ROOM as building-unit-floor-family, "
                           "at most 50 cards");
            std::vector<ServerCard> cards;
            for (size_t i = 3; i < w.size(); i += 2) {
                ServerCard c;
                long long n;
                if (!CommandLine::integer(w[i], 0, 4294967295LL, &n))
                    return bad("a card number is 0-4294967295");
                if (!parse_room(w[i + 1], &c.host))
                    return bad("a room is building-unit-floor-family, e.g. 1-2-3-4");
                c.card = uint32_t(n);
                cards.push_back(c);
            }
            return report(m_server->add_cards(++m_seq, 1, cards), "the server cannot send");
        }
        if (w[2] == "remove") {
            if (w.size() < 4 || w.size() - 3 > MAX_ROOMS)
                return bad("server card remove CARD [CARD ...], at most 50 cards");
            std::vector<uint32_t> cards;
            for (size_t i = 3; i < w.size(); i++) {
                long long n;
                if (!CommandLine::integer(w[i], 0, 4294967295LL, &n))
                    return bad("a card number is 0-4294967295");
                cards.push_back(uint32_t(n));
            }
            return report(m_server->remove_cards(++m_seq, 1, cards), "the server cannot send");
        }
    }
    int on;
    if (w[1] == "silent" && w.size() == 3 && parse_onoff(w[2], &on)) {
        m_server->set_heartbeat_silent(on != 0);
        return OK;
    }
    long long seconds;
    if (w[1] == "timeout" && w.size() == 3 && CommandLine::integer(w[2], 0, 65535, &seconds)) {
        m_server->set_timeout(uint16_t(seconds));
        return OK;
    }
    return bad(usage);
}

int Simulator::post(const std::vector<std::string>& w)
{
    if (w.size() < 2)
        return bad("post /control/PATH [key=value ...]");
    const std::string& path = w[1];
    if (!BusBody::valid_path(path) || path.compare(0, 9, "/control/") != 0)
        return bad("post sends to the daemon: the path begins with /control/, without blanks, at most 127 "
                   "characters");
    std::string body, error;
    if (!BusBody::build(std::vector<std::string>(w.begin() + 2, w.end()), &body, &error))
        return bad(error);
    // The request and the answer are traced from the loopback interface, like those of
    // every other application; without that watch, here.
    std::string shown = BusBody::flatten(body);
    if (!m_sniffer)
        m_trace.line("bus", "<- " + path + (shown.empty() ? "" : " " + shown));
    dmsg d;
    int code = d.request(path.c_str(), body.empty() ? nullptr : body.c_str());
    if (code < 0) {
        m_trace.line("bus", "no answer to " + path + " within 400 ms");
        return FAILED;
    }
    std::string answer = d.body() ? BusBody::flatten(d.body()) : std::string();
    if (!m_sniffer)
        m_trace.line("bus", "-> " + std::to_string(code) + " answers " + path + (answer.empty() ? "" : " " + answer));
    if (code != 200)
        return report(false, path + " was answered " + std::to_string(code) +
                                 (code == 400 ? " (the daemon has no handler for that path)" : ""));
    return OK;
}

int Simulator::peer(const std::vector<std::string>& w)
{
    if (w.size() != 3 || (w[1] != "on" && w[1] != "off"))
        return bad("peer off|on ENDPOINT");
    for (Peer& p : m_peers) {
        if (p.url != w[2])
            continue;
        std::lock_guard<std::mutex> lock(m_poll_mutex);
        if (w[1] == "off") {
            p.peer.reset();
            m_trace.line("sim", p.url + " is left to a real application (127.0.0.1:" + std::to_string(p.port) + ")");
            return OK;
        }
        if (p.peer)
            return OK;
        if (!open_peer(p))
            return FAILED;
        m_trace.line("sim", p.url + " is emulated again");
        return OK;
    }
    std::string names;
    for (const Peer& p : m_peers)
        names += " " + p.url;
    return bad("the endpoints are" + names);
}

int Simulator::clock(const std::vector<std::string>& w)
{
    if (w.size() == 2 && (w[1][0] == '+' || w[1][0] == '-')) {
        long long seconds;
        if (!CommandLine::integer(w[1], -(1LL << 40), 1LL << 40, &seconds))
            return bad("clock +SECONDS | -SECONDS");
        m_sb.clock_advance(int64_t(seconds) * 1000000);
    } else if (w.size() >= 3 && w[1] == "set") {
        std::string when = join(w, 2);
        struct tm tm = {};
        char end;
        if (sscanf(when.c_str(), "%d-%d-%d %d:%d:%d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
                   &tm.tm_sec, &end) != 6 ||
            tm.tm_year < 1970 || tm.tm_year > 2100 || tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 ||
            tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 60 || tm.tm_hour < 0 || tm.tm_min < 0 ||
            tm.tm_sec < 0)
            return bad("clock set \"YYYY-MM-DD HH:MM:SS\"");
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        tm.tm_isdst = 0;
        time_t t = mktime(&tm);
        if (t == time_t(-1))
            return bad("clock set: no such time");
        m_sb.clock_set(int64_t(t));
    } else {
        return bad("clock +SECONDS | -SECONDS | set \"YYYY-MM-DD HH:MM:SS\"");
    }
    time_t now = time_t(Trace::wall_us() / 1000000);
    struct tm tm;
    char buf[40];
    strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S", localtime_r(&now, &tm));
    m_trace.line("sim", std::string("the terminal's clock now reads ") + buf);
    return OK;
}

int Simulator::daemon(const std::vector<std::string>& w)
{
    if (w.size() != 2 || (w[1] != "stop" && w[1] != "start" && w[1] != "restart"))
        return bad("daemon stop|start|restart");
    if (w[1] != "start") {
        std::lock_guard<std::mutex> lock(m_daemon_mutex);
        if (m_daemon_up) {
            m_sb.stop_daemon();
            m_daemon_up = false;
            m_trace.line("sim", "daemon stopped");
        } else if (w[1] == "stop") {
            return report(false, "the daemon is not running");
        }
    }
    if (w[1] == "stop")
        return OK;
    {
        std::lock_guard<std::mutex> lock(m_daemon_mutex);
        if (m_daemon_up)
            return report(false, "the daemon is running already");
    }
    return start_daemon() ? OK : FAILED;
}

int Simulator::status()
{
    std::string out;
    {
        std::lock_guard<std::mutex> lock(m_daemon_mutex);
        out = std::string("daemon: ") + (m_daemon_up ? "running" : "not running") + "\n";
    }
    out += "profile: " + m_profile.title + " (" + m_profile.dir + ")\n";
    if (m_mcu) {
        McuLine l = m_mcu->line();
        McuOutputs o = m_mcu->outputs();
        out += "MCU on " + m_profile.mcu_port + ": ";
        if (l.ok)
            out += std::to_string(l.speed) + " baud" + (l.raw ? " raw" : " not raw") + (l.cs8 ? " 8 bits" : "") +
                   (l.parity ? " parity" : "") + "\n";
        else
            out += "the line settings cannot be read\n";
        auto v = [](int x) { return x < 0 ? std::string("-") : std::to_string(x); };
        if (m_profile.w350) {
            out += "  lock " + v(o.lock) + ", lock2 " + v(o.lock2) + ", rgb " + v(o.rgb) + ", IR period " +
                   v(o.ir_period) + ", lights";
            for (const auto& kv : o.light)
                out += " " + std::to_string(kv.first) + ":" + std::to_string(kv.second);
            out += "\n";
        } else {
            out += "  hooter " + v(o.hooter) + ", audio " + v(o.audio) + ", power " + v(o.power) + ", leds";
            for (const auto& kv : o.led)
                out += " " + std::to_string(kv.first) + ":" + std::to_string(kv.second);
            out += ", medical";
            for (const auto& kv : o.medical)
                out += " " + std::to_string(kv.first) + ":" + std::to_string(kv.second);
            out += ", inputs";
            for (uint8_t i : m_inputs)
                out += " " + std::to_string(i);
            out += "\n";
        }
        out += "  RS485 parity " + v(o.rs485_pb) + " speed " + v(o.rs485_br) + " mode " + v(o.rs485_m) +
               ", Ethernet resets " + std::to_string(o.eth_resets) + "\n";
    }
    if (m_server)
        out += "building server " + m_profile.server + ": " + std::to_string(m_server->count()) +
               " datagrams from the terminal\n";
    out += "bus applications:";
    for (const Peer& p : m_peers)
        out += " " + p.url + (p.peer ? "" : " (free)");
    m_trace.plain(out);
    return OK;
}

int Simulator::wait(const std::vector<std::string>& w)
{
    long long ms;
    if (w.size() != 2 || !CommandLine::integer(w[1], 0, 3600000, &ms))
        return bad("wait MS, at most an hour");
    pause_ms(int(ms));
    return OK;
}

int Simulator::expect(const std::vector<std::string>& w)
{
    long long ms = EXPECT_TIMEOUT_MS;
    if (w.size() < 2 || w.size() > 3 || w[1].empty() || (w.size() == 3 && !CommandLine::integer(w[2], 0, 3600000, &ms)))
        return bad("expect TEXT [MS]");
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    // In slices, so that a signal ends the wait.
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        int slice = int(left.count() < 200 ? (left.count() < 0 ? 0 : left.count()) : 200);
        if (m_trace.expect(w[1], slice))
            return OK;
        if (quit_requested())
            return QUIT;
        if (slice < 200)
            break;
    }
    error("expect: no trace line with \"" + w[1] + "\" within " + std::to_string(ms) + " ms");
    return FAILED;
}

}  // namespace vsim
