// The configuration reader under arbitrary file contents: the whole-file
// loader, the single-key reader (with a roomy and a tiny value buffer), the
// rewriter, and the line splitter on the input as one line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "board/paraconfig.h"

#include "fuzz_common.h"

namespace {

char path[300];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *dir = fuzz_scratch_dir();
    snprintf(path, sizeof path, "%s/config.txt", dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = fopen(path, "wb");
    if (!f)
        abort();
    if (size > 0 && fwrite(data, 1, size, f) != size)
        abort();
    fclose(f);

    static config_item items[20];
    int num = -1;
    const int r = file_to_items(path, items, 20, &num);
    check(r == 0 || r == 2);
    if (r == 0) {
        check(num >= 0 && num <= 20);
        for (int i = 0; i < num; i++)
            check(terminated(items[i].key, sizeof items[i].key) &&
                  terminated(items[i].value, sizeof items[i].value));
    }

    char value[20];
    memcpy(value, "unchanged", 10);
    check(read_conf_value("server_ip_addr", value, sizeof value, path) == 0);
    check(terminated(value, sizeof value));
    char tiny[1] = {'x'};
    check(read_conf_value("device_id", tiny, sizeof tiny, path) == 0);
    check(tiny[0] == 'x' || tiny[0] == '\0');

    const int w = write_conf_value("server_port_num", "8001", path);
    check(w == 0 || w == 1);

    // The input as one line (up to its first NUL).
    std::vector<char> line(reinterpret_cast<const char *>(data),
                           reinterpret_cast<const char *>(data) + size);
    line.push_back('\0');
    static config_item item;
    const int kind = get_item_from_line(line.data(), &item);
    check(kind >= CONF_LINE_ENTRY && kind <= CONF_LINE_TOO_LONG);
    if (kind == CONF_LINE_ENTRY)
        check(terminated(item.key, sizeof item.key) && terminated(item.value, sizeof item.value));
    return 0;
}
