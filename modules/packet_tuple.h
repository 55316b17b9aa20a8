// pcap's tuple: the IPv4/IPv6 and UDP/TCP header fields of one captured
// packet, found behind its link-layer header, without copying anything.
//
// Every length is checked against the captured bytes before it is read: a
// packet cut short (by the snapshot length or on purpose) is "truncated",
// never read past its end. No Lua here: the module calls this on plain data.
#pragma once

#include <cstddef>
#include <cstdint>

enum TupleStatus {
    kTupleOk = 0,
    kTupleNotIp,      // another link-layer protocol (ARP, ...) or IP version
    kTupleTruncated,  // a header does not fit in the captured bytes
    kTupleLinkType,   // a link type the parser does not know
};

struct PacketTuple {
    int version;           // 4 or 6
    int proto;             // the transport protocol number (17 UDP, 6 TCP, ...)
    const uint8_t *src;    // into the packet: 4 or 16 bytes
    const uint8_t *dst;
    size_t addr_len;       // 4 or 16
    unsigned sport;        // 0 unless UDP or TCP with its header present
    unsigned dport;
    size_t payload;        // offset of the UDP/TCP payload (of the IP payload
                           // for other protocols and later fragments)
};

// Link types taken: Ethernet (1, with up to two VLAN tags), Linux cooked
// (113), raw IP (12, 14 and 101), and IPv4 and IPv6 (228, 229).
TupleStatus packet_tuple(const uint8_t *data, size_t len, int linktype, PacketTuple *out);
