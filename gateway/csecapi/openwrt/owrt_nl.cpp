// Set elements of the OpenWrt backend straight over nfnetlink, without
// libnftables: its element commands read every element of every interval
// set of the table into its cache first (for its own overlap checks), so
// one entry added to, removed from or tested in a set of 100 000 cost
// seconds and a hundred megabytes. Here one entry costs a few messages
// whatever the size of the set: the kernel answers for one element (a get
// finds the interval that holds an address), refuses overlapping intervals
// itself, and a change is one transaction (batch). Every call has a socket
// of its own, closed before it returns; nothing is kept between calls.
//
// An entry [lo, hi] is the kernel's pair of a start element lo and an end
// element hi + 1 (flag INTERVAL_END), without the end when hi is the last
// address, as nft writes intervals.
#include <arpa/inet.h>
#include <endian.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>

#include "gateway/csecapi/openwrt/owrt.h"

namespace {

// How often a dump that another change interrupted is started again
// before the call gives up (a busy firewall, never a wrong answer).
constexpr int kDumpTries = 100;

// Intervals per element message: the element list attribute has a 16-bit
// length.
constexpr size_t kPerMessage = 700;

std::atomic<uint64_t> g_messages{0}, g_bytes{0};

uint16_t msg_type(int msg)
{
    return static_cast<uint16_t>((NFNL_SUBSYS_NFTABLES << 8) | msg);
}

// ---- Building messages

void put(std::string &b, const void *p, size_t n)
{
    b.append(static_cast<const char *>(p), n);
    b.append(NLMSG_ALIGN(n) - n, '\0');
}

size_t begin_msg(std::string &b, uint16_t type, uint16_t flags, uint32_t seq, uint8_t family, uint16_t res_id)
{
    size_t start = b.size();
    struct nlmsghdr h;
    memset(&h, 0, sizeof h);
    h.nlmsg_type = type;
    h.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
    h.nlmsg_seq = seq;
    put(b, &h, sizeof h);
    struct nfgenmsg g;
    memset(&g, 0, sizeof g);
    g.nfgen_family = family;
    g.version = NFNETLINK_V0;
    g.res_id = htons(res_id);
    put(b, &g, sizeof g);
    return start;
}

void end_msg(std::string &b, size_t start)
{
    uint32_t len = static_cast<uint32_t>(b.size() - start);
    memcpy(&b[start], &len, sizeof len);
}

void attr(std::string &b, uint16_t type, const void *data, size_t len)
{
    struct nlattr a;
    a.nla_type = type;
    a.nla_len = static_cast<uint16_t>(NLA_HDRLEN + len);
    b.append(reinterpret_cast<const char *>(&a), sizeof a);
    put(b, data, len);
}

void attr_str(std::string &b, uint16_t type, const std::string &s)
{
    attr(b, type, s.c_str(), s.size() + 1);
}

void attr_u32(std::string &b, uint16_t type, uint32_t host)
{
    uint32_t be = htonl(host);
    attr(b, type, &be, sizeof be);
}

size_t nest(std::string &b, uint16_t type)
{
    size_t at = b.size();
    struct nlattr a;
    a.nla_type = static_cast<uint16_t>(type | NLA_F_NESTED);
    a.nla_len = 0;
    b.append(reinterpret_cast<const char *>(&a), sizeof a);
    return at;
}

void nest_end(std::string &b, size_t at)
{
    uint16_t len = static_cast<uint16_t>(b.size() - at);
    memcpy(&b[at], &len, sizeof len);
}

// ---- Reading attributes

struct Attrs {
    const struct nlattr *a[32] = {};
};

void parse_attrs(const void *data, size_t len, Attrs *out)
{
    const char *p = static_cast<const char *>(data);
    while (len >= NLA_HDRLEN) {
        const struct nlattr *a = reinterpret_cast<const struct nlattr *>(p);
        if (a->nla_len < NLA_HDRLEN || a->nla_len > len)
            return;
        unsigned type = a->nla_type & NLA_TYPE_MASK;
        if (type < 32)
            out->a[type] = a;
        size_t step = NLA_ALIGN(a->nla_len);
        if (step >= len)
            return;
        p += step;
        len -= step;
    }
}

const void *payload(const struct nlattr *a)
{
    return reinterpret_cast<const char *>(a) + NLA_HDRLEN;
}

size_t payload_len(const struct nlattr *a)
{
    return a->nla_len - NLA_HDRLEN;
}

bool u32_of(const struct nlattr *a, uint32_t *out)
{
    if (!a || payload_len(a) < 4)
        return false;
    uint32_t be;
    memcpy(&be, payload(a), 4);
    *out = ntohl(be);
    return true;
}

// The attributes of a message of nf_tables (after its nfgenmsg).
void message_attrs(const struct nlmsghdr *h, Attrs *out)
{
    size_t head = NLMSG_LENGTH(sizeof(struct nfgenmsg));
    if (h->nlmsg_len >= NLMSG_ALIGN(head))
        parse_attrs(reinterpret_cast<const char *>(h) + NLMSG_ALIGN(head), h->nlmsg_len - NLMSG_ALIGN(head), out);
}

// ---- The socket

struct Sock {
    int fd = -1;
    uint32_t seq = 0;
    ~Sock()
    {
        if (fd >= 0)
            close(fd);
    }
};

int sock_open(Sock *s)
{
    s->fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
    if (s->fd < 0)
        return GW_E_NFT;
    struct sockaddr_nl addr;
    memset(&addr, 0, sizeof addr);
    addr.nl_family = AF_NETLINK;
    if (bind(s->fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0)
        return GW_E_NFT;
    // Errors without a copy of the request: a refused batch of thousands
    // of entries must not fill the receive buffer.
    int one = 1;
    setsockopt(s->fd, SOL_NETLINK, NETLINK_CAP_ACK, &one, sizeof one);
    s->seq = static_cast<uint32_t>(time(nullptr));
    return GW_OK;
}

int send_all(Sock *s, const std::string &b)
{
    // A batch is one datagram: the send buffer must hold it whole.
    int size = static_cast<int>(std::min<size_t>(b.size() + 4096, 1u << 30));
    if (setsockopt(s->fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
        setsockopt(s->fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    struct sockaddr_nl kernel;
    memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    for (;;) {
        ssize_t n = sendto(s->fd, b.data(), b.size(), 0, reinterpret_cast<struct sockaddr *>(&kernel), sizeof kernel);
        if (n == static_cast<ssize_t>(b.size()))
            return GW_OK;
        if (n < 0 && errno == EINTR)
            continue;
        return GW_E_KERNEL;
    }
}

// What one read of replies ends with.
enum Reply { kMore, kDone, kFailed, kInterrupted };

// Reads the replies to `seq` until the request is answered, handing each
// data message to `fn`. kDone, kFailed (*err_no set), or kInterrupted: a
// dump the kernel marked inconsistent, or replies lost to a full buffer;
// either is read again from the start, never taken as an answer.
template <typename Fn> Reply receive(Sock *s, uint32_t seq, bool nonblock, int *err_no, Fn fn)
{
    static thread_local char buf[64 * 1024];
    bool interrupted = false;
    for (;;) {
        ssize_t n = recv(s->fd, buf, sizeof buf, nonblock ? MSG_DONTWAIT : 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && nonblock)
            return interrupted ? kInterrupted : kDone;
        if (n < 0 && errno == ENOBUFS)
            return kInterrupted;
        if (n <= 0) {
            *err_no = n < 0 ? errno : EPIPE;
            return kFailed;
        }
        g_bytes += static_cast<uint64_t>(n);
        size_t len = static_cast<size_t>(n);
        for (const struct nlmsghdr *h = reinterpret_cast<const struct nlmsghdr *>(buf); NLMSG_OK(h, len);
             h = NLMSG_NEXT(h, len)) {
            ++g_messages;
            if (h->nlmsg_seq != seq && !nonblock)
                continue;
            if (h->nlmsg_flags & NLM_F_DUMP_INTR)
                interrupted = true;
            if (h->nlmsg_type == NLMSG_ERROR) {
                const auto *e = static_cast<const struct nlmsgerr *>(NLMSG_DATA(h));
                if (e->error != 0) {
                    *err_no = -e->error;
                    return kFailed;
                }
                if (!nonblock)
                    return interrupted ? kInterrupted : kDone;
                continue;
            }
            if (h->nlmsg_type == NLMSG_DONE)
                return interrupted ? kInterrupted : kDone;
            if (!interrupted)
                fn(h);
        }
    }
}

int code_of(int err_no)
{
    return err_no == EPERM || err_no == EACCES ? GW_E_NFT : GW_E_KERNEL;
}

// One request and its answer (a get with its acknowledgement, or a dump),
// asked again when the kernel marks it interrupted.
template <typename Fn> int ask(const std::function<size_t(std::string &, uint32_t)> &build, int *err_no, Fn fn,
                               const std::function<void()> &restart)
{
    for (int tries = 0; tries < kDumpTries; ++tries) {
        Sock s;
        if (int rc = sock_open(&s))
            return rc;
        std::string b;
        uint32_t seq = ++s.seq;
        build(b, seq);
        if (int rc = send_all(&s, b))
            return rc;
        restart();
        Reply r = receive(&s, seq, false, err_no, fn);
        if (r == kDone)
            return GW_OK;
        if (r == kFailed)
            return code_of(*err_no);
    }
    *err_no = EINTR;
    return GW_E_KERNEL;
}

size_t elem_request(std::string &b, int msg, uint16_t flags, uint32_t seq, const std::string &kname)
{
    size_t m = begin_msg(b, msg_type(msg), flags, seq, NFPROTO_INET, 0);
    attr_str(b, NFTA_SET_ELEM_LIST_TABLE, kNftTable);
    attr_str(b, NFTA_SET_ELEM_LIST_SET, kNftSetPrefix + kname);
    return m;
}

void put_key(std::string &b, uint16_t type, const unsigned char *key, size_t len)
{
    size_t k = nest(b, type);
    attr(b, NFTA_DATA_VALUE, key, len);
    nest_end(b, k);
}

// The elements of a NEWSETELEM message: key and whether it ends an interval.
struct Elem {
    unsigned char key[16] = {};
    bool end = false;
};

void elements_of(const struct nlmsghdr *h, size_t klen, std::vector<Elem> *out)
{
    Attrs top;
    message_attrs(h, &top);
    const struct nlattr *list = top.a[NFTA_SET_ELEM_LIST_ELEMENTS];
    if (!list)
        return;
    const char *p = static_cast<const char *>(payload(list));
    size_t len = payload_len(list);
    while (len >= NLA_HDRLEN) {
        const struct nlattr *e = reinterpret_cast<const struct nlattr *>(p);
        if (e->nla_len < NLA_HDRLEN || e->nla_len > len)
            return;
        Attrs ea, ka;
        parse_attrs(payload(e), payload_len(e), &ea);
        uint32_t flags = 0;
        u32_of(ea.a[NFTA_SET_ELEM_FLAGS], &flags);
        if (ea.a[NFTA_SET_ELEM_KEY]) {
            parse_attrs(payload(ea.a[NFTA_SET_ELEM_KEY]), payload_len(ea.a[NFTA_SET_ELEM_KEY]), &ka);
            const struct nlattr *v = ka.a[NFTA_DATA_VALUE];
            if (v && payload_len(v) == klen) {
                Elem x;
                memcpy(x.key, payload(v), klen);
                x.end = flags & NFT_SET_ELEM_INTERVAL_END;
                out->push_back(x);
            }
        }
        size_t step = NLA_ALIGN(e->nla_len);
        if (step >= len)
            return;
        p += step;
        len -= step;
    }
}

// key + 1 over `len` big-endian bytes; false when it wraps.
bool next_key(unsigned char *key, size_t len)
{
    for (size_t i = len; i-- > 0;)
        if (++key[i] != 0)
            return true;
    return false;
}

void prev_key(unsigned char *key, size_t len)
{
    for (size_t i = len; i-- > 0;)
        if (key[i]-- != 0)
            return;
}

}  // namespace

NlStats nl_stats()
{
    NlStats s;
    s.messages = g_messages;
    s.bytes = g_bytes;
    return s;
}

int nl_set_protocol(const std::string &kname, uint32_t *protocol)
{
    int err_no = 0;
    uint32_t klen = 0;
    int rc = ask(
        [&](std::string &b, uint32_t seq) {
            size_t m = begin_msg(b, msg_type(NFT_MSG_GETSET), NLM_F_ACK, seq, NFPROTO_INET, 0);
            attr_str(b, NFTA_SET_TABLE, kNftTable);
            attr_str(b, NFTA_SET_NAME, kNftSetPrefix + kname);
            end_msg(b, m);
            return m;
        },
        &err_no,
        [&](const struct nlmsghdr *h) {
            Attrs a;
            message_attrs(h, &a);
            u32_of(a.a[NFTA_SET_KEY_LEN], &klen);
        },
        [] {});
    if (rc == GW_E_KERNEL && err_no == ENOENT)
        return GW_E_NOT_FOUND;
    if (rc)
        return rc;
    if (klen != 4 && klen != 16)
        return GW_E_NOT_FOUND;
    *protocol = klen == 4 ? CSSGW_PROTOCOL_IPV4 : kNftProtocolIPv6;
    return GW_OK;
}

int nl_elem_start(const std::string &kname, bool v4, const unsigned char key[16], bool *found,
                  unsigned char start[16])
{
    size_t klen = v4 ? 4 : 16;
    std::vector<Elem> got;
    int err_no = 0;
    *found = false;
    int rc = ask(
        [&](std::string &b, uint32_t seq) {
            size_t m = elem_request(b, NFT_MSG_GETSETELEM, NLM_F_ACK, seq, kname);
            size_t list = nest(b, NFTA_SET_ELEM_LIST_ELEMENTS);
            size_t e = nest(b, NFTA_LIST_ELEM);
            put_key(b, NFTA_SET_ELEM_KEY, key, klen);
            nest_end(b, e);
            nest_end(b, list);
            end_msg(b, m);
            return m;
        },
        &err_no, [&](const struct nlmsghdr *h) { elements_of(h, klen, &got); }, [&] { got.clear(); });
    // No element holds it (or the set went meanwhile): absent, a true answer.
    if (rc == GW_E_KERNEL && err_no == ENOENT)
        return GW_OK;
    if (rc)
        return rc;
    for (const Elem &e : got) {
        if (!e.end && memcmp(e.key, key, klen) <= 0) {
            memset(start, 0, 16);
            memcpy(start, e.key, klen);
            *found = true;
            break;
        }
    }
    return GW_OK;
}

int nl_set_entries(const std::string &kname, bool v4, std::vector<NftEntry> *out)
{
    size_t klen = v4 ? 4 : 16;
    std::vector<Elem> all;
    int err_no = 0;
    int rc = ask(
        [&](std::string &b, uint32_t seq) {
            size_t m = elem_request(b, NFT_MSG_GETSETELEM, NLM_F_DUMP, seq, kname);
            end_msg(b, m);
            return m;
        },
        &err_no, [&](const struct nlmsghdr *h) { elements_of(h, klen, &all); }, [&] { all.clear(); });
    if (rc == GW_E_KERNEL && err_no == ENOENT)
        return GW_E_NOT_FOUND;
    if (rc)
        return rc;
    // Ascending; at one key the end of an interval before the start of
    // the next.
    std::sort(all.begin(), all.end(), [&](const Elem &a, const Elem &b) {
        int c = memcmp(a.key, b.key, klen);
        return c < 0 || (c == 0 && a.end && !b.end);
    });
    out->clear();
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i].end)
            continue;
        NftEntry e;
        memcpy(e.lo, all[i].key, klen);
        if (i + 1 < all.size()) {
            memcpy(e.hi, all[i + 1].key, klen);
            prev_key(e.hi, klen);
            if (all[i + 1].end)
                ++i;
        } else {
            memset(e.hi, 0xff, klen);
        }
        e.text = owrt_span_text(v4, e.lo, e.hi);
        out->push_back(std::move(e));
    }
    return GW_OK;
}

void nl_batch_elements(NlBatch *b, bool add, const std::string &kname, bool v4, const std::vector<NftEntry> &entries)
{
    size_t klen = v4 ? 4 : 16;
    for (size_t from = 0; from < entries.size(); from += kPerMessage) {
        std::string &m = b->buf;
        // Adding refuses an element that is there already, so that the
        // kernel reports an existing interval that the new one covers.
        size_t start = elem_request(m, add ? NFT_MSG_NEWSETELEM : NFT_MSG_DELSETELEM,
                                    add ? NLM_F_CREATE | NLM_F_EXCL : 0, 0, kname);
        size_t list = nest(m, NFTA_SET_ELEM_LIST_ELEMENTS);
        for (size_t i = from; i < entries.size() && i < from + kPerMessage; ++i) {
            size_t e = nest(m, NFTA_LIST_ELEM);
            put_key(m, NFTA_SET_ELEM_KEY, entries[i].lo, klen);
            nest_end(m, e);
            unsigned char end[16];
            memcpy(end, entries[i].hi, 16);
            if (next_key(end, klen)) {
                e = nest(m, NFTA_LIST_ELEM);
                attr_u32(m, NFTA_SET_ELEM_FLAGS, NFT_SET_ELEM_INTERVAL_END);
                put_key(m, NFTA_SET_ELEM_KEY, end, klen);
                nest_end(m, e);
            }
        }
        nest_end(m, list);
        end_msg(m, start);
        ++b->messages;
    }
}

void nl_batch_flush(NlBatch *b, const std::string &kname)
{
    // A removal without elements empties the set.
    size_t start = elem_request(b->buf, NFT_MSG_DELSETELEM, 0, 0, kname);
    end_msg(b->buf, start);
    ++b->messages;
}

void nl_batch_count(NlBatch *b, const std::string &kname, uint64_t count)
{
    std::string &m = b->buf;
    size_t start = begin_msg(m, msg_type(NFT_MSG_NEWOBJ), NLM_F_CREATE, 0, NFPROTO_INET, 0);
    attr_str(m, NFTA_OBJ_TABLE, kNftTable);
    attr_str(m, NFTA_OBJ_NAME, kNftSetPrefix + kname);
    attr_u32(m, NFTA_OBJ_TYPE, NFT_OBJECT_QUOTA);
    size_t data = nest(m, NFTA_OBJ_DATA);
    uint64_t be = htobe64(count);
    attr(m, NFTA_QUOTA_BYTES, &be, sizeof be);
    attr_u32(m, NFTA_QUOTA_FLAGS, 0);
    nest_end(m, data);
    end_msg(m, start);
    ++b->messages;
}

int nl_batch_run(NlBatch *b, int *err_no)
{
    *err_no = 0;
    if (b->messages == 0)
        return GW_OK;
    Sock s;
    if (int rc = sock_open(&s))
        return rc;
    std::string all;
    uint32_t seq = ++s.seq;
    size_t m = begin_msg(all, NFNL_MSG_BATCH_BEGIN, 0, seq, AF_UNSPEC, NFNL_SUBSYS_NFTABLES);
    end_msg(all, m);
    // The messages of the batch get their sequence numbers here.
    size_t body = all.size();
    all += b->buf;
    for (size_t off = body; off + sizeof(struct nlmsghdr) <= all.size();) {
        struct nlmsghdr h;
        memcpy(&h, &all[off], sizeof h);
        h.nlmsg_seq = ++seq;
        memcpy(&all[off], &h, sizeof h);
        off += NLMSG_ALIGN(h.nlmsg_len);
    }
    m = begin_msg(all, NFNL_MSG_BATCH_END, 0, ++seq, AF_UNSPEC, NFNL_SUBSYS_NFTABLES);
    end_msg(all, m);
    if (int rc = send_all(&s, all))
        return rc;
    // The kernel handles a batch while it is sent: its refusals (and
    // nothing else, no acknowledgement was asked for) are queued by now.
    Reply r = receive(&s, 0, true, err_no, [](const struct nlmsghdr *) {});
    if (r == kFailed)
        return code_of(*err_no);
    if (r == kInterrupted) {
        // Replies were lost: whether it went in is unknown.
        *err_no = ENOBUFS;
        return GW_E_KERNEL;
    }
    return GW_OK;
}
