// The interactive prompt (-i) on the main engine, before the loop starts.
#pragma once

struct lua_State;

// Reads, evaluates and prints statements from standard input until it ends.
void console_run(lua_State *L);
