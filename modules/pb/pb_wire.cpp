// pb: the wire format, the part that is not inline.
#include "modules/pb/pb_wire.h"

#include <cstdio>

#include "common/hex_digit.h"

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

bool pb_parse_int64_text(const char *s, size_t len, bool is_signed, bool hash, uint64_t *bits)
{
    size_t i = 0;
    if (i < len && s[i] == '#')
        ++i;
    else if (hash)
        return false;
    bool neg = false;
    if (is_signed && i < len && s[i] == '-') {
        neg = true;
        ++i;
    }
    bool hex = len - i > 2 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X');
    if (hex)
        i += 2;
    if (i == len)
        return false;
    uint64_t v = 0;
    unsigned base = hex ? 16 : 10;
    for (; i < len; ++i) {
        int digit = hex ? hex_digit_value(s[i]) : (s[i] >= '0' && s[i] <= '9' ? s[i] - '0' : -1);
        if (digit < 0)
            return false;
        if (v > (UINT64_MAX - static_cast<uint64_t>(digit)) / base)
            return false;
        v = v * base + static_cast<uint64_t>(digit);
    }
    // Signed: decimal and negative hex text within the int64 range; positive
    // hex text may give all 64 bits.
    if (is_signed && (neg || !hex) && v > (neg ? (1ull << 63) : static_cast<uint64_t>(INT64_MAX)))
        return false;
    *bits = neg ? ~v + 1 : v;
    return true;
}

size_t pb_format_int64_text(uint64_t bits, bool is_signed, bool hex, char *buf)
{
    bool neg = is_signed && static_cast<int64_t>(bits) < 0;
    unsigned long long mag = neg ? ~bits + 1 : bits;
    int n = snprintf(buf, 24, hex ? "#%s0x%llx" : "#%s%llu", neg ? "-" : "", mag);
    return n < 0 ? 0 : static_cast<size_t>(n);
}
