// The files `korvex-bundle new` writes, built into the program from
// sdk/template/ and the shared modules of sdk/lua/ (tools/embed.cmake).
#pragma once

#include <cstddef>

struct TemplateFile {
    const char *name;  // path inside the new bundle's directory
    const unsigned char *data;
    size_t size;
};

// Ends with a row whose name is null.
extern const TemplateFile kTemplateFiles[];
