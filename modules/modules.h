// Open functions of the native modules (one source file each in modules/,
// control/ and gateway/); the registry lists them in registration order.
#pragma once

#include <lua.hpp>

int luaopen_c_kernel(lua_State *L);  // control/kernel.cpp
int luaopen_c_regex(lua_State *L);
int luaopen_c_sys(lua_State *L);
int luaopen_c_thread(lua_State *L);
int luaopen_c_time(lua_State *L);
int luaopen_c_file(lua_State *L);
int luaopen_c_crypto(lua_State *L);
int luaopen_c_ssl(lua_State *L);
int luaopen_c_capi(lua_State *L);    // gateway/capi.cpp
int luaopen_c_mnf(lua_State *L);     // gateway/mnf.cpp
int luaopen_c_arch(lua_State *L);    // gateway/arch.cpp
int luaopen_c_socket(lua_State *L);
int luaopen_pcap(lua_State *L);  // "pcap", registered with the dependencies
int luaopen_pb(lua_State *L);    // "pb", likewise
int luaopen_pb_slice(lua_State *L);   // "pb.slice", likewise (modules/pb/)
int luaopen_pb_buffer(lua_State *L);  // "pb.buffer"
int luaopen_pb_conv(lua_State *L);    // "pb.conv"
int luaopen_pb_io(lua_State *L);      // "pb.io"
