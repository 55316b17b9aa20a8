-- c.regex: the first group of a POSIX extended regular expression.
local re = require "c.regex"

local function has(text, part)
    return text:find(part, 1, true) ~= nil
end

-- Runs `call` (a Lua expression) in a fresh engine; returns what it printed
-- and the engine's log lines.
local function run_logged(call)
    return ut_run("print('result', " .. call .. ")\n")
end

test("match gives the text of the first group", function()
    eq(re.match("ver=12", "ver=([0-9]+)"), "12")
    eq(re.match("ab", "(a)(b)"), "a", "first of two groups")
    eq(re.match("key: value", "^([a-z]+): "), "key", "anchored")
    eq(re.match("x-yyy-z", "-(y+|q)-"), "yyy", "alternation")
    eq(re.match("id 2024-05", "([[:digit:]]{4})-"), "2024", "classes and intervals")
    eq(re.match("((nested))", "\\(\\((n[a-z]+)\\)"), "nested", "escaped parentheses")
end)

test("match takes numbers as strings", function()
    eq(re.match(12345, "2(3)4"), "3", "number subject")
    eq(re.match("a7b", 7), nil, "number pattern without a group")
end)

test("match gives nil when the group is empty or did not take part", function()
    eq(nvals(re.match("ac", "a(b*)c")), 1, "one value")
    eq(re.match("ac", "a(b*)c"), nil, "empty group")
    eq(re.match("y", "(x)?y"), nil, "group not in the match")
end)

test("match gives nil without a log line when nothing matches", function()
    eq(re.match("ver=x", "ver=([0-9]+)"), nil)
    local out = run_logged([[require("c.regex").match("ver=x", "ver=([0-9]+)")]])
    eq(has(out, "result\tnil\n"), true, out)
    eq(has(out, "lregex_match"), false, "no log line: " .. out)
end)

test("a pattern without a group gives nil and logs re_nsub is 0", function()
    eq(re.match("ver=12", "ver=[0-9]+"), nil)
    local out = run_logged([[require("c.regex").match("ver=12", "ver=[0-9]+")]])
    eq(has(out, "result\tnil\n"), true, out)
    eq(has(out, "[error][lregex_match]: regcomp (ver=[0-9]+) failed: re_nsub is 0\n"), true, out)
end)

test("a pattern that does not compile gives nil and logs the library's reason", function()
    for _, pattern in ipairs({ "a(", "([0-9]+", "x{2,1}(y)", "[z-a](b)" }) do
        eq(re.match("a(", pattern), nil, pattern)
        local out = run_logged(string.format("require('c.regex').match('a(', %q)", pattern))
        eq(has(out, "result\tnil\n"), true, out)
        local reason = out:match("%[error%]%[lregex_match%]: regcomp %(" .. pattern:gsub("%p", "%%%0")
            .. "%) failed: ([^\n]*)\n")
        eq(reason ~= nil and #reason > 0 and #reason <= 255, true, "reason for " .. pattern .. ": " .. out)
    end
end)

test("match gives no value unless it has exactly two arguments", function()
    eq(nvals(re.match()), 0, "none")
    eq(nvals(re.match("ver=12")), 0, "one")
    eq(nvals(re.match("ver=12", "ver=([0-9]+)", "x")), 0, "three")
    eq(nvals(re.match({}, {}, {})), 0, "three of any type")
end)

test("match raises the argument error for arguments that are not strings", function()
    eq(has(raises(re.match, {}, "(a)"), "bad argument #1"), true, "table subject")
    eq(has(raises(re.match, nil, "(a)"), "bad argument #1"), true, "nil subject")
    eq(has(raises(re.match, "a", true), "bad argument #2"), true, "boolean pattern")
    eq(has(raises(re.match, "a", nil), "bad argument #2"), true, "nil pattern")
end)

test("matching stops at a zero byte in the subject", function()
    eq(re.match("ab\0cd", "(c)"), nil, "after the zero byte")
    eq(re.match("ab\0cd", "(b)"), "b", "before it")
end)

test("many failing patterns in a row leave nothing behind", function()
    -- Run under the sanitizer build, a leaked compiled expression shows up.
    for i = 1, 200 do
        re.match("x", "(")
        re.match("x", "x")
        re.match("x" .. i, "(x)([0-9]+)")
    end
    eq(re.match("x200", "x([0-9]+)"), "200")
end)

test("hostile patterns end with their documented result", function()
    -- Each took a C library seconds to minutes and hundreds of megabytes.
    local subject = string.rep("a", 400)
    eq(re.match(subject, "(a*)*\\1$"), nil, "back-reference refused")
    eq(re.match("aaa", "(a{1000}){1000}"), nil, "count above 255 refused")
    eq(re.match("aaa", "(a{255}){255}"), nil, "too large once expanded")
    eq(re.match(string.rep("a", 4000), string.rep("a?", 4000) .. string.rep("a", 4000)), nil,
        "4000 optional then 4000 plain: too large")
    -- What the limits allow, against a long subject, still matches.
    local long = string.rep("a", 200000)
    eq(re.match(long, "(a*)*b"), nil, "nested stars, no match")
    eq(#re.match(long .. "x", "(.*)*x"), 200000, "nested stars, a match")
    eq(#re.match(long, string.rep("a?", 1000) .. "(" .. string.rep("a", 1000) .. ")"), 1000,
        "largest optional run")
end)

test("refused constructs log their reason", function()
    local cases = {
        { "(a)\\1", "back-references are not supported" },
        { "(\\d+)", "unknown escape \\d" },
        { "(a{256})", "repetition count above 255" },
        { "(a{255}){255}", "pattern too large" },
        { string.rep("(", 65) .. "a" .. string.rep(")", 65), "parentheses nested deeper than 64" },
    }
    for _, c in ipairs(cases) do
        local out = run_logged(string.format("require('c.regex').match('aaa', %q)", c[1]))
        eq(has(out, "result\tnil\n"), true, out)
        eq(has(out, "[error][lregex_match]: regcomp (" .. c[1] .. ") failed: " .. c[2]), true, c[1] .. ": " .. out)
    end
end)

test("a match is the leftmost, then the longest", function()
    eq(re.match("xyz weeknights", "(wee|week)(knights|night)"), "wee", "longest overall, earlier alternative")
    eq(re.match("abab", "(a|b){2,3}"), "a", "last iteration of a repeated group")
    eq(re.match("cab ab", "\\b(ab)"), "ab", "word boundary")
    eq(re.match("k: \t v", "(\\s+)"), " \t ", "\\s")
    eq(re.match("\128\255x", "([\128-\255]+)"), "\128\255", "bytes above 127")
end)
