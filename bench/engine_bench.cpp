// Engine benchmarks, each against a baseline measured in the same run:
//   1. engine creation with the demo bundle vs a bare Lua state loading it;
//   2. lcmd_sock_call round trips vs a plain LuaSocket unix client;
//   3. loading a 1 MiB packed bundle vs the same script as plain init.lua;
//   4. resident memory of an idle engine running the demo bundle.
// Usage: engine_bench <path of korvex-dpi-inner>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/bundle_format.h"
#include "control/sock_call.h"
#include "engine/engine_create.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::string make_dir(const char *prefix)
{
    std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    return mkdtemp(buf.data());
}

void put(const std::string &path, const std::string &data)
{
    std::ofstream(path, std::ios::binary) << data;
}

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Resident memory of a process as /proc reports it ("4068 kB").
std::string rss_of(pid_t pid)
{
    std::string status = slurp("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    if (at == std::string::npos)
        return "?";
    size_t from = status.find_first_not_of(" \t", at + 6);
    return status.substr(from, status.find('\n', from) - from);
}

// Lua-side memory of a state, in KiB.
double state_kib(lua_State *L) { return lua_gc(L, LUA_GCCOUNT, 0) + lua_gc(L, LUA_GCCOUNTB, 0) / 1024.0; }

// A plain Lua state loading the bundle. The bundle requires our native
// modules at load time; here each "c.<name>" (and "pcap") is an empty table,
// so that the baseline costs no more than the script itself; its own Lua
// modules are found beside it, as the engine finds them.
lua_State *bare_state(const std::string &dir)
{
    lua_State *L = luaL_newstate();
    luaL_openlibs(L);
    std::string stubs = "table.insert(package.searchers, 2, function(name)\n"
                        "    if name:match('^c%.') or name == 'pcap' then return function() return {} end end\n"
                        "end)\n"
                        "package.path = '" + dir + "/?.lua;' .. package.path";
    std::string script_path = dir + "/init.lua";
    if (luaL_dostring(L, stubs.c_str()) != LUA_OK) {
        fprintf(stderr, "bare state: %s\n", lua_tostring(L, -1));
        exit(1);
    }
    if (luaL_dofile(L, script_path.c_str()) != LUA_OK) {
        fprintf(stderr, "bare load failed: %s\n", lua_tostring(L, -1));
        exit(1);
    }
    return L;
}

void bench_engine_create(const std::string &demo)
{
    const int n = 300;
    auto t0 = Clock::now();
    double mem = 0;
    for (int i = 0; i < n; ++i) {
        lua_State *L = engine_create(demo.c_str());
        if (!L) {
            fprintf(stderr, "engine_create failed\n");
            exit(1);
        }
        mem = state_kib(L);
        lua_close(L);
    }
    double ours = seconds_since(t0) / n;
    t0 = Clock::now();
    double bare_mem = 0;
    for (int i = 0; i < n; ++i) {
        lua_State *L = bare_state(demo);
        bare_mem = state_kib(L);
        lua_close(L);
    }
    double bare = seconds_since(t0) / n;
    printf("engine creation: %.3f ms, %.1f KiB  | bare state: %.3f ms, %.1f KiB  | time x%.2f, memory x%.2f\n",
           ours * 1e3, mem, bare * 1e3, bare_mem, ours / bare, mem / bare_mem);
}

const char kLuaClient[] = R"(
local unix = require "socket.unix"
local path, request, n = ...
local frame = string.pack("=I4", #request) .. request
for _ = 1, n do
    local c = assert(unix.stream())
    assert(c:connect(path))
    assert(c:send(frame))
    local len = string.unpack("=I4", assert(c:receive(4)))
    if len > 0 then assert(c:receive(len)) end
    c:close()
end
)";

void bench_round_trips(const std::string &engine, const std::string &demo)
{
    std::string root = make_dir("korvex-bench-");
    std::string bin = root + "/bin", tmp = root + "/tmp";
    mkdir(bin.c_str(), 0755);
    mkdir(tmp.c_str(), 0755);
    put(bin + "/init.lua", slurp(demo + "/init.lua"));
    put(bin + "/config", slurp(demo + "/config"));
    symlink(KORVEX_SDK_LUA_DIR, (bin + "/korvex").c_str());
    char *target = realpath(engine.c_str(), nullptr);
    symlink(target ? target : engine.c_str(), (bin + "/korvex-dpi-inner").c_str());
    free(target);
    pid_t pid = fork();
    if (pid == 0) {
        std::string exe = bin + "/korvex-dpi-inner";
        execl(exe.c_str(), exe.c_str(), "-T", tmp.c_str(), "-D", root.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string sock = tmp + "/.__scli";
    struct stat st;
    for (int i = 0; i < 500 && stat(sock.c_str(), &st) != 0; ++i)
        usleep(10000);

    usleep(300000);
    std::string idle_rss = rss_of(pid);

    const char *request = "{\"subtype\":\"sys\",\"action\":\"ping\"}";
    const int n = 3000;
    auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) {
        char *reply = nullptr;
        if (lcmd_sock_call(tmp.c_str(), 1, &request, &reply, nullptr) != 0) {
            fprintf(stderr, "exchange failed\n");
            break;
        }
        free(reply);
    }
    double ours = n / seconds_since(t0);

    lua_State *L = luaL_newstate();
    luaL_openlibs(L);
    luaL_loadstring(L, kLuaClient);
    lua_pushstring(L, sock.c_str());
    lua_pushstring(L, request);
    lua_pushinteger(L, n);
    t0 = Clock::now();
    if (lua_pcall(L, 3, 0, 0) != LUA_OK)
        fprintf(stderr, "lua client failed: %s\n", lua_tostring(L, -1));
    double theirs = n / seconds_since(t0);
    lua_close(L);

    std::string busy_rss = rss_of(pid);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    std::system(("rm -rf " + root).c_str());

    printf("lcmd_sock_call: %.0f round trips/s | LuaSocket client: %.0f/s | x%.2f\n", ours, theirs, ours / theirs);
    printf("engine with the demo bundle: VmRSS idle %s, after %d round trips %s\n", idle_rss.c_str(), 2 * n,
           busy_rss.c_str());
}

// A script of about 1 MiB: many small functions and tables.
std::string big_script()
{
    std::string s = "function lcmd_init() end\nfunction lcmd_runmsg() end\nlocal t = {}\n";
    for (int i = 0; s.size() < (1u << 20); ++i) {
        s += "t[" + std::to_string(i) + "] = function(a, b) local x = { name = \"entry" + std::to_string(i) +
             "\", a = a, b = b } return x.name .. tostring(a) end\n";
    }
    return s;
}

void bench_bundle_load()
{
    std::string script = big_script();
    std::string plain = make_dir("korvex-bench-plain-"), packed = make_dir("korvex-bench-packed-");
    put(plain + "/init.lua", script);
    const uint8_t version[4] = {1, 0, 0, 0}, tail[4] = {0x10, 0x20, 0x30, 0x40};
    std::vector<uint8_t> image;
    bundle_encode(reinterpret_cast<const uint8_t *>(script.data()), script.size(), version, tail, &image);
    put(packed + "/init.bin", std::string(image.begin(), image.end()));

    auto time_load = [](const std::string &dir) {
        const int n = 20;
        auto t0 = Clock::now();
        for (int i = 0; i < n; ++i) {
            lua_State *L = luaL_newstate();
            luaL_openlibs(L);
            if (lcmd_load_file(L, dir.c_str()) != 0) {
                fprintf(stderr, "load failed in %s\n", dir.c_str());
                exit(1);
            }
            lua_close(L);
        }
        return seconds_since(t0) / n;
    };
    double p = time_load(packed), t = time_load(plain);
    printf("1 MiB bundle load: packed %.2f ms (%zu bytes) | plain %.2f ms | x%.2f\n", p * 1e3, image.size(),
           t * 1e3, p / t);
    std::system(("rm -rf " + plain + " " + packed).c_str());
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s <korvex-dpi-inner>\n", argv[0]);
        return 2;
    }
    // The demo as it is installed: its script beside the shared modules it requires.
    std::string demo = make_dir("korvex-bench-demo-");
    put(demo + "/init.lua", slurp(std::string(KORVEX_DEMO_DIR) + "/init.lua"));
    put(demo + "/config", slurp(std::string(KORVEX_DEMO_DIR) + "/config"));
    symlink(KORVEX_SDK_LUA_DIR, (demo + "/korvex").c_str());
    bench_engine_create(demo);
    bench_round_trips(argv[1], demo);
    bench_bundle_load();
    std::system(("rm -rf " + demo).c_str());
    return 0;
}
