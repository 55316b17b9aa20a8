-- The DNS parser: names with compression, A, AAAA, CNAME chains, and
-- hostile messages that must end in nil and a reason, never an error.
local dns = require "dnswatch.dns"
local T = dns.TYPE

local function answer(qname, answers, compress)
    return dns.build({ id = 7, response = true, questions = { { name = qname, type = T.A } }, answers = answers },
        compress)
end

test("a query gives its question and no answers", function()
    local m = assert(dns.parse(dns.build({ id = 513, questions = { { name = "WWW.Example.ORG", type = T.AAAA } } })))
    eq(m.id, 513)
    eq(m.response, false)
    eq(#m.questions, 1)
    eq(m.questions[1].name, "www.example.org", "names come in lower case")
    eq(m.questions[1].type, T.AAAA)
    eq(#m.answers, 0)
end)

test("an answer gives its A records, with compressed owner names", function()
    local msg = answer("a.example", { { name = "a.example", type = T.A, ttl = 30, data = "192.0.2.1" },
                                      { name = "a.example", type = T.A, ttl = 31, data = "192.0.2.200" } }, true)
    assert(msg:find("\xC0\x0C", 1, true), "the owner names are pointers")
    local m = assert(dns.parse(msg))
    eq(m.response, true)
    eq(#m.answers, 2)
    eq(m.answers[1].name, "a.example")
    eq(m.answers[2].data, "192.0.2.200")
    eq(m.answers[2].ttl, 31)
    local r = dns.resolve(m)
    eq(#r.addresses, 2)
    eq(r.addresses[1].address, "192.0.2.1")
end)

test("AAAA records give RFC 5952 text", function()
    local cases = {
        { "\32\1\13\184" .. string.rep("\0", 11) .. "\1", "2001:db8::1" },
        { string.rep("\0", 16), "::" },
        { "\0\1\0\0\0\1\0\0\0\0\0\0\0\0\0\1", "1:0:1::1" },
        { "\32\1\0\0\0\0\0\1\0\0\0\0\0\1\0\2", "2001::1:0:0:1:2" },
    }
    for _, c in ipairs(cases) do
        local m = assert(dns.parse(answer("v6.example", { { name = "v6.example", type = T.AAAA, raw = c[1] } })))
        eq(m.answers[1].data, c[2])
    end
end)

test("a CNAME chain leads from the question to the addresses of its last name", function()
    local m = assert(dns.parse(answer("www.shop.example", {
        { name = "www.shop.example", type = T.CNAME, data = "shop.cdn.example" },
        { name = "shop.cdn.example", type = T.CNAME, data = "edge7.tracker.example" },
        { name = "edge7.tracker.example", type = T.A, data = "198.51.100.7" },
        { name = "unrelated.example", type = T.A, data = "198.51.100.99" },
    })))
    local r = dns.resolve(m)
    eq(table.concat(r.names, " "), "www.shop.example shop.cdn.example edge7.tracker.example")
    eq(#r.addresses, 1, "only the chain's addresses")
    eq(r.addresses[1].address, "198.51.100.7")
end)

test("a CNAME loop ends the chain", function()
    local m = assert(dns.parse(answer("a.example", {
        { name = "a.example", type = T.CNAME, data = "b.example" },
        { name = "b.example", type = T.CNAME, data = "a.example" },
    })))
    eq(#dns.resolve(m).names, 2)
end)

test("hostile messages give nil and a reason", function()
    local good = answer("x.example", { { name = "x.example", type = T.A, data = "192.0.2.9" } })
    local header = string.pack(">I2I2I2I2I2I2", 1, 0x8180, 1, 1, 0, 0)
    local cases = {
        { "", "short header" },
        { good:sub(1, 11), "short header" },
        { header .. "\5abc", "label past the end" },
        { header .. "\xC0\x0C\0\1\0\1", "forward pointer" },           -- points at itself
        { header .. "\1a\xC0\x0C", "compression loop" },               -- back to its own start
        { header .. "\x80abc", "bad label type" },
        { header .. string.rep("\63" .. string.rep("a", 63), 5) .. "\0\0\1\0\1", "name too long" },
        { string.pack(">I2I2I2I2I2I2", 1, 0x8180, 1000, 0, 0, 0), "too many records" },
        { good:sub(1, #good - 2), "record data past the end" },
        { good:sub(1, #good - 8), "record past the end" },
    }
    for i, c in ipairs(cases) do
        local m, why = dns.parse(c[1])
        eq(m, nil, "case " .. i)
        eq(why, c[2], "case " .. i)
    end
end)

test("a pointer chain back through earlier names is followed, a long one is refused", function()
    -- Names at 13, each a label and a pointer to the one before.
    local body, at = "\1a\0", { 12 }
    for i = 2, 20 do
        at[i] = 12 + #body
        body = body .. "\1a" .. string.pack(">I2", 0xC000 | at[i - 1])
    end
    local header = string.pack(">I2I2I2I2I2I2", 1, 0x0100, 0, 0, 0, 0)
    local msg = header .. body
    local name = dns.read_name(msg, at[10] + 1)
    eq(name, string.rep("a", 10, "."), "ten names deep")
    local none, why = dns.read_name(msg, at[20] + 1)
    eq(none, nil)
    eq(why, "compression loop")
end)

test("random bytes never raise", function()
    math.randomseed(23)
    local good = answer("x.example", { { name = "x.example", type = T.CNAME, data = "y.example" },
                                       { name = "y.example", type = T.A, data = "192.0.2.9" } }, true)
    for _ = 1, 3000 do
        local bytes = {}
        for i = 1, #good do
            bytes[i] = math.random() < 0.1 and string.char(math.random(0, 255)) or good:sub(i, i)
        end
        local text = table.concat(bytes):sub(1, math.random(0, #good + 4))
        local okcall, m = pcall(dns.parse, text)
        assert(okcall, m)
        if m then assert(pcall(dns.resolve, m)) end
    end
end)
