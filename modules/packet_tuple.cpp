#include "modules/packet_tuple.h"

namespace {

constexpr unsigned kEtherIpv4 = 0x0800;
constexpr unsigned kEtherIpv6 = 0x86dd;
constexpr unsigned kEtherVlan = 0x8100;
constexpr unsigned kEtherQinQ = 0x88a8;
constexpr int kMaxVlanTags = 2;
constexpr int kMaxIpv6Extensions = 8;

constexpr int kProtoTcp = 6;
constexpr int kProtoUdp = 17;

unsigned be16(const uint8_t *p) { return static_cast<unsigned>(p[0]) << 8 | p[1]; }

// Where the IP header starts and which version the link layer says it is
// (0: the version nibble decides).
struct LinkResult {
    TupleStatus status;
    size_t off;
    int version;
};

int version_of_ethertype(unsigned type)
{
    if (type == kEtherIpv4)
        return 4;
    if (type == kEtherIpv6)
        return 6;
    return -1;
}

LinkResult link_header(const uint8_t *d, size_t len, int linktype)
{
    switch (linktype) {
    case 1: {  // Ethernet
        if (len < 14)
            return {kTupleTruncated, 0, 0};
        size_t off = 14;
        unsigned type = be16(d + 12);
        for (int tags = 0; tags < kMaxVlanTags && (type == kEtherVlan || type == kEtherQinQ); ++tags) {
            if (len < off + 4)
                return {kTupleTruncated, 0, 0};
            type = be16(d + off + 2);
            off += 4;
        }
        int v = version_of_ethertype(type);
        return v < 0 ? LinkResult{kTupleNotIp, 0, 0} : LinkResult{kTupleOk, off, v};
    }
    case 113: {  // Linux cooked, version 1
        if (len < 16)
            return {kTupleTruncated, 0, 0};
        int v = version_of_ethertype(be16(d + 14));
        return v < 0 ? LinkResult{kTupleNotIp, 0, 0} : LinkResult{kTupleOk, 16, v};
    }
    case 276: {  // Linux cooked, version 2
        if (len < 20)
            return {kTupleTruncated, 0, 0};
        int v = version_of_ethertype(be16(d));
        return v < 0 ? LinkResult{kTupleNotIp, 0, 0} : LinkResult{kTupleOk, 20, v};
    }
    case 12:
    case 14:
    case 101:  // raw IP
        return {kTupleOk, 0, 0};
    case 228:
        return {kTupleOk, 0, 4};
    case 229:
        return {kTupleOk, 0, 6};
    default:
        return {kTupleLinkType, 0, 0};
    }
}

// The transport header at `off`: ports and payload offset.
TupleStatus transport(const uint8_t *d, size_t len, size_t off, PacketTuple *t)
{
    t->payload = off;
    if (t->proto == kProtoUdp) {
        if (len < off + 8)
            return kTupleTruncated;
        t->payload = off + 8;
    } else if (t->proto == kProtoTcp) {
        if (len < off + 20)
            return kTupleTruncated;
        size_t doff = static_cast<size_t>(d[off + 12] >> 4) * 4;
        if (doff < 20 || len < off + doff)
            return kTupleTruncated;
        t->payload = off + doff;
    } else {
        return kTupleOk;
    }
    t->sport = be16(d + off);
    t->dport = be16(d + off + 2);
    return kTupleOk;
}

TupleStatus ipv4(const uint8_t *d, size_t len, size_t off, PacketTuple *t)
{
    if (len < off + 20)
        return kTupleTruncated;
    const uint8_t *ip = d + off;
    if (ip[0] >> 4 != 4)
        return kTupleNotIp;
    size_t ihl = static_cast<size_t>(ip[0] & 15) * 4;
    if (ihl < 20)
        return kTupleNotIp;
    if (len < off + ihl)
        return kTupleTruncated;
    t->version = 4;
    t->proto = ip[9];
    t->src = ip + 12;
    t->dst = ip + 16;
    t->addr_len = 4;
    // A later fragment carries no transport header.
    if ((be16(ip + 6) & 0x1fff) != 0) {
        t->payload = off + ihl;
        return kTupleOk;
    }
    return transport(d, len, off + ihl, t);
}

TupleStatus ipv6(const uint8_t *d, size_t len, size_t off, PacketTuple *t)
{
    if (len < off + 40)
        return kTupleTruncated;
    const uint8_t *ip = d + off;
    if (ip[0] >> 4 != 6)
        return kTupleNotIp;
    t->version = 6;
    t->src = ip + 8;
    t->dst = ip + 24;
    t->addr_len = 16;
    int next = ip[6];
    off += 40;
    for (int i = 0; i < kMaxIpv6Extensions; ++i) {
        size_t hlen;
        bool later_fragment = false;
        switch (next) {
        case 0:    // hop-by-hop options
        case 43:   // routing
        case 60:   // destination options
            if (len < off + 2)
                return kTupleTruncated;
            hlen = (static_cast<size_t>(d[off + 1]) + 1) * 8;
            break;
        case 51:  // authentication header
            if (len < off + 2)
                return kTupleTruncated;
            hlen = (static_cast<size_t>(d[off + 1]) + 2) * 4;
            break;
        case 44:  // fragment
            if (len < off + 8)
                return kTupleTruncated;
            hlen = 8;
            later_fragment = (be16(d + off + 2) & 0xfff8) != 0;
            break;
        default:
            t->proto = next;
            return transport(d, len, off, t);
        }
        if (len < off + hlen)
            return kTupleTruncated;
        next = d[off];
        off += hlen;
        if (later_fragment) {
            t->proto = next;
            t->payload = off;
            return kTupleOk;
        }
    }
    // Deeper chains are not followed: the last header reached is the
    // protocol, without ports.
    t->proto = next;
    t->payload = off;
    return kTupleOk;
}

}  // namespace

TupleStatus packet_tuple(const uint8_t *data, size_t len, int linktype, PacketTuple *out)
{
    *out = PacketTuple{0, 0, nullptr, nullptr, 0, 0, 0, 0};
    LinkResult link = link_header(data, len, linktype);
    if (link.status != kTupleOk)
        return link.status;
    int version = link.version;
    if (version == 0) {
        if (len < link.off + 1)
            return kTupleTruncated;
        version = data[link.off] >> 4;
    }
    if (version == 4)
        return ipv4(data, len, link.off, out);
    if (version == 6)
        return ipv6(data, len, link.off, out);
    return kTupleNotIp;
}
