// pb: the objects the "pb.slice" and "pb.buffer" modules hand to scripts,
// and what "pb" and its sub-modules share about script values.
#pragma once

#include <cstddef>
#include <cstdint>

#include <lua.hpp>

inline constexpr char kPbBufferMeta[] = "pb.Buffer";
inline constexpr char kPbSliceMeta[] = "pb.Slice";

// A growing byte buffer (pb.buffer); its memory is malloc'd and freed by
// the userdata's __gc or delete.
struct PbBuffer {
    char *p;
    size_t n;
    size_t cap;
};

// Views a slice can be entered to, the base one included.
constexpr int kPbSliceLevels = 101;

// A read cursor in a view of bytes: offsets into the data, [start, end).
struct PbSliceView {
    size_t start;
    size_t pos;
    size_t end;
};

// A slice (pb.slice): views over bytes that the userdata's uservalue (a
// string) holds.
struct PbSlice {
    const char *data;
    size_t len;
    int level;  // index of the current view
    PbSliceView views[kPbSliceLevels];
};

// The buffer at `idx`, or nullptr.
PbBuffer *pb_test_buffer(lua_State *L, int idx);
// Room for `extra` more bytes; false when out of memory (the buffer is
// unchanged).
bool pb_buffer_reserve(PbBuffer *b, size_t extra);

// The bytes to read at `idx`: a string, the unread part of a slice's view,
// or a buffer's content; nullptr for other values. The value at `idx` is
// replaced by a string holding the bytes (the slice's data, a copy of the
// buffer's), so that they stay while the caller runs script code.
const char *pb_data_arg(lua_State *L, int idx, size_t *len);

// The 64 bits of an integer argument: an integer, a float of integral value
// in the 64-bit range, or "#" text (pb_parse_int64_text). False otherwise.
bool pb_int64_arg(lua_State *L, int idx, bool is_signed, uint64_t *bits);

// Writes the `n` bytes at `in` as spaced lower-case hex ("01 ab"), the
// form of pb.tohex, into `out`, which has room for pb_hex_len(n) bytes.
inline size_t pb_hex_len(size_t n) { return n ? n * 3 - 1 : 0; }
void pb_hex_spaced(const uint8_t *in, size_t n, char *out);

// Normalizes Lua's 1-based, negative-from-the-end positions i..j over
// `len` bytes into offsets [*from, *to) (empty when they cross).
void pb_range(lua_Integer i, lua_Integer j, size_t len, size_t *from, size_t *to);

// A new empty buffer on the stack.
PbBuffer *pb_new_buffer(lua_State *L);
// Appends to `b` the values from argument `first` on, in the format at
// `fmt_arg` (a string), as b:pack does; raises as it does, leaving `b` as
// it was.
void pb_pack_format(lua_State *L, PbBuffer *b, int fmt_arg, int first);

// Points `s` at `len` bytes of `data` (which the caller keeps alive), one
// view, the cursor at the start.
void pb_slice_over(PbSlice *s, const char *data, size_t len);
// Pushes the values read from `s` in the format at `fmt_arg` with extra
// arguments from `first` on, as s:unpack does; their count.
int pb_unpack_format(lua_State *L, PbSlice *s, int fmt_arg, int first);
