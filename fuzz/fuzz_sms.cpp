// The modem's SMS answers and the command interpreter under arbitrary input.
//
// The input is taken both as the answer to a listing, whose storage indexes
// are checked to be bounded and distinct, and as the answer to the read of
// one message (AT+CMGR). A message read is checked for terminated fields
// and a one-line text, judged under the rules of the configuration file
// (an admin list and a password) and, when allowed, run as a command. The
// modem descriptor is -1 (replies go nowhere and their waits are scaled to
// microseconds), the shell runner only counts, and the configuration file
// is a temporary one restored before each input.
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
    "sms_admin_numbers=\"+8613800000000\", 10086\nsms_password=7351\n";
sms_rules rules[2];  // from CONFIG; and anyone, no password

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
    restore_config();
    sms_rules_load(config_path, &rules[0]);
    check(!rules[0].anyone && rules[0].password_ok);
    sms_rules_load("/nonexistent/config.txt", &rules[1]);
    check(rules[1].anyone && !rules[1].password_set);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    restore_config();
    gateway_context &ctx = net_fd1;
    ctx.w433_other_fd = ctx.w433_ludeng_fd = ctx.gsm_fd = -1;
    ctx.net_connect_flag = 0;

    // Exact-size copy: the parsers must never look at buf[len].
    std::vector<char> buf(reinterpret_cast<const char *>(data),
                          reinterpret_cast<const char *>(data) + size);
    int index[8];
    const int n = sms_list_indexes(buf.data(), buf.size(), index, 8);
    check(n >= 0 && n <= 8);
    for (int i = 0; i < n; i++) {
        check(index[i] >= 0 && index[i] <= 99999);
        for (int j = 0; j < i; j++)
            check(index[i] != index[j]);
    }

    static sms_message m;
    for (bool whole : {true, false}) {
        const sms_read read = sms_parse_cmgr(buf.data(), buf.size(), whole, &m);
        check(terminated(m.sender, sizeof m.sender) && m.text_len < sizeof m.text &&
              m.text[m.text_len] == '\0');
        if (read == SMS_READ_NONE)
            continue;
        check(read == SMS_READ_BAD ||
              (whole && m.sender[0] == '"' && strpbrk(m.text, "\r\n") == nullptr));
        for (const sms_rules &r : rules) {
            const char *command = nullptr;
            if (sms_judge(r, m, read, &command) != SMS_RUN)
                continue;
            check(read == SMS_READ_GOOD && command >= m.text && command <= m.text + strlen(m.text));
            check(!r.password_set || (strncmp(m.text, "7351 ", 5) == 0 && command == m.text + 5));
            const int ret = receive_short_message_process(&ctx, command, m.sender);
            check(ret >= -1 && ret <= SMS_LAST_COMMAND);
        }
    }
    return 0;
}
