#include "board/getmacaddr.h"

#include <cstdio>
#include <cstring>

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "board/board.h"

namespace {

// Closes the query socket on every way out.
struct socket_closer {
    int fd;
    ~socket_closer() { ::close(fd); }
};

// Asks the kernel for the interface's hardware address. Both failures are
// reported here, once; the caller's buffer is not touched by this function.
bool query_hwaddr(uint8_t (&mac)[6])
{
    // The socket is only a handle for the ioctl.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("create socket falise...mac/n");
        return false;
    }
    const socket_closer closer{fd};

    ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    // At most IFNAMSIZ - 1 characters; the zeroed record keeps the NUL.
    std::memcpy(ifr.ifr_name, board.net_if, ::strnlen(board.net_if, IFNAMSIZ - 1));

    if (::ioctl(fd, SIOCGIFHWADDR, &ifr) < 0) {
        std::printf("mac ioctl error/n");
        return false;
    }
    std::memcpy(mac, ifr.ifr_hwaddr.sa_data, sizeof mac);
    return true;
}

}  // namespace

int get_char_macaddr(char *buf)
{
    uint8_t mac[6];
    if (!query_hwaddr(mac))
        return 0;
    std::snprintf(buf, 13, "%02x%02x%02x%02x%02x%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    return 1;
}

int get_int_macaddr(uint8_t *buf)
{
    uint8_t mac[6];
    if (!query_hwaddr(mac))
        return 0;
    std::memcpy(buf, mac, sizeof mac);
    return 1;
}
