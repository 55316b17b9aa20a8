#include "engine/registry.h"
#include "engine/worker_cancel.h"

#include "engine/dep_modules.h"
#include "modules/modules.h"

namespace {

// A row without an open function is a dependency library (dep_modules.h).
struct ModuleRow {
    const char *name;
    lua_CFunction open;
};

lua_CFunction row_open(lua_State *L, const ModuleRow &row)
{
    return row.open ? row.open : dep_module_open(L, row.name);
}

const ModuleRow kStandard[] = {
    {"_G", luaopen_base},
    {LUA_LOADLIBNAME, luaopen_package},
    {LUA_COLIBNAME, luaopen_coroutine},
    {LUA_TABLIBNAME, luaopen_table},
    {LUA_IOLIBNAME, luaopen_io},
    {LUA_OSLIBNAME, luaopen_os},
    {LUA_STRLIBNAME, luaopen_string},
    {LUA_MATHLIBNAME, luaopen_math},
    {LUA_UTF8LIBNAME, luaopen_utf8},
    {LUA_DBLIBNAME, luaopen_debug},
    {"lfs", nullptr},
    {"bit32", luaopen_bit32},
};

// Libraries this program links and registers under their usual names
// (pcap and pb are ours, in modules/).
const ModuleRow kDependencies[] = {
    {"cjson", nullptr},
    {"pcap", luaopen_pcap},
    {"socket.core", nullptr},
    {"socket.unix", nullptr},
    {"mime.core", nullptr},
    {"pb", luaopen_pb},
    {"pb.slice", luaopen_pb_slice},
    {"pb.buffer", luaopen_pb_buffer},
    {"pb.conv", luaopen_pb_conv},
    {"pb.io", luaopen_pb_io},
};

// Our native modules, in registration order; each is one source file in
// modules/ and one row here.
const ModuleRow kNative[] = {
    {"c.kernel", luaopen_c_kernel},
    {"c.regex", luaopen_c_regex},
    {"c.sys", luaopen_c_sys},
    {"c.thread", luaopen_c_thread},
    {"c.time", luaopen_c_time},
    {"c.file", luaopen_c_file},
    {"c.crypto", luaopen_c_crypto},
    {"c.ssl", luaopen_c_ssl},
    {"c.capi", luaopen_c_capi},
    {"c.mnf", luaopen_c_mnf},
    {"c.arch", luaopen_c_arch},
    {"c.socket", luaopen_c_socket},
};

constexpr int kRegisteredCount = static_cast<int>(sizeof kDependencies / sizeof kDependencies[0] +
                                                 sizeof kNative / sizeof kNative[0]);

void register_rows(lua_State *L, const ModuleRow *rows, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        luaL_requiref(L, rows[i].name, row_open(L, rows[i]), 0);
    }
}

void register_cenum(lua_State *L)
{
    lua_newtable(L);
    for (const CenumRow *row = kCenum; row->name; ++row) {
        lua_pushinteger(L, row->value);
        lua_setfield(L, -2, row->name);
    }
    lua_setglobal(L, "CENUM");
}

}  // namespace

const CenumRow kCenum[] = {
    {"APP_RETCODE_NORMAL", 128},
    {"APP_RETCODE_ERROR", 129},
    {"APP_RETCODE_UPDATE", 130},
    {"APP_RETCODE_UPDATE_LUA", 131},
    {"APP_RETCODE_UPDATE_SIG", 132},
    {"APP_RETCODE_RESTORE", 160},
    {"APP_RETCODE_MEMORY_OVERLIMIT", 180},
    {"APP_RETCODE_COMMAND_EXIT", 181},
    {"COMM_BUSINESS_SN", 1},
    {"COMM_BUSINESS_OUI", 4},
    {"COMM_BUSINESS_IPv4_MAC", 7},
    {"COMM_BUSINESS_PPPOE_ACCOUNT", 8},
    {"COMM_ACTION_UPLOAD", 2},
    {"COMM_ACTION_RESULT_OK", 0x100},
    {"COMM_ACTION_RESULT_FAIL", 0x101},
    {"COMM_ACTION_RESULT_CKEY_ERROR", 0x102},
    {"COMM_ACTION_CKEY_GET", 0xFF},
    {"COMM_ACTION_COMMON_HEART", 0x200},
    {"COMM_ACTION_GZIP_ACTION", 0xFFFF},
    {"COMM_ACTION_DEVOPS_DPI_INIT", 0xF001},
    {"COMM_ACTION_DEVOPS_DPI_HEART", 0xF002},
    {"COMM_ACTION_DEVOPS_DPI_RESULT", 0xF003},
    {"COMM_ACTION_DEVOPS_DPI_DATA", 0xF004},
    {"COMM_ACTION_DEVOPS_DPI_REQUEST", 0xF005},
    {"COMM_ACTION_DEVOPS_DPI_SIGCOLLECT", 0xF006},
    {"COMM_ACTION_DEVOPS_DPI_ROUTE", 0xF007},
    {"COMM_ACTION_DEVOPS_DPI_SIGCOLLECTLIST", 0xF008},
    {"COMM_ACTION_DEVOPS_DPI_SIGCOLLECT_UPDATE", 0xF009},
    {"COMM_ACTION_UPLOAD_JSON", 0xF},
    {"COMM_ACTION_UPLOAD_MULTI_JSON", 0x1F},
    {"USERSPACE_ENGINE", 1},
    {"PCAP_SUPPORT_READ_PACKET_TIMEOUT", 1},
    {nullptr, 0},
};

void registry_open_standard(lua_State *L)
{
    for (const ModuleRow &row : kStandard) {
        luaL_requiref(L, row.name, row_open(L, row), 1);
        lua_pop(L, 1);
    }
}

void registry_register_modules(lua_State *L)
{
    // Every module table stays on the stack until the bundle is accepted:
    // more than the 20 slots Lua guarantees a C function.
    if (!lua_checkstack(L, kRegisteredCount + LUA_MINSTACK))
        luaL_error(L, "cannot grow the stack for %d modules", kRegisteredCount);
    register_rows(L, kDependencies, sizeof kDependencies / sizeof kDependencies[0]);
    register_cenum(L);
    register_rows(L, kNative, sizeof kNative / sizeof kNative[0]);
    worker_cancel_prepare(L);
}

int registry_module_count() { return kRegisteredCount; }
