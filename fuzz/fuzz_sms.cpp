// The SMS listing parser and the command interpreter under arbitrary input.
//
// The input is taken as the modem's answer to the unread listing. Every entry
// parsed from it is checked for sane bounds and terminated fields, then run
// as a command. The modem descriptor is -1 (replies go nowhere and their
// waits are scaled to microseconds), the shell runner only counts, and the
// configuration file is a temporary one restored before each input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "board/board.h"
#include "board/timebase.h"
#include "modem/message.h"
#include "runtime/main.h"

#include "fuzz_common.h"

namespace {

char config_path[300];
const char CONFIG[] =
    "server_ip_addr=192.0.2.10\nserver_port_num=8000\ndevice_id=0102030405A6\n"
    "sms_admin_numbers=\"+8613800000000\", 10086\n";

void restore_config()
{
    FILE *f = fopen(config_path, "w");
    if (!f)
        abort();
    fputs(CONFIG, f);
    fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *dir = fuzz_scratch_dir();
    snprintf(config_path, sizeof config_path, "%s/config.txt", dir);
    board.config_file = config_path;
    board.gpio_root = dir;
    board.run_command = ignore_command;
    time_set_speedup(1000000);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    restore_config();
    gateway_context &ctx = net_fd1;
    ctx.w433_other_fd = ctx.w433_ludeng_fd = ctx.gsm_fd = -1;
    ctx.net_connect_flag = 0;

    // Exact-size copy: the parser must never look at buf[len].
    std::vector<char> buf(reinterpret_cast<const char *>(data),
                          reinterpret_cast<const char *>(data) + size);
    static sms_entry e;
    size_t from = 0, next = 0;
    int entries = 0;
    while (sms_next_entry(buf.data(), buf.size(), from, &e, &next) == 1) {
        check(next > from && next <= buf.size());
        check(terminated(e.index, sizeof e.index) && terminated(e.sender, sizeof e.sender) &&
              terminated(e.text, sizeof e.text));
        (void)sms_sender_allowed("\"+8613800000000\", 10086,,", e.sender);
        (void)sms_sender_allowed(nullptr, e.sender);
        const int r = receive_short_message_process(&ctx, e.text, e.sender);
        check(r >= -1 && r <= SMS_LAST_COMMAND);
        from = next;
        if (++entries > 64)
            break;  // long listings add nothing but time
    }
    return 0;
}
