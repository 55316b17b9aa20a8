#include "engine/console.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include <lua.hpp>

#include "engine/lua_util.h"

namespace {

constexpr size_t kLineSize = 2048;
const char kProgName[] = "lua_korvex";

// The name goes in front of messages only outside the read loop; inside it
// is cleared, so errors typed at the prompt print bare.
const char *g_progname = kProgName;
lua_State *g_running = nullptr;

void print_message(const char *msg)
{
    if (g_progname)
        fprintf(stderr, "%s: ", g_progname);
    fprintf(stderr, "%s\n", msg);
    fflush(stderr);
}

// Reports the error on top of the stack, if any, and pops it.
int report(lua_State *L, int status)
{
    if (status != LUA_OK) {
        print_message(klua_error_text(L, -1));
        lua_pop(L, 1);
    }
    return status;
}

// Stops the running chunk at its next call, return or instruction.
void stop_hook(lua_State *L, lua_Debug *)
{
    lua_sethook(L, nullptr, 0, 0);
    luaL_error(L, "interrupted!");
}

void on_interrupt(int sig)
{
    signal(sig, SIG_DFL);  // a second ^C ends the process
    lua_sethook(g_running, stop_hook, LUA_MASKCALL | LUA_MASKRET | LUA_MASKCOUNT, 1);
}

int traceback_handler(lua_State *L)
{
    const char *msg = lua_tostring(L, 1);
    if (!msg) {
        if (luaL_callmeta(L, 1, "__tostring") && lua_type(L, -1) == LUA_TSTRING)
            return 1;
        msg = lua_pushfstring(L, "(error object is a %s value)", luaL_typename(L, 1));
    }
    luaL_traceback(L, L, msg, 1);
    return 1;
}

int run_chunk(lua_State *L)
{
    int base = lua_gettop(L);
    lua_pushcfunction(L, traceback_handler);
    lua_insert(L, base);
    g_running = L;
    signal(SIGINT, on_interrupt);
    int status = lua_pcall(L, 0, LUA_MULTRET, base);
    signal(SIGINT, SIG_DFL);
    lua_remove(L, base);
    return status;
}

const char *prompt_for(lua_State *L, bool first)
{
    int type = klua_push_global_raw(L, first ? "_PROMPT" : "_PROMPT2");
    const char *prompt = (type == LUA_TSTRING || type == LUA_TNUMBER) ? lua_tostring(L, -1) : nullptr;
    if (!prompt)
        prompt = first ? ">" : ">>";
    fputs(prompt, stdout);
    fflush(stdout);
    lua_pop(L, 1);
    return prompt;
}

// Pushes the next input line (without its newline); false at end of input.
bool read_line(lua_State *L, bool first)
{
    char buf[kLineSize];
    prompt_for(L, first);
    if (!fgets(buf, sizeof buf, stdin))
        return false;
    size_t len = strlen(buf);
    if (len > 0 && buf[len - 1] == '\n')
        buf[--len] = '\0';
    if (first && buf[0] == '=')
        lua_pushfstring(L, "return %s", buf + 1);
    else
        lua_pushlstring(L, buf, len);
    return true;
}

bool is_incomplete(lua_State *L, int status)
{
    if (status != LUA_ERRSYNTAX)
        return false;
    size_t len;
    const char *msg = lua_tolstring(L, -1, &len);
    static const char kEof[] = "<eof>";
    const size_t eof_len = sizeof kEof - 1;
    return len >= eof_len && strcmp(msg + len - eof_len, kEof) == 0;
}

// With the line on the stack: tries it as an expression first.
int try_as_expression(lua_State *L)
{
    const char *retline = lua_pushfstring(L, "return %s", lua_tostring(L, -1));
    int status = luaL_loadbuffer(L, retline, strlen(retline), "=stdin");
    if (status == LUA_OK) {
        lua_remove(L, -2);  // the "return" text
        lua_remove(L, -2);  // the line: the chunk takes its place
    } else {
        lua_pop(L, 2);      // the error and the "return" text
    }
    return status;
}

// Compiles the line on the stack, reading continuation lines while the
// statement is unfinished. Leaves the chunk (or the error) on the stack;
// -1 at end of input.
int load_statement(lua_State *L)
{
    lua_settop(L, 0);
    if (!read_line(L, true))
        return -1;
    if (try_as_expression(L) == LUA_OK)
        return LUA_OK;
    for (;;) {
        size_t len;
        const char *line = lua_tolstring(L, 1, &len);
        int status = luaL_loadbuffer(L, line, len, "=stdin");
        if (!is_incomplete(L, status)) {
            lua_remove(L, 1);
            return status;
        }
        lua_pop(L, 1);
        if (!read_line(L, false))
            return -1;
        lua_pushliteral(L, "\n");
        lua_insert(L, -2);
        lua_concat(L, 3);
    }
}

void print_results(lua_State *L)
{
    int n = lua_gettop(L);
    if (n == 0)
        return;
    luaL_checkstack(L, LUA_MINSTACK, "too many results to print");
    lua_getglobal(L, "print");
    lua_insert(L, 1);
    if (lua_pcall(L, n, 0, 0) != LUA_OK)
        print_message(lua_pushfstring(L, "error calling 'print' (%s)", klua_error_text(L, -1)));
}

int console_loop(lua_State *L)
{
    const char *saved = g_progname;
    g_progname = nullptr;
    int status;
    while ((status = load_statement(L)) != -1) {
        if (status == LUA_OK)
            status = run_chunk(L);
        if (status == LUA_OK)
            print_results(L);
        else
            report(L, status);
    }
    lua_settop(L, 0);
    fputs("\n", stdout);
    fflush(stdout);
    g_progname = saved;
    return 0;
}

}  // namespace

void console_run(lua_State *L)
{
    if (!L)
        return;
    int top = lua_gettop(L);
    lua_pushcfunction(L, console_loop);
    report(L, lua_pcall(L, 0, 0, 0));
    lua_settop(L, top);
}
