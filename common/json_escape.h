// Text placed inside a JSON string by hand-built messages.
#pragma once

#include <cstddef>

// Appends `src` to the NUL-terminated text in `dst` (capacity `size`) as the
// inside of a JSON string: quotes, backslashes and control characters are
// escaped, so the text can never end the string or add members. An escape
// goes in whole or not at all. Returns false when `src` had to be cut.
bool json_escape_append(char *dst, size_t size, const char *src);
