// pb: reading descriptor sets into types.
#include "modules/pb/pb_descriptor.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/hex_digit.h"
#include "modules/pb/pb_types.h"
#include "modules/pb/pb_wire.h"

namespace {

PbText range_text(const uint8_t *s, const uint8_t *e)
{
    return PbText{reinterpret_cast<const char *>(s), static_cast<uint32_t>(e - s)};
}

// A copy of the bytes [s, e) owned by `t`.
bool type_copy(PbType *t, PbText *out, const uint8_t *s, const uint8_t *e)
{
    if (static_cast<size_t>(e - s) > kPbMaxText)
        return false;
    PbText part = range_text(s, e);
    return pb_type_text(t, out, &part, 1);
}

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
    if (!pb_get_varint(pp, end, &tag) || (tag >> 3) == 0 || (tag >> 3) > kPbMaxFieldNumber) {
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
    if (!name || name == name_end || static_cast<size_t>(name_end - name) > kPbMaxText)
        return nullptr;
    PbType *t = pb_type_new(kind, proto3);
    if (!t)
        return nullptr;
    link_type(ps, t);
    PbText parts[] = {scope.a, scope.b, {".", 1}, range_text(name, name_end)};
    if (!pb_type_text(t, &t->name, parts, 4))
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
    if (!name || name == name_end || number == 0 || number > kPbMaxFieldNumber || type == 0 ||
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
        if (static_cast<size_t>(tname_end - tname) > kPbMaxText || !pb_type_text(t, &f->type_name, parts, 2))
            return fail_at(ps, start);
    }
    if (f->label == PB_REPEATED && pb_is_packable(f->type))
        f->packed = packed < 0 ? t->proto3 : packed == 1;
    f->skip_zero = t->proto3 && f->label == PB_OPTIONAL && !p3_optional && f->oneof < 0 &&
                   f->type != PB_MESSAGE && f->type != PB_GROUP;
    // A default that does not parse for the field's type is no default:
    // compilers that write one for every field with options ("nil") must
    // not cost the whole set. Proto3 has no explicit defaults at all.
    if (dflt && f->label != PB_REPEATED && !t->proto3) {
        if (!type_copy(t, &f->dflt, dflt, dflt_end))
            return fail_at(ps, start);
        f->has_default = parse_default(f);
        if (!f->has_default)
            f->dflt = PbText{nullptr, 0};
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
    NumIdx *v = static_cast<NumIdx *>(pb_type_alloc(t, sizeof(NumIdx) * n));
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

int cmp_text(const PbText &a, const PbText &b)
{
    int c = memcmp(a.s, b.s, a.len < b.len ? a.len : b.len);
    return c ? c : (a.len > b.len) - (a.len < b.len);
}

int cmp_name_ptrs(const void *a, const void *b)
{
    return cmp_text(**static_cast<const PbText *const *>(a), **static_cast<const PbText *const *>(b));
}

// Whether two fields of `t` have the same name (scratch memory of `t`).
bool duplicate_field_names(PbType *t)
{
    uint32_t n = t->nfields;
    const PbText **names = static_cast<const PbText **>(pb_type_alloc(t, sizeof(PbText *) * n));
    if (!names)
        return true;
    for (uint32_t i = 0; i < n; ++i)
        names[i] = &t->fields[i].name;
    qsort(names, n, sizeof *names, cmp_name_ptrs);
    for (uint32_t i = 1; i < n; ++i)
        if (cmp_text(*names[i - 1], *names[i]) == 0)
            return true;
    return false;
}

// Field indices by number, the direct table, and the checks that need all
// fields: numbers and names are unique (a name is how scripts address a
// field), map entries have a key and a value.
bool finish_message(Parser *ps, PbType *t, const uint8_t *at)
{
    uint32_t n = t->nfields;
    NumIdx *v = sorted_numbers(t, n, field_number_of);
    t->order = static_cast<uint32_t *>(pb_type_alloc(t, sizeof(uint32_t) * n));
    if (!v || !t->order)
        return fail_at(ps, at);
    for (uint32_t i = 0; i < n; ++i) {
        if (i > 0 && v[i].number == v[i - 1].number)
            return fail_at(ps, at);
        t->order[i] = v[i].index;
    }
    if (duplicate_field_names(t))
        return fail_at(ps, at);
    uint32_t maxnum = n ? static_cast<uint32_t>(v[n - 1].number) : 0;
    if (maxnum < 64 || maxnum / 4 <= n) {
        t->ndirect = maxnum + 1;
        t->direct = static_cast<uint32_t *>(pb_type_alloc(t, sizeof(uint32_t) * t->ndirect));
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
    t->values = static_cast<PbEnumValue *>(pb_type_alloc(t, sizeof(PbEnumValue) * nvalues));
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
    t->by_value = static_cast<uint32_t *>(pb_type_alloc(t, sizeof(uint32_t) * t->nvalues));
    t->by_vname = static_cast<uint32_t *>(pb_type_alloc(t, sizeof(uint32_t) * t->nvalues));
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
    for (uint32_t i = 1; i < t->nvalues; ++i)
        if (cmp_text(t->values[t->by_vname[i - 1]].name, t->values[t->by_vname[i]].name) == 0)
            return fail_at(ps, p0);  // a value name given twice
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
    t->fields = static_cast<PbField *>(pb_type_alloc(t, sizeof(PbField) * nfields));
    t->oneofs = static_cast<PbText *>(pb_type_alloc(t, sizeof(PbText) * noneofs));
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
            if (static_cast<size_t>(it.e - it.s) > kPbMaxText)
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
