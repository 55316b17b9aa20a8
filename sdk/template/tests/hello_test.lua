-- Run with `./ut tests/hello_test.lua` (see README.md).
local cjson = require "cjson"
local listener = require "korvex.listener"

local function call(msg)
    local reply, err = listener.dispatch(cjson.encode(msg))
    return reply and cjson.decode(reply), err
end

test("greet answers with the name it is given", function()
    eq(call({ subtype = "hello", action = "greet", name = "you" }).text, "hello, you")
end)

test("greet without a name greets the world", function()
    eq(call({ subtype = "hello", action = "greet" }).text, "hello, world")
end)

test("help lists the example command", function()
    local all = call({ action = "help" })
    eq(all.hello[1], "greet", "first hello action")
end)

test("an unknown command is answered with an error", function()
    local reply, err = call({ subtype = "hello", action = "nothing" })
    eq(reply, nil)
    eq(err, "unknown command hello nothing")
end)
