// Command line of korvex-dpi-inner: options before the first plain argument.
#pragma once

struct Options {
    int ret_code = 0;             // -r, handed to the scripts
    char *tmppath = nullptr;      // -T, resolved; owned
    char *datapath = nullptr;     // -D, resolved; owned
    char *alive_path = nullptr;   // -A, as given; owned
    bool debug = false;           // -d
    bool console = false;         // -i
    int first_arg = 1;            // index of the first plain argument in argv
};

// Parses argv into `o`; unknown options are reported by getopt and ignored.
void options_parse(int argc, char **argv, Options *o);

// Fills in the default directories that were not given (or did not resolve),
// relative to the current working directory.
void options_default_paths(Options *o);

void options_release(Options *o);
