// c.ssl: a TLS client session over a stream socket the script connected.
//
// The connection object is a userdata holding the whole session (the TLS
// context, its configuration, random generator and entropy source) and a
// 4096-byte read-ahead buffer, so that line reads do not cost one session
// call per byte. The server is authenticated only when the script asks for
// it (verify, pin) before the handshake; common/tls_verify.h holds the
// checks.
#include <arpa/inet.h>
#include <fcntl.h>
#include <math.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>

#include "common/mbedtls_compat.h"
#include "common/tls_verify.h"
#include "modules/mod_util.h"
#include "modules/modules.h"

namespace {

const char kConnMeta[] = "Lssl:Connection";
const char kPersonalisation[] = "mini_client";
constexpr size_t kReadAhead = 4096;
// One write call sends at most one record's payload.
constexpr size_t kRecordMax = 16384;
// What one receive may read unless its limit argument says otherwise: a
// line (protocol headers are far shorter) and a count. A server that sends
// without end then costs the engine at most this much memory per call.
constexpr uint32_t kLineLimit = 1u << 20;
constexpr uint32_t kCountLimit = 16u << 20;

struct RecvBuf {
    time_t created;     // monotonic seconds at wrap
    uint64_t sent;      // plaintext bytes the session accepted in send
    uint64_t received;  // bytes consumed by receive, dropped line ends included
    uint32_t first;     // first unread byte in data
    uint32_t last;      // behind the last buffered byte
    unsigned char data[kReadAhead];
};

struct SslConn {
    mbedtls_net_context net;  // the descriptor; -1 before set-up and after close
    mbedtls_ssl_context ssl;
    mbedtls_ssl_config conf;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_entropy_context entropy;
    int live;  // 1 while the contexts above are initialised
    RecvBuf buf;
    // settimeout "b" is the configuration's read time-out (each wait for
    // data); "t" bounds each call as a whole, 0 none.
    uint32_t total_ms;
    int64_t deadline;   // monotonic ms at which the current call ends, 0 none
    TlsVerify verify;   // anchors, pins, names; inactive unless asked for
    int begun;          // the session has used the descriptor: the handshake started
    int sni_set;        // sni was called, with a name or with nil
    // Once set, every handshake, send and receive fails with this text: a
    // refused certificate, or a verify/pin call that answered false (so a
    // typo in a CA path never leaves a connection silently unauthenticated).
    char failure[kTlsTextMax + 64];
};

// What a read step reports besides the session's own negative codes.
enum ReadStatus { READ_OK = 1, READ_CLOSED = 2, READ_WANT = 3, READ_TOO_LONG = 4 };

time_t now_seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

int64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Starts a handshake, send or receive: the total time-out runs from here.
void call_begin(SslConn *c)
{
    c->deadline = c->total_ms ? now_ms() + c->total_ms : 0;
}

bool fd_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

// poll() on one descriptor for at most `ms` (any descriptor number, unlike
// select). >0 ready, 0 time-out, <0 failure.
int poll_fd(int fd, short events, int64_t ms)
{
    struct pollfd p = {fd, events, 0};
    return poll(&p, 1, ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
}

// The session's receive: waits for data at most the block time-out (the
// configured read time-out, `block`), and never past the current call's
// deadline. Without either the descriptor's own mode decides, as it does
// for a non-blocking descriptor without a block time-out: the total only
// cuts waits, it never makes a call wait that would not.
int conn_recv(void *ctx, unsigned char *buf, size_t len, uint32_t block)
{
    SslConn *c = static_cast<SslConn *>(ctx);
    c->begun = 1;
    int64_t wait = block ? static_cast<int64_t>(block) : INT64_MAX;
    if (c->deadline) {
        int64_t left = c->deadline - now_ms();
        if (left <= 0)
            return MBEDTLS_ERR_SSL_TIMEOUT;
        if (left < wait)
            wait = left;
    }
    if (block == 0 && (c->deadline == 0 || fd_nonblocking(c->net.fd)))
        return mbedtls_net_recv(&c->net, buf, len);
    int r = poll_fd(c->net.fd, POLLIN, wait);
    if (r == 0)
        return MBEDTLS_ERR_SSL_TIMEOUT;
    if (r < 0)
        return errno == EINTR ? MBEDTLS_ERR_SSL_WANT_READ : MBEDTLS_ERR_NET_RECV_FAILED;
    return mbedtls_net_recv(&c->net, buf, len);
}

// The session's send: untimed as ever without a total time-out; with one,
// a blocking descriptor waits for room only until the call's deadline.
int conn_send(void *ctx, const unsigned char *buf, size_t len)
{
    SslConn *c = static_cast<SslConn *>(ctx);
    c->begun = 1;
    if (c->deadline == 0)
        return mbedtls_net_send(&c->net, buf, len);
    for (;;) {
        int64_t left = c->deadline - now_ms();
        if (left <= 0)
            return MBEDTLS_ERR_SSL_TIMEOUT;
        ssize_t n = send(c->net.fd, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EPIPE || errno == ECONNRESET)
            return MBEDTLS_ERR_NET_CONN_RESET;
        if (errno == EINTR)
            return MBEDTLS_ERR_SSL_WANT_WRITE;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return MBEDTLS_ERR_NET_SEND_FAILED;
        if (fd_nonblocking(c->net.fd))
            return MBEDTLS_ERR_SSL_WANT_WRITE;
        int r = poll_fd(c->net.fd, POLLOUT, left);
        if (r == 0)
            return MBEDTLS_ERR_SSL_TIMEOUT;
        if (r < 0)
            return errno == EINTR ? MBEDTLS_ERR_SSL_WANT_WRITE : MBEDTLS_ERR_NET_SEND_FAILED;
    }
}

SslConn *check_conn(lua_State *L)
{
    return static_cast<SslConn *>(mod_check_object(L, 1, kConnMeta));
}

// Releases the session and closes the descriptor, once: nothing is sent to
// the peer. Bytes left in the read-ahead buffer stay readable.
void conn_cleanup(SslConn *c)
{
    if (!c->live)
        return;
    c->live = 0;
    mbedtls_net_free(&c->net);
    mbedtls_ssl_free(&c->ssl);
    mbedtls_ssl_config_free(&c->conf);
    mbedtls_ctr_drbg_free(&c->drbg);
    mbedtls_entropy_free(&c->entropy);
    tls_verify_free(&c->verify);
}

// Sets the session up; a message on failure.
const char *conn_setup(SslConn *c)
{
    mbedtls_ssl_init(&c->ssl);
    mbedtls_ssl_config_init(&c->conf);
    mbedtls_ctr_drbg_init(&c->drbg);
    mbedtls_entropy_init(&c->entropy);
    tls_verify_init(&c->verify);
    c->live = 1;
    c->buf.created = now_seconds();

    if (mbedtls_ctr_drbg_seed(&c->drbg, mbedtls_entropy_func, &c->entropy,
                              reinterpret_cast<const unsigned char *>(kPersonalisation),
                              sizeof kPersonalisation - 1) != 0)
        return "ctr_drbg_seed_failed";
    if (mbedtls_ssl_config_defaults(&c->conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0)
        return "ssl_config_defaults_failed";
    tls_conf_versions(&c->conf);
    mbedtls_ssl_conf_authmode(&c->conf, MBEDTLS_SSL_VERIFY_NONE);
    mbedtls_ssl_conf_rng(&c->conf, mbedtls_ctr_drbg_random, &c->drbg);
    if (mbedtls_ssl_setup(&c->ssl, &c->conf) != 0)
        return "ssl_setup_failed";
    return nullptr;
}

// True for an open stream socket: the object will own and close it, so a
// number that names anything else (or nothing) is refused.
bool is_stream_socket(int fd)
{
    int type = 0;
    socklen_t len = sizeof type;
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM;
}

// Argument `i` as a descriptor: an integer, or a float with an integral
// value (LuaSocket's getfd gives one), within 0 .. INT_MAX.
bool fd_arg(lua_State *L, int i, int *fd)
{
    if (lua_type(L, i) != LUA_TNUMBER)
        return false;
    int isnum = 0;
    lua_Integer v = lua_tointegerx(L, i, &isnum);
    if (!isnum || v < 0 || v > INT_MAX)
        return false;
    *fd = static_cast<int>(v);
    return true;
}

int push_errcode(lua_State *L, const char *fmt, int code)
{
    char msg[64];
    snprintf(msg, sizeof msg, fmt, code);
    lua_pushstring(L, msg);
    return 1;
}

// true for the library's 0, else false and "errcode (<code>)".
int push_status(lua_State *L, int rc)
{
    lua_pushboolean(L, rc == 0);
    return rc == 0 ? 1 : 1 + push_errcode(L, "errcode (%d)", rc);
}

// True when `rc`, the failure of a session call, is a refused certificate
// of a connection that verifies its server; the reasons are then kept in
// c->failure for this and every later call.
bool verify_failed(SslConn *c, int rc)
{
    if (c->failure[0])
        return true;
    if (!c->live || !tls_verify_active(&c->verify) ||
        (rc != MBEDTLS_ERR_X509_CERT_VERIFY_FAILED && rc != kTlsErrBadCertificate))
        return false;
    uint32_t flags = mbedtls_ssl_get_verify_result(&c->ssl);
    if (flags == 0 || flags == UINT32_MAX)
        return false;
    char reasons[kTlsTextMax];
    tls_verify_reasons(&c->verify, flags, reasons, sizeof reasons);
    snprintf(c->failure, sizeof c->failure, "errcode (%d): %s", rc, reasons);
    return true;
}

// The read step: refills the empty buffer with one session read of up to
// 4096 bytes. READ_OK when bytes are buffered, else the reason there are
// none (the buffer then stays empty).
int read_step(SslConn *c)
{
    RecvBuf &b = c->buf;
    if (b.first < b.last)
        return READ_OK;
    b.first = b.last = 0;
    if (!c->live)
        return MBEDTLS_ERR_SSL_BAD_INPUT_DATA;
    int n = mbedtls_ssl_read(&c->ssl, b.data, sizeof b.data);
    if (n > 0) {
        b.last = static_cast<uint32_t>(n);
        return READ_OK;
    }
    if (n == 0)
        return READ_CLOSED;
    return n == MBEDTLS_ERR_SSL_WANT_READ ? READ_WANT : n;
}

void consume(RecvBuf &b, uint32_t n)
{
    b.received += n;
    b.first += n;
    if (b.first == b.last)
        b.first = b.last = 0;
}

// Appends one line to `out`, carriage returns dropped, line feed consumed
// but not kept. READ_OK, READ_TOO_LONG when `limit` bytes (carriage returns
// counted) came without a line feed after them (those are consumed, the
// rest stays), or the read step's failure.
int recv_line(SslConn *c, luaL_Buffer *out, uint32_t limit)
{
    RecvBuf &b = c->buf;
    uint32_t room = limit;
    for (;;) {
        int st = read_step(c);
        if (st != READ_OK)
            return st;
        const unsigned char *p = b.data + b.first;
        uint32_t avail = b.last - b.first;
        uint32_t scan = avail < room ? avail : room;
        uint32_t i = 0;
        for (; i < scan && p[i] != '\n'; ++i)
            if (p[i] != '\r')
                luaL_addchar(out, static_cast<char>(p[i]));
        if (i < scan || (i < avail && p[i] == '\n')) {
            consume(b, i + 1);
            return READ_OK;
        }
        consume(b, scan);
        room -= scan;
        // The byte after a full line is buffered and is not its end.
        if (scan < avail)
            return READ_TOO_LONG;
    }
}

// Appends `want` bytes to `out`; READ_OK or the read step's failure.
int recv_count(SslConn *c, luaL_Buffer *out, uint32_t want)
{
    RecvBuf &b = c->buf;
    while (want > 0) {
        int st = read_step(c);
        if (st != READ_OK)
            return st;
        uint32_t take = b.last - b.first;
        if (take > want)
            take = want;
        luaL_addlstring(out, reinterpret_cast<const char *>(b.data + b.first), take);
        consume(b, take);
        want -= take;
    }
    return READ_OK;
}

// Pushes the message of a failed read.
void push_read_failure(lua_State *L, SslConn *c, int st)
{
    if (st < 0 && verify_failed(c, st))
        lua_pushfstring(L, "ssl_read %s", c->failure);
    else if (st == READ_CLOSED)
        lua_pushliteral(L, "closed");
    else if (st == READ_WANT)
        lua_pushliteral(L, "wantread");
    else if (st == READ_TOO_LONG)
        lua_pushliteral(L, "too long");
    else
        push_errcode(L, "ssl_read errcode (%d)", st);
}

// Seconds as a read timeout in milliseconds: fractions count, rounded up, so
// no positive value becomes "none"; 0, negative or not a number is none.
uint32_t timeout_ms(lua_Number seconds)
{
    if (!(seconds > 0))
        return 0;
    lua_Number ms = ceil(seconds * 1000);
    return ms >= static_cast<lua_Number>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(ms);
}

// A receive count: the number's integer value taken as an unsigned 32-bit
// count. False for a number that has none (infinite or not a number).
bool count_arg(lua_State *L, int i, uint32_t *want)
{
    lua_Integer v = 0;
    if (!lua_isinteger(L, i)) {
        lua_Number x = lua_tonumber(L, i);
        if (!isfinite(x))
            return false;
        x = trunc(fmod(x, 4294967296.0));
        v = static_cast<lua_Integer>(x);
    } else {
        v = lua_tointeger(L, i);
    }
    *want = static_cast<uint32_t>(v);
    return true;
}

// The limit argument of receive: absent or nil gives `dflt`; else a number
// with an integral value of at least 1 (larger than 32 bits: the most a
// count can be). False for anything else.
bool limit_arg(lua_State *L, int i, uint32_t dflt, uint32_t *limit)
{
    if (lua_isnoneornil(L, i)) {
        *limit = dflt;
        return true;
    }
    if (lua_type(L, i) != LUA_TNUMBER)
        return false;
    int isnum = 0;
    lua_Integer v = lua_tointegerx(L, i, &isnum);
    if (!isnum || v < 1)
        return false;
    *limit = static_cast<uint64_t>(v) > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
    return true;
}

int ssl_wrap(lua_State *L)
{
    int fd = -1;
    if (mod_nargs(L) != 1 || !fd_arg(L, 1, &fd))
        return mod_fail(L, "wrong format");
    if (!is_stream_socket(fd))
        return mod_fail(L, "not a stream socket");

    // Empty and with its metatable before anything is acquired, so the
    // collector can always clean it up.
    auto *c = static_cast<SslConn *>(lua_newuserdata(L, sizeof(SslConn)));
    if (!c)
        return mod_fail(L, "lua_newuserdata failed");
    memset(c, 0, sizeof *c);
    c->net.fd = -1;
    luaL_setmetatable(L, kConnMeta);

    const char *err = conn_setup(c);
    if (err) {
        conn_cleanup(c);
        return mod_fail(L, err);
    }
    c->net.fd = fd;
    // The library writes every handshake message on its own; with Nagle's
    // algorithm each would wait for the peer's delayed acknowledgement of
    // the one before (tens of milliseconds per handshake). Records are
    // whole writes, so nothing is lost by sending at once. Not TCP: no-op.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return 1;
}

int ssl_getfd(lua_State *L)
{
    SslConn *c = check_conn(L);
    lua_pushnumber(L, c->net.fd);
    return 1;
}

int ssl_getstats(lua_State *L)
{
    SslConn *c = check_conn(L);
    lua_pushnumber(L, static_cast<lua_Number>(c->buf.received));
    lua_pushnumber(L, static_cast<lua_Number>(c->buf.sent));
    lua_pushnumber(L, static_cast<lua_Number>(now_seconds() - c->buf.created));
    return 3;
}

int ssl_getoption(lua_State *L)
{
    SslConn *c = check_conn(L);
    if (mod_nargs(L) != 2 || lua_type(L, 2) != LUA_TSTRING)
        return mod_fail(L, "wrong format");
    const char *name = lua_tostring(L, 2);
    int opt;
    const char *failed;
    if (strcmp(name, "recv-buffer-size") == 0) {
        opt = SO_RCVBUF;
        failed = "getsockopt SO_RCVBUF failed";
    } else if (strcmp(name, "send-buffer-size") == 0) {
        opt = SO_SNDBUF;
        failed = "getsockopt SO_SNDBUF failed";
    } else {
        return mod_fail(L, "not support this optname");
    }

    int32_t value = 0;
    socklen_t len = sizeof value;
    if (getsockopt(c->net.fd, SOL_SOCKET, opt, &value, &len) != 0)
        return mod_fail(L, failed);
    lua_pushinteger(L, value);
    return 1;
}

// settimeout(value [, mode]): mode "b" (the default) bounds each wait for
// data, "t" each handshake, send or receive as a whole; both are kept.
int ssl_settimeout(lua_State *L)
{
    SslConn *c = check_conn(L);
    int n = mod_nargs(L);
    if (n < 2 || n > 3 || lua_type(L, 2) != LUA_TNUMBER)
        return mod_fail_false(L, "wrong format");
    bool total = false;
    if (n == 3 && !lua_isnil(L, 3)) {
        const char *mode = lua_type(L, 3) == LUA_TSTRING ? lua_tostring(L, 3) : "";
        if (strcmp(mode, "t") == 0)
            total = true;
        else if (strcmp(mode, "b") != 0)
            return mod_fail_false(L, "wrong format");
    }
    uint32_t ms = timeout_ms(lua_tonumber(L, 2));

    // A closed object has no session left to configure.
    if (c->live) {
        if (total)
            c->total_ms = ms;
        else
            mbedtls_ssl_conf_read_timeout(&c->conf, ms);
        mbedtls_ssl_set_bio(&c->ssl, c, conn_send, nullptr, conn_recv);
    }
    return mod_true(L);
}

int ssl_dohandshake(lua_State *L)
{
    SslConn *c = check_conn(L);
    if (mod_nargs(L) != 1)
        return mod_fail_false(L, "wrong format");

    if (c->failure[0])
        return mod_fail_false(L, c->failure);
    call_begin(c);
    int rc = c->live ? mbedtls_ssl_handshake(&c->ssl) : MBEDTLS_ERR_SSL_BAD_INPUT_DATA;
    if (rc != 0 && verify_failed(c, rc))
        return mod_fail_false(L, c->failure);
    return push_status(L, rc);
}

int ssl_sni(lua_State *L)
{
    SslConn *c = check_conn(L);
    if (mod_nargs(L) != 2)
        return mod_fail_false(L, "wrong format");
    size_t len = 0;
    const char *name = mod_string(L, 2, &len);

    int rc = MBEDTLS_ERR_SSL_BAD_INPUT_DATA;
    // A zero byte would cut the name the server sees.
    if (c->live && (!name || strlen(name) == len))
        rc = mbedtls_ssl_set_hostname(&c->ssl, name);
    if (rc == 0) {
        // Also the name the certificate must carry, unless verify gave one.
        snprintf(c->verify.sni, sizeof c->verify.sni, "%s", name ? name : "");
        c->sni_set = 1;
    }
    return push_status(L, rc);
}

int send_failure(lua_State *L, const char *msg, lua_Integer count)
{
    lua_pushnil(L);
    lua_pushstring(L, msg);
    lua_pushinteger(L, count);
    return 3;
}

int ssl_send(lua_State *L)
{
    SslConn *c = check_conn(L);
    if (mod_nargs(L) < 2)
        return send_failure(L, "wrong format", 0);
    size_t len = 0;
    const char *data = luaL_checklstring(L, 2, &len);
    size_t offset = 0;
    if (!lua_isnoneornil(L, 3)) {
        int isnum = 0;
        lua_Integer i = lua_tointegerx(L, 3, &isnum);
        if (!isnum)
            return send_failure(L, "wrong format", 0);
        // Taken as unsigned, so every negative index overflows too.
        if (static_cast<uint64_t>(i) > len)
            return send_failure(L, "start index overflow", 0);
        offset = i > 0 ? static_cast<size_t>(i - 1) : 0;
    }

    size_t left = len - offset;
    size_t chunk = left < kRecordMax ? left : kRecordMax;
    call_begin(c);
    int rc = c->failure[0] ? MBEDTLS_ERR_X509_CERT_VERIFY_FAILED
             : c->live     ? mbedtls_ssl_write(&c->ssl, reinterpret_cast<const unsigned char *>(data + offset), chunk)
                           : MBEDTLS_ERR_SSL_BAD_INPUT_DATA;
    if (rc < 0 && verify_failed(c, rc)) {
        lua_pushnil(L);
        lua_pushfstring(L, "ssl_write %s", c->failure);
        lua_pushinteger(L, 0);
        return 3;
    }
    if (rc < 0) {
        char msg[64];
        snprintf(msg, sizeof msg, "ssl_write errcode (%d)", rc);
        return send_failure(L, msg, 0);
    }
    c->buf.sent += static_cast<uint64_t>(rc);
    if (static_cast<size_t>(rc) < left)
        return send_failure(L, "wantwrite", rc);
    lua_pushinteger(L, rc);
    return 1;
}

int ssl_receive(lua_State *L)
{
    SslConn *c = check_conn(L);
    bool count_mode = lua_type(L, 2) == LUA_TNUMBER || (lua_type(L, 2) == LUA_TSTRING && lua_isnumber(L, 2));
    const char *pattern = count_mode ? nullptr : luaL_optstring(L, 2, "*l");
    size_t prefix_len = 0;
    const char *prefix = luaL_optlstring(L, 3, "", &prefix_len);
    uint32_t want = 0;
    bool bad_count = count_mode && !count_arg(L, 2, &want);
    uint32_t limit = 0;
    if (!limit_arg(L, 4, count_mode ? kCountLimit : kLineLimit, &limit))
        return mod_fail(L, "wrong format");

    luaL_Buffer out;
    luaL_buffinit(L, &out);
    luaL_addlstring(&out, prefix, prefix_len);
    const char *mode_error = nullptr;
    int st = READ_OK;
    call_begin(c);
    if (c->failure[0] && !bad_count) {
        st = MBEDTLS_ERR_X509_CERT_VERIFY_FAILED;
    } else if (bad_count) {
        mode_error = "invalid mode";
    } else if (count_mode) {
        // The prefix counts towards the wanted length, not towards the limit.
        uint32_t need = (prefix_len == 0 || want > prefix_len) ? want - static_cast<uint32_t>(prefix_len) : 0;
        if (need > limit)
            mode_error = "too long";
        else if (need > 0)
            st = recv_count(c, &out, need);
    } else if (strncmp(pattern, "*l", 2) == 0) {
        st = recv_line(c, &out, limit);
    } else if (strncmp(pattern, "*a", 2) == 0) {
        mode_error = "not supported mode";
    } else {
        mode_error = "invalid mode";
    }

    if (!mode_error && st == READ_OK) {
        luaL_pushresult(&out);
        lua_pushnil(L);
        lua_pushnil(L);
        return 3;
    }
    luaL_pushresult(&out);
    lua_pushnil(L);
    lua_insert(L, -2);
    if (mode_error)
        lua_pushstring(L, mode_error);
    else
        push_read_failure(L, c, st);
    lua_insert(L, -2);
    return 3;
}

// Answers a verify or pin call with false and `msg`; a live connection
// then refuses every session call (see SslConn::failure).
int verify_refuse(lua_State *L, SslConn *c, const char *msg)
{
    if (c->live && !c->failure[0])
        snprintf(c->failure, sizeof c->failure, "verification not set up (%s)", msg);
    return mod_fail_false(L, msg);
}

// Why verification can no longer be set: nullptr while it can.
const char *verify_too_late(const SslConn *c)
{
    if (!c->live)
        return "closed";
    return c->begun ? "handshake already started" : nullptr;
}

// From now on the handshake fails unless the callback accepts the server.
void verify_enable(SslConn *c)
{
    mbedtls_ssl_conf_authmode(&c->conf, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_chain(&c->conf, &c->verify.anchors, nullptr);
    mbedtls_ssl_conf_verify(&c->conf, tls_verify_cb, &c->verify);
    // 3.6 verifies only once a name was set, NULL included; the callback
    // checks the name itself.
    if (!c->verify.sni[0])
        mbedtls_ssl_set_hostname(&c->ssl, nullptr);
}

bool is_ip_literal(const char *name)
{
    unsigned char ip[16];
    return inet_pton(AF_INET, name, ip) == 1 || inet_pton(AF_INET6, name, ip) == 1;
}

// verify(ca_path [, hostname])
int ssl_verify(lua_State *L)
{
    SslConn *c = check_conn(L);
    int n = mod_nargs(L);
    size_t plen = 0, hlen = 0;
    const char *path = (n == 2 || n == 3) && lua_type(L, 2) == LUA_TSTRING ? lua_tolstring(L, 2, &plen) : nullptr;
    const char *host = nullptr;
    if (n == 3 && !lua_isnil(L, 3))
        host = lua_type(L, 3) == LUA_TSTRING ? lua_tolstring(L, 3, &hlen) : "";
    if (!path || plen == 0 || strlen(path) != plen)
        return verify_refuse(L, c, "wrong format");
    if (host && (hlen == 0 || hlen > kTlsNameMax || strlen(host) != hlen))
        return verify_refuse(L, c, "bad hostname");
    const char *late = verify_too_late(c);
    if (late)
        return verify_refuse(L, c, late);

    char msg[256];
    tls_verify_free(&c->verify);
    mbedtls_x509_crt_init(&c->verify.anchors);
    // Files and memory held only on this frame: a worker cancelled in the
    // middle of the reading would leave them behind.
    int cancel_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    int loaded = tls_anchors_load(&c->verify.anchors, path, msg, sizeof msg);
    pthread_setcancelstate(cancel_state, nullptr);
    if (loaded < 0)
        return verify_refuse(L, c, msg);
    c->verify.anchored = 1;
    snprintf(c->verify.name, sizeof c->verify.name, "%s", host ? host : "");
    // Servers pick their certificate by the name the client sends: without
    // an sni call the hostname is sent (an address never is, RFC 6066).
    if (host && !c->sni_set && !is_ip_literal(host) && mbedtls_ssl_set_hostname(&c->ssl, host) == 0)
        snprintf(c->verify.sni, sizeof c->verify.sni, "%s", host);
    verify_enable(c);
    return mod_true(L);
}

// pin(spki_sha256, ...)
int ssl_pin(lua_State *L)
{
    SslConn *c = check_conn(L);
    int n = mod_nargs(L) - 1;
    if (n < 1 || n > kTlsPinMax)
        return verify_refuse(L, c, "wrong format");
    uint8_t pins[kTlsPinMax][kTlsPinSize];
    for (int i = 0; i < n; ++i) {
        size_t len = 0;
        const char *text = lua_type(L, i + 2) == LUA_TSTRING ? lua_tolstring(L, i + 2, &len) : nullptr;
        if (!text || !tls_pin_parse(text, len, pins[i]))
            return verify_refuse(L, c, "bad pin");
    }
    const char *late = verify_too_late(c);
    if (late)
        return verify_refuse(L, c, late);

    memcpy(c->verify.pins, pins, sizeof pins);
    c->verify.npins = n;
    verify_enable(c);
    return mod_true(L);
}

void set_field(lua_State *L, const char *key, const char *value)
{
    lua_pushstring(L, value);
    lua_setfield(L, -2, key);
}

int ssl_peer_certificate(lua_State *L)
{
    SslConn *c = check_conn(L);
    if (mod_nargs(L) != 1)
        return mod_fail(L, "wrong format");
    if (!c->live)
        return mod_fail(L, "closed");
    // Only a completed handshake has a peer certificate here.
    const mbedtls_x509_crt *crt = mbedtls_ssl_get_peer_cert(&c->ssl);
    if (!crt)
        return mod_fail(L, "no handshake");

    char subject[512], issuer[512], from[21], to[21], spki[48] = "";
    uint8_t hash[kTlsPinSize];
    tls_dn_text(&crt->subject, subject, sizeof subject);
    tls_dn_text(&crt->issuer, issuer, sizeof issuer);
    tls_time_text(&crt->valid_from, from);
    tls_time_text(&crt->valid_to, to);
    if (tls_spki_sha256(crt, hash) == 0)
        tls_base64(hash, sizeof hash, spki, sizeof spki);
    lua_createtable(L, 0, 6);
    set_field(L, "subject", subject);
    set_field(L, "issuer", issuer);
    set_field(L, "not_before", from);
    set_field(L, "not_after", to);
    set_field(L, "spki_sha256", spki);
    lua_pushboolean(L, tls_verify_active(&c->verify) && !c->failure[0]);
    lua_setfield(L, -2, "verified");
    return 1;
}

int ssl_close(lua_State *L)
{
    SslConn *c = check_conn(L);
    if (mod_nargs(L) != 1)
        return mod_fail_false(L, "wrong format");
    conn_cleanup(c);
    return mod_true(L);
}

int ssl_gc(lua_State *L)
{
    conn_cleanup(check_conn(L));
    return mod_none(L);
}

int ssl_tostring(lua_State *L)
{
    lua_pushliteral(L, "for the future using");
    return 1;
}

const luaL_Reg kConnMethods[] = {
    {"getfd", ssl_getfd},
    {"getstats", ssl_getstats},
    {"getoption", ssl_getoption},
    {"settimeout", ssl_settimeout},
    {"dohandshake", ssl_dohandshake},
    {"sni", ssl_sni},
    {"verify", ssl_verify},
    {"pin", ssl_pin},
    {"peer_certificate", ssl_peer_certificate},
    {"send", ssl_send},
    {"receive", ssl_receive},
    {"close", ssl_close},
    {nullptr, nullptr},
};

const luaL_Reg kSslFuncs[] = {
    {"wrap", ssl_wrap},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_c_ssl(lua_State *L)
{
    mod_class(L, kConnMeta, kConnMethods, ssl_gc, ssl_tostring);
    mod_open(L, kSslFuncs, 1);
    return 1;
}
