// Where the simulated gateway keeps its state: the JSON file named by
// KORVEX_GATEWAY_STATE, read on every call so that every process sees one
// gateway, and rewritten whole (temporary file, fsync, rename) under an
// exclusive flock on "<file>.lock" beside it, so that concurrent changes
// from several processes are all kept. Without the variable each process
// keeps its own default gateway in memory.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/file_io.h"
#include "gateway/csecapi/sim/sim_store.h"
#include "gateway/csecapi/sim/sim_json.h"

namespace {

// A state file far past what 64 rules and their sets need is damaged.
constexpr size_t kStateMax = 256u * 1024 * 1024;

const char *state_path()
{
    const char *p = getenv("KORVEX_GATEWAY_STATE");
    return p && *p ? p : nullptr;
}

void report(const char *path, const char *what, const char *detail)
{
    fprintf(stderr, "csecapi: state %s: %s%s%s\n", path, what, detail ? ": " : "", detail ? detail : "");
}

struct Memory {
    std::mutex mu;
    SimState st;
    bool ready = false;
};

// Never destroyed: a call from another thread during exit still finds it.
Memory &memory()
{
    static Memory *m = new Memory;
    return *m;
}

// Runs `fn` on the process's own gateway, made on first use.
template <typename Fn> int in_memory(const Fn &fn)
{
    Memory &m = memory();
    std::lock_guard<std::mutex> guard(m.mu);
    if (!m.ready) {
        sim_default_state(m.st);
        m.ready = true;
    }
    return fn(m.st);
}

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

bool blank(const char *text, size_t size)
{
    for (size_t i = 0; i < size; ++i)
        if (!strchr(" \t\r\n", text[i]))
            return false;
    return true;
}

// Reads the state file into `st`. `root` gets the parsed file, or stays
// empty when the file is missing or blank (the default gateway).
int load(const char *path, Json *root, SimState &st)
{
    size_t size = 0;
    errno = 0;
    std::unique_ptr<char, decltype(&free)> text(read_file(path, kStateMax, &size), free);
    if (!text) {
        if (errno == ENOENT) {
            sim_default_state(st);
            return GW_OK;
        }
        report(path, "cannot be read", strerror(errno));
        return GW_E_STATE;
    }
    if (blank(text.get(), size)) {
        sim_default_state(st);
        return GW_OK;
    }
    root->reset(cJSON_ParseWithLength(text.get(), size));
    if (!*root) {
        report(path, "is not JSON", nullptr);
        return GW_E_STATE;
    }
    char why[512];
    if (sim_state_from_json(root->get(), st, why, sizeof why) != 0) {
        report(path, "wrong member", why);
        return GW_E_STATE;
    }
    return GW_OK;
}

int save(const char *path, Json &root, SimPart part, const SimState &st)
{
    if (!root)
        root.reset(sim_state_to_json(st));
    else if (sim_state_update_json(root.get(), part, st) != 0)
        return GW_E_NOMEM;
    if (!root)
        return GW_E_NOMEM;
    std::unique_ptr<char, decltype(&free)> text(sim_state_print(root.get()), free);
    if (!text)
        return GW_E_NOMEM;
    if (file_replace_all(path, text.get(), strlen(text.get()), 0600) != 0) {
        report(path, "cannot be written", strerror(errno));
        return GW_E_STORE;
    }
    return GW_OK;
}

// The exclusive lock on "<path>.lock", held while the descriptor is open.
struct FileLock {
    int fd = -1;
    ~FileLock()
    {
        if (fd >= 0)
            close(fd);
    }
};

int lock(const char *path, FileLock *l)
{
    char lock_path[8192];
    if (snprintf(lock_path, sizeof lock_path, "%s.lock", path) >= static_cast<int>(sizeof lock_path)) {
        report(path, "path too long", nullptr);
        return GW_E_STORE;
    }
    l->fd = open(lock_path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (l->fd < 0) {
        report(path, "cannot open its lock file", strerror(errno));
        return GW_E_STORE;
    }
    while (flock(l->fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            report(path, "cannot lock", strerror(errno));
            return GW_E_STORE;
        }
    }
    return GW_OK;
}

}  // namespace

int sim_state_view(const std::function<int(const SimState &)> &fn)
{
    const char *path = state_path();
    if (!path)
        return in_memory(fn);
    // Changes replace the file by a rename: a reader sees the old state or
    // the new one, never half of one, without taking the lock.
    Json root(nullptr, cJSON_Delete);
    SimState st;
    if (int rc = load(path, &root, st))
        return rc;
    return fn(st);
}

int sim_state_change(SimPart part, const std::function<int(SimState &)> &fn)
{
    const char *path = state_path();
    if (!path)
        return in_memory(fn);  // the changes leave the state as it was when they fail
    FileLock l;
    if (int rc = lock(path, &l))
        return rc;
    Json root(nullptr, cJSON_Delete);
    SimState st;
    if (int rc = load(path, &root, st))
        return rc;
    int rc = fn(st);
    if (rc != GW_OK)
        return rc;
    return save(path, root, part, st);
}
