// pb: the wire format: varints, fixed-size values, length-delimited ranges,
// groups.
//
// The readers never look past `end`: every length is checked against the
// bytes that are left before it is used.
#pragma once

#include <cstddef>
#include <cstdint>

#include "modules/pb/pb_types.h"

enum PbWireType : int {
    PB_WT_VARINT = 0,
    PB_WT_FIXED64 = 1,
    PB_WT_LEN = 2,
    PB_WT_SGROUP = 3,
    PB_WT_EGROUP = 4,
    PB_WT_FIXED32 = 5,
};

// Nesting limit of messages and groups, in both directions.
constexpr int kPbMaxDepth = 100;
// Largest field number a tag may carry.
constexpr uint64_t kPbMaxFieldNumber = (1u << 29) - 1;

// The wire type a value of field type `type` is written with (outside
// packed records).
inline int pb_wire_type_of(uint8_t type)
{
    switch (type) {
    case PB_DOUBLE:
    case PB_FIXED64:
    case PB_SFIXED64:
        return PB_WT_FIXED64;
    case PB_FLOAT:
    case PB_FIXED32:
    case PB_SFIXED32:
        return PB_WT_FIXED32;
    case PB_STRING:
    case PB_BYTES:
    case PB_MESSAGE:
        return PB_WT_LEN;
    case PB_GROUP:
        return PB_WT_SGROUP;
    default:
        return PB_WT_VARINT;
    }
}

// Reads a varint of at most 10 bytes; the bits above 64 are dropped.
inline bool pb_get_varint(const uint8_t **pp, const uint8_t *end, uint64_t *out)
{
    const uint8_t *p = *pp;
    if (p < end && *p < 0x80) {
        *out = *p;
        *pp = p + 1;
        return true;
    }
    uint64_t v = 0;
    for (int shift = 0; shift < 70; shift += 7) {
        if (p >= end)
            return false;
        uint8_t b = *p++;
        v |= static_cast<uint64_t>(b & 0x7f) << (shift < 64 ? shift : 63);
        if (b < 0x80) {
            *out = v;
            *pp = p;
            return true;
        }
    }
    return false;  // an eleventh byte
}

inline bool pb_get_fixed32(const uint8_t **pp, const uint8_t *end, uint32_t *out)
{
    if (end - *pp < 4)
        return false;
    const uint8_t *p = *pp;
    *out = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    *pp = p + 4;
    return true;
}

inline bool pb_get_fixed64(const uint8_t **pp, const uint8_t *end, uint64_t *out)
{
    if (end - *pp < 8)
        return false;
    const uint8_t *p = *pp;
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | p[i];
    *out = v;
    *pp = p + 8;
    return true;
}

// A length prefix and the range it covers: [*sub, *sub_end), which must lie
// within the input.
inline bool pb_get_range(const uint8_t **pp, const uint8_t *end, const uint8_t **sub,
                         const uint8_t **sub_end)
{
    uint64_t len;
    if (!pb_get_varint(pp, end, &len) || len > static_cast<uint64_t>(end - *pp))
        return false;
    *sub = *pp;
    *sub_end = *pp + len;
    *pp = *sub_end;
    return true;
}

// Skips one value of wire type `wt` whose tag has just been read. A group is
// skipped up to its matching end tag; groups inside it count towards
// `depth` (the caller's nesting) and must not exceed kPbMaxDepth.
bool pb_skip_value(const uint8_t **pp, const uint8_t *end, int wt, uint32_t number, int depth);

// A 64-bit value written as text, "#" first ("#-12", "#0xff"): decimal or
// hexadecimal digits, a minus sign allowed for signed types; hex text of up
// to 64 bits gives those bits for signed types too. `hash` says whether
// the "#" is required. False when the text is no such value or out of
// range.
bool pb_parse_int64_text(const char *s, size_t len, bool is_signed, bool hash, uint64_t *bits);
// Writes "#<decimal>" or "#0x<hex>" (a minus sign first for negative signed
// values) into buf (at least 24 bytes); returns its length.
size_t pb_format_int64_text(uint64_t bits, bool is_signed, bool hex, char *buf);

inline uint64_t pb_zigzag64(int64_t v)
{
    return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
inline int64_t pb_unzigzag64(uint64_t v)
{
    return static_cast<int64_t>((v >> 1) ^ (~(v & 1) + 1));
}
