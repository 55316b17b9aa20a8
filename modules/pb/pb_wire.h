// pb: the wire format (varints, fixed-size values, length-delimited ranges,
// groups) and the two directions between Lua values and it.
//
// The readers never look past `end`: every length is checked against the
// bytes that are left before it is used.
#pragma once

#include <cstddef>
#include <cstdint>

#include <lua.hpp>

struct PbState;

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

struct PbType;
struct PbField;

// The userdata each encode, decode and load call makes before it acquires
// anything: the output buffer (or the file read), the types of a load in
// progress, and the call's hold on the type table (`st` while held). Its
// __gc releases whatever a raised error left behind.
struct PbBox {
    char *p;
    size_t n;
    size_t cap;
    PbState *st;
    PbType *pending;
};

// Encodes the table at `table` as message `t` into `box` (raises on a bad
// value). `names` is the stack index of the per-type names table.
void pb_encode_message(lua_State *L, PbState *st, PbBox *box, const PbType *t, int table,
                       int names);
// Decodes `data` as message `t` and pushes a new table; false (nothing
// pushed, the reason in `err`) on malformed input. Raises only for a
// referenced type that is not loaded.
bool pb_decode_message(lua_State *L, PbState *st, const PbType *t, const char *data, size_t len,
                       int names, char *err, size_t errlen);
// Pushes the default of a singular scalar field: the explicit one, else the
// zero value (an enum's first value); enums as names when `enum_names`,
// 64-bit integers as decimal text when `int64_text`.
void pb_push_default(lua_State *L, const PbState *st, const PbField *f, bool enum_names,
                     bool int64_text);

inline uint64_t pb_zigzag64(int64_t v)
{
    return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
inline int64_t pb_unzigzag64(uint64_t v)
{
    return static_cast<int64_t>((v >> 1) ^ (~(v & 1) + 1));
}
