-- The editor stubs in sdk/meta/ against the modules this engine registers:
-- the same functions, each with a description and every parameter typed.
local here = debug.getinfo(1, "S").source:match("^@(.*)/[^/]*$")
local META = here .. "/../../sdk/meta"

local function native_modules()
    local names = {}
    for name, mod in pairs(package.loaded) do
        if type(mod) == "table" and (name:match("^c%.") or name == "pcap" or name == "pb" or name:match("^pb%.")) then
            names[#names + 1] = name
        end
    end
    table.sort(names)
    return names
end

local function stub_path(name) return META .. "/" .. name:gsub("%.", "/") .. ".lua" end

local function read(path)
    local f = io.open(path, "r")
    if not f then return nil end
    local text = f:read("a")
    f:close()
    return text
end

-- Runs a stub file apart from this engine's globals; its result and the
-- globals it set.
local function load_stub(path)
    local env = setmetatable({}, { __index = _G })
    local chunk = assert(loadfile(path, "t", env))
    return chunk(), env
end

local function function_names(t)
    local names = {}
    for k, v in pairs(t) do
        if type(v) == "function" then names[#names + 1] = k end
    end
    table.sort(names)
    return table.concat(names, " ")
end

test("every native module has a stub with exactly its functions", function()
    local modules = native_modules()
    eq(#modules >= 14, true, "modules found: " .. #modules)
    for _, name in ipairs(modules) do
        local path = stub_path(name)
        eq(read(path) ~= nil, true, "a stub for " .. name .. " at " .. path)
        local stub = load_stub(path)
        eq(type(stub), "table", name .. " stub returns its table")
        eq(function_names(stub), function_names(package.loaded[name]), name .. " functions")
    end
end)

test("every stub names a module that exists", function()
    local known = {}
    for _, name in ipairs(native_modules()) do known[stub_path(name)] = true end
    local function walk(dir)
        for entry in lfs.dir(dir) do
            local path = dir .. "/" .. entry
            if entry ~= "." and entry ~= ".." then
                if lfs.attributes(path, "mode") == "directory" then
                    walk(path)
                elseif entry ~= "globals.lua" then
                    eq(known[path], true, "module for stub " .. path)
                end
            end
        end
    end
    walk(META)
end)

test("the globals stub has CENUM as the engine defines it", function()
    local _, env = load_stub(META .. "/globals.lua")
    local stubbed, real = {}, {}
    for k, v in pairs(env.CENUM) do stubbed[#stubbed + 1] = k .. "=" .. v end
    for k, v in pairs(CENUM) do real[#real + 1] = k .. "=" .. v end
    table.sort(stubbed)
    table.sort(real)
    eq(table.concat(stubbed, " "), table.concat(real, " "), "CENUM")
    for _, fn in ipairs({ "lcmd_boot", "lcmd_init", "lcmd_runmsg", "lcmd_loop", "lcmd_errhandle", "lcmd_unittest" }) do
        eq(type(env[fn]), "function", "entry function " .. fn)
    end
end)

test("every stubbed function has a description and a type for each parameter", function()
    local files = { META .. "/globals.lua" }
    for _, name in ipairs(native_modules()) do files[#files + 1] = stub_path(name) end
    for _, path in ipairs(files) do
        local block = {}
        for line in read(path):gmatch("[^\n]*") do
            if line:match("^%-%-%-") then
                block[#block + 1] = line
            else
                local fname, params = line:match("^function ([%w_.:]+)%((.-)%)")
                if fname then
                    local described = false
                    local typed = {}
                    for _, l in ipairs(block) do
                        if not l:match("^%-%-%-@") and l:match("^%-%-%-%s*%S") then described = true end
                        local p = l:match("^%-%-%-@param ([%w_.]+)")
                        if p then typed[p] = true end
                    end
                    eq(described, true, path .. ": a description of " .. fname)
                    for p in params:gmatch("[%w_.]+") do
                        eq(typed[p], true, path .. ": a type for " .. fname .. "'s " .. p)
                    end
                end
                block = {}
            end
        end
    end
end)
