-- Helpers of the OpenWrt backend tests, which run through setup.sh in a
-- router namespace of their own:
--   local ow = dofile(here .. "owrt_util.lua")
--   ow.gw                  gateway_util's runner (snippets in a fresh `ut -d`,
--                          their results, log lines and lists not given back)
--   ow.put(path, text)     a file of the fake root tree
--   ow.ours()              our table as `nft -j list ruleset` shows it
local cjson = require "cjson"

local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local M = {}

M.util = dofile(here .. "../lua/gateway_util.lua")
M.ROOT = assert(os.getenv("KORVEX_GATEWAY_ROOT"), "run through openwrt/setup.sh")
M.LAN = assert(os.getenv("KVX_LAN_NET"), "run through openwrt/setup.sh")
M.WAN = assert(os.getenv("KVX_WAN_NET"), "run through openwrt/setup.sh")
M.PYTHON = os.getenv("KVX_PYTHON") or "python3"
M.PROBE = here .. "probe.py"
-- How long a test waits for traffic that should pass (generous: the
-- machine is busy); a probe that should be dropped is also proven dropped
-- by the counter of the rule that dropped it.
M.WAIT = 20

function M.new(ut_run)
    M.gw = M.util.new(ut_run)
    return M
end

local function quote(s) return "'" .. tostring(s):gsub("'", "'\\''") .. "'" end
M.quote = quote

local function mkdirs(path)
    local dir = ""
    for part in path:gmatch("[^/]+") do
        dir = dir .. "/" .. part
        if not lfs.attributes(dir) then assert(lfs.mkdir(dir)) end
    end
end

-- Writes a file of the fake root (path absolute within it).
function M.put(path, text)
    local full = M.ROOT .. path
    mkdirs(full:match("^(.*)/[^/]*$"))
    local f = assert(io.open(full, "wb"))
    f:write(text)
    f:close()
end

-- A symbolic link in the fake root to a file of the real one.
function M.link(target, path)
    local full = M.ROOT .. path
    mkdirs(full:match("^(.*)/[^/]*$"))
    assert(lfs.link(target, full, true))
end

function M.remove(path) os.remove(M.ROOT .. path) end

-- Everything in the fake root goes.
function M.clear_root()
    os.execute("rm -rf " .. quote(M.ROOT) .. "/*")
end

function M.sh(cmd)
    local p = assert(io.popen(cmd .. " 2>&1"))
    local out = p:read("a")
    local ok = p:close()
    return out, ok
end

function M.ruleset()
    local out = M.sh("nft -j list ruleset")
    return cjson.decode(out).nftables
end

-- Our table: its sets (by kernel name, with the elements nft lists),
-- counters (by name), rules of the chain (in order) and how many tables
-- there are in all.
function M.ours()
    local t = { sets = {}, counters = {}, rules = {}, tables = 0, chains = {} }
    for _, item in ipairs(M.ruleset()) do
        local kind, obj = next(item)
        if kind == "table" then t.tables = t.tables + 1 end
        if kind ~= "metainfo" and obj.family == "inet" and (obj.table == "korvex" or obj.name == "korvex") then
            if kind == "table" then t.table = obj
            elseif kind == "set" then t.sets[obj.name] = obj
            elseif kind == "counter" then t.counters[obj.name] = obj
            elseif kind == "chain" then t.chains[#t.chains + 1] = obj
            elseif kind == "rule" then t.rules[#t.rules + 1] = obj end
        end
    end
    return t
end

function M.count(t)
    local n = 0
    for _ in pairs(t) do n = n + 1 end
    return n
end

-- The sorted keys of a table, joined by ",".
function M.keys(t)
    local k = {}
    for name in pairs(t) do k[#k + 1] = name end
    table.sort(k)
    return table.concat(k, ",")
end

-- Nothing of ours (nor any other table) in the namespace's ruleset.
function M.nothing_left()
    return #M.ruleset() == 1
end

function M.reset()
    os.execute("nft delete table inet korvex 2>/dev/null")
end

-- The packets a rule's counter has seen.
function M.packets(rule)
    local c = M.ours().counters[rule]
    return c and c.packets
end

function M.in_lan(cmd) return string.format("nsenter --net=%s %s", M.LAN, cmd) end
function M.in_wan(cmd) return string.format("nsenter --net=%s %s", M.WAN, cmd) end

-- One probe from the LAN client: "udp" to <address>:7777 or "icmp";
-- true when the answer came back within `timeout` seconds.
function M.probe(kind, address, timeout)
    local args = kind == "udp" and string.format("udp %s 7777 %s", address, timeout or M.WAIT)
        or string.format("icmp %s %s", address, timeout or M.WAIT)
    local ok = os.execute(M.in_lan(string.format("%s %s %s", M.PYTHON, quote(M.PROBE), args)))
    return ok == true
end

-- The UDP echo server on port 7777 of the WAN side; stop() ends it.
function M.serve()
    local p = assert(io.popen(M.in_wan(string.format("%s %s serve 7777", M.PYTHON, quote(M.PROBE)))))
    local pid = assert(p:read("l"):match("^ready (%d+)$"), "echo server")
    return { stop = function() os.execute("kill " .. pid) p:close() end }
end

-- A probe that the rule `rule` must drop: it gets no answer and the rule's
-- counter saw it.
function M.dropped(kind, address, rule)
    local before = M.packets(rule)
    local answered = M.probe(kind, address, 2)
    return not answered and M.packets(rule) == before + 1
end

-- An ICMP flow (one echo id) from the LAN client; next() gives the next
-- line it prints ("reply N", or "stalled" after 20 s without replies).
function M.stream(address, count)
    local p = assert(io.popen(M.in_lan(string.format("%s %s stream %s %d", M.PYTHON, quote(M.PROBE), address, count))))
    return { next = function() return p:read("l") end, close = function() p:close() end }
end

return M
