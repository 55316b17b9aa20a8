-- c.crypto: AES, digests, HMAC, HKDF, zlib and gzip.
local c = require "c.crypto"

local HERE = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"

local function hex(s)
    return (s:gsub(".", function(ch) return string.format("%02x", ch:byte()) end))
end

local function unhex(h)
    return (h:gsub("%x%x", function(b) return string.char(tonumber(b, 16)) end))
end

-- Deterministic pseudo-random bytes.
local function bytes(n, seed)
    math.randomseed(seed)
    local t = {}
    for i = 1, n do t[i] = string.char(math.random(0, 255)) end
    return table.concat(t)
end

local function xor(a, b)
    local t = {}
    for i = 1, #a do t[i] = string.char(a:byte(i) ~ b:byte(i)) end
    return table.concat(t)
end

-- Results of independent implementations (crypto_ref.py) for a list of
-- requests { op, arg... }.
local function ref(requests)
    local path = os.tmpname()
    local f = assert(io.open(path, "w"))
    for _, r in ipairs(requests) do
        local words = { r[1] }
        for i = 2, #r do words[#words + 1] = "x" .. hex(tostring(r[i])) end
        f:write(table.concat(words, " "), "\n")
    end
    f:close()
    local p = assert(io.popen(string.format("python3 '%scrypto_ref.py' '%s'", HERE, path)))
    local out = {}
    for line in p:lines() do out[#out + 1] = unhex(line) end
    local ok = p:close()
    os.remove(path)
    assert(ok and #out == #requests, "the reference helper failed")
    return out
end

-- What a snippet prints in a fresh engine: its output and the engine's log
-- lines, without their time stamps and the test runner's summary line.
local function run_logged(code)
    local out = ut_run('local c = require "c.crypto"\n' .. code)
    out = out:gsub("%[%d+%-%d+%-%d+ %d+:%d+:%d+%]", "")
    return (out:gsub("0 passed, 0 failed\n$", ""))
end

local KEY = unhex("000102030405060708090a0b0c0d0e0f")
local CBC_IV = "20160822EEEEEEEE"

---------------------------------------------------------------------------
-- Argument rules

test("wrong argument counts and types log wrong format under the operation's name", function()
    local cases = {
        { "c.encrypt()", "lcrypto_encrypt" }, { "c.encrypt('x')", "lcrypto_encrypt" },
        { "c.encrypt({}, 'k')", "lcrypto_encrypt" }, { "c.encrypt('x', nil)", "lcrypto_encrypt" },
        { "c.encrypt(true, 'k', 'ecb')", "lcrypto_encrypt" },
        { "c.decrypt()", "lcrypto_decrypt" }, { "c.decrypt(('x'):rep(16))", "lcrypto_decrypt" },
        { "c.decrypt(('x'):rep(16), {})", "lcrypto_decrypt" },
        { "c.gcm_encrypt('d', 'k', 'iv')", "gcm_crypt" }, { "c.gcm_encrypt('d', 'k', 'iv', '', '')", "gcm_crypt" },
        { "c.gcm_encrypt('d', 'k', 'iv', nil)", "gcm_crypt" }, { "c.gcm_decrypt({}, 'k', 'iv', '')", "gcm_crypt" },
        { "c.gcm_decrypt('d', 'k', false, '')", "gcm_crypt" },
        { "c.md5()", "lcrypto_md5" }, { "c.md5('a', 'b')", "lcrypto_md5" }, { "c.md5({})", "lcrypto_md5" },
        { "c.md5sum()", "lcrypto_md5sum" }, { "c.md5sum('/', '/')", "lcrypto_md5sum" },
        { "c.md5sum(nil)", "lcrypto_md5sum" },
        { "c.sha1()", "lcrypto_sha1" }, { "c.sha1('a', 'b')", "lcrypto_sha1" }, { "c.sha1(print)", "lcrypto_sha1" },
        { "c.hmac('SHA1', 'm')", "lcrypto_hmac" }, { "c.hmac('SHA1', 'm', 'k', 'x')", "lcrypto_hmac" },
        { "c.hmac('SHA1', {}, 'k')", "lcrypto_hmac" },
        { "c.hkdf_extract('SHA1', 's')", "lcrypto_hkdf_extract" },
        { "c.hkdf_extract('SHA1', 's', 'i', 'x')", "lcrypto_hkdf_extract" },
        { "c.hkdf_extract(nil, 's', 'i')", "lcrypto_hkdf_extract" },
        { "c.hkdf_expand('SHA1', 'p', 'i')", "lcrypto_hkdf_expand" },
        { "c.hkdf_expand('SHA1', 'p', 'i', 16, 1)", "lcrypto_hkdf_expand" },
        { "c.hkdf_expand('SHA1', 'p', 'i', 16.0)", "lcrypto_hkdf_expand" },
        { "c.hkdf_expand('SHA1', 'p', 'i', '16')", "lcrypto_hkdf_expand" },
        { "c.hkdf_expand('SHA1', {}, 'i', 16)", "lcrypto_hkdf_expand" },
        { "c.hkdf('SHA1', 's', 'k', 'i')", "lcrypto_hkdf" }, { "c.hkdf('SHA1', 's', 'k', 'i', 16, 1)", "lcrypto_hkdf" },
        { "c.hkdf('SHA1', 's', 'k', 'i', 16.0)", "lcrypto_hkdf" },
        { "c.hkdf('SHA1', 's', {}, 'i', 16)", "lcrypto_hkdf" },
        { "c.zip('x')", "lcrypto_zip" }, { "c.zip('x', 10, 1)", "lcrypto_zip" }, { "c.zip('x', 16.0)", "lcrypto_zip" },
        { "c.zip('x', '16')", "lcrypto_zip" }, { "c.zip({}, 16)", "lcrypto_zip" },
        { "c.unzip('x')", "lcrypto_unzip" }, { "c.unzip('x', 10, 1)", "lcrypto_unzip" },
        { "c.unzip('x', 1.0)", "lcrypto_unzip" }, { "c.unzip({}, 10)", "lcrypto_unzip" },
        { "c.gunzip()", "lcrypto_gunzip" }, { "c.gunzip('x', 10, 1)", "lcrypto_gunzip" },
        { "c.gunzip('x', 1.0)", "lcrypto_gunzip" }, { "c.gunzip('x', nil)", "lcrypto_gunzip" },
        { "c.gunzip({})", "lcrypto_gunzip" },
    }
    local code, expected = {}, {}
    for _, case in ipairs(cases) do
        code[#code + 1] = string.format("print(%q, select('#', %s))", case[1], case[1])
        expected[#expected + 1] = string.format("[error][%s]: wrong format\n%s\t0\n", case[2], case[1])
    end
    eq(run_logged(table.concat(code, "\n")), table.concat(expected))
end)

test("numbers are taken in their string form", function()
    eq(c.md5(123), c.md5("123"))
    eq(c.sha1(1.5), c.sha1("1.5"))
    eq(c.encrypt(12345, 67890), c.encrypt("12345", "67890"))
    eq(c.hmac("SHA256", 1, 2), c.hmac("SHA256", "1", "2"))
end)

---------------------------------------------------------------------------
-- AES-128 ECB and CBC

test("ECB encrypts the FIPS-197 example block", function()
    local plain = unhex("00112233445566778899aabbccddeeff")
    eq(hex(c.encrypt(plain, KEY)), "69c4e0d86a7b0430d8cdb78070b4c55a")
    eq(c.encrypt(plain, KEY, "ecb"), c.encrypt(plain, KEY))
    eq(c.decrypt(unhex("69c4e0d86a7b0430d8cdb78070b4c55a"), KEY), plain)
    -- Blocks are independent: the same block twice gives the same ciphertext twice.
    eq(hex(c.encrypt(plain .. plain, KEY)), ("69c4e0d86a7b0430d8cdb78070b4c55a"):rep(2))
end)

test("ciphertext lengths and zero padding", function()
    eq(c.encrypt("", KEY), "")
    eq(c.encrypt("", KEY, "cbc"), "")
    eq(#c.encrypt(("a"):rep(16), KEY), 16)
    local p17 = bytes(17, 1)
    local ct = c.encrypt(p17, KEY)
    eq(#ct, 32)
    eq(ct:sub(17), c.encrypt(p17:sub(17) .. ("\0"):rep(15), KEY), "last block is byte 17 and 15 zeros")
    for _, mode in ipairs({ "ecb", "cbc" }) do
        for _, n in ipairs({ 1, 15, 16, 17, 31, 32, 33, 100 }) do
            local p = bytes(n, n)
            local padded = p .. ("\0"):rep((16 - n % 16) % 16)
            eq(c.decrypt(c.encrypt(p, KEY, mode), KEY, mode), padded, mode .. " round trip of " .. n)
        end
    end
end)

test("CBC is one chain from the fixed initialisation vector", function()
    local p = bytes(40, 2)
    local ct = c.encrypt(p, KEY, "cbc")
    eq(c.encrypt(p, KEY, "cbc"), ct, "same plaintext, same ciphertext")
    local padded = p .. ("\0"):rep(8)
    local prev = CBC_IV
    for i = 1, 33, 16 do
        local block = c.encrypt(xor(padded:sub(i, i + 15), prev), KEY, "ecb")
        eq(ct:sub(i, i + 15), block, "block at " .. i)
        prev = block
    end
end)

test("keys: bytes beyond the 16th are ignored, a shorter key is filled up with zero bytes", function()
    local p = bytes(33, 3)
    for _, mode in ipairs({ "ecb", "cbc" }) do
        eq(c.encrypt(p, KEY .. "anything", mode), c.encrypt(p, KEY, mode))
        eq(c.encrypt(p, "short", mode), c.encrypt(p, "short" .. ("\0"):rep(11), mode))
        eq(c.encrypt(p, "", mode), c.encrypt(p, ("\0"):rep(16), mode))
        local ct = c.encrypt(p, "k", mode)
        eq(c.decrypt(ct, "k", mode), p .. ("\0"):rep(15))
    end
end)

test("modes are exact; a non-string third argument means ECB", function()
    local p = bytes(20, 4)
    eq(c.encrypt(p, KEY, nil), c.encrypt(p, KEY, "ecb"))
    eq(c.encrypt(p, KEY, {}), c.encrypt(p, KEY, "ecb"))
    eq(c.decrypt(("x"):rep(16), KEY, true), c.decrypt(("x"):rep(16), KEY, "ecb"))
    eq(run_logged([[
        print(select("#", c.encrypt("data", "key", "CBC")))
        print(select("#", c.encrypt("data", "key", "cbc ")))
        print(select("#", c.encrypt("data", "key", 5)))
        print(select("#", c.decrypt(("x"):rep(16), "key", "ECB")))
        print(select("#", c.decrypt(("x"):rep(15), "key")))
        print(select("#", c.decrypt(("x"):rep(33), "key", "cbc")))
        print(select("#", c.decrypt("", "key")), #c.decrypt("", "key"))
    ]]), table.concat({
        "[error][lcrypto_encrypt]: failed to encrypt\n0\n",
        "[error][lcrypto_encrypt]: failed to encrypt\n0\n",
        "[error][lcrypto_encrypt]: failed to encrypt\n0\n",
        "[error][lcrypto_decrypt]: failed to decrypt\n0\n",
        "[error][lcrypto_decrypt]: wrong len(15) for decrypt\n0\n",
        "[error][lcrypto_decrypt]: wrong len(33) for decrypt\n0\n",
        "1\t0\n",
    }))
end)

test("ECB and CBC agree with openssl enc -nopad for many lengths and keys", function()
    local lengths = { 0, 1, 2, 7, 15, 16, 17, 31, 32, 33, 47, 48, 63, 64, 65, 100, 255, 256, 1000, 4097 }
    local requests, inputs = {}, {}
    for i, n in ipairs(lengths) do
        local p, k = bytes(n, 100 + i), bytes(16 + i % 5, 200 + i)
        inputs[#inputs + 1] = { p, k }
        requests[#requests + 1] = { "ecb", p, k }
        requests[#requests + 1] = { "cbc", p, k }
        local ct = bytes(n - n % 16, 300 + i)
        inputs[#inputs + 1] = { ct, k }
        requests[#requests + 1] = { "ecb_d", ct, k }
        requests[#requests + 1] = { "cbc_d", ct, k }
    end
    local want = ref(requests)
    for i = 1, #inputs, 2 do
        local p, k = inputs[i][1], inputs[i][2]
        local ct = inputs[i + 1][1]
        local r = (i - 1) * 2
        eq(c.encrypt(p, k, "ecb"), want[r + 1], "ecb of " .. #p)
        eq(c.encrypt(p, k, "cbc"), want[r + 2], "cbc of " .. #p)
        eq(c.decrypt(ct, k, "ecb"), want[r + 3], "ecb decryption of " .. #ct)
        eq(c.decrypt(ct, k, "cbc"), want[r + 4], "cbc decryption of " .. #ct)
    end
end)

---------------------------------------------------------------------------
-- AES-GCM

test("GCM known answers for 128-, 192- and 256-bit keys", function()
    local z16, z12 = ("\0"):rep(16), ("\0"):rep(12)
    local function gcm(k, iv, p, aad) return c.gcm_encrypt(unhex(p), unhex(k), unhex(iv), unhex(aad or "")) end
    local ct, tag = c.gcm_encrypt("", z16, z12, "")
    eq(ct, "")
    eq(hex(tag), "58e2fccefa7e3061367f1d57a4e7455a")
    ct, tag = c.gcm_encrypt(z16, z16, z12, "")
    eq(hex(ct) .. hex(tag), "0388dace60b6a392f328c2b971b2fe78" .. "ab6e47d42cec13bdf53a67b21257bddf")
    local K = "feffe9928665731c6d6a8f9467308308"
    local P = "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72" ..
        "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255"
    local C = "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e" ..
        "21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d58e091473f5985"
    ct, tag = gcm(K, "cafebabefacedbaddecaf888", P)
    eq(hex(ct), C)
    eq(hex(tag), "4d5c2af327cd64a62cf35abd2ba6fab4")
    ct, tag = gcm(K, "cafebabefacedbaddecaf888", P:sub(1, 120), "feedfacedeadbeeffeedfacedeadbeefabaddad2")
    eq(hex(ct), C:sub(1, 120))
    eq(hex(tag), "5bc94fbc3221a5db94fae95ae7121a47")
    local pt, dtag = c.gcm_decrypt(ct, unhex(K), unhex("cafebabefacedbaddecaf888"),
        unhex("feedfacedeadbeeffeedfacedeadbeefabaddad2"))
    eq(hex(pt), P:sub(1, 120))
    eq(hex(dtag), "5bc94fbc3221a5db94fae95ae7121a47", "the tag is computed over the ciphertext")
    ct, tag = c.gcm_encrypt(z16, ("\0"):rep(24), z12, "")
    eq(hex(ct) .. hex(tag), "98e7247c07f0fe411c267e4384b0f600" .. "2ff58d80033927ab8ef4d4587514f0fb")
    ct, tag = c.gcm_encrypt(z16, ("\0"):rep(32), z12, "")
    eq(hex(ct) .. hex(tag), "cea7403d4d606b6e074ec5d3baf39d18" .. "d0d1c8a799996bf0265b98b5d48ab919")
end)

test("GCM decryption of a tampered ciphertext still answers, with another tag", function()
    local key, iv = bytes(16, 5), bytes(12, 6)
    local ct, tag = c.gcm_encrypt("attack at dawn", key, iv, "hdr")
    local bad = string.char(ct:byte(1) ~ 1) .. ct:sub(2)
    local pt, tag2 = c.gcm_decrypt(bad, key, iv, "hdr")
    eq(#pt, #ct)
    eq(pt:sub(2), "ttack at dawn")
    eq(#tag2, 16)
    eq(tag2 ~= tag, true, "the tag differs")
    local _, tag3 = c.gcm_decrypt(ct, key, iv, "other header")
    eq(tag3 ~= tag, true, "additional data is authenticated")
end)

test("GCM with a wrong key size or an empty initialisation vector returns nothing and logs nothing", function()
    eq(run_logged([[
        for _, k in ipairs({ 0, 15, 17, 20, 31, 33 }) do
            io.write(select("#", c.gcm_encrypt("data", ("k"):rep(k), "iv", "")), " ")
        end
        print(select("#", c.gcm_encrypt("data", ("k"):rep(16), "", "")),
              select("#", c.gcm_decrypt("data", ("k"):rep(32), "", "aad")),
              select("#", c.gcm_decrypt("", ("k"):rep(24), "i", "")))
    ]]), "0 0 0 0 0 0 0\t0\t2\n")
end)

test("GCM takes an initialisation vector of any non-zero length", function()
    local key = bytes(16, 8)
    for _, n in ipairs({ 1, 2, 7, 12, 13, 200 }) do
        local iv = bytes(n, 9)
        local ct, tag = c.gcm_encrypt("some data", key, iv, "")
        eq(#ct, 9)
        eq(#tag, 16)
        local pt, tag2 = c.gcm_decrypt(ct, key, iv, "")
        eq(pt, "some data")
        eq(tag2, tag)
        eq(select(2, c.gcm_encrypt("some data", key, iv .. "x", "")) ~= tag, true, "the vector counts")
    end
end)

test("gcm_open returns the plaintext of the known answers only while every bit is intact", function()
    local K = unhex("feffe9928665731c6d6a8f9467308308")
    local IV = unhex("cafebabefacedbaddecaf888")
    local AAD = unhex("feedfacedeadbeeffeedfacedeadbeefabaddad2")
    local P = unhex("d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72" ..
        "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255"):sub(1, 60)
    local C = unhex("42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e" ..
        "21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d58e091473f5985"):sub(1, 60)
    local T = unhex("5bc94fbc3221a5db94fae95ae7121a47")
    local function flip(s, i, bit) return s:sub(1, i - 1) .. string.char(s:byte(i) ~ bit) .. s:sub(i + 1) end
    eq(c.gcm_open(C, K, IV, AAD, T), P)
    local z16, z12 = ("\0"):rep(16), ("\0"):rep(12)
    eq(c.gcm_open("", z16, z12, "", unhex("58e2fccefa7e3061367f1d57a4e7455a")), "", "an empty message")
    eq(c.gcm_open(unhex("cea7403d4d606b6e074ec5d3baf39d18"), ("\0"):rep(32), z12, "",
        unhex("d0d1c8a799996bf0265b98b5d48ab919")), z16, "a 256-bit key")
    local function refused(...)
        local n, v = select("#", ...), ...
        return n == 1 and v == nil
    end
    for _, i in ipairs({ 1, 8, 16 }) do
        for _, bit in ipairs({ 1, 0x80 }) do
            eq(refused(c.gcm_open(C, K, IV, AAD, flip(T, i, bit))), true, "tag byte " .. i)
        end
    end
    for _, i in ipairs({ 1, 30, 60 }) do
        eq(refused(c.gcm_open(flip(C, i, 4), K, IV, AAD, T)), true, "ciphertext byte " .. i)
    end
    for _, i in ipairs({ 1, 20 }) do
        eq(refused(c.gcm_open(C, K, IV, flip(AAD, i, 2), T)), true, "additional data byte " .. i)
    end
    eq(refused(c.gcm_open(C, K, flip(IV, 12, 1), AAD, T)), true, "initialisation vector")
    eq(refused(c.gcm_open(C, flip(K, 16, 1), IV, AAD, T)), true, "key")
    eq(refused(c.gcm_open(C, K, IV, "", T)), true, "additional data left out")
    eq(refused(c.gcm_open(C:sub(1, 59), K, IV, AAD, T)), true, "a shortened ciphertext")
    eq(refused(c.gcm_open(C, K, IV, AAD, T:sub(1, 12))), true, "a shortened tag")
    eq(refused(c.gcm_open(C, K, IV, AAD, T .. "\0")), true, "a longer tag")
    eq(refused(c.gcm_open(C, K, IV, AAD, "")), true, "no tag")
end)

test("gcm_open answers nil for bad arguments, logging only wrong counts and types", function()
    eq(run_logged([[
        for _, call in ipairs({
            function() return c.gcm_open() end,
            function() return c.gcm_open("d", "k", "iv", "") end,
            function() return c.gcm_open("d", ("k"):rep(16), "iv", "", ("t"):rep(16), "x") end,
            function() return c.gcm_open({}, ("k"):rep(16), "iv", "", ("t"):rep(16)) end,
            function() return c.gcm_open("d", ("k"):rep(16), "iv", nil, ("t"):rep(16)) end,
        }) do
            local n, v = select("#", call()), call()
            print(n, v)
        end
        for _, k in ipairs({ 0, 15, 17, 33 }) do
            io.write(tostring(c.gcm_open("data", ("k"):rep(k), "iv", "", ("t"):rep(16))), " ")
        end
        print(c.gcm_open("data", ("k"):rep(16), "", "", ("t"):rep(16)))
    ]]), (("[error][gcm_open]: wrong format\n"):rep(2) .. "1\tnil\n"):rep(5) ..
        "nil nil nil nil nil\n")
end)

test("GCM agrees with the cryptography package for many lengths", function()
    local requests, inputs = {}, {}
    for i, n in ipairs({ 0, 1, 15, 16, 17, 33, 64, 100, 1000, 4099 }) do
        local k = bytes(({ 16, 24, 32 })[i % 3 + 1], 400 + i)
        local iv = bytes(({ 12, 8, 16, 60 })[i % 4 + 1], 500 + i)
        local aad = bytes((i * 7) % 40, 600 + i)
        local p = bytes(n, 700 + i)
        inputs[#inputs + 1] = { p, k, iv, aad }
        requests[#requests + 1] = { "gcm", p, k, iv, aad }
    end
    local want = ref(requests)
    for i, a in ipairs(inputs) do
        local ct, tag = c.gcm_encrypt(a[1], a[2], a[3], a[4])
        eq(ct .. tag, want[i], "gcm of " .. #a[1])
        local pt, tag2 = c.gcm_decrypt(ct, a[2], a[3], a[4])
        eq(pt, a[1])
        eq(tag2, tag)
        eq(c.gcm_open(ct, a[2], a[3], a[4], tag), a[1], "gcm_open of " .. #a[1])
    end
end)

---------------------------------------------------------------------------
-- Digests

test("MD5 and SHA-1 known answers", function()
    local md5 = {
        [""] = "d41d8cd98f00b204e9800998ecf8427e",
        ["a"] = "0cc175b9c0f1b6a831c399e269772661",
        ["abc"] = "900150983cd24fb0d6963f7d28e17f72",
        ["message digest"] = "f96b697d7cb7938d525a2f31aaf161d0",
        ["abcdefghijklmnopqrstuvwxyz"] = "c3fcd3d76192e4007dfb496cca67e13b",
        ["ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"] = "d174ab98d277d9f5a5611c2c9f419d9f",
        [("1234567890"):rep(8)] = "57edf4a22be3c955ac49da2e2107b67a",
    }
    for msg, digest in pairs(md5) do eq(hex(c.md5(msg)), digest, "md5 of " .. msg) end
    eq(hex(c.sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d")
    eq(hex(c.sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
        "84983e441c3bd26ebaae4aa1f95129e5e54670f1")
    eq(hex(c.sha1(("a"):rep(1000000))), "34aa973cd4c4daa4f61eeb2bdbad27316534016f")
    eq(hex(c.sha1("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709")
end)

test("MD5 and SHA-1 agree with hashlib for many lengths", function()
    local requests, inputs = {}, {}
    for n = 0, 130 do inputs[#inputs + 1] = bytes(n, 800 + n) end
    for _, n in ipairs({ 511, 512, 513, 4096, 65537 }) do inputs[#inputs + 1] = bytes(n, n) end
    for _, p in ipairs(inputs) do
        requests[#requests + 1] = { "md5", p }
        requests[#requests + 1] = { "sha1", p }
    end
    local want = ref(requests)
    for i, p in ipairs(inputs) do
        eq(c.md5(p), want[2 * i - 1], "md5 of " .. #p)
        eq(c.sha1(p), want[2 * i], "sha1 of " .. #p)
    end
end)

test("md5sum hashes regular files and returns nothing for anything it cannot read", function()
    local dir = os.tmpname()
    os.remove(dir)
    assert(lfs.mkdir(dir))
    local function write(name, data)
        local f = assert(io.open(dir .. "/" .. name, "wb"))
        f:write(data)
        f:close()
        return dir .. "/" .. name
    end
    local ok, err = pcall(function()
        for _, n in ipairs({ 0, 1, 511, 512, 513, 1024, 100000 }) do
            local data = bytes(n, 900 + n)
            eq(c.md5sum(write("f" .. n, data)), c.md5(data), "file of " .. n)
        end
        eq(nvals(c.md5sum(dir .. "/missing")), 0, "missing file")
        eq(nvals(c.md5sum(dir)), 0, "a directory")
        eq(nvals(c.md5sum("")), 0, "empty path")
        eq(nvals(c.md5sum(dir .. "/f1\0ignored")), 0, "zero byte in the path")
        assert(os.execute("mkfifo '" .. dir .. "/fifo'"))
        eq(nvals(c.md5sum(dir .. "/fifo")), 0, "a FIFO without writer, without waiting")
        eq(nvals(c.md5sum("/dev/zero")), 0, "a device")
        -- Opens as a regular file; reading at offset 0 fails (nothing is mapped there).
        eq(nvals(c.md5sum("/proc/self/mem")), 0, "a file whose read fails")
    end)
    os.execute("rm -rf '" .. dir .. "'")
    if not ok then error(err, 0) end
    eq(run_logged([[print(select("#", c.md5sum("/nonexistent/file")))]]), "0\n", "nothing is logged")
end)

---------------------------------------------------------------------------
-- HMAC and HKDF

test("HMAC known answers (RFC 4231, 2202, 2104)", function()
    local k20 = ("\11"):rep(20)
    eq(hex(c.hmac("SHA224", "Hi There", k20)), "896fb1128abbdf196832107cd49df33f47b4b1169912ba4f53684b22")
    eq(hex(c.hmac("SHA256", "Hi There", k20)), "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7")
    eq(hex(c.hmac("SHA224", "what do ya want for nothing?", "Jefe")),
        "a30e01098bc6dbbf45690f3a7e9e6d0f8bbea2a39e6148008fd05e44")
    eq(hex(c.hmac("SHA256", "what do ya want for nothing?", "Jefe")),
        "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843")
    eq(hex(c.hmac("SHA256", "Test Using Larger Than Block-Size Key - Hash Key First", ("\170"):rep(131))),
        "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54")
    eq(hex(c.hmac("SHA1", "Hi There", k20)), "b617318655057264e28bc0b6fb378c8ef146be00")
    eq(c.hmac("SHA", "Hi There", k20), c.hmac("SHA1", "Hi There", k20))
    eq(hex(c.hmac("MD5", "Hi There", ("\11"):rep(16))), "9294727a3638bb1c13f48ef8158bfc9d")
end)

test("only the listed hash names, exactly spelt, are known; others return nothing silently", function()
    eq(run_logged([[
        for _, h in ipairs({ "sha256", "Sha1", "SHA384", "SHA512", "RIPEMD160", "MD4", "", "SHA256\0", "SHA-256" }) do
            io.write(select("#", c.hmac(h, "m", "k")), select("#", c.hkdf_extract(h, "s", "i")),
                select("#", c.hkdf_expand(h, ("p"):rep(64), "i", 8)),
                select("#", c.hkdf(h, "s", "i", "f", 8)), " ")
        end
        print()
    ]]), ("0000 "):rep(9) .. "\n")
    local sizes = { MD5 = 16, SHA1 = 20, SHA = 20, SHA224 = 28, SHA256 = 32 }
    for h, n in pairs(sizes) do
        eq(#c.hmac(h, "m", "k"), n, h)
        eq(#c.hkdf_extract(h, "s", "i"), n, h)
    end
end)

test("HKDF known answers (RFC 5869)", function()
    local ikm, salt, info = ("\11"):rep(22), unhex("000102030405060708090a0b0c"), unhex("f0f1f2f3f4f5f6f7f8f9")
    local prk = c.hkdf_extract("SHA256", salt, ikm)
    eq(hex(prk), "077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5")
    local okm = "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"
    eq(hex(c.hkdf_expand("SHA256", prk, info, 42)), okm)
    eq(hex(c.hkdf("SHA256", salt, ikm, info, 42)), okm)
    -- Test 3: empty salt and info.
    eq(hex(c.hkdf_extract("SHA256", "", ikm)), "19ef24a32c717b167f33a91d6f648bdf96596776afdb6377ac434c1c293ccb04")
    eq(hex(c.hkdf("SHA256", "", ikm, "", 42)),
        "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8")
    eq(c.hkdf_extract("SHA256", "", ikm), c.hkdf_extract("SHA256", ("\0"):rep(32), ikm), "empty salt = zero salt")
    -- Test 4: SHA-1.
    local ikm11 = ("\11"):rep(11)
    eq(hex(c.hkdf_extract("SHA1", salt, ikm11)), "9b6c18c432a7bf8f0e71c8eb88f4b30baa2ba243")
    eq(hex(c.hkdf("SHA1", salt, ikm11, info, 42)),
        "085a01ea1b10f36933068b56efa5ad81a4f14b822f5b091568a9cdd4f155fda2c22e422478d305f3f896")
end)

test("HKDF output limits: 255 digests at most, a pseudo-random key of at least one digest", function()
    local prk = ("p"):rep(20)
    eq(#c.hkdf_expand("SHA1", prk, "info", 5100), 5100)
    eq(nvals(c.hkdf_expand("SHA1", prk, "info", 5101)), 0)
    eq(#c.hkdf_expand("SHA256", ("p"):rep(32), "", 8160), 8160)
    eq(nvals(c.hkdf_expand("SHA256", ("p"):rep(32), "", 8161)), 0)
    eq(nvals(c.hkdf_expand("SHA256", ("p"):rep(31), "", 16)), 0, "key shorter than the digest")
    eq(#c.hkdf_expand("SHA256", ("p"):rep(33), "", 1), 1)
    eq(#c.hkdf("MD5", "s", "k", "i", 255 * 16), 255 * 16)
    eq(nvals(c.hkdf("MD5", "s", "k", "i", 255 * 16 + 1)), 0)
    eq(nvals(c.hkdf("SHA256", "s", "k", "i", math.maxinteger)), 0)
    eq(run_logged([[
        print(select("#", c.hkdf_expand("SHA1", ("p"):rep(20), "i", 0)))
        print(select("#", c.hkdf_expand("SHA1", ("p"):rep(20), "i", -1)))
        print(select("#", c.hkdf("SHA1", "s", "k", "i", 0)))
        print(select("#", c.hkdf("SHA1", "s", "k", "i", math.mininteger)))
        print(select("#", c.hkdf_expand("SHA1", ("p"):rep(20), "i", 5101)))
    ]]), "[error][lcrypto_hkdf_expand]: wrong value\n0\n" ..
        "[error][lcrypto_hkdf_expand]: wrong value\n0\n" ..
        "[error][lcrypto_hkdf]: wrong value\n0\n" ..
        "[error][lcrypto_hkdf]: wrong value\n0\n" ..
        "0\n")
end)

test("HMAC and HKDF agree with Python's hmac for many lengths", function()
    local requests, cases = {}, {}
    local hashes = { "MD5", "SHA1", "SHA", "SHA224", "SHA256" }
    for i = 0, 40 do
        local h = hashes[i % #hashes + 1]
        local key, msg = bytes(i * 5 % 150, 1000 + i), bytes(i * 37 % 300, 2000 + i)
        local salt, info = bytes(i % 70, 3000 + i), bytes(i * 3 % 50, 4000 + i)
        local len = 1 + (i * 97) % (255 * #c.hmac(h, "", ""))
        cases[#cases + 1] = { h, key, msg, salt, info, len }
        requests[#requests + 1] = { "hmac", h, msg, key }
        requests[#requests + 1] = { "hkdf_extract", h, salt, key }
        requests[#requests + 1] = { "hkdf", h, salt, key, info, tostring(len) }
    end
    local want = ref(requests)
    for i, k in ipairs(cases) do
        local h, key, msg, salt, info, len = table.unpack(k)
        eq(c.hmac(h, msg, key), want[3 * i - 2], "hmac " .. i)
        local prk = c.hkdf_extract(h, salt, key)
        eq(prk, want[3 * i - 1], "extract " .. i)
        eq(c.hkdf(h, salt, key, info, len), want[3 * i], "hkdf " .. i)
        eq(c.hkdf_expand(h, prk, info, len), want[3 * i], "expand " .. i)
    end
end)

---------------------------------------------------------------------------
-- zlib and gzip

local function gzip(data) return ref({ { "gzip", data } })[1] end

test("zip writes a zlib stream that zlib inflates, if it fits the capacity", function()
    local inputs = { "", "a", ("a"):rep(1000), bytes(100, 1), bytes(65536, 2), ("abc"):rep(30000) }
    local requests, zs = {}, {}
    for i, p in ipairs(inputs) do
        zs[i] = c.zip(p, #p + 64)
        requests[i] = { "inflate", zs[i] }
    end
    local want = ref(requests)
    for i, p in ipairs(inputs) do
        eq(zs[i]:byte(1), 0x78, "zlib header")
        eq(zs[i]:byte(2), 0xda, "level 9")
        eq(want[i], p, "inflated " .. #p)
        eq(c.zip(p, #zs[i]), zs[i], "exactly the room needed")
        eq(c.zip(p, math.maxinteger), zs[i], "any larger capacity")
    end
    eq(run_logged([[
        print(select("#", c.zip(("abc"):rep(100), 5)))
        print(select("#", c.zip("abc", 0)))
        print(select("#", c.zip("abc", -5)))
        local z = c.zip("abc", 100)
        print(select("#", c.zip("abc", #z - 1)))
    ]]), "deflate error(0)0\ndeflate error(-5)0\ndeflate error(-5)0\ndeflate error(0)0\n")
end)

test("unzip inflates up to limit + 1 bytes of one whole zlib stream", function()
    local inputs = { "x", bytes(1000, 3), ("z"):rep(100000), bytes(70000, 4) }
    local requests = {}
    for i, p in ipairs(inputs) do requests[i] = { "deflate", p } end
    local zs = ref(requests)
    for i, p in ipairs(inputs) do
        local z = zs[i]
        eq(c.unzip(z, #p - 1), p, "exactly limit + 1 bytes")
        eq(c.unzip(z, #p), p)
        eq(c.unzip(z, math.maxinteger), p, "a huge limit")
        eq(c.unzip(c.zip(p, #p + 100), #p), p, "our own stream")
        if #p > 1 then eq(nvals(c.unzip(z, #p - 2)), 0, "one byte too many for " .. #p) end
    end
    local z = c.zip("hello", 100)
    eq(run_logged(string.format([[
        local z = %q
        local empty = c.zip("", 100)
        print(select("#", c.unzip(z .. "\0", 100)))          -- extra bytes
        print(select("#", c.unzip(z:sub(1, -2), 100)))       -- truncated
        print(select("#", c.unzip(z:sub(1, 2), 100)))
        print(select("#", c.unzip("", 100)))
        print(select("#", c.unzip(z:sub(1, 5) .. "\255" .. z:sub(7), 100)))  -- corrupted
        print(select("#", c.unzip(z:sub(1, -2) .. "\0", 100)))               -- bad checksum
        print(select("#", c.unzip(z .. z, 100)))              -- two streams
        print(select("#", c.unzip(empty, 100)))               -- a stream of nothing
        print(select("#", c.unzip(z, 0)), select("#", c.unzip(z, -1)), select("#", c.unzip(z, math.mininteger)))
    ]], z)), ("[error][lcrypto_unzip]: failed to unzip\n0\n"):rep(8) ..
        ("[error][lcrypto_unzip]: failed to unzip\n"):rep(3) .. "0\t0\t0\n")
end)

test("gunzip inflates gzip data of any ratio without a limit", function()
    local inputs = { "x", bytes(1000, 5), ("z"):rep(3000000), bytes(200000, 6) }
    local requests = {}
    for i, p in ipairs(inputs) do requests[i] = { "gzip", p } end
    local gz = ref(requests)
    for i, p in ipairs(inputs) do
        eq(c.gunzip(gz[i]) == p, true, "gunzip of " .. #p)
        eq(c.gunzip(gz[i], 0) == p, true, "limit 0 is none")
        eq(c.gunzip(gz[i], #p - 1) == p, true, "exactly limit + 1 bytes")
        eq(c.gunzip(gz[i], math.maxinteger) == p, true, "a huge limit")
        if #p > 1 then eq(nvals(c.gunzip(gz[i], #p - 2)), 0, "one byte too many for " .. #p) end
    end
end)

test("gunzip joins concatenated members and ignores bytes that start no member", function()
    local a, b = gzip("first member;"), gzip(("second"):rep(1000))
    eq(c.gunzip(a .. b), "first member;" .. ("second"):rep(1000))
    eq(c.gunzip(a .. b .. a), "first member;" .. ("second"):rep(1000) .. "first member;")
    eq(c.gunzip(a .. "trailing garbage"), "first member;")
    eq(c.gunzip(a .. "\31"), "first member;")
    eq(c.gunzip(a .. ("\0"):rep(100)), "first member;")
    eq(c.gunzip(a .. b, 13 + 6000 - 1), "first member;" .. ("second"):rep(1000), "the limit counts all members")
    eq(nvals(c.gunzip(a .. b, 13 + 6000 - 2)), 0)
end)

test("gunzip fails on empty, truncated or corrupt data, with or without a limit", function()
    local g = gzip(bytes(5000, 7))
    local empty = gzip("")
    local bad_crc = g:sub(1, -9) .. string.char(g:byte(-8) ~ 1) .. g:sub(-7)
    local code = string.format([[
        local g, empty, bad_crc = %q, %q, %q
        local inputs = { "", "\31", "\31\139", g:sub(1, 10), g:sub(1, -2), g:sub(1, #g // 2), bad_crc,
                         c.zip("zlib, not gzip", 100), "plain text", g:sub(1, -2) .. g, empty, empty .. empty }
        for _, d in ipairs(inputs) do
            io.write(select("#", c.gunzip(d)), select("#", c.gunzip(d, 100000)), " ")
        end
        print()
        print(select("#", c.gunzip(g, -1)))
    ]], g, empty, bad_crc)
    local out = run_logged(code)
    local fails = select(2, out:gsub("%[error%]%[lcrypto_gunzip%]: failed to unzip\n", ""))
    eq(fails, 12 * 2 + 1, "every call logged")
    eq(out:gsub("%[error%]%[lcrypto_gunzip%]: failed to unzip\n", ""), ("00 "):rep(12) .. "\n0\n")
end)

test("gunzip of a gzip bomb stops at the limit", function()
    local bombs = ref({ { "gzip_zeros", 50 * 1024 * 1024 }, { "deflate_zeros", 50 * 1024 * 1024 } })
    eq(#bombs[1] < 100000 and #bombs[2] < 100000, true, "small inputs")
    eq(nvals(c.gunzip(bombs[1], 1024 * 1024)), 0)
    eq(nvals(c.unzip(bombs[2], 1024 * 1024)), 0)
end)
