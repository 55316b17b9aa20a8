// pb: reading descriptor sets into types.
#pragma once

#include <cstddef>
#include <cstdint>

struct PbType;

// Parses a serialized FileDescriptorSet into a list of new types (linked by
// lnext, in the order they appear). On failure frees what it built, sets
// *fail_offset to the offset where the input went wrong and returns false.
bool pb_parse_set(const uint8_t *data, size_t len, PbType **list, size_t *fail_offset);
