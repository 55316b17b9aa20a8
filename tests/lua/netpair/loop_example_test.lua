-- The main loop of docs/script-api.md ("One wait for capture, the control
-- socket and the thread queue"), run as it is written there, in a `ut` of
-- its own: it counts the DNS queries sent to it from the peer without a
-- loss, answers on .__scli meanwhile, and ends on the exit message.
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
local np = dofile(here .. "netpair.lua")
local util = np.util
local sys = require "c.sys"
local cjson = require "cjson"
local sock = require "socket.core"

local function documented_loop()
    local doc = util.read_file(here .. "../../../docs/script-api.md")
    local section = doc:match("\n### One wait for capture[^\n]*\n(.-)\n### ")
    return assert(section and section:match("```lua\n(.-)```"), "the loop in the docs")
end

local function wait_for(what, fn)
    local deadline = os.time() + np.WAIT
    while true do
        local v = fn()
        if v then return v end
        if os.time() > deadline then error("timed out waiting for " .. what, 2) end
        sock.sleep(0.01)
    end
end

local function status(dir)
    local reply = sys.lcmd_client(dir, "sys", "status")
    return reply and cjson.decode(reply)
end

test("the documented loop counts every query, answers on .__scli and ends on exit", function()
    local dir = util.temp_dir()
    util.write_file(dir .. "/loop.lua", documented_loop() .. string.format("\nlcmd_boot(%q)\nlcmd_loop()\n", dir))
    local p = assert(io.popen(string.format("'%s/ut' '%s/loop.lua' 2>&1", rootpath, dir)))
    local first = wait_for("the loop's status", function() return status(dir) end)
    eq(first.queries, 0, "nothing counted yet")
    -- 300 queries from the peer to pka's address, in bursts, and other UDP.
    local sender = string.format([[python3 -c 'import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for i in range(300):
    s.sendto(b"\0\1\1\0\0\1\0\0\0\0\0\0\3kvx\0\0\1\0\1", ("%s", 53))
    s.sendto(b"not dns", ("%s", 5353))
    if i %% 50 == 49: time.sleep(0.01)']], np.links.pka.ip, np.links.pka.ip)
    assert(os.execute(np.in_peer(sender)))
    local last = wait_for("300 queries", function()
        local s = status(dir)
        return s and s.queries >= 300 and s
    end)
    eq(last.queries, 300, "every query once")
    eq(last.captured, 300, "what the capture took")
    eq(last.lost, 0, "none lost")
    eq(sys.lcmd_client(dir, "sys", "exit"), '{"code":0}', "exit answered")
    local out = p:read("a")
    p:close()
    eq(out:find("capture failed", 1, true), nil, "no capture failure in\n" .. out)
    eq(lfs.attributes(dir .. "/.__scli"), nil, "the loop removed its socket")
    util.remove_tree(dir)
end)
