// pcap: libpcap for the scripts. Live captures, capture files and dead
// handles (for writing files) as "wt.pcap" objects, capture-file writers as
// "wt.pcap_dumper" objects, and the timestamp conversions between seconds
// and (seconds, microseconds).
//
// Script functions are pcap_<name> (pcap_dumper_<name> for writers); where
// that is also a libpcap routine, the call of the routine is ::pcap_<name>.
#include <math.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/time.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "control/cancel_wait.h"
#include "modules/mod_util.h"
#include "modules/modules.h"
#include "modules/packet_tuple.h"

namespace {

const char kPcapMeta[] = "wt.pcap";
const char kDumperMeta[] = "wt.pcap_dumper";

constexpr int kDefaultSnaplen = 65535;
constexpr int kTimestampSize = 64;
// The most packets one read_batch call takes: a larger batch would only
// hold the loop longer between looks at its other descriptors.
constexpr lua_Integer kMaxBatch = 4096;
// A capture file is read through a buffer this large: the library reads
// each record header and each packet with its own fread, and with stdio's
// default block size every few packets cost a system call.
constexpr size_t kFileBuffer = 256 * 1024;

enum HandleKind { kLive, kOffline, kDead };

// A capture handle; `p` is null before a successful open and after close.
struct PcapBox {
    pcap_t *p;
    HandleKind kind;
    int timeout_ms;  // live handles: how long `next` waits; <= 0 without limit
    // The library's error that ended a read_batch after some packets; the
    // next read answers it (the library itself reports it only once).
    char pending[PCAP_ERRBUF_SIZE];
    // An offline handle's stdio buffer (kFileBuffer bytes), freed after the
    // library has closed the file.
    char *iobuf;
};

// A capture-file writer; `d` is null after close. `snaplen` is the snapshot
// length written into the file's header.
struct DumperBox {
    pcap_dumper_t *d;
    int snaplen;
};

struct DltName {
    const char *name;
    int number;
};

const DltName kDltNames[] = {
    {"EN10MB", DLT_EN10MB}, {"RAW", 12},     {"LINUX_SLL", DLT_LINUX_SLL}, {"USER0", DLT_USER0},
    {"USER1", DLT_USER1},   {"USER2", DLT_USER2}, {"USER3", DLT_USER3},
};

// ---------------------------------------------------------------------------
// Plain helpers (no Lua state)

// A snapshot length as the library takes it: the low 32 bits, and 65535
// where those are 0 (the library itself would keep 0 for a dead handle and
// use 262144 for a live one).
int snaplen_of(lua_Integer v)
{
    int s = static_cast<int>(static_cast<uint32_t>(v));
    return s == 0 ? kDefaultSnaplen : s;
}

int clamp_int(lua_Integer v)
{
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

// Seconds to (seconds, microseconds): both parts keep the value's sign, the
// microseconds are rounded half down, and a fraction that rounds up to a
// whole second carries into the seconds (a microsecond count of 1000000 is
// not a valid time value).
void secs_to_tv(double x, double *sec, double *usec)
{
    if (!isfinite(x)) {
        *sec = x;
        *usec = 0;
        return;
    }
    double i = trunc(x);
    double f = (x - i) * 1e6;
    double us = trunc(f);
    if (f - us > 0.5)
        us += 1;
    if (us >= 1e6) {
        i += 1;
        us -= 1e6;
    }
    *sec = i;
    *usec = us;
}

// A packet time as "%f" prints it in seconds. Below 2^32 seconds a double
// holds the time to better than half a microsecond, so the text is the
// seconds and the six digits of the microseconds, written here directly
// (snprintf's float conversion would cost more than reading the packet).
size_t format_stamp(char *buf, const struct timeval &ts)
{
    uint64_t sec = static_cast<uint64_t>(ts.tv_sec);
    uint32_t usec = static_cast<uint32_t>(ts.tv_usec);
    if (ts.tv_sec < 0 || sec >= (1ULL << 32) || ts.tv_usec < 0 || usec >= 1000000) {
        int n = snprintf(buf, kTimestampSize, "%f",
                         static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_usec) / 1e6);
        return n < 0 ? 0 : (n < kTimestampSize ? static_cast<size_t>(n) : kTimestampSize - 1);
    }
    char digits[10];
    int nd = 0;
    do {
        digits[nd++] = static_cast<char>('0' + sec % 10);
        sec /= 10;
    } while (sec);
    size_t len = 0;
    while (nd)
        buf[len++] = digits[--nd];
    buf[len++] = '.';
    for (int i = 5; i >= 0; --i, usec /= 10)
        buf[len + i] = static_cast<char>('0' + usec % 10);
    len += 6;
    buf[len] = '\0';
    return len;
}

// A live handle is non-blocking, so `next` can wait for the read time-out
// on the selectable descriptor itself: the library's own wait ignores it
// (it waits for ever, or re-polls in immediate mode).
int live_prepare(pcap_t *p, char *errbuf)
{
    return pcap_setnonblock(p, 1, errbuf);
}

int64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// One packet: pcap_next_ex's result. A live handle waits for a packet at
// most its time-out (without limit when that is <= 0) and then answers 0.
int next_packet(PcapBox *h, struct pcap_pkthdr **hdr, const u_char **data)
{
    int rc = pcap_next_ex(h->p, hdr, data);
    if (rc != 0 || h->kind != kLive)
        return rc;
    int fd = pcap_get_selectable_fd(h->p);
    if (fd < 0)
        return rc;
    int64_t deadline = now_ms() + h->timeout_ms;
    for (;;) {
        int wait = -1;
        if (h->timeout_ms > 0) {
            int64_t left = deadline - now_ms();
            if (left <= 0)
                return 0;
            wait = static_cast<int>(left);
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        // The packet buffer and the handle belong to the handle's userdata:
        // a worker may be cancelled in this wait.
        int waits = cancel_wait_begin();
        int n = poll(&pfd, 1, wait);
        cancel_wait_end(waits);
        if (n < 0 && errno != EINTR)
            return 0;
        if (n > 0) {
            rc = pcap_next_ex(h->p, hdr, data);
            if (rc != 0)
                return rc;
        }
    }
}

// The error text of a failed activation step of open_live_immediate, as the
// library's own live-open call words it.
void activate_error(char *errbuf, const char *device, int status, pcap_t *p)
{
    switch (status) {
    case PCAP_ERROR:
        snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: %.*s", device, PCAP_ERRBUF_SIZE - 3, pcap_geterr(p));
        break;
    case PCAP_ERROR_NO_SUCH_DEVICE:
    case PCAP_ERROR_PERM_DENIED:
    case PCAP_ERROR_PROMISC_PERM_DENIED:
        snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: %s (%.*s)", device, pcap_statustostr(status),
                 PCAP_ERRBUF_SIZE - 6, pcap_geterr(p));
        break;
    default:
        snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: %s", device, pcap_statustostr(status));
        break;
    }
}

// pcap_open_live's steps with immediate mode on; null with `errbuf` filled
// when a step fails.
pcap_t *open_immediate(const char *device, int snaplen, int promisc, int timeout_ms, int bufsize,
                       char *errbuf)
{
    pcap_t *p = pcap_create(device, errbuf);
    if (!p)
        return nullptr;
    int status = pcap_set_snaplen(p, snaplen);
    if (status >= 0)
        status = pcap_set_promisc(p, promisc);
    if (status >= 0)
        status = pcap_set_timeout(p, timeout_ms);
    if (status >= 0 && bufsize > 0)
        status = pcap_set_buffer_size(p, bufsize);
    if (status >= 0)
        status = pcap_set_immediate_mode(p, 1);
    if (status >= 0)
        status = pcap_activate(p);
    if (status < 0) {
        activate_error(errbuf, device, status, p);
        ::pcap_close(p);
        return nullptr;
    }
    return p;
}

// ---------------------------------------------------------------------------
// Objects

PcapBox *new_pcap(lua_State *L)
{
    PcapBox *h = static_cast<PcapBox *>(lua_newuserdata(L, sizeof(PcapBox)));
    h->p = nullptr;
    h->kind = kDead;
    h->timeout_ms = 0;
    h->pending[0] = '\0';
    h->iobuf = nullptr;
    luaL_setmetatable(L, kPcapMeta);
    return h;
}

// The open handle of argument 1; raises when it was closed.
PcapBox *check_pcap(lua_State *L)
{
    PcapBox *h = static_cast<PcapBox *>(mod_check_object(L, 1, kPcapMeta));
    luaL_argcheck(L, h->p != nullptr, 1, "pcap has been closed");
    return h;
}

DumperBox *check_dumper(lua_State *L)
{
    DumperBox *d = static_cast<DumperBox *>(mod_check_object(L, 1, kDumperMeta));
    luaL_argcheck(L, d->d != nullptr, 1, "pcap dumper has been closed");
    return d;
}

// True when a string argument holds a zero byte: as the C string the
// library takes it would name another device or file, or be another filter.
bool holds_zero(const char *s, size_t len)
{
    return strlen(s) != len;
}

// Stores a freshly opened live handle in `h` (on the stack top), or answers
// nil, error. Returns the count of results.
int finish_live(lua_State *L, PcapBox *h, pcap_t *p, int timeout_ms, char *errbuf)
{
    if (!p)
        return mod_fail(L, errbuf);
    if (live_prepare(p, errbuf) < 0) {
        ::pcap_close(p);
        return mod_fail(L, errbuf);
    }
    h->p = p;
    h->kind = kLive;
    h->timeout_ms = timeout_ms;
    return 1;
}

// ---------------------------------------------------------------------------
// Module functions

int pcap_open_live(lua_State *L)
{
    size_t device_len = 0;
    const char *device = luaL_optlstring(L, 1, "any", &device_len);
    int snaplen = snaplen_of(luaL_optinteger(L, 2, 0));
    int promisc = lua_toboolean(L, 3);
    int timeout_ms = clamp_int(luaL_optinteger(L, 4, 0));
    if (holds_zero(device, device_len))
        return mod_fail(L, "device name contains a zero byte");

    PcapBox *h = new_pcap(L);
    char errbuf[PCAP_ERRBUF_SIZE];
    errbuf[0] = '\0';
    pcap_t *p = ::pcap_open_live(device, snaplen, promisc, timeout_ms, errbuf);

    return finish_live(L, h, p, timeout_ms, errbuf);
}

int pcap_open_live_immediate(lua_State *L)
{
    size_t device_len = 0;
    const char *device = luaL_optlstring(L, 1, "any", &device_len);
    int snaplen = snaplen_of(luaL_optinteger(L, 2, 0));
    int promisc = lua_toboolean(L, 3);
    int timeout_ms = clamp_int(luaL_optinteger(L, 4, 0));
    int bufsize = clamp_int(luaL_optinteger(L, 5, 0));
    if (holds_zero(device, device_len))
        return mod_fail(L, "device name contains a zero byte");

    PcapBox *h = new_pcap(L);
    char errbuf[PCAP_ERRBUF_SIZE];
    errbuf[0] = '\0';
    pcap_t *p = open_immediate(device, snaplen, promisc, timeout_ms, bufsize, errbuf);

    return finish_live(L, h, p, timeout_ms, errbuf);
}

// pcap_open_offline with a larger stdio buffer (kFileBuffer) when it can
// have one; the library's own call for "-" (its name for standard input).
pcap_t *open_file(PcapBox *h, const char *path, char *errbuf)
{
    if (strcmp(path, "-") == 0)
        return ::pcap_open_offline(path, errbuf);
    FILE *fp = fopen(path, "rbe");
    if (!fp) {
        // As the library words it.
        snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: %s", path, strerror(errno));
        return nullptr;
    }
    h->iobuf = static_cast<char *>(malloc(kFileBuffer));
    if (h->iobuf)
        setvbuf(fp, h->iobuf, _IOFBF, kFileBuffer);
    pcap_t *p = pcap_fopen_offline(fp, errbuf);
    if (!p) {
        fclose(fp);
        free(h->iobuf);
        h->iobuf = nullptr;
    }
    return p;
}

int pcap_open_offline(lua_State *L)
{
    size_t path_len = 0;
    const char *path = luaL_checklstring(L, 1, &path_len);
    if (holds_zero(path, path_len))
        return mod_fail(L, "path contains a zero byte");

    PcapBox *h = new_pcap(L);
    char errbuf[PCAP_ERRBUF_SIZE];
    errbuf[0] = '\0';
    pcap_t *p = open_file(h, path, errbuf);
    if (!p)
        return mod_fail(L, errbuf);

    h->p = p;
    h->kind = kOffline;
    return 1;
}

int pcap_open_dead(lua_State *L)
{
    int linktype = clamp_int(luaL_optinteger(L, 1, DLT_EN10MB));
    int snaplen = snaplen_of(luaL_optinteger(L, 2, 0));

    PcapBox *h = new_pcap(L);
    pcap_t *p = ::pcap_open_dead(linktype, snaplen);
    if (!p)
        return mod_fail(L, "open dead failed for unknown reason");

    h->p = p;
    h->kind = kDead;
    return 1;
}

int pcap_tv2secs(lua_State *L)
{
    double sec = trunc(luaL_checknumber(L, 1));
    double usec = trunc(luaL_checknumber(L, 2));

    lua_pushnumber(L, sec + usec / 1e6);
    return 1;
}

int pcap_secs2tv(lua_State *L)
{
    double secs = luaL_checknumber(L, 1);

    double sec;
    double usec;
    secs_to_tv(secs, &sec, &usec);

    lua_pushnumber(L, sec);
    lua_pushnumber(L, usec);
    return 2;
}

const char *const kTupleFailures[] = {"", "not ip", "truncated", "unknown link type"};

int pcap_tuple(lua_State *L)
{
    size_t len;
    const char *data = luaL_checklstring(L, 1, &len);
    int linktype = clamp_int(luaL_optinteger(L, 2, DLT_EN10MB));

    PacketTuple t;
    TupleStatus st = packet_tuple(reinterpret_cast<const uint8_t *>(data), len, linktype, &t);
    if (st != kTupleOk)
        return mod_fail(L, kTupleFailures[st]);

    lua_pushinteger(L, t.version);
    lua_pushinteger(L, t.proto);
    lua_pushlstring(L, reinterpret_cast<const char *>(t.src), t.addr_len);
    lua_pushlstring(L, reinterpret_cast<const char *>(t.dst), t.addr_len);
    lua_pushinteger(L, t.sport);
    lua_pushinteger(L, t.dport);
    lua_pushinteger(L, static_cast<lua_Integer>(t.payload) + 1);
    return 7;
}

// ---------------------------------------------------------------------------
// Capture handle methods

int pcap_close(lua_State *L)
{
    PcapBox *h = static_cast<PcapBox *>(mod_check_object(L, 1, kPcapMeta));
    pcap_t *p = h->p;
    char *iobuf = h->iobuf;
    h->p = nullptr;
    h->iobuf = nullptr;
    if (p)
        ::pcap_close(p);
    free(iobuf);
    return mod_none(L);
}

int pcap_dump_open(lua_State *L)
{
    PcapBox *h = check_pcap(L);
    size_t path_len = 0;
    const char *path = luaL_checklstring(L, 2, &path_len);
    if (holds_zero(path, path_len))
        return mod_fail(L, "path contains a zero byte");

    DumperBox *d = static_cast<DumperBox *>(lua_newuserdata(L, sizeof(DumperBox)));
    d->d = nullptr;
    d->snaplen = 0;
    luaL_setmetatable(L, kDumperMeta);
    pcap_dumper_t *dp = ::pcap_dump_open(h->p, path);
    if (!dp)
        return mod_fail(L, pcap_geterr(h->p));

    d->d = dp;
    d->snaplen = ::pcap_snapshot(h->p);
    return 1;
}

int pcap_set_filter(lua_State *L)
{
    PcapBox *h = check_pcap(L);
    size_t filter_len = 0;
    const char *filter = luaL_checklstring(L, 2, &filter_len);
    int optimize = !lua_toboolean(L, 3);
    if (holds_zero(filter, filter_len))
        return mod_fail(L, "filter contains a zero byte");

    struct bpf_program prog;
    if (pcap_compile(h->p, &prog, filter, optimize, PCAP_NETMASK_UNKNOWN) < 0)
        return mod_fail(L, pcap_geterr(h->p));
    int rc = pcap_setfilter(h->p, &prog);
    pcap_freecode(&prog);
    if (rc < 0)
        return mod_fail(L, pcap_geterr(h->p));

    lua_settop(L, 1);
    return 1;
}

int pcap_datalink(lua_State *L)
{
    PcapBox *h = check_pcap(L);
    lua_pushnumber(L, ::pcap_datalink(h->p));
    return 1;
}

int pcap_snapshot(lua_State *L)
{
    PcapBox *h = check_pcap(L);
    lua_pushnumber(L, ::pcap_snapshot(h->p));
    return 1;
}

int pcap_getfd(lua_State *L)
{
    PcapBox *h = check_pcap(L);

    // A dead handle has no descriptor; the library would answer 0.
    int fd = h->kind == kDead ? -1 : pcap_get_selectable_fd(h->p);
    if (fd < 0)
        return mod_fail(L, "not selectable");

    lua_pushnumber(L, fd);
    return 1;
}

// The failure results of a read that got no packet (pcap_next_ex's `rc`
// other than 1).
int read_failure(lua_State *L, PcapBox *h, int rc)
{
    if (rc == PCAP_ERROR && h->pending[0]) {
        lua_pushnil(L);
        lua_pushstring(L, h->pending);
        h->pending[0] = '\0';
        return 2;
    }
    switch (rc) {
    case 0:
        return mod_fail(L, "timeout");
    case PCAP_ERROR_BREAK:
        return mod_fail(L, "closed");
    default:
        return mod_fail(L, pcap_geterr(h->p));
    }
}

int pcap_next(lua_State *L)
{
    PcapBox *h = check_pcap(L);

    struct pcap_pkthdr *hdr = nullptr;
    const u_char *data = nullptr;
    int rc = h->pending[0] ? PCAP_ERROR : next_packet(h, &hdr, &data);
    if (rc != 1)
        return read_failure(L, h, rc);
    char stamp[kTimestampSize];
    size_t stamp_len = format_stamp(stamp, hdr->ts);

    lua_pushlstring(L, reinterpret_cast<const char *>(data), hdr->caplen);
    lua_pushlstring(L, stamp, stamp_len);
    lua_pushinteger(L, hdr->len);
    return 3;
}

// A live handle is non-blocking (live_prepare), so one pcap_next_ex call
// never waits.
int pcap_read(lua_State *L)
{
    PcapBox *h = check_pcap(L);

    struct pcap_pkthdr *hdr = nullptr;
    const u_char *data = nullptr;
    int rc = h->pending[0] ? PCAP_ERROR : pcap_next_ex(h->p, &hdr, &data);
    if (rc != 1)
        return read_failure(L, h, rc);

    lua_pushlstring(L, reinterpret_cast<const char *>(data), hdr->caplen);
    lua_pushinteger(L, static_cast<lua_Integer>(hdr->ts.tv_sec));
    lua_pushinteger(L, static_cast<lua_Integer>(hdr->ts.tv_usec));
    lua_pushinteger(L, hdr->len);
    return 4;
}

// Argument `i`: a table to fill, or absent/nil; 0 for none. Raises for
// anything else.
int opt_table(lua_State *L, int i)
{
    if (lua_isnoneornil(L, i))
        return 0;
    luaL_checktype(L, i, LUA_TTABLE);
    return i;
}

// Each packet is pushed as soon as pcap_next_ex has handed it over, so a
// push that raises (out of memory) leaves the handle where a later read
// goes on, with the packets already stored in the tables.
int pcap_read_batch(lua_State *L)
{
    PcapBox *h = check_pcap(L);
    lua_Integer max = luaL_checkinteger(L, 2);
    luaL_argcheck(L, max >= 1, 2, "batch size must be at least 1");
    luaL_checktype(L, 3, LUA_TTABLE);
    int secs = opt_table(L, 4);
    int usecs = opt_table(L, 5);
    int lens = opt_table(L, 6);
    if (max > kMaxBatch)
        max = kMaxBatch;

    lua_Integer n = 0;
    int rc = h->pending[0] ? PCAP_ERROR : 1;
    while (rc == 1 && n < max) {
        struct pcap_pkthdr *hdr = nullptr;
        const u_char *data = nullptr;
        rc = pcap_next_ex(h->p, &hdr, &data);
        if (rc != 1)
            break;
        ++n;
        lua_pushlstring(L, reinterpret_cast<const char *>(data), hdr->caplen);
        lua_rawseti(L, 3, n);
        if (secs) {
            lua_pushinteger(L, static_cast<lua_Integer>(hdr->ts.tv_sec));
            lua_rawseti(L, secs, n);
        }
        if (usecs) {
            lua_pushinteger(L, static_cast<lua_Integer>(hdr->ts.tv_usec));
            lua_rawseti(L, usecs, n);
        }
        if (lens) {
            lua_pushinteger(L, hdr->len);
            lua_rawseti(L, lens, n);
        }
    }
    // What ended a batch that got packets is for the next read: the end of
    // a file is seen again, an error is kept, no packet now is nothing.
    if (n == 0)
        return read_failure(L, h, rc);
    if (rc == PCAP_ERROR)
        snprintf(h->pending, sizeof h->pending, "%s", pcap_geterr(h->p));

    lua_pushinteger(L, n);
    return 1;
}

int pcap_stats(lua_State *L)
{
    PcapBox *h = check_pcap(L);

    struct pcap_stat st;
    memset(&st, 0, sizeof st);
    // Files and dead handles have none: the library says so in its text.
    if (::pcap_stats(h->p, &st) < 0)
        return mod_fail(L, pcap_geterr(h->p));

    lua_pushinteger(L, st.ps_recv);
    lua_pushinteger(L, st.ps_drop);
    lua_pushinteger(L, st.ps_ifdrop);
    return 3;
}

int pcap_inject(lua_State *L)
{
    PcapBox *h = check_pcap(L);
    size_t len;
    const char *data = luaL_checklstring(L, 2, &len);

    int sent = ::pcap_inject(h->p, data, len);
    if (sent < 0)
        return mod_fail(L, pcap_geterr(h->p));

    lua_pushinteger(L, sent);
    return 1;
}

// ---------------------------------------------------------------------------
// Dump handle methods

int pcap_dumper_close(lua_State *L)
{
    DumperBox *d = static_cast<DumperBox *>(mod_check_object(L, 1, kDumperMeta));
    pcap_dumper_t *dp = d->d;
    d->d = nullptr;
    if (dp)
        pcap_dump_close(dp);
    return mod_none(L);
}

int pcap_dumper_dump(lua_State *L)
{
    DumperBox *d = check_dumper(L);
    // The results of a failed `next` pass straight through.
    if (lua_isnil(L, 2) && lua_type(L, 3) == LUA_TSTRING) {
        lua_pushnil(L);
        lua_pushvalue(L, 3);
        return 2;
    }
    size_t len;
    const char *data = luaL_checklstring(L, 2, &len);
    struct timeval tv;
    if (!lua_isnoneornil(L, 3)) {
        double secs = luaL_checknumber(L, 3);
        // Beyond these bounds the value fits no time value.
        luaL_argcheck(L, secs > -9.2e18 && secs < 9.2e18, 3, "timestamp out of range");
        double sec;
        double usec;
        secs_to_tv(secs, &sec, &usec);
        tv.tv_sec = static_cast<time_t>(sec);
        tv.tv_usec = static_cast<suseconds_t>(usec);
        // A file record's microseconds are 0..999999, also before the epoch.
        if (tv.tv_usec < 0) {
            tv.tv_sec -= 1;
            tv.tv_usec += 1000000;
        }
    } else {
        gettimeofday(&tv, nullptr);
    }
    lua_Integer wirelen = luaL_optinteger(L, 4, static_cast<lua_Integer>(len));
    luaL_argcheck(L, wirelen >= static_cast<lua_Integer>(len), 4,
                  "original wirelen cannot be less than current pkt length");
    luaL_argcheck(L, wirelen <= UINT32_MAX, 4, "original wirelen out of range");

    // The captured part is cut to the file's snapshot length, as a capture
    // would cut it: readers refuse records longer than that.
    struct pcap_pkthdr hdr;
    hdr.ts = tv;
    hdr.caplen = static_cast<bpf_u_int32>(d->snaplen > 0 && len > static_cast<size_t>(d->snaplen)
                                              ? static_cast<size_t>(d->snaplen)
                                              : len);
    hdr.len = static_cast<bpf_u_int32>(wirelen);
    pcap_dump(reinterpret_cast<u_char *>(d->d), &hdr, reinterpret_cast<const u_char *>(data));

    lua_settop(L, 1);
    return 1;
}

int pcap_dumper_flush(lua_State *L)
{
    DumperBox *d = check_dumper(L);

    if (pcap_dump_flush(d->d) != 0)
        return mod_fail(L, strerror(errno));

    lua_settop(L, 1);
    return 1;
}

// ---------------------------------------------------------------------------

const luaL_Reg kPcapFuncs[] = {
    {"open_live", pcap_open_live},
    {"open_live_immediate", pcap_open_live_immediate},
    {"open_offline", pcap_open_offline},
    {"open_dead", pcap_open_dead},
    {"tv2secs", pcap_tv2secs},
    {"secs2tv", pcap_secs2tv},
    {"tuple", pcap_tuple},
    {nullptr, nullptr},
};

const luaL_Reg kPcapMethods[] = {
    {"close", pcap_close},
    {"dump_open", pcap_dump_open},
    {"set_filter", pcap_set_filter},
    {"datalink", pcap_datalink},
    {"snapshot", pcap_snapshot},
    {"getfd", pcap_getfd},
    {"next", pcap_next},
    {"read", pcap_read},
    {"read_batch", pcap_read_batch},
    {"stats", pcap_stats},
    {"inject", pcap_inject},
    {nullptr, nullptr},
};

const luaL_Reg kDumperMethods[] = {
    {"close", pcap_dumper_close},
    {"dump", pcap_dumper_dump},
    {"flush", pcap_dumper_flush},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_pcap(lua_State *L)
{
    mod_class(L, kPcapMeta, kPcapMethods, pcap_close, nullptr);
    mod_class(L, kDumperMeta, kDumperMethods, pcap_dumper_close, nullptr);

    mod_open(L, kPcapFuncs, 9);
    lua_pushstring(L, pcap_lib_version());
    lua_setfield(L, -2, "_LIB_VERSION");
    lua_createtable(L, 7, 7);
    for (const DltName &dlt : kDltNames) {
        lua_pushinteger(L, dlt.number);
        lua_setfield(L, -2, dlt.name);
        lua_pushstring(L, dlt.name);
        lua_rawseti(L, -2, dlt.number);
    }
    lua_setfield(L, -2, "DLT");
    return 1;
}
