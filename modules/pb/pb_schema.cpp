// pb: reading descriptor sets into types, and the type table.
#include "modules/pb/pb_schema.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/hex_digit.h"
#include "modules/pb/pb_wire.h"

const char *const kPbTypeNames[PB_TYPE_MAX + 1] = {
    "",       "double",  "float", "int64",  "uint64",   "int32",    "fixed64",
    "fixed32", "bool",   "string", "group", "message",  "bytes",    "uint32",
    "enum",   "sfixed32", "sfixed64", "sint32", "sint64",
};

// One block of a type's memory; the blocks of a type form a list.
struct PbChunk {
    PbChunk *next;
    size_t used;
    size_t cap;
};

namespace {

constexpr size_t kChunkHead = (sizeof(PbChunk) + 15) & ~static_cast<size_t>(15);
constexpr size_t kChunkSize = 2048;
// Longest name or text a descriptor may carry.
constexpr size_t kMaxText = 1u << 24;
constexpr uint64_t kMaxFieldNumber = (1u << 29) - 1;

void *arena_alloc(PbChunk **head, size_t size)
{
    size = (size + 15) & ~static_cast<size_t>(15);
    PbChunk *c = *head;
    if (!c || c->cap - c->used < size) {
        size_t cap = size > kChunkSize ? size : kChunkSize;
        c = static_cast<PbChunk *>(malloc(kChunkHead + cap));
        if (!c)
            return nullptr;
        c->next = *head;
        c->used = 0;
        c->cap = cap;
        *head = c;
    }
    void *p = reinterpret_cast<char *>(c) + kChunkHead + c->used;
    c->used += size;
    return p;
}

PbType *type_new(uint8_t kind, bool proto3)
{
    PbChunk *head = nullptr;
    PbType *t = static_cast<PbType *>(arena_alloc(&head, sizeof(PbType)));
    if (!t)
        return nullptr;
    memset(t, 0, sizeof *t);
    t->arena = head;
    t->kind = kind;
    t->proto3 = proto3;
    return t;
}

void type_free(PbType *t)
{
    PbChunk *c = t->arena;
    while (c) {
        PbChunk *next = c->next;
        free(c);
        c = next;
    }
}

// Zeroed memory owned by `t`; nullptr when out of memory.
void *type_alloc(PbType *t, size_t n)
{
    void *p = arena_alloc(&t->arena, n ? n : 1);
    if (p)
        memset(p, 0, n);
    return p;
}

// Sets `out` to the concatenation of `n` pieces, owned by `t`.
bool type_text(PbType *t, PbText *out, const PbText *parts, int n)
{
    size_t len = 0;
    for (int i = 0; i < n; ++i) {
        if (parts[i].len > kMaxText)
            return false;
        len += parts[i].len;
    }
    char *s = static_cast<char *>(arena_alloc(&t->arena, len + 1));
    if (!s)
        return false;
    size_t at = 0;
    for (int i = 0; i < n; ++i) {
        if (parts[i].len)
            memcpy(s + at, parts[i].s, parts[i].len);
        at += parts[i].len;
    }
    s[len] = '\0';
    out->s = s;
    out->len = static_cast<uint32_t>(len);
    return true;
}

PbText range_text(const uint8_t *s, const uint8_t *e)
{
    return PbText{reinterpret_cast<const char *>(s), static_cast<uint32_t>(e - s)};
}

// A copy of the bytes [s, e) owned by `t`.
bool type_copy(PbType *t, PbText *out, const uint8_t *s, const uint8_t *e)
{
    if (static_cast<size_t>(e - s) > kMaxText)
        return false;
    PbText part = range_text(s, e);
    return type_text(t, out, &part, 1);
}

uint32_t fnv_step(uint32_t h, const char *s, size_t len)
{
    for (size_t i = 0; i < len; ++i) {
        h ^= static_cast<uint8_t>(s[i]);
        h *= 16777619u;
    }
    return h;
}

// Hash of a full name; `name` without its leading dot is hashed as if it had
// one.
uint32_t name_hash(const char *name, size_t len)
{
    uint32_t h = 2166136261u;
    if (len == 0 || name[0] != '.')
        h = fnv_step(h, ".", 1);
    return fnv_step(h, name, len);
}

bool name_equal(const PbType *t, const char *name, size_t len)
{
    if (len > 0 && name[0] == '.')
        return t->name.len == len && memcmp(t->name.s, name, len) == 0;
    return t->name.len == len + 1 && memcmp(t->name.s + 1, name, len) == 0;
}

// ---------------------------------------------------------------------------
// Descriptor parsing

struct Parser {
    const uint8_t *base;
    size_t fail;
    PbType **tail;  // where the next new type is linked
};

bool fail_at(Parser *ps, const uint8_t *at)
{
    ps->fail = static_cast<size_t>(at - ps->base);
    return false;
}

// One field of a descriptor message: its number and wire type, and its value
// (a varint or fixed value in v, a length-delimited one in s..e).
struct Item {
    uint32_t number;
    int wt;
    uint64_t v;
    const uint8_t *s;
    const uint8_t *e;
    const uint8_t *at;
};

// 1 with the next item, 0 at the end of the range, -1 on malformed input.
int next_item(Parser *ps, const uint8_t **pp, const uint8_t *end, Item *it, int depth)
{
    if (*pp >= end)
        return 0;
    it->at = *pp;
    uint64_t tag;
    if (!pb_get_varint(pp, end, &tag) || (tag >> 3) == 0 || (tag >> 3) > kMaxFieldNumber) {
        fail_at(ps, it->at);
        return -1;
    }
    it->number = static_cast<uint32_t>(tag >> 3);
    it->wt = static_cast<int>(tag & 7);
    it->s = it->e = nullptr;
    it->v = 0;
    bool ok;
    switch (it->wt) {
    case PB_WT_VARINT:
        ok = pb_get_varint(pp, end, &it->v);
        break;
    case PB_WT_FIXED64:
        ok = pb_get_fixed64(pp, end, &it->v);
        break;
    case PB_WT_FIXED32: {
        uint32_t v32 = 0;
        ok = pb_get_fixed32(pp, end, &v32);
        it->v = v32;
        break;
    }
    case PB_WT_LEN:
        ok = pb_get_range(pp, end, &it->s, &it->e);
        break;
    case PB_WT_SGROUP:
        ok = pb_skip_value(pp, end, it->wt, it->number, depth);
        break;
    default:
        ok = false;
        break;
    }
    if (!ok) {
        fail_at(ps, it->at);
        return -1;
    }
    return 1;
}

bool is_len(const Item &it, uint32_t number) { return it.number == number && it.wt == PB_WT_LEN; }
bool is_varint(const Item &it, uint32_t number) { return it.number == number && it.wt == PB_WT_VARINT; }

// Reads the bool option `number` of the options message `it` into *value
// (1 or 0; left as it is when the option is not set).
bool option_flag(Parser *ps, const Item &it, uint32_t number, int *value)
{
    const uint8_t *q = it.s;
    Item opt;
    int r;
    while ((r = next_item(ps, &q, it.e, &opt, 0)) > 0)
        if (is_varint(opt, number))
            *value = opt.v != 0;
    return r == 0;
}

void link_type(Parser *ps, PbType *t)
{
    *ps->tail = t;
    ps->tail = &t->lnext;
}

// Where a type is declared: the package ("." and its name) or the type it
// is nested in.
struct Scope {
    PbText a;
    PbText b;
};

// A new type named <scope>.<name>, linked into the parse's list (which
// frees it when the parse fails); nullptr when nameless or out of memory.
PbType *named_type(Parser *ps, uint8_t kind, bool proto3, const Scope &scope, const uint8_t *name,
                   const uint8_t *name_end)
{
    if (!name || name == name_end || static_cast<size_t>(name_end - name) > kMaxText)
        return nullptr;
    PbType *t = type_new(kind, proto3);
    if (!t)
        return nullptr;
    link_type(ps, t);
    PbText parts[] = {scope.a, scope.b, {".", 1}, range_text(name, name_end)};
    if (!type_text(t, &t->name, parts, 4))
        return nullptr;
    t->basename.s = t->name.s + t->name.len - parts[3].len;
    t->basename.len = parts[3].len;
    return t;
}

// Sets *out to the number a default text gives, in [lo, hi].
bool parse_signed(const char *s, int64_t lo, int64_t hi, int64_t *out)
{
    if (!*s || *s == ' ' || *s == '+')
        return false;
    char *stop;
    errno = 0;
    long long v = strtoll(s, &stop, 0);
    if (errno || *stop || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

bool parse_unsigned(const char *s, uint64_t hi, uint64_t *out)
{
    if (!*s || *s == '-' || *s == ' ' || *s == '+')
        return false;
    char *stop;
    errno = 0;
    unsigned long long v = strtoull(s, &stop, 0);
    if (errno || *stop || v > hi)
        return false;
    *out = v;
    return true;
}

// The C escapes of a bytes default, undone in place (the result is never
// longer).
bool unescape_bytes(PbText *text)
{
    char *s = const_cast<char *>(text->s);
    size_t n = text->len;
    size_t o = 0;
    for (size_t i = 0; i < n;) {
        char c = s[i++];
        if (c != '\\') {
            s[o++] = c;
            continue;
        }
        if (i >= n)
            return false;
        c = s[i++];
        switch (c) {
        case 'a': s[o++] = '\a'; break;
        case 'b': s[o++] = '\b'; break;
        case 'f': s[o++] = '\f'; break;
        case 'n': s[o++] = '\n'; break;
        case 'r': s[o++] = '\r'; break;
        case 't': s[o++] = '\t'; break;
        case 'v': s[o++] = '\v'; break;
        case '\\': case '\'': case '"': case '?': s[o++] = c; break;
        case 'x': case 'X': {
            int v = 0;
            int k = 0;
            for (; k < 2 && i < n && hex_digit_value(s[i]) >= 0; ++k)
                v = v * 16 + hex_digit_value(s[i++]);
            if (k == 0)
                return false;
            s[o++] = static_cast<char>(v);
            break;
        }
        default: {
            if (c < '0' || c > '7')
                return false;
            int v = c - '0';
            for (int k = 1; k < 3 && i < n && s[i] >= '0' && s[i] <= '7'; ++k)
                v = v * 8 + (s[i++] - '0');
            s[o++] = static_cast<char>(v & 0xff);
            break;
        }
        }
    }
    s[o] = '\0';
    text->len = static_cast<uint32_t>(o);
    return true;
}

bool parse_default(PbField *f)
{
    const char *s = f->dflt.s;
    switch (f->type) {
    case PB_INT32:
    case PB_SINT32:
    case PB_SFIXED32:
        return parse_signed(s, INT32_MIN, INT32_MAX, &f->dval.i);
    case PB_INT64:
    case PB_SINT64:
    case PB_SFIXED64:
        return parse_signed(s, INT64_MIN, INT64_MAX, &f->dval.i);
    case PB_UINT32:
    case PB_FIXED32:
        return parse_unsigned(s, UINT32_MAX, &f->dval.u);
    case PB_UINT64:
    case PB_FIXED64:
        return parse_unsigned(s, UINT64_MAX, &f->dval.u);
    case PB_FLOAT:
    case PB_DOUBLE: {
        if (!*s || *s == ' ')
            return false;
        char *stop;
        double d = strtod(s, &stop);
        if (*stop)
            return false;
        f->dval.d = f->type == PB_FLOAT ? static_cast<double>(static_cast<float>(d)) : d;
        return true;
    }
    case PB_BOOL:
        if (strcmp(s, "true") == 0)
            f->dval.i = 1;
        else if (strcmp(s, "false") == 0)
            f->dval.i = 0;
        else
            return false;
        return true;
    case PB_STRING:
        return true;
    case PB_BYTES:
        return unescape_bytes(&f->dflt);
    case PB_ENUM:
        return f->dflt.len > 0;
    default:
        return false;  // messages and groups have no default
    }
}

// A FieldDescriptorProto.
bool parse_field(Parser *ps, PbType *t, PbField *f, uint32_t index, const uint8_t *p,
                 const uint8_t *end)
{
    const uint8_t *start = p;
    Item it;
    int r;
    const uint8_t *name = nullptr, *name_end = nullptr;
    const uint8_t *tname = nullptr, *tname_end = nullptr;
    const uint8_t *dflt = nullptr, *dflt_end = nullptr;
    uint64_t number = 0, label = PB_OPTIONAL, type = 0;
    int64_t oneof = -1;
    int packed = -1;
    bool p3_optional = false;
    while ((r = next_item(ps, &p, end, &it, 0)) > 0) {
        if (is_len(it, 1)) {
            name = it.s;
            name_end = it.e;
        } else if (is_varint(it, 3)) {
            number = it.v;
        } else if (is_varint(it, 4)) {
            label = it.v;
        } else if (is_varint(it, 5)) {
            type = it.v;
        } else if (is_len(it, 6)) {
            tname = it.s;
            tname_end = it.e;
        } else if (is_len(it, 7)) {
            dflt = it.s;
            dflt_end = it.e;
        } else if (is_len(it, 8)) {
            if (!option_flag(ps, it, 2, &packed))
                return false;
        } else if (is_varint(it, 9)) {
            oneof = static_cast<int32_t>(it.v);
        } else if (is_varint(it, 17)) {
            p3_optional = it.v != 0;
        }
    }
    if (r < 0)
        return false;

    bool refers = type == PB_MESSAGE || type == PB_GROUP || type == PB_ENUM;
    if (!name || name == name_end || number == 0 || number > kMaxFieldNumber || type == 0 ||
        type > PB_TYPE_MAX || label < PB_OPTIONAL || label > PB_REPEATED ||
        (refers && (!tname || tname == tname_end)) || oneof < -1 ||
        oneof >= static_cast<int64_t>(t->noneofs))
        return fail_at(ps, start);

    f->index = index;
    f->number = static_cast<int32_t>(number);
    f->type = static_cast<uint8_t>(type);
    f->label = static_cast<uint8_t>(label);
    f->oneof = p3_optional ? -1 : static_cast<int32_t>(oneof);
    if (!type_copy(t, &f->name, name, name_end))
        return fail_at(ps, start);
    if (refers) {
        PbText parts[] = {{".", tname[0] == '.' ? 0u : 1u}, range_text(tname, tname_end)};
        if (static_cast<size_t>(tname_end - tname) > kMaxText || !type_text(t, &f->type_name, parts, 2))
            return fail_at(ps, start);
    }
    if (f->label == PB_REPEATED && pb_is_packable(f->type))
        f->packed = packed < 0 ? t->proto3 : packed == 1;
    f->skip_zero = t->proto3 && f->label == PB_OPTIONAL && !p3_optional && f->oneof < 0 &&
                   f->type != PB_MESSAGE && f->type != PB_GROUP;
    if (dflt) {
        if (f->label == PB_REPEATED || !type_copy(t, &f->dflt, dflt, dflt_end) || !parse_default(f))
            return fail_at(ps, start);
        f->has_default = true;
    }
    return true;
}

struct NumIdx {
    int32_t number;
    uint32_t index;
};

int cmp_numidx(const void *a, const void *b)
{
    const NumIdx *x = static_cast<const NumIdx *>(a);
    const NumIdx *y = static_cast<const NumIdx *>(b);
    if (x->number != y->number)
        return x->number < y->number ? -1 : 1;
    return x->index < y->index ? -1 : (x->index > y->index);
}

// Sorted (number, index) pairs, in scratch memory of `t`.
NumIdx *sorted_numbers(PbType *t, uint32_t n, int32_t (*number_of)(const PbType *, uint32_t))
{
    NumIdx *v = static_cast<NumIdx *>(type_alloc(t, sizeof(NumIdx) * n));
    if (!v)
        return nullptr;
    for (uint32_t i = 0; i < n; ++i)
        v[i] = NumIdx{number_of(t, i), i};
    qsort(v, n, sizeof *v, cmp_numidx);
    return v;
}

int32_t field_number_of(const PbType *t, uint32_t i) { return t->fields[i].number; }
int32_t value_number_of(const PbType *t, uint32_t i) { return t->values[i].number; }

bool map_key_type(uint8_t type)
{
    return type != PB_DOUBLE && type != PB_FLOAT && type != PB_BYTES && type != PB_MESSAGE &&
           type != PB_GROUP && type != PB_ENUM;
}

// Field indices by number, the direct table, and the checks that need all
// fields: numbers are unique, map entries have a key and a value.
bool finish_message(Parser *ps, PbType *t, const uint8_t *at)
{
    uint32_t n = t->nfields;
    NumIdx *v = sorted_numbers(t, n, field_number_of);
    t->order = static_cast<uint32_t *>(type_alloc(t, sizeof(uint32_t) * n));
    if (!v || !t->order)
        return fail_at(ps, at);
    for (uint32_t i = 0; i < n; ++i) {
        if (i > 0 && v[i].number == v[i - 1].number)
            return fail_at(ps, at);
        t->order[i] = v[i].index;
    }
    uint32_t maxnum = n ? static_cast<uint32_t>(v[n - 1].number) : 0;
    if (maxnum < 64 || maxnum / 4 <= n) {
        t->ndirect = maxnum + 1;
        t->direct = static_cast<uint32_t *>(type_alloc(t, sizeof(uint32_t) * t->ndirect));
        if (!t->direct)
            return fail_at(ps, at);
        for (uint32_t i = 0; i < n; ++i)
            t->direct[v[i].number] = v[i].index + 1;
    }
    if (t->kind == PB_KIND_MAP) {
        const PbField *k = pb_field_by_number(t, 1);
        const PbField *val = pb_field_by_number(t, 2);
        if (!k || !val || k->label == PB_REPEATED || val->label == PB_REPEATED ||
            !map_key_type(k->type) || val->type == PB_GROUP)
            return fail_at(ps, at);
    }
    return true;
}

bool parse_enum(Parser *ps, const uint8_t *p0, const uint8_t *end, const Scope &scope, bool proto3)
{
    const uint8_t *p = p0;
    const uint8_t *name = nullptr, *name_end = nullptr;
    uint32_t nvalues = 0;
    Item it;
    int r;
    while ((r = next_item(ps, &p, end, &it, 0)) > 0) {
        if (is_len(it, 1)) {
            name = it.s;
            name_end = it.e;
        } else if (is_len(it, 2)) {
            ++nvalues;
        }
    }
    if (r < 0)
        return false;
    PbType *t = named_type(ps, PB_KIND_ENUM, proto3, scope, name, name_end);
    if (!t)
        return fail_at(ps, p0);
    t->values = static_cast<PbEnumValue *>(type_alloc(t, sizeof(PbEnumValue) * nvalues));
    if (!t->values)
        return fail_at(ps, p0);

    p = p0;
    while ((r = next_item(ps, &p, end, &it, 0)) > 0) {
        if (!is_len(it, 2))
            continue;
        const uint8_t *q = it.s;
        const uint8_t *vname = nullptr, *vname_end = nullptr;
        int32_t number = 0;
        Item vi;
        while ((r = next_item(ps, &q, it.e, &vi, 0)) > 0) {
            if (is_len(vi, 1)) {
                vname = vi.s;
                vname_end = vi.e;
            } else if (is_varint(vi, 2)) {
                number = static_cast<int32_t>(vi.v);
            }
        }
        if (r < 0)
            return false;
        PbEnumValue *ev = &t->values[t->nvalues];
        if (!vname || vname == vname_end || !type_copy(t, &ev->name, vname, vname_end))
            return fail_at(ps, it.at);
        ev->number = number;
        ++t->nvalues;
    }
    if (r < 0)
        return false;

    NumIdx *v = sorted_numbers(t, t->nvalues, value_number_of);
    t->by_value = static_cast<uint32_t *>(type_alloc(t, sizeof(uint32_t) * t->nvalues));
    t->by_vname = static_cast<uint32_t *>(type_alloc(t, sizeof(uint32_t) * t->nvalues));
    if (!v || !t->by_value || !t->by_vname)
        return fail_at(ps, p0);
    for (uint32_t i = 0; i < t->nvalues; ++i)
        t->by_value[i] = v[i].index;
    // By name: insertion sort keeps the first declared of equal names first.
    for (uint32_t i = 0; i < t->nvalues; ++i) {
        uint32_t k = i;
        const PbText &ni = t->values[i].name;
        while (k > 0) {
            const PbText &nk = t->values[t->by_vname[k - 1]].name;
            int c = memcmp(nk.s, ni.s, nk.len < ni.len ? nk.len : ni.len);
            if (c < 0 || (c == 0 && nk.len <= ni.len))
                break;
            t->by_vname[k] = t->by_vname[k - 1];
            --k;
        }
        t->by_vname[k] = i;
    }
    return true;
}

bool parse_message(Parser *ps, const uint8_t *p0, const uint8_t *end, const Scope &scope, bool proto3,
                   int depth)
{
    if (depth > kPbMaxDepth)
        return fail_at(ps, p0);
    const uint8_t *p = p0;
    const uint8_t *name = nullptr, *name_end = nullptr;
    uint32_t nfields = 0, noneofs = 0;
    int map_entry = -1;
    Item it;
    int r;
    while ((r = next_item(ps, &p, end, &it, 0)) > 0) {
        if (is_len(it, 1)) {
            name = it.s;
            name_end = it.e;
        } else if (is_len(it, 2)) {
            ++nfields;
        } else if (is_len(it, 8)) {
            ++noneofs;
        } else if (is_len(it, 7)) {
            if (!option_flag(ps, it, 7, &map_entry))
                return false;
        }
    }
    if (r < 0)
        return false;
    PbType *t = named_type(ps, map_entry == 1 ? PB_KIND_MAP : PB_KIND_MESSAGE, proto3, scope, name, name_end);
    if (!t)
        return fail_at(ps, p0);
    t->fields = static_cast<PbField *>(type_alloc(t, sizeof(PbField) * nfields));
    t->oneofs = static_cast<PbText *>(type_alloc(t, sizeof(PbText) * noneofs));
    if (!t->fields || !t->oneofs)
        return fail_at(ps, p0);

    // Oneof names first: fields refer to them by index.
    p = p0;
    while ((r = next_item(ps, &p, end, &it, 0)) > 0) {
        if (!is_len(it, 8))
            continue;
        const uint8_t *q = it.s;
        const uint8_t *oname = nullptr, *oname_end = nullptr;
        Item oi;
        while ((r = next_item(ps, &q, it.e, &oi, 0)) > 0)
            if (is_len(oi, 1)) {
                oname = oi.s;
                oname_end = oi.e;
            }
        if (r < 0)
            return false;
        if (!type_copy(t, &t->oneofs[t->noneofs], oname ? oname : it.s, oname ? oname_end : it.s))
            return fail_at(ps, it.at);
        ++t->noneofs;
    }
    if (r < 0)
        return false;

    Scope inner = {{"", 0}, t->name};
    p = p0;
    while ((r = next_item(ps, &p, end, &it, 0)) > 0) {
        if (is_len(it, 2)) {
            if (!parse_field(ps, t, &t->fields[t->nfields], t->nfields, it.s, it.e))
                return false;
            ++t->nfields;
        } else if (is_len(it, 3)) {
            if (!parse_message(ps, it.s, it.e, inner, proto3, depth + 1))
                return false;
        } else if (is_len(it, 4)) {
            if (!parse_enum(ps, it.s, it.e, inner, proto3))
                return false;
        }
    }
    if (r < 0)
        return false;
    return finish_message(ps, t, p0);
}

// A FileDescriptorProto: its package and syntax first, then its types.
bool parse_file(Parser *ps, const uint8_t *p0, const uint8_t *end)
{
    const uint8_t *p = p0;
    Scope scope = {{"", 0}, {"", 0}};
    bool proto3 = false;
    Item it;
    int r;
    while ((r = next_item(ps, &p, end, &it, 0)) > 0) {
        if (is_len(it, 2) && it.e > it.s) {
            if (static_cast<size_t>(it.e - it.s) > kMaxText)
                return fail_at(ps, it.at);
            scope = Scope{{".", 1}, range_text(it.s, it.e)};
        } else if (is_len(it, 12)) {
            proto3 = it.e - it.s == 6 && memcmp(it.s, "proto3", 6) == 0;
        }
    }
    if (r < 0)
        return false;
    p = p0;
    while ((r = next_item(ps, &p, end, &it, 0)) > 0) {
        if (is_len(it, 4)) {
            if (!parse_message(ps, it.s, it.e, scope, proto3, 0))
                return false;
        } else if (is_len(it, 5)) {
            if (!parse_enum(ps, it.s, it.e, scope, proto3))
                return false;
        }
    }
    return r == 0;
}

void free_retired(PbState *st)
{
    PbType *t = st->retired;
    st->retired = nullptr;
    while (t) {
        PbType *next = t->lnext;
        type_free(t);
        t = next;
    }
}

}  // namespace

bool pb_parse_set(const uint8_t *data, size_t len, PbType **list, size_t *fail_offset)
{
    *list = nullptr;
    Parser ps = {data, 0, list};
    const uint8_t *p = data;
    const uint8_t *end = data + len;
    Item it;
    int r;
    bool ok = true;
    while (ok && (r = next_item(&ps, &p, end, &it, 0)) > 0)
        if (is_len(it, 1))
            ok = parse_file(&ps, it.s, it.e);
    if (ok && r < 0)
        ok = false;
    if (!ok) {
        pb_free_list(*list);
        *list = nullptr;
        *fail_offset = ps.fail;
    }
    return ok;
}

void pb_free_list(PbType *list)
{
    while (list) {
        PbType *next = list->lnext;
        type_free(list);
        list = next;
    }
}

void pb_state_init(PbState *st)
{
    memset(st, 0, sizeof *st);
    st->gen = 1;
}

void pb_state_clear_all(PbState *st)
{
    for (size_t i = 0; i < st->nbuckets; ++i) {
        PbType *t = st->buckets[i];
        while (t) {
            PbType *next = t->hnext;
            type_free(t);
            t = next;
        }
    }
    free(st->buckets);
    st->buckets = nullptr;
    st->nbuckets = 0;
    st->count = 0;
    free_retired(st);
    ++st->gen;
}

const PbType *pb_find(const PbState *st, const char *name, size_t len)
{
    if (!st->nbuckets)
        return nullptr;
    uint32_t h = name_hash(name, len);
    for (const PbType *t = st->buckets[h & (st->nbuckets - 1)]; t; t = t->hnext)
        if (t->hash == h && name_equal(t, name, len))
            return t;
    return nullptr;
}

bool pb_reserve(PbState *st, size_t extra)
{
    size_t need = st->count + extra;
    if (need <= st->nbuckets)
        return true;
    size_t nb = 16;
    while (nb < need) {
        if (nb > (SIZE_MAX / sizeof(PbType *)) / 2)
            return false;
        nb *= 2;
    }
    PbType **buckets = static_cast<PbType **>(calloc(nb, sizeof(PbType *)));
    if (!buckets)
        return false;
    for (size_t i = 0; i < st->nbuckets; ++i) {
        PbType *t = st->buckets[i];
        while (t) {
            PbType *next = t->hnext;
            t->hnext = buckets[t->hash & (nb - 1)];
            buckets[t->hash & (nb - 1)] = t;
            t = next;
        }
    }
    free(st->buckets);
    st->buckets = buckets;
    st->nbuckets = nb;
    return true;
}

PbType *pb_insert(PbState *st, PbType *t)
{
    t->hash = name_hash(t->name.s, t->name.len);
    PbType *old = pb_remove(st, t->name.s, t->name.len);
    PbType **slot = &st->buckets[t->hash & (st->nbuckets - 1)];
    t->hnext = *slot;
    t->lnext = nullptr;
    *slot = t;
    ++st->count;
    ++st->gen;
    return old;
}

PbType *pb_remove_all(PbState *st)
{
    PbType *list = nullptr;
    for (size_t i = 0; i < st->nbuckets; ++i) {
        PbType *t = st->buckets[i];
        while (t) {
            PbType *next = t->hnext;
            t->hnext = nullptr;
            t->lnext = list;
            list = t;
            t = next;
        }
        st->buckets[i] = nullptr;
    }
    st->count = 0;
    ++st->gen;
    return list;
}

PbType *pb_remove(PbState *st, const char *name, size_t len)
{
    if (!st->nbuckets)
        return nullptr;
    uint32_t h = name_hash(name, len);
    for (PbType **slot = &st->buckets[h & (st->nbuckets - 1)]; *slot; slot = &(*slot)->hnext) {
        PbType *t = *slot;
        if (t->hash == h && name_equal(t, name, len)) {
            *slot = t->hnext;
            t->hnext = nullptr;
            --st->count;
            ++st->gen;
            return t;
        }
    }
    return nullptr;
}

void pb_retire(PbState *st, PbType *t)
{
    t->lnext = st->retired;
    st->retired = t;
    if (st->busy == 0)
        free_retired(st);
}

void pb_unbusy(PbState *st)
{
    if (st->busy > 0)
        --st->busy;
    if (st->busy == 0)
        free_retired(st);
}

const PbField *pb_field_by_number(const PbType *t, uint64_t number)
{
    if (number < t->ndirect) {
        uint32_t i = t->direct[number];
        return i ? &t->fields[i - 1] : nullptr;
    }
    if (number > kMaxFieldNumber)
        return nullptr;
    uint32_t lo = 0;
    uint32_t hi = t->nfields;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        const PbField *f = &t->fields[t->order[mid]];
        if (static_cast<uint64_t>(f->number) == number)
            return f;
        if (static_cast<uint64_t>(f->number) < number)
            lo = mid + 1;
        else
            hi = mid;
    }
    return nullptr;
}

const PbField *pb_field_by_name(const PbType *t, const char *name, size_t len)
{
    for (uint32_t i = 0; i < t->nfields; ++i)
        if (t->fields[i].name.len == len && memcmp(t->fields[i].name.s, name, len) == 0)
            return &t->fields[i];
    return nullptr;
}

const PbEnumValue *pb_enum_by_number(const PbType *t, int32_t number)
{
    uint32_t lo = 0;
    uint32_t hi = t->nvalues;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (t->values[t->by_value[mid]].number < number)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo < t->nvalues && t->values[t->by_value[lo]].number == number)
        return &t->values[t->by_value[lo]];
    return nullptr;
}

const PbEnumValue *pb_enum_by_name(const PbType *t, const char *name, size_t len)
{
    uint32_t lo = 0;
    uint32_t hi = t->nvalues;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        const PbText &n = t->values[t->by_vname[mid]].name;
        int c = memcmp(n.s, name, n.len < len ? n.len : len);
        if (c < 0 || (c == 0 && n.len < len))
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo < t->nvalues) {
        const PbText &n = t->values[t->by_vname[lo]].name;
        if (n.len == len && memcmp(n.s, name, len) == 0)
            return &t->values[t->by_vname[lo]];
    }
    return nullptr;
}

const PbType *pb_resolve(const PbState *st, const PbField *f)
{
    if (f->rgen == st->gen)
        return f->rtype;
    const PbType *t = pb_find(st, f->type_name.s, f->type_name.len);
    if (t && (f->type == PB_ENUM) != (t->kind == PB_KIND_ENUM))
        t = nullptr;
    f->rtype = t;
    f->rgen = st->gen;
    return t;
}
