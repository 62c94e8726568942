#include "support/cabinet.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "board/timebase.h"
#include "runtime/connect.h"

Cabinet::Cabinet(unsigned speedup, bool with_config)
{
    gateway_stopping.store(false);
    other.start();
    ludeng.start();
    modem.start();
    server.start();
    config = dir.file("config.txt");
    watch_node = dir.file("ttyUSB2");
    testutil::write_file(watch_node, "");
    if (with_config)
        testutil::write_file(
            config, "server_ip_addr=127.0.0.1\nserver_port_num=" + std::to_string(server.port()) +
                        "\ndevice_id=0102030405A6\nsms_admin_numbers=+4915100000001\n");
    board.radio_other_dev = other.path().c_str();
    board.radio_ludeng_dev = ludeng.path().c_str();
    board.gsm_dev = modem.slave_path().c_str();
    board.gsm_watch_dev = watch_node.c_str();
    board.gpio_root = gpio.root().c_str();
    board.proc_root = dir.path().c_str();  // no entry in it is a process
    board.config_file = config.c_str();
    board.state_dir = dir.path().c_str();
    time_set_speedup(speedup);

    gateway_context &c = net_fd1;
    c.w433_other_fd = c.w433_ludeng_fd = c.gsm_fd = -1;
    c.sockfd.store(-1);
    c.net_connect_flag.store(0);
    c.sms_phone[0] = '\0';
    // What start-up would have read from config.txt.
    std::snprintf(c.server_ip_addr, sizeof c.server_ip_addr, "%s", with_config ? "127.0.0.1" : "");
    c.server_port_num[0] = c.device_id[0] = '\0';
    c.server_port = with_config ? server.port() : 0;
}

Cabinet::~Cabinet()
{
    stop();
    // A connector still trying ends within a (scaled) second.
    wait_for([] { return net_fd1.net_connect_flag.load() == 1 || net_fd1.sockfd.load() == -1; },
             3000);
    for (int port : {net_fd1.w433_other_fd, net_fd1.w433_ludeng_fd})
        if (port >= 0)
            close(port);
    int fd = net_fd1.sockfd.exchange(-1);
    net_fd1.net_connect_flag.store(0);
    if (fd >= 0)
        close(fd);
}

void Cabinet::open_ports()
{
    net_fd1.w433_other_fd = open(other.path().c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
    net_fd1.w433_ludeng_fd = open(ludeng.path().c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
    net_fd1.gsm_fd = modem.slave_fd();
}

testing::AssertionResult Cabinet::link_up()
{
    start_connector(&net_fd1);
    return testutil::wait_for("the link to the server", 5000, [this] {
        return net_fd1.net_connect_flag.load() == 1 && server.connected();
    });
}

void Cabinet::run(const std::function<void()> &body)
{
    threads.emplace_back([this, body] {
        body();
        ++finished;
    });
}

void Cabinet::stop()
{
    gateway_stopping.store(true);
    // Worker loops test the flag between steps of seconds of gateway time. A
    // thread stuck beyond that can be neither joined nor left behind.
    if (!wait_for([this] { return finished.load() == threads.size(); }, 10000)) {
        std::fputs("cabinet: a gateway thread did not stop within 10 s of gateway_stopping\n",
                   stderr);
        std::_Exit(1);
    }
    for (auto &t : threads)
        t.join();
    threads.clear();
    finished.store(0);
}

bytes lamp_frame(uint8_t type, uint8_t seq, uint8_t command)
{
    static const uint8_t lamp[6] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
    return make_frame(lamp, type, 0x07, 0x08, command, {seq, 0x00, 0x11, 0x22, 0x33});
}
