// pb: message and enum types (as read from descriptor sets), and the type
// table of one engine.
//
// Plain C data: no Lua calls here, so the table work can run between a
// module function's checks and its pushes. Every type owns its memory (one
// chunk list per type), so a type replaced by a later load is freed on its
// own.
#pragma once

#include <cstddef>
#include <cstdint>

// Field types, numbered as in descriptor sets.
enum PbFieldType : uint8_t {
    PB_DOUBLE = 1,
    PB_FLOAT = 2,
    PB_INT64 = 3,
    PB_UINT64 = 4,
    PB_INT32 = 5,
    PB_FIXED64 = 6,
    PB_FIXED32 = 7,
    PB_BOOL = 8,
    PB_STRING = 9,
    PB_GROUP = 10,
    PB_MESSAGE = 11,
    PB_BYTES = 12,
    PB_UINT32 = 13,
    PB_ENUM = 14,
    PB_SFIXED32 = 15,
    PB_SFIXED64 = 16,
    PB_SINT32 = 17,
    PB_SINT64 = 18,
    PB_TYPE_MAX = 18,
};

enum PbLabel : uint8_t { PB_OPTIONAL = 1, PB_REQUIRED = 2, PB_REPEATED = 3 };

enum PbKind : uint8_t { PB_KIND_MESSAGE = 0, PB_KIND_ENUM = 1, PB_KIND_MAP = 2 };

// A NUL-terminated text with its length.
struct PbText {
    const char *s;
    uint32_t len;
};

struct PbType;

struct PbField {
    PbText name;
    PbText type_name;  // message, group and enum fields: the full name
    PbText dflt;       // explicit default: its text (bytes unescaped)
    int32_t number;
    int32_t oneof;     // index into the type's oneofs, -1 outside one
    uint32_t index;    // position in declaration order
    uint8_t type;      // PbFieldType
    uint8_t label;     // PbLabel
    bool packed;       // repeated and written packed
    bool has_default;  // `dflt` and `dval` hold an explicit default
    bool skip_zero;    // proto3 without presence: a zero value is not written
    union {
        int64_t i;
        uint64_t u;
        double d;
    } dval;            // explicit default of a numeric or bool field
    // The resolved `type_name`, valid while `rgen` equals the table's
    // generation (every change of the table starts a new one).
    mutable const PbType *rtype;
    mutable uint64_t rgen;
};

struct PbEnumValue {
    PbText name;
    int32_t number;
};

struct PbChunk;

struct PbType {
    PbType *hnext;  // chain of the type table's bucket
    PbType *lnext;  // list of a load in progress, or of retired types
    PbChunk *arena; // owns this type and everything it points to
    PbText name;    // ".pkg.Outer.Inner"
    PbText basename;
    uint32_t hash;
    uint8_t kind;   // PbKind
    bool proto3;
    // messages and maps
    PbField *fields;  // declaration order
    uint32_t nfields;
    uint32_t *order;  // field indices by number
    uint32_t *direct; // numbers below ndirect: field index + 1, 0 when none
    uint32_t ndirect;
    PbText *oneofs;
    uint32_t noneofs;
    // enums
    PbEnumValue *values;  // declaration order
    uint32_t nvalues;
    uint32_t *by_value;   // value indices by number (the first declared first)
    uint32_t *by_vname;   // value indices by name
};

// The type table of one engine and its options.
struct PbState {
    PbType **buckets;
    size_t nbuckets;
    size_t count;
    PbType *retired;   // replaced or dropped while a call still used them
    uint64_t gen;
    int busy;          // calls that hold pointers into the table
    // Options (pb.option)
    bool enum_as_value;
    uint8_t int64_mode;     // PbInt64Mode
    uint8_t default_mode;   // PbDefaultMode
    bool hooks;             // decode calls the decode hooks
    bool enchooks;          // encode calls the encode hooks
    bool encode_defaults;   // proto3 zero values are written too
    bool default_array;     // decode gives absent repeated fields as empty tables
    bool default_message;   // decode gives absent message fields as default tables
    bool encode_order;      // accepted; encode always writes in field-number order
    bool udefaults;         // a script has set a defaults table
};

enum PbInt64Mode : uint8_t { PB_INT64_NUMBER = 0, PB_INT64_STRING = 1, PB_INT64_HEX = 2 };
enum PbDefaultMode : uint8_t {
    PB_DEFAULTS_AUTO = 0,  // proto3 messages as USE, others as NONE
    PB_DEFAULTS_NONE = 1,
    PB_DEFAULTS_USE = 2,
    PB_DEFAULTS_METATABLE = 3,
};

void pb_state_init(PbState *st);
// Frees every type; the state is empty (and usable) afterwards.
void pb_state_clear_all(PbState *st);

// Longest name or text a type may carry.
constexpr size_t kPbMaxText = 1u << 24;

// Building a type: a new one of that kind, owning the memory given out for
// it; nullptr (or false) when out of memory.
PbType *pb_type_new(uint8_t kind, bool proto3);
// Zeroed memory owned by `t`.
void *pb_type_alloc(PbType *t, size_t n);
// Sets `out` to the concatenation of `n` pieces, owned by `t`; false also
// when a piece is longer than kPbMaxText.
bool pb_type_text(PbType *t, PbText *out, const PbText *parts, int n);
// Frees a list of types linked by lnext, none of them in a table.
void pb_free_list(PbType *list);

// Looks a type up by its full name, with or without the leading dot.
const PbType *pb_find(const PbState *st, const char *name, size_t len);
// Room for `extra` more types, so that inserting them cannot fail.
bool pb_reserve(PbState *st, size_t extra);
// Inserts `t` (room reserved); returns the type of that name it replaced.
PbType *pb_insert(PbState *st, PbType *t);
// Takes every type out of the table; returns them linked by lnext.
PbType *pb_remove_all(PbState *st);
// Takes the type of that name out of the table and returns it.
PbType *pb_remove(PbState *st, const char *name, size_t len);
// Frees a type taken out of the table, once no call uses the table.
void pb_retire(PbState *st, PbType *t);
// A call stops using the table.
void pb_unbusy(PbState *st);

const PbField *pb_field_by_number(const PbType *t, uint64_t number);
const PbField *pb_field_by_name(const PbType *t, const char *name, size_t len);
const PbEnumValue *pb_enum_by_number(const PbType *t, int32_t number);
const PbEnumValue *pb_enum_by_name(const PbType *t, const char *name, size_t len);

// The message or enum type a field refers to, or nullptr when none of that
// name (or of the wrong kind) is loaded.
const PbType *pb_resolve(const PbState *st, const PbField *f);

// Scalar type names ("int32"...), indexed by PbFieldType.
extern const char *const kPbTypeNames[PB_TYPE_MAX + 1];

inline bool pb_is_64bit(uint8_t type)
{
    return type == PB_INT64 || type == PB_UINT64 || type == PB_SINT64 || type == PB_FIXED64 ||
           type == PB_SFIXED64;
}
inline bool pb_is_unsigned(uint8_t type)
{
    return type == PB_UINT32 || type == PB_UINT64 || type == PB_FIXED32 || type == PB_FIXED64;
}
inline bool pb_is_message(const PbField *f)
{
    return f->type == PB_MESSAGE || f->type == PB_GROUP;
}
inline bool pb_is_packable(uint8_t type)
{
    return type != PB_STRING && type != PB_BYTES && type != PB_MESSAGE && type != PB_GROUP;
}
