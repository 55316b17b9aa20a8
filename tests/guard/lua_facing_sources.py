#!/usr/bin/env python3
"""Lua is built as C here: a raised error leaves a lua_CFunction by longjmp
and runs no destructor. So the files that hold script functions (the native
modules, the gateway modules, the engine's own script functions) keep to
plain C data: no std::string, std::vector, std::unique_ptr, std::function,
no `try`, no `new`. This check fails on any such use in code (comments and
string literals do not count), and when a script module outside engine/
includes an engine header other than engine/module_host.h.

    lua_facing_sources.py SOURCE_DIR    checks the tree
    lua_facing_sources.py --self-test   proves the check catches each use
"""
import os
import re
import sys
import tempfile

FORBIDDEN = [
    (re.compile(r'\bstd\s*::\s*(string|vector|unique_ptr|function)\b'), 'std::{0}'),
    (re.compile(r'\btry\b'), 'try'),
    (re.compile(r'\bnew\b'), 'new'),
]

# What makes a file Lua-facing: it defines a function of the lua_CFunction
# shape, or registers functions with Lua.
LUA_FACING = re.compile(
    r'^\s*(static\s+)?int\s+\w+\s*\(\s*lua_State\s*\*\s*\w*\s*\)\s*(\{|$)'
    r'|\bluaL_Reg\b|\blua_pushcfunction\b|\blua_pushcclosure\b',
    re.M)

# Directories with sources that scripts call into; modules/ counts whole
# (its helpers run inside script functions' frames).
SCANNED_DIRS = ['modules', 'gateway', 'control', 'engine']


def strip_code(text):
    """The text with comments and string/char literals blanked out (line
    breaks kept, so line numbers stay right)."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith('//', i):
            j = text.find('\n', i)
            j = n if j < 0 else j
            i = j
        elif text.startswith('/*', i):
            j = text.find('*/', i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r'[^\n]', ' ', text[i:j]))
            i = j
        elif c == 'R' and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == '_')):
            m = re.match(r'R"([^()\\ ]{0,16})\(', text[i:])
            if not m:
                out.append(c)
                i += 1
                continue
            end = ')' + m.group(1) + '"'
            j = text.find(end, i + m.end())
            j = n if j < 0 else j + len(end)
            out.append(re.sub(r'[^\n]', ' ', text[i:j]))
            i = j
        elif c in '"\'':
            j = i + 1
            while j < n and text[j] != c and text[j] != '\n':
                j += 2 if text[j] == '\\' else 1
            j = min(j + 1, n)
            out.append(' ' * (j - i))
            i = j
        else:
            out.append(c)
            i += 1
    return ''.join(out)


ENGINE_INCLUDE = re.compile(r'^\s*#\s*include\s*"engine/([^"]+)"', re.M)


def findings(path, module=True):
    with open(path, encoding='utf-8', errors='replace') as f:
        raw = f.read()
    code = strip_code(raw)
    found = []
    if module:
        for m in ENGINE_INCLUDE.finditer(raw):
            if m.group(1) != 'module_host.h':
                found.append((raw.count('\n', 0, m.start()) + 1, 'engine/' + m.group(1)))
    for lineno, line in enumerate(code.split('\n'), 1):
        for pattern, name in FORBIDDEN:
            m = pattern.search(line)
            if m:
                found.append((lineno, name.format(*m.groups())))
    return found


def lua_facing_files(root):
    files = []
    for top in SCANNED_DIRS:
        for d, _, names in os.walk(os.path.join(root, top)):
            for name in sorted(names):
                if not name.endswith(('.cpp', '.h')):
                    continue
                path = os.path.join(d, name)
                rel = os.path.relpath(path, root)
                with open(path, encoding='utf-8', errors='replace') as f:
                    code = strip_code(f.read())
                if rel.startswith('modules' + os.sep) or LUA_FACING.search(code):
                    files.append(rel)
    return sorted(files)


def check(root):
    files = lua_facing_files(root)
    # The native modules themselves must be among them, or the scan looked
    # in the wrong place and would pass on anything.
    opens = [f for f in files if 'luaopen_' in open(os.path.join(root, f), errors='replace').read()]
    if len(opens) < 10:
        print('found only %d files with module open functions under %s' % (len(opens), root))
        return 1
    bad = 0
    for rel in files:
        module = not rel.startswith('engine' + os.sep)
        for lineno, name in findings(os.path.join(root, rel), module):
            print('%s:%d: %s in a Lua-facing file' % (rel, lineno, name))
            bad += 1
    print('%d Lua-facing files checked, %d uses found' % (len(files), bad))
    return 1 if bad else 0


def self_test():
    cases = {
        'std::string s;': ['std::string'],
        'std::vector<int> v;': ['std::vector'],
        'auto p = std::unique_ptr<int>(x);': ['std::unique_ptr'],
        'std :: function<void()> f;': ['std::function'],
        'try { f(); } catch (...) {}': ['try'],
        'int *p = new int(3);': ['new'],
        '// std::string in a comment, new and try too': [],
        '/* std::vector\n new */ int x;': [],
        'log("new try std::string");': [],
        "char c = '\"'; const char *s = \"new\";": [],
        'const char *r = R"x(std::string "new")x";': [],
        'lua_newuserdata(L, 4); renew(); new_box(); trying();': [],
        '#include "engine/module_host.h"': [],
        '#include "engine/host.h"': ['engine/host.h'],
    }
    failed = 0
    with tempfile.TemporaryDirectory() as tmp:
        for text, want in cases.items():
            path = os.path.join(tmp, 'case.cpp')
            with open(path, 'w') as f:
                f.write(text + '\n')
            got = [name for _, name in findings(path)]
            if got != want:
                print('case %r: found %r, expected %r' % (text, got, want))
                failed += 1
        # A whole tree: a module file with one use fails the check.
        os.makedirs(os.path.join(tmp, 'modules'))
        for i in range(10):
            with open(os.path.join(tmp, 'modules', 'm%d.cpp' % i), 'w') as f:
                f.write('int luaopen_m%d(lua_State *L)\n{\n    return 0;\n}\n' % i)
        if check(tmp) != 0:
            print('a clean tree was refused')
            failed += 1
        with open(os.path.join(tmp, 'modules', 'm3.cpp'), 'a') as f:
            f.write('static std::string g_name;\n')
        if check(tmp) == 0:
            print('a tree with a std::string was passed')
            failed += 1
    print('self-test: %d of %d cases failed' % (failed, len(cases) + 2))
    return 1 if failed else 0


if __name__ == '__main__':
    if len(sys.argv) == 2 and sys.argv[1] == '--self-test':
        sys.exit(self_test())
    if len(sys.argv) != 2:
        print(__doc__)
        sys.exit(2)
    sys.exit(check(sys.argv[1]))
