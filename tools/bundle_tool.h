// Pieces of korvex-bundle shared between its sub-commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Reads a file whole (at most the bundle size limit); on failure prints why
// ("is not a regular file" for a FIFO or device, "is larger than ...", or
// the system's text) and returns false.
bool tool_load_file(const char *path, std::vector<uint8_t> *out);

// Compiles `len` bytes (Lua source or a precompiled chunk) the way the
// engine does, with the engine's allocation budget for a load, without
// running anything. True when it compiles; otherwise *message holds Lua's
// text, which starts with "<chunkname>:<line>:" for source (chunkname as
// given, without a leading '@').
bool tool_compile(const uint8_t *data, size_t len, const char *chunkname, std::string *message);

// A module packed into a bundle: the name `require` knows it by, the file it
// came from, its bytes.
struct PackModule {
    std::string name;
    std::string path;
    std::vector<uint8_t> data;
};

// Adds the modules one command-line argument names: a file, named by its
// path relative to `base_dir` ("lib/x.lua" is "lib.x", "lib/init.lua" is
// "lib"); a directory, every *.lua below it, named the same way; NAME=FILE;
// or NAME=DIR, the files below DIR named below NAME (korvex=sdk/lua/korvex
// gives korvex.log for sdk/lua/korvex/log.lua). False (after printing why) for a name given twice, a file
// outside base_dir without NAME=, or a file that cannot be read.
// A directory's listing leaves out `main_path`, the main script.
bool pack_add_modules(const char *arg, const char *base_dir, const char *main_path, std::vector<PackModule> *modules);

// The script packed for a main chunk and its modules: with no modules the
// main chunk itself; otherwise Lua source that puts every module into
// package.preload (each compiled from its own bytes under its own file
// name, so error messages name the file and line) and then runs the main
// chunk. Any engine loads it: the packed format does not change.
std::vector<uint8_t> pack_script(const std::vector<uint8_t> &main_data, const char *main_name,
                                 const std::vector<PackModule> &modules);

// The module names recorded in a script made by pack_script (empty when it
// is a plain chunk).
std::vector<std::string> packed_module_names(const uint8_t *data, size_t len);

// `korvex-bundle new DIR`.
int cmd_new(int argc, char **argv);
