-- The packet path end to end over recorded traffic: capture files made
-- here, replayed with korvex.replay through the same drain the live
-- capture uses.
local pcap = require "pcap"
local replay = require "korvex.replay"
local dns = require "dnswatch.dns"
local tls = require "dnswatch.tls"
local packet = require "dnswatch.packet"
local watch_mod = require "dnswatch.watch"
local policy_mod = require "dnswatch.policy"
local stats_mod = require "dnswatch.stats"
local T = dns.TYPE

local CLIENT, SERVER = "192.168.1.20", "203.0.113.53"

local function record(frames)
    local path = os.tmpname()
    local dead = assert(pcap.open_dead(1, 65535))
    local d = assert(dead:dump_open(path))
    for i, f in ipairs(frames) do d:dump(f, 1700000000 + i / 1000) end
    d:close()
    dead:close()
    return path
end

local function query(name, id)
    return packet.frame("udp", CLIENT, SERVER, 40000 + id, 53,
        dns.build({ id = id, questions = { { name = name, type = T.A } } }))
end

local function reply(name, id, answers)
    return packet.frame("udp", SERVER, CLIENT, 53, 40000 + id,
        dns.build({ id = id, response = true, questions = { { name = name, type = T.A } }, answers = answers }, true))
end

local function fixture()
    local added, reports = {}, {}
    local w = watch_mod.new({
        policy = policy_mod.new({ ttl = 60 }), stats = stats_mod.new(),
        blocker = { add = function(_, list) for _, a in ipairs(list) do added[#added + 1] = a end return true end,
                    del = function() return true end },
        reporter = { push = function(_, r) reports[#reports + 1] = r end },
    })
    return w, added, reports
end

local function replay_all(w, path)
    local h = assert(replay.open(path, "fast"))
    local total = 0
    while true do
        local n, ended = w:drain(h, math.tointeger(h:datalink()), 4)
        total = total + n
        if ended then
            eq(ended, "closed")
            break
        end
    end
    h:close()
    os.remove(path)
    return total
end

test("a blocked name's answer puts its addresses (through CNAMEs) into the set; others do not", function()
    local w, added, reports = fixture()
    w.policy:block("tracker.example")
    local path = record({
        query("www.news.example", 1),
        reply("www.news.example", 1, { { name = "www.news.example", type = T.A, data = "198.51.100.10" } }),
        query("cdn.tracker.example", 2),
        reply("cdn.tracker.example", 2, { { name = "cdn.tracker.example", type = T.A, data = "198.51.100.66" },
                                          { name = "cdn.tracker.example", type = T.A, data = "198.51.100.67" } }),
        query("www.shop.example", 3),
        reply("www.shop.example", 3, { { name = "www.shop.example", type = T.CNAME, data = "x.tracker.example" },
                                       { name = "x.tracker.example", type = T.A, data = "198.51.100.68" } }),
    })
    eq(replay_all(w, path), 6)
    eq(table.concat(added, ","), "198.51.100.66,198.51.100.67,198.51.100.68")
    eq(w.counts.dns_queries, 3)
    eq(w.counts.dns_answers, 3)
    eq(w.counts.blocked_answers, 2)
    eq(w.policy.addresses["198.51.100.68"].name, "tracker.example")
    local c = w.stats:client(CLIENT)
    eq(c.queries, 3)
    eq(#reports, 3)
    eq(reports[2].name, "cdn.tracker.example")
    eq(reports[2].blocked, true)
    eq(reports[1].blocked, false)
    eq(reports[1].client, CLIENT)
end)

test("a ClientHello is reported by name; a blocked one puts its server into the set", function()
    local w, added, reports = fixture()
    w.policy:block("blocked.example")
    local path = record({
        packet.frame("tcp", CLIENT, "198.51.100.80", 50000, 443, tls.client_hello("ok.example")),
        packet.frame("tcp", CLIENT, "198.51.100.81", 50001, 443, tls.client_hello("www.blocked.example")),
        packet.frame("tcp", CLIENT, "198.51.100.82", 50002, 443, "GET / HTTP/1.1\r\n\r\n"),
    })
    eq(replay_all(w, path), 3)
    eq(table.concat(added, ","), "198.51.100.81")
    eq(w.counts.sni, 2)
    eq(reports[1].name, "ok.example")
    eq(reports[2].blocked, true)
end)

test("hostile and foreign frames are counted and change nothing", function()
    local w, added = fixture()
    w.policy:block("a.example")
    local good = reply("a.example", 9, { { name = "a.example", type = T.A, data = "198.51.100.1" } })
    local frames = {
        "", "\1\2\3", good:sub(1, 20), good:sub(1, 40),                      -- short frames
        good:sub(1, 12) .. "\8\6" .. good:sub(15),                             -- ARP
        packet.frame("udp", SERVER, CLIENT, 53, 1, "\0\1\0\0\0\1\0\0\0\0\0\0\xC0\x0C\0\1\0\1"),  -- pointer loop
    }
    math.randomseed(5)
    for _ = 1, 300 do
        local b = {}
        for i = 1, #good do b[i] = math.random() < 0.05 and string.char(math.random(0, 255)) or good:sub(i, i) end
        frames[#frames + 1] = table.concat(b)
    end
    eq(replay_all(w, record(frames)), #frames)
    eq(w.counts.packets, #frames)
    assert(w.counts.bad_packets >= 6, "counted: " .. w.counts.bad_packets)
    for _, a in ipairs(added) do assert(a:match("^%d+%.%d+%.%d+%.%d+$"), a) end
end)
