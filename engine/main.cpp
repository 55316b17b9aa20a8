// korvex-dpi-inner: the script engine host, or the command-line client or
// the unit-test runner, by the name it was started under.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "control/cli_client.h"
#include "engine/host.h"
#include "engine/lifetime.h"
#include "engine/options.h"

namespace {

// Changes to the directory the program was started from; relative paths
// (config, ../data/, the bundle) are taken from there.
void enter_program_dir(const char *argv0)
{
    char dir[4096];
    snprintf(dir, sizeof dir, "%s", argv0);
    char *slash = strrchr(dir, '/');
    if (!slash)
        snprintf(dir, sizeof dir, ".");
    else if (slash == dir)
        dir[1] = '\0';
    else
        *slash = '\0';
    if (chdir(dir) != 0) {
        // Not reported: the engine then works from where it was started.
    }
}

char *current_dir()
{
    char cwd[4096];
    return strdup(getcwd(cwd, sizeof cwd) ? cwd : ".");
}

const char *base_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Before the program changes to its own directory: every argument of `ut`
// that names an existing file or directory relative to where it was started
// is handed to the tests as its absolute path (options and other words stay
// as they are). The replaced strings live as long as the process.
void resolve_ut_arguments(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '/' || argv[i][0] == '-' || argv[i][0] == '\0' || access(argv[i], F_OK) != 0)
            continue;
        char *full = realpath(argv[i], nullptr);
        if (full)
            argv[i] = full;
    }
}

}  // namespace

int main(int argc, char **argv)
{
    // Log lines must reach a pipe or a supervisor's capture as they happen.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    Options o;
    options_parse(argc, argv, &o);
    if (o.debug)
        log_set("info", nullptr);

    const char *role = base_name(argv[0]);
    char *startdir = current_dir();
    if (strcmp(role, "ut") == 0)
        resolve_ut_arguments(argc, argv);

    enter_program_dir(argv[0]);
    char *progdir = current_dir();
    options_default_paths(&o);

    int rc = 0;
    if (strcmp(role, "CLI_client") == 0) {
        cli_client_main(o.tmppath, argc - o.first_arg, argv + o.first_arg);
    } else if (strcmp(role, "ut") == 0) {
        rc = app_lcmd_unittest(progdir, startdir, o.tmppath, o.datapath, argc - 1, argv + 1);
    } else {
        free(startdir);
        return engine_main(&o, progdir);
    }
    free(progdir);
    free(startdir);
    options_release(&o);
    return rc;
}
