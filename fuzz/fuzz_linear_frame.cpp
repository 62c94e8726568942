// The linear-buffer frame paths under arbitrary input: find_frame on an
// exact-size copy, and the server, device and wheel-sensor assemblers fed the
// input in pieces.
//
// Dispatch stays cheap and local: the link is down (net_connect_flag 0, so no
// socket is written), every descriptor is -1, GPIO lines live in an empty
// temporary directory (every GPIO write fails quietly), and the clock runs a
// million times fast so the keyed-transmit and modem-reset pauses take
// microseconds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "board/board.h"
#include "board/timebase.h"
#include "protocol/protocol.h"

#include "fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *dir = fuzz_scratch_dir();
    board.gpio_root = dir;
    board.run_command = ignore_command;
    time_set_speedup(1000000);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static uint8_t server_acc[LINEAR_BUF_SIZE];
    static uint8_t device_acc[LINEAR_BUF_SIZE];
    gateway_context &ctx = net_fd1;
    ctx.w433_other_fd = ctx.w433_ludeng_fd = ctx.gsm_fd = -1;
    ctx.net_connect_flag = 0;
    ctx.sockfd = -1;

    // find_frame on an exact-size copy, output of exactly count + 2 bytes.
    {
        std::vector<uint8_t> src(data, data + size);
        std::vector<uint8_t> out(size + 2);
        int count = static_cast<int>(size);
        int out_len = -1;
        const int r = find_frame(src.data(), &count, out.data(), &out_len);
        check(count >= 0 && count <= static_cast<int>(size));
        if (r == 1) {
            check(out_len >= 12 + 8 && out_len - 2 <= static_cast<int>(size));
            check(out[2] == 0xA3 && out[3] == 0x20);
            check(((out[4] << 8) | out[5]) + 8 == out_len);
        } else {
            check(r == 0);
        }
    }

    // The assemblers, the input cut where each piece's first byte says.
    int miss = 3;
    int server_count = 0, device_count = 0;
    int wflag = 0, wcount = 0;
    uint8_t record[7] = {};
    size_t pos = 0;
    while (pos < size) {
        const size_t want = data[pos++] + 1u;
        const size_t n = want < size - pos ? want : size - pos;
        const int in = static_cast<int>(n);
        server_count =
            construct_frame_from_server(&ctx, data + pos, in, &server_count, server_acc, &miss);
        check(server_count >= 0 && server_count <= LINEAR_BUF_SIZE);
        device_count = construct_frame_from_device(&ctx, data + pos, in, &device_count, device_acc);
        check(device_count >= 0 && device_count <= LINEAR_BUF_SIZE);
        check(construct_frame_for_whell(&ctx, data + pos, in, &wflag, &wcount, record) == in);
        check(wcount >= 0 && wcount <= 7);
        pos += n;
    }
    return 0;
}
