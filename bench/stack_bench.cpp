// C stack that scripts can take on an engine thread: every chain of
// tests/lua/stack_chains.lua runs to Lua's own limit on a fresh thread with
// a large stack of its own, and the pages it touched are counted (mincore).
// Reported against the stack the engine gives its loop thread and workers:
// the deepest chain must stay well below it, in every build (plain,
// sanitizers, musl), or a script could crash the engine.
// Usage: stack_bench <stack_chains.lua>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <lua.hpp>

#include "engine/registry.h"
#include "engine/thread_stack.h"

namespace {

constexpr size_t kProbeStack = 64u << 20;

struct Probe {
    const char *chains;
    int index;  // 0: count the chains
    int count;
    std::string name;
    std::string outcome;
};

void *probe_thread(void *p)
{
    auto *pr = static_cast<Probe *>(p);
    lua_State *L = luaL_newstate();
    registry_open_standard(L);
    registry_register_modules(L);
    lua_settop(L, 0);
    if (luaL_dofile(L, pr->chains) != LUA_OK) {
        pr->outcome = std::string("cannot load: ") + lua_tostring(L, -1);
        lua_close(L);
        return nullptr;
    }
    lua_getfield(L, -1, "chains");
    pr->count = static_cast<int>(lua_rawlen(L, -1));
    if (pr->index > 0) {
        lua_rawgeti(L, -1, pr->index);
        lua_rawgeti(L, -1, 1);
        pr->name = lua_tostring(L, -1);
        lua_rawgeti(L, -2, 2);
        if (lua_pcall(L, 0, 2, 0) != LUA_OK)
            pr->outcome = std::string("raised: ") + lua_tostring(L, -1);
        else {
            pr->outcome = luaL_tolstring(L, -2, nullptr);  // the depth
            pr->outcome += " ";
            pr->outcome += luaL_tolstring(L, -2, nullptr);  // the error
        }
    }
    lua_close(L);
    return nullptr;
}

// Runs one probe on a thread with a fresh stack; the bytes of stack it
// touched, counted from the top.
size_t run_probe(Probe *pr)
{
    void *stack = mmap(nullptr, kProbeStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                       -1, 0);
    if (stack == MAP_FAILED) {
        perror("mmap");
        exit(1);
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, kProbeStack);
    pthread_t t;
    if (pthread_create(&t, &attr, probe_thread, pr) != 0) {
        perror("pthread_create");
        exit(1);
    }
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> in(kProbeStack / page);
    mincore(stack, kProbeStack, in.data());
    size_t lowest = in.size();
    for (size_t i = 0; i < in.size(); ++i)
        if (in[i] & 1) {
            lowest = i;
            break;
        }
    munmap(stack, kProbeStack);
    return (in.size() - lowest) * page;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: stack_bench <stack_chains.lua>\n");
        return 2;
    }
    Probe count{argv[1], 0, 0, "", ""};
    run_probe(&count);
    if (count.count == 0) {
        fprintf(stderr, "%s\n", count.outcome.c_str());
        return 1;
    }
    printf("C stack taken by each chain, run to Lua's limit (engine threads get %zu KiB):\n",
           kEngineThreadStackSize / 1024);
    size_t deepest = 0;
    size_t idle = 0;
    for (int i = 1; i <= count.count; ++i) {
        Probe pr{argv[1], i, 0, "", ""};
        size_t used = run_probe(&pr);
        if (i == 1)
            idle = used;
        if (used > deepest)
            deepest = used;
        printf("  %7zu KiB  %-58s %s\n", used / 1024, pr.name.c_str(), pr.outcome.c_str());
    }
    printf("deepest %zu KiB: %.2f of the engine threads' stack (target at most 0.67)\n", deepest / 1024,
           static_cast<double>(deepest) / kEngineThreadStackSize);
    printf("an engine that only starts touches %zu KiB of stack (resident per thread)\n", idle / 1024);
    return 0;
}
