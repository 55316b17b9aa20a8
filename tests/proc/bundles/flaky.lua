-- A bundle whose listener follows a schedule read from "schedule" beside it:
-- one letter per request, "a" answers, "d" drops the connection without an
-- answer, "s" stops serving for good, "h" hangs for good with the listener
-- and that connection still open (connections are then accepted by the
-- system but never answered); past the end it answers.
local unix = require "socket.unix"
local cjson = require "cjson"

local tmp
local schedule = ""
local exiting = false

function lcmd_boot(tmppath) tmp = tmppath end

function lcmd_init(config)
    local f = io.open(rootpath .. "/schedule")
    if f then schedule = f:read("a"):gsub("%s", ""); f:close() end
end

function lcmd_runmsg(text)
    local msg = cjson.decode(text)
    if msg.action == "exit" then exiting = true end
    return '{"code":0}'
end

function lcmd_errhandle(err) return tostring(err) end

function lcmd_loop()
    local path = tmp .. "/.__scli"
    os.remove(path)
    local server = assert(unix.stream())
    assert(server:bind(path))
    assert(server:listen(8))
    server:settimeout(0.05)
    local n = 0
    while not exiting do
        local client = server:accept()
        if client then
            n = n + 1
            local what = schedule:sub(n, n)
            if what == "s" then
                client:close()
                server:close()
                os.remove(path)
                while true do require("socket.core").sleep(1) end
            end
            if what == "h" then
                print("hanging")
                while client do require("socket.core").sleep(1) end
            end
            client:settimeout(2)
            local head = client:receive(4)
            local len = head and string.unpack("=I4", head)
            local text = len and (len > 0 and client:receive(len) or "")
            if text and what ~= "d" then
                local reply = lcmd_runmsg(text)
                client:send(string.pack("=I4", #reply) .. reply)
            end
            client:close()
        end
    end
    server:close()
end
