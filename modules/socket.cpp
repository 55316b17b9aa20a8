// c.socket: puts packets the scripts built themselves on the wire (a whole
// IPv4 datagram on a raw socket, a whole link-layer frame on a packet
// socket) and gives them the Internet checksum. Each send opens, uses and
// closes its own socket, so nothing outlives a call.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <net/ethernet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "common/log.h"
#include "modules/mod_util.h"
#include "modules/modules.h"

namespace {

constexpr int kHwAddrLen = 6;

const char kSenderMeta[] = "korvex.socket.sender";

// A kept packet socket bound to one interface; `fd` is -1 before the open
// and after close.
struct SenderBox {
    int fd;
    int ifindex;
};

// RFC 1071 one's-complement sum over 16-bit words taken low byte first.
// The accumulator is 64 bits wide, so no input a Lua string can hold wraps
// it, and the carries are folded until the sum fits 16 bits.
uint16_t internet_checksum(const unsigned char *p, size_t len)
{
    uint64_t sum = 0;
    for (; len >= 2; p += 2, len -= 2)
        sum += static_cast<uint64_t>(p[0]) | static_cast<uint64_t>(p[1]) << 8;
    if (len == 1)
        sum += p[0];
    while (sum >> 16)
        sum = (sum >> 16) + (sum & 0xFFFF);
    return static_cast<uint16_t>(~sum);
}

// Sends `len` bytes in one call; false (logged) unless all of them left.
bool send_whole(int fd, const char *op, const char *data, size_t len, const sockaddr *to,
                socklen_t tolen)
{
    ssize_t ret = sendto(fd, data, len, 0, to, tolen);
    if (ret < 0 || static_cast<size_t>(ret) != len) {
        log_printf(LVL_ERROR, op, "send failed, ret %zd, datalen %zu", ret, len);
        return false;
    }
    return true;
}

// Binds `fd` to the interface with index `ifindex`. An index that names no
// interface fails: the caller asked for one device, and sending unbound
// would put the packet on whichever interface the route picks.
bool bind_to_index(int fd, lua_Integer ifindex)
{
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    bool ok = ifindex > 0 && ifindex <= INT_MAX;
    if (ok) {
        ifr.ifr_ifindex = static_cast<int>(ifindex);
        ok = ioctl(fd, SIOCGIFNAME, &ifr) == 0 && ifr.ifr_name[0] != '\0';
    }
    if (ok)
        ok = setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, ifr.ifr_name, IFNAMSIZ) == 0;
    if (!ok)
        log_printf(LVL_ERROR, "lsocket_raw_iudp_send", "setsockopt SO_BINDTODEVICE(%lld) failed",
                   static_cast<long long>(ifindex));
    return ok;
}

// The raw IPv4 send behind raw_iudp_send; `ifindex` < 0 means no binding.
bool iudp_send(const char *packet, size_t len, const char *address, lua_Integer port,
               bool bind, lua_Integer ifindex)
{
    const char *op = "lsocket_raw_iudp_send";
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = inet_addr(address);
    to.sin_port = htons(static_cast<uint16_t>(port));

    int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        log_printf(LVL_ERROR, op, "create socket failed");
        return false;
    }
    bool ok = !bind || bind_to_index(fd, ifindex);
    if (ok) {
        int on = 1;
        ok = setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof on) == 0;
        if (!ok)
            log_printf(LVL_ERROR, op, "setsockopt IP_HDRINCL failed");
    }
    if (ok)
        ok = send_whole(fd, op, packet, len, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    close(fd);
    return ok;
}

// The packet-socket send behind raw_pip_send. Only the first 6 bytes of
// `mac` are read, and only as many as it has (the rest stays zero).
bool pip_send(const char *frame, size_t len, const char *mac, size_t maclen, lua_Integer ifindex)
{
    const char *op = "lsocket_raw_pip_send";
    struct sockaddr_ll to;
    memset(&to, 0, sizeof to);
    to.sll_family = AF_PACKET;
    to.sll_protocol = htons(ETH_P_IP);
    // An index outside int names no interface; 0 makes the kernel refuse.
    to.sll_ifindex = ifindex > 0 && ifindex <= INT_MAX ? static_cast<int>(ifindex) : 0;
    to.sll_halen = kHwAddrLen;
    memcpy(to.sll_addr, mac, maclen < kHwAddrLen ? maclen : kHwAddrLen);

    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_IP));
    if (fd < 0) {
        log_printf(LVL_ERROR, op, "create socket failed");
        return false;
    }
    bool ok = send_whole(fd, op, frame, len, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    close(fd);
    return ok;
}

// The packet socket of a sender: protocol 0, so it receives nothing (a
// socket for ETH_P_IP would queue a copy of every IPv4 packet on the
// interface for nobody), bound to the interface. -1 with errno.
int sender_open(int ifindex)
{
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_ll at;
    memset(&at, 0, sizeof at);
    at.sll_family = AF_PACKET;
    at.sll_protocol = 0;
    at.sll_ifindex = ifindex;
    if (bind(fd, reinterpret_cast<const sockaddr *>(&at), sizeof at) < 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int socket_checksum(lua_State *L)
{
    size_t len;
    const char *data = mod_nargs(L) == 1 ? mod_string(L, 1, &len) : nullptr;
    if (!data)
        return mod_none_log("lsocket_checksum", "wrong format");

    uint16_t sum = internet_checksum(reinterpret_cast<const unsigned char *>(data), len);

    lua_pushinteger(L, sum);
    return 1;
}

int socket_raw_iudp_send(lua_State *L)
{
    int n = mod_nargs(L);
    size_t len = 0;
    const char *packet = n >= 3 ? mod_string(L, 1, &len) : nullptr;
    const char *address = n >= 3 ? mod_string(L, 2, nullptr) : nullptr;
    lua_Integer port = 0;
    lua_Integer ifindex = -1;
    // A fourth argument is an interface index or nil; anything else (a
    // device name, a float) is refused rather than silently sent unbound.
    bool bind = n >= 4 && !lua_isnil(L, 4);
    bool ok = packet && address && mod_integer(L, 3, &port) && (!bind || mod_integer(L, 4, &ifindex));
    if (!ok) {
        log_printf(LVL_ERROR, "lsocket_raw_iudp_send", "wrong format");
        return mod_false(L);
    }

    ok = iudp_send(packet, len, address, port, bind, ifindex);

    return mod_bool(L, ok);
}

int socket_raw_pip_send(lua_State *L)
{
    size_t len = 0;
    size_t maclen = 0;
    bool three = mod_nargs(L) == 3;
    const char *frame = three ? mod_string(L, 1, &len) : nullptr;
    const char *mac = three ? mod_string(L, 2, &maclen) : nullptr;
    lua_Integer ifindex = 0;
    if (!frame || !mac || !mod_integer(L, 3, &ifindex)) {
        log_printf(LVL_ERROR, "lsocket_raw_pip_send", "wrong format");
        return mod_false(L);
    }

    bool ok = pip_send(frame, len, mac, maclen, ifindex);

    return mod_bool(L, ok);
}

int socket_sender(lua_State *L)
{
    lua_Integer ifindex = 0;
    if (mod_nargs(L) != 1 || !mod_integer(L, 1, &ifindex))
        return mod_fail_false(L, "wrong format");
    // An index outside int names no interface.
    if (ifindex <= 0 || ifindex > INT_MAX)
        return mod_fail_false(L, strerror(ENODEV));

    SenderBox *b = static_cast<SenderBox *>(lua_newuserdata(L, sizeof(SenderBox)));
    b->fd = -1;
    b->ifindex = static_cast<int>(ifindex);
    luaL_setmetatable(L, kSenderMeta);
    int fd = sender_open(b->ifindex);
    if (fd < 0)
        return mod_fail_false(L, strerror(errno));

    b->fd = fd;
    return 1;
}

int socket_sender_close(lua_State *L)
{
    SenderBox *b = static_cast<SenderBox *>(mod_check_object(L, 1, kSenderMeta));
    int fd = b->fd;
    b->fd = -1;
    if (fd >= 0)
        close(fd);
    return mod_none(L);
}

// As raw_pip_send on the kept socket: the frame unchanged, the first 6
// bytes of `mac` in the address (the rest zero).
int socket_sender_send(lua_State *L)
{
    SenderBox *b = static_cast<SenderBox *>(mod_check_object(L, 1, kSenderMeta));
    size_t len = 0;
    size_t maclen = 0;
    const char *frame = mod_string(L, 2, &len);
    const char *mac = lua_isnoneornil(L, 3) ? "" : mod_string(L, 3, &maclen);
    if (!frame || !mac)
        return mod_fail_false(L, "wrong format");
    if (b->fd < 0)
        return mod_fail_false(L, "closed");

    struct sockaddr_ll to;
    memset(&to, 0, sizeof to);
    to.sll_family = AF_PACKET;
    to.sll_protocol = htons(ETH_P_IP);
    to.sll_ifindex = b->ifindex;
    to.sll_halen = kHwAddrLen;
    memcpy(to.sll_addr, mac, maclen < kHwAddrLen ? maclen : kHwAddrLen);
    ssize_t ret = sendto(b->fd, frame, len, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    if (ret < 0)
        return mod_fail_false(L, strerror(errno));
    if (static_cast<size_t>(ret) != len)
        return mod_fail_false(L, "short send");

    return mod_true(L);
}

int socket_sender_ifindex(lua_State *L)
{
    SenderBox *b = static_cast<SenderBox *>(mod_check_object(L, 1, kSenderMeta));
    lua_pushinteger(L, b->ifindex);
    return 1;
}

const luaL_Reg kSocketFuncs[] = {
    {"checksum", socket_checksum},
    {"raw_iudp_send", socket_raw_iudp_send},
    {"raw_pip_send", socket_raw_pip_send},
    {"sender", socket_sender},
    {nullptr, nullptr},
};

const luaL_Reg kSenderMethods[] = {
    {"send", socket_sender_send},
    {"ifindex", socket_sender_ifindex},
    {"close", socket_sender_close},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_c_socket(lua_State *L)
{
    mod_class(L, kSenderMeta, kSenderMethods, socket_sender_close, nullptr);
    mod_open(L, kSocketFuncs, 4);
    return 1;
}
