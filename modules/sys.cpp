// c.sys: the scripts' window on the operating system and on the engine:
// log settings, build and platform facts, processes, users, interfaces,
// address texts, hashing, held memory and the local control socket.
#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/reboot.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "control/sock_call.h"
#include "engine/module_host.h"
#include "modules/mod_util.h"
#include "modules/modules.h"

namespace {

// Userdata types of this module; their metatables are made in the open
// function of every engine.
const char kTmemMeta[] = "c.sys.tmem";
const char kPwBufMeta[] = "c.sys.pwbuf";

// A held block: only tmem_free releases it (no __gc).
struct TmemBlock {
    void *ptr;
};

// The lookup buffer of getpw, owned by Lua so that a raising push cannot
// leak it.
struct PwBuf {
    char *buf;
};

// Names and the paths they map to; the list is empty in this system, so
// every name maps to itself.
struct MappedPath {
    const char *name;
    const char *path;
};
const MappedPath kMappedPaths[] = {
    {nullptr, nullptr},
};

constexpr size_t kCmdlineSize = 500;
constexpr size_t kCmdlinePathSize = 270;
constexpr char kCmdlineFill = 1;
constexpr long kPwBufDefault = 16384;
constexpr long kPwBufMax = 1 << 20;

// The C library's malloc_trim, looked up once per process (absent on musl).
bool g_trim_looked_up = false;
void *g_trim_fn = nullptr;

// Short calls that hold a descriptor or memory run with cancellation off,
// so that a worker cancelled meanwhile leaves nothing behind (musl does not
// unwind on cancellation).
int cancel_off()
{
    int old = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    return old;
}

void cancel_restore(int old)
{
    int ignored;
    pthread_setcancelstate(old, &ignored);
}

// ---------------------------------------------------------------- processes

const char *base_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

bool is_pid_name(const char *s)
{
    if (*s == '\0')
        return false;
    for (const char *p = s; *p; ++p)
        if (*p < '0' || *p > '9')
            return false;
    return strtol(s, nullptr, 10) > 0;
}

bool entry_is_dir(DIR *dir, const struct dirent *e)
{
    if (e->d_type == DT_DIR)
        return true;
    if (e->d_type != DT_UNKNOWN)
        return false;
    struct stat st;
    return fstatat(dirfd(dir), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

// Reads the command line of /proc/<entry> into `buf` as one line of at
// most 499 bytes (up to and with the first newline, like fgets), a NUL
// after it and the fill value in the rest, so that the end of the data can
// be told from the NULs between words. False when the file cannot be
// opened or is empty (kernel threads, zombies). Plain reads: a stdio stream
// would cost an allocation and two more system calls per process.
bool cmdline_read(const char *entry, char *buf)
{
    char path[kCmdlinePathSize];
    snprintf(path, sizeof path, "%s/%s/cmdline", "/proc", entry);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    size_t n = 0;
    const char *newline = nullptr;
    while (n < kCmdlineSize - 1 && !newline) {
        ssize_t r = read(fd, buf + n, kCmdlineSize - 1 - n);
        if (r <= 0)
            break;
        newline = static_cast<const char *>(memchr(buf + n, '\n', static_cast<size_t>(r)));
        n += static_cast<size_t>(r);
    }
    close(fd);
    if (newline)
        n = static_cast<size_t>(newline - buf) + 1;
    if (n == 0)
        return false;
    buf[n] = '\0';
    memset(buf + n + 1, kCmdlineFill, kCmdlineSize - n - 1);
    return true;
}

// The words after the first one, each followed by one space: a NUL with
// data from the file after it (the fill value not reached) becomes a space.
const char *cmdline_args(char *buf)
{
    size_t start = strnlen(buf, kCmdlineSize) + 1;
    if (start >= kCmdlineSize)
        return "";
    for (size_t i = start; i < kCmdlineSize && buf[i] != kCmdlineFill; ++i)
        if (buf[i] == '\0' && i + 1 < kCmdlineSize && buf[i + 1] != kCmdlineFill)
            buf[i] = ' ';
    return buf + start;
}

// The first process in /proc order whose program is `name` and, when a
// filter is given, whose argument text contains it. 0 when none.
long proc_find_pid(const char *name, const char *filter)
{
    DIR *dir = opendir("/proc");
    if (!dir)
        return 0;
    char buf[kCmdlineSize];
    long found = 0;
    while (struct dirent *e = readdir(dir)) {
        if (!is_pid_name(e->d_name) || !entry_is_dir(dir, e))
            continue;
        if (!cmdline_read(e->d_name, buf))
            continue;
        if (strcmp(base_name(buf), name) != 0)
            continue;
        if (filter && !strstr(cmdline_args(buf), filter))
            continue;
        found = strtol(e->d_name, nullptr, 10);
        break;
    }
    closedir(dir);
    return found;
}

// -------------------------------------------------------------------- users

// One reentrant lookup into box->buf, growing it while the record does not
// fit. True when a record was found.
bool pw_lookup(PwBuf *box, long size, bool by_uid, uid_t uid, const char *name, struct passwd *pw)
{
    for (;;) {
        struct passwd *res = nullptr;
        int rc = by_uid ? getpwuid_r(uid, pw, box->buf, static_cast<size_t>(size), &res)
                        : getpwnam_r(name, pw, box->buf, static_cast<size_t>(size), &res);
        if (res)
            return true;
        if (rc != ERANGE || size >= kPwBufMax)
            return false;
        size *= 2;
        char *bigger = static_cast<char *>(realloc(box->buf, static_cast<size_t>(size)));
        if (!bigger)
            return false;
        box->buf = bigger;
    }
}

void set_string_field(lua_State *L, const char *key, const char *value)
{
    lua_pushstring(L, value ? value : "");
    lua_setfield(L, -2, key);
}

void set_integer_field(lua_State *L, const char *key, lua_Integer value)
{
    lua_pushinteger(L, value);
    lua_setfield(L, -2, key);
}

int sys_pwbuf_gc(lua_State *L)
{
    PwBuf *box = static_cast<PwBuf *>(lua_touserdata(L, 1));
    if (box && box->buf) {
        char *buf = box->buf;
        box->buf = nullptr;
        free(buf);
    }
    return 0;
}

// --------------------------------------------------------------- interfaces

// A name fits an interface request when it has at most 15 characters and
// no NUL inside (which would silently name another interface).
bool ifname_fits(const char *name, size_t len)
{
    return len < IFNAMSIZ && strlen(name) == len;
}

// Runs `n` interface requests for `name` on one fresh IPv4 socket (only a
// handle for the ioctls, closed before returning), with cancellation off.
// done[i] tells whether request i succeeded.
void if_query(const char *name, const unsigned long *reqs, int n, struct ifreq *ifrs, bool *done)
{
    int old = cancel_off();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    for (int i = 0; i < n; ++i) {
        memset(&ifrs[i], 0, sizeof ifrs[i]);
        memcpy(ifrs[i].ifr_name, name, strlen(name) + 1);
        done[i] = fd >= 0 && ioctl(fd, reqs[i], &ifrs[i]) == 0;
    }
    if (fd >= 0)
        close(fd);
    cancel_restore(old);
}

// The IPv4 address of a request's result in dotted form; 0.0.0.0 without one.
void ipv4_text(const struct sockaddr *sa, char out[INET_ADDRSTRLEN])
{
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    if (sa)
        memcpy(&sin, sa, sizeof sin);
    if (!inet_ntop(AF_INET, &sin.sin_addr, out, INET_ADDRSTRLEN))
        snprintf(out, INET_ADDRSTRLEN, "0.0.0.0");
}

// ---------------------------------------------------------- script functions

int sys_set_log(lua_State *L)
{
    const char *level = luaL_checkstring(L, 1);
    size_t path_len = 0;
    const char *path = mod_string(L, 2, &path_len);
    // A path cut at a zero byte would send the log into another file: such
    // a call changes nothing.
    if (path && strlen(path) != path_len)
        return mod_none(L);

    log_set(level, path);
    return mod_none(L);
}

int sys_show_luav(lua_State *L)
{
    uint8_t version[4];
    host_bundle_version(version);

    lua_pushlstring(L, reinterpret_cast<const char *>(version), sizeof version);
    return 1;
}

int sys_show_endian(lua_State *L)
{
    const uint32_t one = 1;
    unsigned char first;
    memcpy(&first, &one, 1);

    lua_pushstring(L, first == 1 ? "little" : "big");
    return 1;
}

int sys_show_sysinfo(lua_State *L)
{
    struct utsname u;
    bool ok = uname(&u) == 0;

    lua_createtable(L, 0, ok ? 5 : 0);
    if (ok) {
        set_string_field(L, "sysname", u.sysname);
        set_string_field(L, "nodename", u.nodename);
        set_string_field(L, "release", u.release);
        set_string_field(L, "version", u.version);
        set_string_field(L, "machine", u.machine);
    }
    return 1;
}

int sys_sync(lua_State *L)
{
    sync();
    return mod_none(L);
}

int sys_reboot(lua_State *L)
{
    // No sync first: the scripts call sync themselves when they want it.
    bool ok = reboot(RB_AUTOBOOT) == 0;

    return mod_bool(L, ok);
}

int sys_pidof(lua_State *L)
{
    int n = mod_nargs(L);
    if (n == 0)
        return mod_none(L);
    size_t name_len = 0;
    size_t filter_len = 0;
    const char *name = luaL_checklstring(L, 1, &name_len);
    const char *filter = n >= 2 ? luaL_checklstring(L, 2, &filter_len) : nullptr;
    // No program name or argument text holds a zero byte; cut there, the
    // name or filter would find another process.
    if (strlen(name) != name_len || (filter && strlen(filter) != filter_len))
        return mod_nil(L);

    int old = cancel_off();
    long pid = proc_find_pid(name, filter);
    cancel_restore(old);

    if (pid <= 0)
        return mod_nil(L);
    lua_pushinteger(L, pid);
    return 1;
}

int sys_getpw(lua_State *L)
{
    if (mod_nargs(L) != 1)
        return mod_none(L);
    lua_Integer uid = 0;
    const char *name = nullptr;
    bool by_uid = mod_integer(L, 1, &uid);
    if (!by_uid && !(name = mod_string(L, 1, nullptr)))
        return mod_none(L);

    // The box exists before the buffer, so no failure can lose the buffer.
    PwBuf *box = static_cast<PwBuf *>(mod_box_new(L, sizeof(PwBuf), kPwBufMeta, sys_pwbuf_gc));
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size <= 0)
        size = kPwBufDefault;
    box->buf = static_cast<char *>(malloc(static_cast<size_t>(size)));
    if (!box->buf)
        return mod_none(L);

    // A uid outside uid_t names no user (it must not wrap onto root).
    bool in_range = !by_uid || (uid >= 0 && static_cast<uint64_t>(uid) <= UINT32_MAX);
    struct passwd pw;
    int old = cancel_off();
    bool found = in_range && pw_lookup(box, size, by_uid, static_cast<uid_t>(uid), name, &pw);
    cancel_restore(old);

    lua_createtable(L, 0, found ? 7 : 0);
    if (found) {
        set_string_field(L, "pw_name", pw.pw_name);
        set_string_field(L, "pw_passwd", pw.pw_passwd);
        set_integer_field(L, "pw_uid", pw.pw_uid);
        set_integer_field(L, "pw_gid", pw.pw_gid);
        set_string_field(L, "pw_gecos", pw.pw_gecos);
        set_string_field(L, "pw_dir", pw.pw_dir);
        set_string_field(L, "pw_shell", pw.pw_shell);
    }
    char *buf = box->buf;
    box->buf = nullptr;
    free(buf);
    return 1;
}

int sys_get_user_hz(lua_State *L)
{
    long hz = sysconf(_SC_CLK_TCK);

    lua_pushnumber(L, hz < 1 ? 100.0 : static_cast<lua_Number>(hz));
    return 1;
}

int sys_bkdr_hash_mod(lua_State *L)
{
    size_t len = 0;
    const char *s = nullptr;
    lua_Integer m = 0;
    if (mod_nargs(L) != 2 || !(s = mod_string(L, 1, &len)) || !mod_integer(L, 2, &m))
        return mod_none(L);

    // Seeded with the length; all arithmetic wraps at 32 bits.
    uint32_t h = static_cast<uint32_t>(len);
    for (size_t i = 0; i < len; ++i)
        h = h * 131u + static_cast<unsigned char>(s[i]);
    uint32_t m32 = static_cast<uint32_t>(m);
    uint32_t bucket = (m32 ? h % m32 : h) + 1u;

    lua_pushinteger(L, static_cast<lua_Integer>(bucket));
    return 1;
}

int sys_get_ipmask(lua_State *L)
{
    size_t len;
    const char *name = luaL_checklstring(L, 1, &len);
    if (!ifname_fits(name, len))
        return mod_none(L);

    // Success is the netmask's alone: without the address, 0.0.0.0.
    const unsigned long reqs[2] = {SIOCGIFADDR, SIOCGIFNETMASK};
    struct ifreq ifrs[2];
    bool done[2];
    if_query(name, reqs, 2, ifrs, done);
    if (!done[1])
        return mod_none(L);
    char addr[INET_ADDRSTRLEN];
    char mask[INET_ADDRSTRLEN];
    ipv4_text(done[0] ? &ifrs[0].ifr_addr : nullptr, addr);
    ipv4_text(&ifrs[1].ifr_netmask, mask);

    lua_pushstring(L, addr);
    lua_pushstring(L, mask);
    return 2;
}

int sys_get_mac(lua_State *L)
{
    size_t len;
    const char *name = luaL_checklstring(L, 1, &len);

    const unsigned long req = SIOCGIFHWADDR;
    struct ifreq ifr;
    bool done = false;
    if (ifname_fits(name, len))
        if_query(name, &req, 1, &ifr, &done);
    if (!done) {
        log_printf(LVL_ERROR, "lsys_getmac", "failed to get mac from %s", name);
        return mod_none(L);
    }

    lua_pushlstring(L, ifr.ifr_hwaddr.sa_data, 6);
    return 1;
}

int sys_get_ifindex(lua_State *L)
{
    size_t len;
    const char *name = luaL_checklstring(L, 1, &len);
    if (!ifname_fits(name, len))
        return mod_none(L);

    const unsigned long req = SIOCGIFINDEX;
    struct ifreq ifr;
    bool done = false;
    if_query(name, &req, 1, &ifr, &done);
    if (!done)
        return mod_none(L);

    lua_pushinteger(L, ifr.ifr_ifindex);
    return 1;
}

int sys_shorten_ipv6(lua_State *L)
{
    size_t len;
    const char *text = luaL_checklstring(L, 1, &len);

    struct in6_addr addr;
    char out[46];
    if (strlen(text) != len || inet_pton(AF_INET6, text, &addr) != 1 ||
        !inet_ntop(AF_INET6, &addr, out, sizeof out))
        return mod_none(L);

    lua_pushstring(L, out);
    return 1;
}

int sys_hexaddr2str(lua_State *L)
{
    size_t len;
    const char *text = luaL_checklstring(L, 1, &len);
    if (len != 8 && len != 32)
        return mod_none(L);

    // The words' bytes in memory order are the address, as /proc/net shows it.
    char out[46];
    const char *printed;
    if (len == 8) {
        unsigned int word = 0;
        sscanf(text, "%X", &word);
        struct in_addr addr;
        memcpy(&addr, &word, sizeof addr);
        printed = inet_ntop(AF_INET, &addr, out, sizeof out);
    } else {
        unsigned int words[4] = {0, 0, 0, 0};
        sscanf(text, "%08X%08X%08X%08X", &words[0], &words[1], &words[2], &words[3]);
        struct in6_addr addr;
        memcpy(&addr, words, sizeof addr);
        printed = inet_ntop(AF_INET6, &addr, out, sizeof out);
    }
    if (!printed)
        return mod_none(L);

    lua_pushstring(L, out);
    return 1;
}

int sys_get_lan_brifname(lua_State *L)
{
    lua_pushliteral(L, "br-lan");
    return 1;
}

int sys_get_lua_signature(lua_State *L)
{
    lua_pushliteral(L, LUA_SIGNATURE);
    return 1;
}

int sys_get_mapped_path(lua_State *L)
{
    const char *name = luaL_checkstring(L, 1);

    const char *path = nullptr;
    for (const MappedPath *p = kMappedPaths; p->name && !path; ++p)
        if (strcmp(p->name, name) == 0)
            path = p->path;

    if (path)
        lua_pushstring(L, path);
    else
        lua_pushvalue(L, 1);
    return 1;
}

int sys_show_mapped_paths(lua_State *L)
{
    lua_newtable(L);
    for (const MappedPath *p = kMappedPaths; p->name; ++p) {
        lua_pushstring(L, p->path);
        lua_setfield(L, -2, p->name);
    }
    return 1;
}

int sys_malloc_trim(lua_State *L)
{
    // Threads racing through the first call look the same symbol up and
    // store the same value.
    if (!__atomic_load_n(&g_trim_looked_up, __ATOMIC_ACQUIRE)) {
        void *fn = nullptr;
        void *self = dlopen(nullptr, RTLD_NOW | RTLD_GLOBAL);
        if (self) {
            fn = dlsym(self, "malloc_trim");
            dlclose(self);
        }
        log_printf(LVL_ERROR, "lsys_malloc_trim", "get malloc_trim(%p)", fn);
        __atomic_store_n(&g_trim_fn, fn, __ATOMIC_RELEASE);
        __atomic_store_n(&g_trim_looked_up, true, __ATOMIC_RELEASE);
    }

    void *fn = __atomic_load_n(&g_trim_fn, __ATOMIC_ACQUIRE);
    if (fn) {
        log_printf(LVL_INFO, "lsys_malloc_trim", "trim memory");
        reinterpret_cast<int (*)(size_t)>(fn)(0);
    }
    return mod_none(L);
}

int sys_tmem_malloc(lua_State *L)
{
    lua_Integer size = 0;
    if (mod_nargs(L) != 1 || !mod_integer(L, 1, &size)) {
        log_printf(LVL_ERROR, "tmem_malloc", "wrong format");
        return mod_none(L);
    }
    int32_t n = static_cast<int32_t>(static_cast<uint32_t>(size));

    // The block object exists, empty, before the memory is taken.
    TmemBlock *block = static_cast<TmemBlock *>(lua_newuserdata(L, sizeof(TmemBlock)));
    if (!block) {
        log_printf(LVL_ERROR, "tmem_malloc", "tmem lua_newuserdata failed");
        return mod_none(L);
    }
    block->ptr = nullptr;
    luaL_setmetatable(L, kTmemMeta);
    block->ptr = n >= 0 ? calloc(1, static_cast<size_t>(n)) : nullptr;
    if (!block->ptr)
        log_printf(LVL_ERROR, "tmem_malloc", "tmem malloc(%d) failed", n);
    return 1;
}

int sys_tmem_free(lua_State *L)
{
    if (mod_nargs(L) != 1 || !mod_is_udata(L, 1, kTmemMeta))
        return mod_none(L);

    TmemBlock *block = static_cast<TmemBlock *>(lua_touserdata(L, 1));
    void *ptr = block->ptr;
    block->ptr = nullptr;
    free(ptr);
    return mod_none(L);
}

int sys_lcmd_client(lua_State *L)
{
    int n = mod_nargs(L);
    if (n < 2)
        return mod_none(L);
    const char *dir = mod_string(L, 1, nullptr);
    const char *args[3] = {mod_string(L, 2, nullptr), nullptr, nullptr};
    if (!dir || !args[0])
        return mod_none(L);
    // A second text only when it is a string, a third only after a second.
    int count = 1;
    if (n >= 3 && (args[1] = mod_string(L, 3, nullptr)) != nullptr) {
        count = 2;
        if (n >= 4 && (args[2] = mod_string(L, 4, nullptr)) != nullptr)
            count = 3;
    }

    char *reply = nullptr;
    char *err = nullptr;
    int rc = lcmd_sock_call(dir, count, args, &reply, &err);

    if (rc == 0) {
        free(err);
        if (reply)
            mod_push_heap(L, reply);
        else
            lua_pushliteral(L, "");
        lua_pushnil(L);
        return 2;
    }
    free(reply);
    lua_pushnil(L);
    if (err)
        mod_push_heap(L, err);
    else
        lua_pushliteral(L, "call failed");
    return 2;
}

const luaL_Reg kSysFuncs[] = {
    {"set_log", sys_set_log},
    {"show_luav", sys_show_luav},
    {"show_endian", sys_show_endian},
    {"show_sysinfo", sys_show_sysinfo},
    {"sync", sys_sync},
    {"reboot", sys_reboot},
    {"pidof", sys_pidof},
    {"getpw", sys_getpw},
    {"get_user_hz", sys_get_user_hz},
    {"bkdr_hash_mod", sys_bkdr_hash_mod},
    {"get_ipmask", sys_get_ipmask},
    {"get_mac", sys_get_mac},
    {"get_ifindex", sys_get_ifindex},
    {"shorten_ipv6", sys_shorten_ipv6},
    {"hexaddr2str", sys_hexaddr2str},
    {"get_lan_brifname", sys_get_lan_brifname},
    {"get_lua_signature", sys_get_lua_signature},
    {"get_mapped_path", sys_get_mapped_path},
    {"show_mapped_paths", sys_show_mapped_paths},
    {"malloc_trim", sys_malloc_trim},
    {"tmem_malloc", sys_tmem_malloc},
    {"tmem_free", sys_tmem_free},
    {"lcmd_client", sys_lcmd_client},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_c_sys(lua_State *L)
{
    mod_class(L, kTmemMeta, nullptr, nullptr, nullptr);
    mod_open(L, kSysFuncs, 23);
    return 1;
}
