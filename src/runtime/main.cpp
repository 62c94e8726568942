// Start-up, the supervision loop and the two pumps.
#include "runtime/main.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "board/board.h"
#include "board/configcheck.h"
#include "board/filereplace.h"
#include "board/gpio.h"
#include "board/log.h"
#include "board/paraconfig.h"
#include "board/strtohex.h"
#include "board/timebase.h"
#include "io/wlcom.h"
#include "modem/message.h"
#include "protocol/crc16.h"
#include "protocol/kfifo.h"
#include "protocol/protocol.h"
#include "radio/init.h"
#include "runtime/connect.h"
#include "runtime/getpid.h"
#include "runtime/report.h"

namespace {

constexpr uint32_t RING_SIZE = 0x10000;                     // each ring holds 64 KiB
constexpr uint32_t READ_MAX = 0x8000;                       // one read takes at most 32 KiB
constexpr size_t WORK_SIZE = RING_SIZE + RADIO_PREFIX_LEN;  // the largest frame in radio form

// Opens a radio UART non-blocking and sets it to 9600 8N1.
int open_radio(const char *dev)
{
    int fd = open_dev(dev, O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (fd > 0)
        set_speed(fd, 9600);
    if (fd > 0)
        set_parity(fd, 8, 1, 'N');
    return fd;
}

// Takes the frame of length len out of the ring into work + 2 and puts it
// in radio form: a copy of frame bytes 11 and 12 in front.
void take_frame(kfifo *ring, uint8_t *work, int len)
{
    uint8_t *frame = work + RADIO_PREFIX_LEN;
    __kfifo_out(ring, frame, static_cast<uint32_t>(len));
    work[0] = frame[FRAME_PREFIX_AT];
    work[1] = frame[FRAME_PREFIX_AT + 1];
}

// Puts n bytes read from a port into its ring, counting them and what a
// full ring pushes out.
void ring_put(kfifo *ring, const uint8_t *bytes, int n, gw_counter &read, gw_counter &overflow)
{
    const uint32_t room = kfifo_unused(ring);
    const uint32_t len = static_cast<uint32_t>(n);
    counter_add(read, len);
    if (len > room)
        counter_add(overflow, len - room);
    __kfifo_in(ring, bytes, len);
}

// __frame_filter, counting the bytes it drops as belonging to no frame.
int ring_filter(kfifo *ring, gw_counter &discarded)
{
    const uint32_t out = ring->out;
    const int len = __frame_filter(ring);
    counter_add(discarded, ring->out - out);
    return len;
}

// Cuts at most one frame out of a radio ring and dispatches it. True when a
// frame left, so the ring may hold another.
bool radio_ring_pass(gateway_context *ctx, kfifo *ring, uint8_t *work, port_counters &pc)
{
    int len = ring_filter(ring, pc.bytes_discarded);
    if (len == 0)
        return false;
    take_frame(ring, work, len);
    switch (comand_process_from_device(ctx, work, len + RADIO_PREFIX_LEN)) {
    case FRAME_RELAYED: counter_add(pc.frames_relayed); break;
    case FRAME_HANDLED: counter_add(pc.frames_handled); break;
    case FRAME_UNSENT: counter_add(pc.frames_unsent); break;
    default: counter_add(pc.frames_ignored); break;
    }
    outputlogmessage("from device:", work + RADIO_PREFIX_LEN, len);
    return true;
}

// True when the server has ended the connection on fd: the socket reads as
// the end of the stream, or the server reset it.
bool server_has_closed(int fd)
{
    char b;
    const ssize_t r = fd >= 0 ? recv(fd, &b, 1, MSG_PEEK | MSG_DONTWAIT) : -1;
    return r == 0 || (r < 0 && errno == ECONNRESET);
}

// Asks which radio UARTs have bytes (or hung up), waiting at most wait_ms;
// ready[i] tells for each. True when poll reported anything.
bool poll_radio_ports(int fd1, int fd2, int wait_ms, bool ready[2])
{
    pollfd fds[2] = {{fd1, POLLIN, 0}, {fd2, POLLIN, 0}};
    const int n = poll(fds, 2, wait_ms);
    ready[0] = n > 0 && fds[0].revents != 0;
    ready[1] = n > 0 && fds[1].revents != 0;
    return n > 0;
}

// One watchdog feed: the line high for a second.
void feed_watchdog()
{
    set_gpio_output(board.gpio_watchdog, 1);
    counter_add(gw_counters.board.watchdog_feeds);
    gw_sleep(1);
    set_gpio_output(board.gpio_watchdog, 0);
}

// Prints "warning: <problem>" for each problem not printed yet that concerns
// `key` (every one left when key is null).
void print_warnings(const config_problem *problems, int n, bool *warned, const char *key)
{
    for (int i = 0; i < n; i++) {
        if (warned[i] || (key != nullptr && std::strcmp(problems[i].key, key) != 0))
            continue;
        warned[i] = true;
        printf("warning: %s\n", problems[i].text);
    }
}

// The optional key stats_interval: seconds between statistics lines, 0
// for none. Absent or not a number of seconds: the default.
int read_stats_interval(const char *config)
{
    char text[20] = "";
    int seconds = CONFIG_STATS_INTERVAL_DEFAULT;
    if (read_conf_value("stats_interval", text, sizeof text, config) == 0 && text[0] != '\0')
        (void)config_parse_interval(text, &seconds);
    return seconds;
}

// Writes to the server report a broken pipe as EPIPE (MSG_NOSIGNAL) and
// recover on the writing thread; a stray SIGPIPE must not end the process.
void ignore_sigpipe()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGPIPE);
    sa.sa_flags = 0;
    sigaction(SIGPIPE, &sa, nullptr);
}

// Exports the five lines before driving any, then pulses the modem reset
// and the start-up line low for a second each and lowers both transmit keys.
void gpio_startup()
{
    for (int line : {board.gpio_modem_reset, board.gpio_key_other, board.gpio_startup_pulse,
                     board.gpio_key_ludeng, board.gpio_watchdog})
        gpio_export(line);
    set_gpio_output(board.gpio_modem_reset, 0);
    gw_sleep(1);
    set_gpio_output(board.gpio_modem_reset, 1);
    set_gpio_output(board.gpio_startup_pulse, 0);
    gw_sleep(1);
    set_gpio_output(board.gpio_startup_pulse, 1);
    set_gpio_output(board.gpio_key_other, 0);
    set_gpio_output(board.gpio_key_ludeng, 0);
}

// Reads the server address and port, the gateway address and the statistics
// interval into the context, printing each value and then what is wrong
// with it.
void read_startup_config(gateway_context *ctx)
{
    // A value too long for its 20-byte field is refused by the reader with
    // a console line and the field stays empty.
    ctx->server_ip_addr[0] = ctx->server_port_num[0] = ctx->device_id[0] = '\0';
    read_conf_value("server_ip_addr", ctx->server_ip_addr, sizeof ctx->server_ip_addr,
                    board.config_file);
    read_conf_value("server_port_num", ctx->server_port_num, sizeof ctx->server_port_num,
                    board.config_file);
    read_conf_value("device_id", ctx->device_id, sizeof ctx->device_id, board.config_file);

    // What is wrong with the file is printed after the line of the value
    // it concerns; start-up goes on as it always did.
    config_problem problems[CONFIG_PROBLEMS_MAX];
    const int nproblems = config_check(board.config_file, problems, CONFIG_PROBLEMS_MAX);
    bool warned[CONFIG_PROBLEMS_MAX] = {};

    printf("device id=%s\n", ctx->device_id);
    print_warnings(problems, nproblems, warned, "device_id");
    (void)hexToStr(ctx->device_id, deviceid);
    printf("server_ip:%s\n", ctx->server_ip_addr);
    print_warnings(problems, nproblems, warned, "server_ip_addr");
    ctx->server_port = atoi(ctx->server_port_num);
    printf("server port num:%d\n", ctx->server_port);
    print_warnings(problems, nproblems, warned, "server_port_num");
    print_warnings(problems, nproblems, warned, nullptr);
    ctx->stats_interval = read_stats_interval(board.config_file);
}

// Both radio modules (the 434 MHz one on the net id of the gateway address),
// then the modem.
void configure_modules(gateway_context *ctx)
{
    // The radio net id is the decimal number in the address text from its
    // ninth character on (atoi stops at the first non-digit).
    int netid = std::strlen(ctx->device_id) > 8 ? atoi(ctx->device_id + 8) : 0;
    w433_para_init(ctx->w433_other_fd, static_cast<uint8_t>(netid & 0xFF), 0, 434);
    w433_para_init(ctx->w433_ludeng_fd, 1, 0, 450);

    GSM_Conf_Message(ctx->gsm_fd);
    Module_ME3630_Get_Version(ctx->gsm_fd);
}

}  // namespace

int receivedata(int fd, uint8_t *buf, int timeout_seconds)
{
    fd_set rset;
    FD_ZERO(&rset);
    // A port that failed to open (fd -1) puts nothing in the set: the wait
    // just runs out.
    int nfds = 0;
    if (fd >= 0 && fd < FD_SETSIZE) {
        FD_SET(fd, &rset);
        nfds = fd + 1;
    }
    timeval tv = gw_timeval(timeout_seconds, 0);

    int rc = select(nfds, &rset, nullptr, nullptr, &tv);
    if (rc == -1) {
        perror("select()");
        gw_sleep(1);
        return -1;
    }
    if (rc == 0)
        return 0;
    if (nfds == 0 || !FD_ISSET(fd, &rset))
        return -2;
    ssize_t n = read(fd, buf, READ_MAX);
    return n > 0 ? static_cast<int>(n) : 0;
}

void *from_device_to_server(void *arg)
{
    gateway_context *ctx = static_cast<gateway_context *>(arg);
    uint8_t store_other[RING_SIZE], store_ludeng[RING_SIZE], work[WORK_SIZE];
    kfifo other, ludeng;
    __kfifo_init(&other, store_other, RING_SIZE, 1);
    __kfifo_init(&ludeng, store_ludeng, RING_SIZE, 1);

    // Each pass reads the ports that have bytes and sends at most one frame
    // from each ring, the 434 MHz side first. While neither ring gave a
    // frame in the last pass, no whole frame is queued: wait for bytes
    // (1 s of gateway time at most) instead of spinning. After a frame, only
    // look whether bytes are there. A port the poll does not report has
    // nothing to read, so it costs no system call.
    bool frame_left = false;
    while (!gateway_stopping.load()) {
        bool ready[2];
        const bool polled_ready = poll_radio_ports(ctx->w433_other_fd, ctx->w433_ludeng_fd,
                                                   frame_left ? 0 : gw_poll_ms(1000), ready);
        bool got_bytes = false;

        port_counters &pc_other = gw_counters.port[PORT_OTHER];
        int n = ready[0] ? receivedata(ctx->w433_other_fd, work, 0) : 0;
        if (n > 0) {
            ring_put(&other, work, n, pc_other.bytes_read, pc_other.bytes_overflow);
            got_bytes = true;
        }
        frame_left = radio_ring_pass(ctx, &other, work, pc_other);

        port_counters &pc_ludeng = gw_counters.port[PORT_LUDENG];
        n = ready[1] ? receivedata(ctx->w433_ludeng_fd, work, 0) : 0;
        if (n > 0) {
            ring_put(&ludeng, work, n, pc_ludeng.bytes_read, pc_ludeng.bytes_overflow);
            got_bytes = true;
        }
        frame_left = radio_ring_pass(ctx, &ludeng, work, pc_ludeng) || frame_left;

        // A port that hung up stays "readable" with nothing to read; do not
        // let it turn the wait into a spin.
        if (polled_ready && !got_bytes && !frame_left)
            gw_usleep(100000);
    }
    return nullptr;
}

void *from_server_to_device(void *arg)
{
    gateway_context *ctx = static_cast<gateway_context *>(arg);
    uint8_t heartbeat[HEARTBEAT_BUF_SIZE], store[RING_SIZE], work[WORK_SIZE];
    kfifo ring;
    heartbeat_fill(heartbeat, deviceid);
    __kfifo_init(&ring, store, RING_SIZE, 1);
    int pass = 0;
    int heartbeat_miss_count = 0;

    while (!gateway_stopping.load()) {
        // This thread is the socket's only reader and so the only one that
        // closes it: a link another thread ended is closed here.
        close_ended_link(ctx);
        if (pass == 60) {
            pass = 0;
            heartbeatprocess(ctx, heartbeat, &heartbeat_miss_count);
        }
        pass++;
        if (ctx->net_connect_flag.load() != 1) {
            gw_sleep(1);
            continue;
        }
        server_counters &sc = gw_counters.server;
        const int fd = ctx->sockfd.load();
        int n = 0;
        bool ended = false;
        if (tls_link_on()) {
            const ssize_t r = server_read_tls(ctx, fd, work, READ_MAX, 1);
            n = r > 0 ? static_cast<int>(r) : 0;
            ended = r < 0;
        } else {
            n = receivedata(fd, work, 1);
            ended = n <= 0 && server_has_closed(fd);
        }
        if (n > 0)
            ring_put(&ring, work, n, sc.bytes_read, sc.bytes_discarded);
        else if (ended)
            server_closed(ctx, fd);
        int len = ring_filter(&ring, sc.bytes_discarded);
        if (len != 0) {
            take_frame(&ring, work, len);
            comand_process_from_server(ctx, work, len + RADIO_PREFIX_LEN, &heartbeat_miss_count);
            outputlogmessage("from server:", work + RADIO_PREFIX_LEN, len);
        }
    }
    return nullptr;
}

void open_serial_ports(gateway_context *ctx)
{
    // O_NOCTTY everywhere: a daemon that leads its session must not take a
    // serial port as its controlling terminal, or a modem unplugged would
    // hang it up with SIGHUP. O_CLOEXEC (open_dev adds it for the radios):
    // the companion and every other shell command must not hold a port.
    ctx->w433_other_fd = open_radio(board.radio_other_dev);
    ctx->w433_ludeng_fd = open_radio(board.radio_ludeng_dev);
    ctx->gsm_fd = open(board.gsm_dev, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ctx->gsm_fd == -1)
        puts("open ttyUSB1 error");
    if (ctx->gsm_fd > 0)
        set_speed(ctx->gsm_fd, 115200);
    if (ctx->gsm_fd > 0)
        set_parity(ctx->gsm_fd, 8, 1, 'N');
}

void gateway_startup(gateway_context *ctx, supervision_state *sv)
{
    counters_reset(gw_seconds());
    // SIGUSR1 asks for a statistics line; without a handler it would end
    // the process.
    stats_signal_install();
    ctx->run_flag = 1;
    ctx->net_connect_flag.store(0);
    std::memset(sv, 0, sizeof *sv);
    sv->passes_left = SUPERVISION_PASSES;

    open_serial_ports(ctx);
    ignore_sigpipe();
    gpio_startup();
    // A rewrite killed by a power cut may have left its temporary file.
    remove_replace_leftovers(board.config_file);
    read_startup_config(ctx);
    tls_link_setup(board.config_file);
    puts("SOFTWAREVERSION start.");
    fflush(stdout);

    gw_sleep(1);
    feed_watchdog();
    gw_sleep(1);
    configure_modules(ctx);
    fflush(stdout);
}

void gateway_start_workers(gateway_context *ctx)
{
    void *(*const entries[])(void *) = {receive_short_message, connecttoserver,
                                        from_device_to_server, from_server_to_device,
                                        stats_reporter};
    for (auto entry : entries) {
        pthread_t tid;
        int rc = pthread_create(&tid, nullptr, entry, ctx);
        if (rc != 0) {
            errno = rc;
            perror("pthread_create ERROR\n");
            exit(1);
        }
    }
}

void supervision_pass(supervision_state *sv)
{
    if (sv->passes_left == 0) {
        // Past the daily limit: only ask for a reboot until the board goes
        // down. One request a second, so a refused reboot does not turn the
        // loop into a fork storm.
        board.run_command("reboot");
        gw_sleep(1);
        return;
    }
    gw_sleep(19);
    feed_watchdog();
    process_check("zuzize-vid", &sv->change_count, &sv->last_pid, sv->pid_list,
                  static_cast<int>(sizeof sv->pid_list / sizeof sv->pid_list[0]));
    // A missing modem node asks for a reboot (one for each node), but a
    // dead modem must not reboot the board every pass for ever: a pass with
    // either node missing is one reboot for the back-off, which may hold it.
    reboot_limit_tick(&sv->modem_reboots);
    const bool usb1_missing = Is_file_exist(board.gsm_dev) != 0;
    const bool usb2_missing = Is_file_exist(board.gsm_watch_dev) != 0;
    if (!usb1_missing && !usb2_missing)
        reboot_limit_release(&sv->modem_reboots);
    else if (reboot_limit_take(&sv->modem_reboots)) {
        if (usb1_missing)
            board.run_command("reboot");
        if (usb2_missing)
            board.run_command("reboot");
    }
    sv->passes_left--;
    fflush(stdout);
}

int gateway_main()
{
    static supervision_state sv;
    // The console goes to the journal: one line at a time, as it happens.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    gateway_startup(&net_fd1, &sv);
    gateway_start_workers(&net_fd1);
    while (!gateway_stopping.load())
        supervision_pass(&sv);
    return 0;
}
