// Worker thread and message queue benchmarks, each against a baseline
// measured in the same run:
//   1. worker start (from `run` until the worker's lcmd_runmsg begins on its
//      message) vs main-engine creation (app_lcmd_init), both with the demo
//      bundle;
//   2. resident memory per live worker vs per main engine, each measured in
//      a fresh child process;
//   3. msgsend + msgrecv pairs per second from scripts on 1, 2 and 8
//      threads, and the same pairs through the native queue, vs a
//      mutex-guarded std::deque making the same copies;
//   4. msgsend + msgrecv pairs for one id while 100,000 messages wait for
//      another id vs the same pairs on an otherwise empty queue.
// Usage: thread_bench
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <lua.hpp>

#include "engine/host.h"
#include "engine/thread_queue.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSamples = 50;        // engines or workers started per timing
constexpr int kLive = 50;           // engines or workers alive for the memory figure
constexpr int kScriptPairs = 200000;
constexpr int kNativePairs = 300000;
constexpr int kRounds = 5;  // queue figures: the best round, against a busy machine's noise
const int kThreadCounts[] = {1, 2, 8};
constexpr int64_t kResults = 0x6b7678;  // queue id the scripts leave their figures under

// Appended to the demo bundle: worker commands and the script side of the
// benchmark, run through the `ut` entry point.
const char kBenchScript[] = R"lua(

-- thread_bench
local thread = require "c.thread"
local ctime = require "c.time"
local sock = require "socket.core"
local TEXT = string.rep("x", 64)
local demo_runmsg = lcmd_runmsg

local function now()
    local s, ns = ctime.get_uptime("MONOTONIC")
    return s * 1000000000 + ns
end

local function result(name, value) thread.msgsend(0x6b7678, name .. " " .. string.format("%d", value)) end

local function wait_own(text)
    while thread.msgrecv(thread.self()) ~= text do sock.sleep(0.0005) end
end

local work = {
    start = function(to) thread.msgsend(to, string.format("%d", now())) end,
    hold = function(to)
        thread.msgsend(to, "ready")
        wait_own("stop")
    end,
    pairs = function(to, n)
        local self = thread.self()
        wait_own("go")
        local t0 = now()
        for _ = 1, n do
            thread.msgsend(self, TEXT)
            thread.msgrecv(self)
        end
        thread.msgsend(to, string.format("%d %d", t0, now()))
    end,
}

function lcmd_runmsg(text)
    local verb, to, n = text:match("^bench:(%a+):(%d+):?(%d*)$")
    if verb then return work[verb](math.tointeger(to), math.tointeger(n)) end
    return demo_runmsg(text)
end

local function rss_kib()
    local f = assert(io.open("/proc/self/status"))
    local kib = tonumber(f:read("a"):match("VmRSS:%s*(%d+)"))
    f:close()
    return kib
end

function lcmd_unittest(samples, live, npairs, rounds, ...)
    samples, live, npairs, rounds = math.tointeger(tonumber(samples)), math.tointeger(tonumber(live)),
        math.tointeger(tonumber(npairs)), math.tointeger(tonumber(rounds))
    local me = thread.self()
    local function recv()
        while true do
            local m = thread.msgrecv(me)
            if m then return m end
            sock.sleep(0.0002)
        end
    end
    local function ended(id)
        while thread.isalive(id) do sock.sleep(0.0005) end
    end

    -- Memory first, while the process is fresh.
    collectgarbage()
    local before = rss_kib()
    local ids = {}
    for i = 1, live do ids[i] = thread.run("bench:hold:" .. me) end
    for _ = 1, live do recv() end
    result("worker_rss_bytes", (rss_kib() - before) * 1024 // live)
    for i = 1, live do thread.msgsend(ids[i], "stop") end
    for i = 1, live do ended(ids[i]) end

    local lat = {}
    for i = 1, samples do
        local t0 = now()
        local id = thread.run("bench:start:" .. me)
        lat[i] = math.tointeger(tonumber(recv())) - t0
        ended(id)
    end
    table.sort(lat)
    result("worker_start_ns", lat[samples // 2 + 1])

    for _, n in ipairs({ ... }) do
        n = math.tointeger(tonumber(n))
        local best = 0
        for _ = 1, rounds do
        local workers = {}
        for i = 1, n do workers[i] = thread.run("bench:pairs:" .. me .. ":" .. npairs) end
        for i = 1, n do thread.msgsend(workers[i], "go") end
        local first, last = math.maxinteger, 0
        for _ = 1, n do
            local t0, t1 = recv():match("(%d+) (%d+)")
            first = math.min(first, math.tointeger(tonumber(t0)))
            last = math.max(last, math.tointeger(tonumber(t1)))
        end
        for i = 1, n do ended(workers[i]) end
        best = math.max(best, n * npairs * 1000000000 // (last - first))
        end
        result("script_pairs_per_s_" .. n, best)
    end
end
)lua";

std::string make_dir()
{
    char tmpl[] = "/tmp/korvex-thread-bench-XXXXXX";
    return mkdtemp(tmpl);
}

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

long rss_bytes()
{
    std::string status = slurp("/proc/self/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : atol(status.c_str() + at + 6) * 1024;
}

// Runs `fn` in a child process and gives back the "name value" lines it
// printed to the pipe.
template <typename Fn> std::map<std::string, double> in_child(Fn fn)
{
    int fds[2];
    if (pipe(fds) != 0)
        exit(1);
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        FILE *out = fdopen(fds[1], "w");
        fn(out);
        fclose(out);
        _exit(0);
    }
    close(fds[1]);
    std::map<std::string, double> figures;
    FILE *in = fdopen(fds[0], "r");
    char name[128];
    double value;
    while (fscanf(in, "%127s %lf", name, &value) == 2)
        figures[name] = value;
    fclose(in);
    int status;
    waitpid(pid, &status, 0);
    return figures;
}

const char *const kInitMessages[] = {"{\"subtype\":\"sys\", \"action\":\"set_log\", \"level\":\"error\"}", "",
                                     "{\"subtype\":\"arch\", \"action\":\"set_heid\", \"heid\":\"gateway\"}"};

// Main engines: what one costs in memory and time.
void measure_main_engines(const std::string &dir, FILE *out)
{
    std::string config = dir + "/config";
    std::vector<lua_State *> engines;
    long before = rss_bytes();
    for (int i = 0; i < kLive; ++i) {
        if (app_lcmd_init(dir.c_str(), dir.c_str(), nullptr, config.c_str(), 3, kInitMessages) != 0)
            exit(1);
        engines.push_back(host_main_engine());
    }
    fprintf(out, "engine_rss_bytes %ld\n", (rss_bytes() - before) / kLive);
    for (lua_State *L : engines)
        lua_close(L);

    std::vector<double> ns;
    for (int i = 0; i < kSamples; ++i) {
        auto t0 = Clock::now();
        app_lcmd_init(dir.c_str(), dir.c_str(), nullptr, config.c_str(), 3, kInitMessages);
        ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count());
        lua_close(host_main_engine());
    }
    std::sort(ns.begin(), ns.end());
    fprintf(out, "engine_create_ns %.0f\n", ns[ns.size() / 2]);
}

// Workers: the script side of the benchmark, run as the `ut` role does.
void measure_workers(const std::string &dir, FILE *out)
{
    std::vector<std::string> args = {std::to_string(kSamples), std::to_string(kLive), std::to_string(kScriptPairs),
                                     std::to_string(kRounds)};
    for (int n : kThreadCounts)
        args.push_back(std::to_string(n));
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    int argc = static_cast<int>(argv.size());
    if (app_lcmd_unittest(dir.c_str(), dir.c_str(), dir.c_str(), nullptr, argc, argv.data()) != 0)
        exit(1);
    size_t len;
    while (char *line = thread_queue_recv(kResults, &len)) {
        fprintf(out, "%s\n", line);
        free(line);
    }
}

// The baseline queue: the same two copies per pair (into a new buffer on
// send, into a new string on receive, as a script receives a new Lua
// string), one mutex, a search for the first message of an id.
struct DequeQueue {
    std::mutex lock;
    std::deque<std::pair<int64_t, std::string>> items;

    void send(int64_t target, const char *text, size_t len)
    {
        std::string copy(text, len);
        std::lock_guard<std::mutex> g(lock);
        items.emplace_back(target, std::move(copy));
    }
    std::string recv(int64_t target)
    {
        std::string taken;
        {
            std::lock_guard<std::mutex> g(lock);
            auto it = std::find_if(items.begin(), items.end(), [&](auto &m) { return m.first == target; });
            if (it == items.end())
                return std::string();
            taken = std::move(it->second);
            items.erase(it);
        }
        return std::string(taken.data(), taken.size());
    }
};

DequeQueue g_deque;
const std::string kText(64, 'x');

struct PairsArgs {
    bool native;
    int64_t id;
    int pairs;
    size_t received;  // bytes, so that nothing is optimised away
};

void *pairs_thread(void *p)
{
    auto *a = static_cast<PairsArgs *>(p);
    size_t total = 0;
    for (int i = 0; i < a->pairs; ++i) {
        if (a->native) {
            thread_queue_send(a->id, kText.data(), kText.size());
            size_t len;
            char *text = thread_queue_recv(a->id, &len);
            std::string received(text, len);
            free(text);
            total += received.size();
        } else {
            g_deque.send(a->id, kText.data(), kText.size());
            total += g_deque.recv(a->id).size();
        }
    }
    a->received = total;
    return nullptr;
}

double pairs_per_second(bool native, int threads)
{
    std::vector<pthread_t> th(threads);
    std::vector<PairsArgs> args(threads);
    auto t0 = Clock::now();
    for (int i = 0; i < threads; ++i) {
        args[i] = PairsArgs{native, 1000 + i, kNativePairs, 0};
        pthread_create(&th[i], nullptr, pairs_thread, &args[i]);
    }
    for (int i = 0; i < threads; ++i)
        pthread_join(th[i], nullptr);
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    return threads * static_cast<double>(kNativePairs) / s;
}

// Nanoseconds per send + receive pair for one id, best of kRounds, with
// `backlog` messages queued for another id meanwhile.
double pair_ns_with_backlog(int backlog)
{
    constexpr int kPairs = 200000;
    thread_queue_flush();
    for (int i = 0; i < backlog; ++i)
        thread_queue_send(7, "b", 1);
    double best = 1e30;
    for (int round = 0; round < kRounds; ++round) {
        auto t0 = Clock::now();
        for (int i = 0; i < kPairs; ++i) {
            thread_queue_send(8, kText.data(), kText.size());
            size_t len;
            free(thread_queue_recv(8, &len));
        }
        best = std::min(best, std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / kPairs);
    }
    thread_queue_flush();
    return best;
}

}  // namespace

int main()
{
    std::string dir = make_dir();
    std::string demo = slurp(std::string(KORVEX_DEMO_DIR) + "/init.lua");
    std::ofstream(dir + "/init.lua") << demo << kBenchScript;
    std::ofstream(dir + "/config") << "{}";
    symlink(KORVEX_SDK_LUA_DIR, (dir + "/korvex").c_str());

    auto engines = in_child([&](FILE *out) { measure_main_engines(dir, out); });
    auto workers = in_child([&](FILE *out) { measure_workers(dir, out); });

    printf("worker start vs main-engine creation (median of %d):\n", kSamples);
    printf("  worker start        %9.0f us\n", workers["worker_start_ns"] / 1000);
    printf("  main engine created %9.0f us\n", engines["engine_create_ns"] / 1000);
    printf("  ratio %.2fx (target at most 1.2x)\n", workers["worker_start_ns"] / engines["engine_create_ns"]);
    printf("resident memory, %d alive at once:\n", kLive);
    printf("  per live worker     %9.0f KiB\n", workers["worker_rss_bytes"] / 1024);
    printf("  per main engine     %9.0f KiB\n", engines["engine_rss_bytes"] / 1024);
    printf("  ratio %.2fx (target at most 1.2x)\n", workers["worker_rss_bytes"] / engines["engine_rss_bytes"]);
    printf("msgsend+msgrecv pairs per second (64-byte texts, best of %d) vs a mutex-guarded std::deque:\n",
           kRounds);
    printf("  threads   deque        native       ratio   scripts      ratio (target at least 0.5x)\n");
    for (int n : kThreadCounts) {
        double base = 0;
        double native = 0;
        for (int round = 0; round < kRounds; ++round) {
            base = std::max(base, pairs_per_second(false, n));
            native = std::max(native, pairs_per_second(true, n));
        }
        double script = workers["script_pairs_per_s_" + std::to_string(n)];
        printf("  %7d   %-12.0f %-12.0f %5.2fx   %-12.0f %5.2fx\n", n, base, native, native / base, script,
               script / base);
    }
    double empty = pair_ns_with_backlog(0);
    double crowded = pair_ns_with_backlog(100000);
    printf("msgsend+msgrecv for one id, 100,000 messages queued for another vs none (best of %d):\n", kRounds);
    printf("  empty queue  %8.1f ns\n  backlog      %8.1f ns\n  ratio %.2fx (target about 1x)\n", empty, crowded,
           crowded / empty);
    std::string cmd = "rm -rf '" + dir + "'";
    return system(cmd.c_str()) == 0 ? 0 : 1;
}
