// pb: message and enum types, the memory each owns, and the type table of
// an engine with its lookups.
#include "modules/pb/pb_types.h"

#include <cstdlib>
#include <cstring>

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

void type_free(PbType *t)
{
    PbChunk *c = t->arena;
    while (c) {
        PbChunk *next = c->next;
        free(c);
        c = next;
    }
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

PbType *pb_type_new(uint8_t kind, bool proto3)
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

void *pb_type_alloc(PbType *t, size_t n)
{
    void *p = arena_alloc(&t->arena, n ? n : 1);
    if (p)
        memset(p, 0, n);
    return p;
}

bool pb_type_text(PbType *t, PbText *out, const PbText *parts, int n)
{
    size_t len = 0;
    for (int i = 0; i < n; ++i) {
        if (parts[i].len > kPbMaxText)
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

void pb_free_list(PbType *list)
{
    while (list) {
        PbType *next = list->lnext;
        type_free(list);
        list = next;
    }
}

// ---------------------------------------------------------------------------
// The type table

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

// ---------------------------------------------------------------------------
// Lookups in a type

const PbField *pb_field_by_number(const PbType *t, uint64_t number)
{
    if (number < t->ndirect) {
        uint32_t i = t->direct[number];
        return i ? &t->fields[i - 1] : nullptr;
    }
    if (number > kPbMaxFieldNumber)
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
