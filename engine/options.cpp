#include "engine/options.h"

#include <getopt.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// A directory that does not resolve is absent; the default then applies.
void set_resolved(char **slot, const char *dir)
{
    free(*slot);
    *slot = realpath(dir, nullptr);
}

void set_copy(char **slot, const char *text)
{
    free(*slot);
    *slot = strdup(text);
}

}  // namespace

void options_parse(int argc, char **argv, Options *o)
{
    // "+": stop at the first plain argument, so the roles get theirs in order.
    optind = 0;  // 0: full re-initialisation of getopt (glibc and musl)
    int c;
    while ((c = getopt(argc, argv, "+r:m:T:D:A:di")) != -1) {
        switch (c) {
        case 'r':
            o->ret_code = static_cast<int>(strtoul(optarg, nullptr, 0));
            break;
        case 'm':
            break;
        case 'T':
            set_resolved(&o->tmppath, optarg);
            break;
        case 'D':
            set_resolved(&o->datapath, optarg);
            break;
        case 'A':
            set_copy(&o->alive_path, optarg);
            break;
        case 'd':
            o->debug = true;
            break;
        case 'i':
            o->console = true;
            break;
        default:
            break;
        }
    }
    o->first_arg = optind;
}

void options_default_paths(Options *o)
{
    if (!o->tmppath)
        o->tmppath = realpath("/tmp/.uci/", nullptr);
    if (!o->datapath)
        o->datapath = realpath("../data/", nullptr);
}

void options_release(Options *o)
{
    free(o->tmppath);
    free(o->datapath);
    free(o->alive_path);
    o->tmppath = o->datapath = o->alive_path = nullptr;
}
