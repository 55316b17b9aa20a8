-- korvex.listener's one wait: the control socket and watched objects.
local listener = require "korvex.listener"
local socket = require "socket.core"

local function tmpdir()
    local d = os.tmpname()
    os.remove(d)
    assert(lfs.mkdir(d))
    return d
end

test("serve calls a watched object's function from the same wait, and stops watching on nil", function()
    local dir = tmpdir()
    local u = assert(socket.udp())
    assert(u:setsockname("127.0.0.1", 0))
    u:settimeout(0)
    local ip, port = u:getsockname()
    local other = assert(socket.udp())
    assert(other:setsockname("127.0.0.1", 0))
    other:settimeout(0)
    local oip, oport = other:getsockname()
    local sender = assert(socket.udp())
    assert(sender:sendto("ping", ip, port))
    assert(sender:sendto("not for the loop", oip, oport))
    listener.watch(other, function() error("an object no longer watched was read") end)
    listener.watch(other, nil)
    local got, rounds = {}, 0
    listener.watch(u, function(obj)
        got[#got + 1] = obj:receive()
        listener.watch(u, nil)
        listener.stop()
    end)
    local saved = listener.idle_interval
    -- Without the watch the loop would only wake after an hour, and never stop.
    listener.idle_interval = 3600
    listener.serve(dir .. "/.__scli", function() rounds = rounds + 1 end)
    listener.idle_interval = saved
    eq(table.concat(got, ","), "ping")
    eq(rounds, 1, "one round: the datagram woke the wait")
    eq(other:receive(), "not for the loop", "left unread")
    eq(lfs.attributes(dir .. "/.__scli"), nil, "socket removed")
    u:close() other:close() sender:close()
    lfs.rmdir(dir)
end)
