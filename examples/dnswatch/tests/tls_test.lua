-- The ClientHello server name.
local tls = require "dnswatch.tls"

test("the server name of a ClientHello, in lower case", function()
    eq(tls.sni(tls.client_hello("Collector.Example.NET")), "collector.example.net")
end)

test("records that are no ClientHello, or hold none, give nil and why", function()
    local hello = tls.client_hello("a.example")
    local cases = {
        { "", "short" },
        { "\23" .. hello:sub(2), "not a handshake record" },
        { hello:sub(1, 5) .. "\2" .. hello:sub(7), "not a ClientHello" },
        { hello:sub(1, 46), "truncated" },
        { hello:sub(1, #hello - 3), "truncated" },
    }
    for i, c in ipairs(cases) do
        local name, why = tls.sni(c[1])
        eq(name, nil, "case " .. i)
        eq(why, c[2], "case " .. i)
    end
    local bad, why = tls.sni(tls.client_hello("a b"))
    eq(bad, nil)
    eq(why, "bad name")
end)

test("random bytes never raise", function()
    math.randomseed(443)
    local hello = tls.client_hello("random.example")
    for _ = 1, 3000 do
        local bytes = {}
        for i = 1, #hello do
            bytes[i] = math.random() < 0.08 and string.char(math.random(0, 255)) or hello:sub(i, i)
        end
        local okcall, err = pcall(tls.sni, table.concat(bytes):sub(1, math.random(0, #hello + 4)))
        assert(okcall, err)
    end
end)
