// pb: the wire format, the part that is not inline.
#include "modules/pb/pb_wire.h"

bool pb_skip_value(const uint8_t **pp, const uint8_t *end, int wt, uint32_t number, int depth)
{
    uint64_t v;
    const uint8_t *s;
    const uint8_t *e;
    switch (wt) {
    case PB_WT_VARINT:
        return pb_get_varint(pp, end, &v);
    case PB_WT_FIXED64:
        if (end - *pp < 8)
            return false;
        *pp += 8;
        return true;
    case PB_WT_FIXED32:
        if (end - *pp < 4)
            return false;
        *pp += 4;
        return true;
    case PB_WT_LEN:
        return pb_get_range(pp, end, &s, &e);
    case PB_WT_SGROUP: {
        // Open groups, innermost last.
        uint32_t open[kPbMaxDepth + 1];
        int n = 0;
        if (depth + 1 > kPbMaxDepth)
            return false;
        open[n++] = number;
        while (n > 0) {
            uint64_t tag;
            if (!pb_get_varint(pp, end, &tag))
                return false;
            uint64_t num = tag >> 3;
            int w = static_cast<int>(tag & 7);
            if (num == 0 || num > kPbMaxFieldNumber)
                return false;
            if (w == PB_WT_EGROUP) {
                if (num != open[n - 1])
                    return false;
                --n;
            } else if (w == PB_WT_SGROUP) {
                if (depth + n + 1 > kPbMaxDepth)
                    return false;
                open[n++] = static_cast<uint32_t>(num);
            } else if (!pb_skip_value(pp, end, w, static_cast<uint32_t>(num), depth)) {
                return false;
            }
        }
        return true;
    }
    default:
        return false;
    }
}
