// pb encode and decode from Lua against the C++ protobuf library
// (DynamicMessage built from the same descriptor set) in the same run: a
// message of 40 scalar fields, and a list of 10 000 small messages.
//
// The Lua side pays for what a script gets: a result string, or new
// tables. The C++ side is measured twice for decoding: into a new message
// each time (as pb.decode makes new tables) and into one reused message.
//
// Then pb.slice reading and pb.buffer writing 1 M varints, against the same
// loops in C.
//
// Usage: pb_bench <descriptor set> [seconds per measurement, default 0.5]
#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/dynamic_message.h>
#include <google/protobuf/message.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include <lua.hpp>

#include "modules/modules.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace gp = google::protobuf;

double g_budget = 0.5;

// The values both sides use: built in Lua, encoded by pb, parsed by C++.
const char kSetup[] = R"(
local set = ...
local pb = require "pb"
assert(pb.load(set))
-- Like for like with DynamicMessage, which makes no default values.
pb.option("no_default_values")
big = {}
for i = 1, 10 do big["i" .. i] = i * 1000 + 7 end
for i = 1, 5 do big["l" .. i] = 1234567890123 * i end
for i = 1, 5 do big["u" .. i] = 4000000000 - i end
for i = 1, 4 do big["z" .. i] = -100 * i end
big.f1, big.f2, big.g1, big.g2 = 1, 2, 3, 4
big.d1, big.d2, big.r1, big.r2 = 1.5, -2.25, 0.5, 3.25
for i = 1, 4 do big["s" .. i] = "string value " .. i end
big.b1, big.b2, big.kind, big.blob = true, true, "K_TWO", "\1\2\3\4\5\6\7\8"
list = { items = {} }
for i = 1, 10000 do
    list.items[i] = { id = i, name = "item" .. i, score = i * 0.5, active = i % 2 == 0 }
end
big_bin = pb.encode("bench.Big", big)
list_bin = pb.encode("bench.List", list)
local encode, decode = pb.encode, pb.decode
function encode_big(n) for _ = 1, n do encode("bench.Big", big) end end
function decode_big(n) for _ = 1, n do decode("bench.Big", big_bin) end end
function encode_list(n) for _ = 1, n do encode("bench.List", list) end end
function decode_list(n) for _ = 1, n do decode("bench.List", list_bin) end end

local slice, buffer = require "pb.slice", require "pb.buffer"
VARINTS = 1000000
do
    local b = buffer.new()
    for i = 1, VARINTS do b:pack("v", i * 37) end
    varints_bin = b:result()
end
function slice_varints(n)
    for _ = 1, n do
        local s = slice.new(varints_bin)
        local unpack = s.unpack
        for _ = 1, VARINTS do unpack(s, "v") end
    end
end
function buffer_varints(n)
    for _ = 1, n do
        local b = buffer.new()
        local pack = b.pack
        for i = 1, VARINTS do pack(b, "v", i * 37) end
    end
end
)";

double seconds(const std::function<void(long)> &fn, long n)
{
    auto t0 = Clock::now();
    fn(n);
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Calls per second of each function: short rounds taking turns, the
// fastest round of each counting (a shared machine only ever adds time).
void rates(const std::function<void(long)> *fns, int count, double *out)
{
    constexpr int kRounds = 9;
    long n = 1;
    while (seconds(fns[0], n) < g_budget / (2 * kRounds * count) && n < (1L << 30))
        n *= 2;
    for (int k = 0; k < count; ++k)
        out[k] = 1e30;
    for (int round = 0; round < kRounds; ++round)
        for (int k = 0; k < count; ++k) {
            double t = seconds(fns[k], n);
            if (t < out[k])
                out[k] = t;
        }
    for (int k = 0; k < count; ++k)
        out[k] = n / out[k];
}

std::function<void(long)> lua_loop(lua_State *L, const char *fn)
{
    return [L, fn](long n) {
        lua_getglobal(L, fn);
        lua_pushinteger(L, n);
        if (lua_pcall(L, 1, 0, 0) != LUA_OK) {
            fprintf(stderr, "%s: %s\n", fn, lua_tostring(L, -1));
            exit(1);
        }
    };
}

std::string lua_string(lua_State *L, const char *name)
{
    lua_getglobal(L, name);
    size_t len;
    const char *s = lua_tolstring(L, -1, &len);
    std::string out(s, len);
    lua_pop(L, 1);
    return out;
}

void measure(lua_State *L, const gp::Message &prototype, const char *what, const char *type_name)
{
    std::string bin = lua_string(L, (std::string(type_name) + "_bin").c_str());
    std::unique_ptr<gp::Message> msg(prototype.New());
    if (!msg->ParseFromString(bin)) {
        fprintf(stderr, "%s: the C++ library cannot parse pb's encoding\n", what);
        exit(1);
    }
    std::string again;
    msg->SerializeToString(&again);
    if (again != bin) {
        fprintf(stderr, "%s: the two encodings differ\n", what);
        exit(1);
    }
    std::unique_ptr<gp::Message> reused(prototype.New());
    std::string out;

    std::string enc_fn = std::string("encode_") + type_name;
    std::string dec_fn = std::string("decode_") + type_name;
    std::function<void(long)> enc[] = {
        lua_loop(L, enc_fn.c_str()),
        [&](long n) {
            for (long i = 0; i < n; ++i) {
                out.clear();
                msg->SerializeToString(&out);
            }
        },
    };
    double r[3];
    rates(enc, 2, r);
    printf("encode %-26s lua %10.0f/s  C++ %10.0f/s  ratio %.2f\n", what, r[0], r[1], r[0] / r[1]);

    std::function<void(long)> dec[] = {
        lua_loop(L, dec_fn.c_str()),
        [&](long n) {
            for (long i = 0; i < n; ++i) {
                std::unique_ptr<gp::Message> m(prototype.New());
                m->ParseFromString(bin);
            }
        },
        [&](long n) {
            for (long i = 0; i < n; ++i)
                reused->ParseFromString(bin);
        },
    };
    rates(dec, 3, r);
    printf("decode %-26s lua %10.0f/s  C++ %10.0f/s  ratio %.2f  (C++ into one reused message %10.0f/s, ratio %.2f)\n",
           what, r[0], r[1], r[0] / r[1], r[2], r[0] / r[2]);
}

// 1 M varints: pb.slice unpack and pb.buffer pack against the same loops in
// C (a read loop summing the values, an append loop into a reused string).
void measure_varints(lua_State *L)
{
    std::string bin = lua_string(L, "varints_bin");
    constexpr long kCount = 1000000;
    volatile uint64_t sink = 0;
    std::string out;
    std::function<void(long)> rd[] = {
        lua_loop(L, "slice_varints"),
        [&](long n) {
            for (long k = 0; k < n; ++k) {
                const uint8_t *p = reinterpret_cast<const uint8_t *>(bin.data());
                const uint8_t *end = p + bin.size();
                uint64_t sum = 0;
                for (long i = 0; i < kCount && p < end; ++i) {
                    uint64_t v = 0;
                    for (int shift = 0; p < end; shift += 7) {
                        uint8_t b = *p++;
                        v |= static_cast<uint64_t>(b & 0x7f) << shift;
                        if (b < 0x80)
                            break;
                    }
                    sum += v;
                }
                sink = sink + sum;
            }
        },
    };
    double r[2];
    rates(rd, 2, r);
    printf("slice unpack 1M varints          lua %10.2f/s  C   %10.2f/s  ratio %.3f\n", r[0], r[1], r[0] / r[1]);
    std::function<void(long)> wr[] = {
        lua_loop(L, "buffer_varints"),
        [&](long n) {
            for (long k = 0; k < n; ++k) {
                out.clear();
                for (long i = 1; i <= kCount; ++i) {
                    uint64_t v = static_cast<uint64_t>(i) * 37;
                    while (v >= 0x80) {
                        out.push_back(static_cast<char>(v | 0x80));
                        v >>= 7;
                    }
                    out.push_back(static_cast<char>(v));
                }
                sink = sink + out.size();
            }
        },
    };
    rates(wr, 2, r);
    printf("buffer pack 1M varints           lua %10.2f/s  C   %10.2f/s  ratio %.3f\n", r[0], r[1], r[0] / r[1]);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: pb_bench <descriptor set> [seconds]\n");
        return 2;
    }
    if (argc > 2)
        g_budget = atof(argv[2]);
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string set = ss.str();

    gp::FileDescriptorSet fds;
    if (!fds.ParseFromString(set)) {
        fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    gp::DescriptorPool pool;
    for (const auto &file : fds.file())
        if (!pool.BuildFile(file)) {
            fprintf(stderr, "cannot build %s\n", file.name().c_str());
            return 1;
        }
    gp::DynamicMessageFactory factory(&pool);

    lua_State *L = luaL_newstate();
    luaL_openlibs(L);
    luaL_requiref(L, "pb", luaopen_pb, 0);
    luaL_requiref(L, "pb.slice", luaopen_pb_slice, 0);
    luaL_requiref(L, "pb.buffer", luaopen_pb_buffer, 0);
    lua_pop(L, 3);
    if (luaL_loadstring(L, kSetup) != LUA_OK) {
        fprintf(stderr, "%s\n", lua_tostring(L, -1));
        return 1;
    }
    lua_pushlstring(L, set.data(), set.size());
    if (lua_pcall(L, 1, 0, 0) != LUA_OK) {
        fprintf(stderr, "%s\n", lua_tostring(L, -1));
        return 1;
    }

    printf("pb from Lua against the C++ library's DynamicMessage (calls per second, fastest of 9 rounds)\n");
    measure(L, *factory.GetPrototype(pool.FindMessageTypeByName("bench.Big")), "40-field message", "big");
    measure(L, *factory.GetPrototype(pool.FindMessageTypeByName("bench.List")), "10000-element repeated", "list");
    measure_varints(L);
    lua_close(L);
    return 0;
}
