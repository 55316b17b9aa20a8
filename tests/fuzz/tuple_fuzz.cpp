// Fuzz target for pcap's tuple parser. Input: [linktype selector:1][packet].
// The packet is copied into a block of exactly its size, so that a read
// past its end is caught. Checks that a parsed tuple points inside the
// packet and that the payload offset lies within it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_util.h"
#include "modules/packet_tuple.h"

namespace {

const int kLinkTypes[] = {1, 113, 276, 12, 14, 101, 228, 229, 0};

bool inside(const uint8_t *p, size_t n, const uint8_t *data, size_t len)
{
    return p >= data && n <= len && static_cast<size_t>(p - data) <= len - n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    int linktype = kLinkTypes[data[0] % (sizeof kLinkTypes / sizeof kLinkTypes[0])];
    size_t len = size - 1;
    uint8_t *packet = static_cast<uint8_t *>(malloc(len ? len : 1));
    memcpy(packet, data + 1, len);

    PacketTuple t;
    TupleStatus st = packet_tuple(packet, len, linktype, &t);
    fuzz_check(st >= kTupleOk && st <= kTupleLinkType, "a known status");
    if (linktype == 0)
        fuzz_check(st == kTupleLinkType, "an unknown link type is refused");
    if (st == kTupleOk) {
        fuzz_check(t.version == 4 || t.version == 6, "version");
        fuzz_check(t.addr_len == (t.version == 4 ? 4u : 16u), "address length");
        fuzz_check(inside(t.src, t.addr_len, packet, len) && inside(t.dst, t.addr_len, packet, len),
                   "addresses inside the packet");
        fuzz_check(t.payload <= len, "payload offset inside the packet");
        fuzz_check(t.proto >= 0 && t.proto <= 255, "protocol number");
        fuzz_check(t.sport <= 65535 && t.dport <= 65535, "ports");
        fuzz_check((t.proto == 6 || t.proto == 17) || (t.sport == 0 && t.dport == 0), "ports only for UDP/TCP");
    }
    free(packet);
    return 0;
}
