-- A bundle for korvex-dpi-inner, made by `korvex-bundle new`.
-- docs/bundle-guide.md describes every entry function below; the modules in
-- korvex/ are the shared listener, log and test runner (pack them with this
-- file: see README.md).

local log = require "korvex.log"
local listener = require "korvex.listener"
local testrun = require "korvex.testrun"

log.name = "bundle"
local tmppath

---------------------------------------------------------------------------
-- Commands: `CLI_client hello greet '{"name":"you"}'`.

listener.command("hello", "greet", "greet someone: name (default \"world\")", function(msg)
    local greeting = listener.config.greeting or "hello"
    local name = type(msg.name) == "string" and msg.name or "world"
    return listener.ok({ text = greeting .. ", " .. name })
end)

-- Delivers an upgrade that is already in place as <tmp>/ttupgrade.tgz:
-- code 131 (default) a new init.bin, 130 a plugin package, 132 none.
listener.command("sys", "upgrade", "install <tmp>/ttupgrade.tgz: code 131 (a new init.bin, default), 130 or 132",
    function(msg) return listener.upgrade(tmppath, msg.code) end)

---------------------------------------------------------------------------
-- Entry functions.

function lcmd_boot(tmp)
    tmppath = tmp
end

function lcmd_init(config_path, ...)
    local err = listener.init(config_path, ...)
    if err then return err end
    log.info("started from %s", rootpath)
end

function lcmd_runmsg(text)
    return listener.runmsg(text)
end

function lcmd_loop()
    listener.serve(tmppath .. "/.__scli")
end

function lcmd_errhandle(err)
    return debug.traceback(tostring(err), 2)
end

function lcmd_unittest(...)
    return testrun.main(...)
end
