"""c.ssl against LuaSec (Debian's lua-sec), both run by the engine's `ut`
role in the same script, against the same TLS server on 127.0.0.1:
  1. bulk receive: the server sends 100 MiB, the client reads it with
     count-mode receive(65536);
  2. handshakes per second: connect, wrap, handshake, close; for c.ssl also
     with the server authenticated (in the same rounds): verify() against a
     CA file (read per connection) and the server's name, and pin() alone.

The server is Python's ssl module on threads of this process, limited to
TLS 1.2 with one cipher suite (ECDHE-ECDSA-AES128-GCM-SHA256) so that both
clients do the same work. The best of several alternating rounds counts.

Then the same mbed TLS calls made directly from C (ssl_floor), to tell the
module's own cost from the library's, without and with verification (the
library's own checks against the same CA file and name).

Usage: ssl_bench.py <korvex-dpi-inner> <bundle init.lua> <ssl_floor> [MiB] [handshakes]
"""
import hashlib
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading

import bench_util

ENGINE, BUNDLE, FLOOR = sys.argv[1], sys.argv[2], sys.argv[3]
MIB = int(sys.argv[4]) if len(sys.argv) > 4 else 100
HANDSHAKES = int(sys.argv[5]) if len(sys.argv) > 5 else 300
CHUNK = bytes(range(256)) * 4096  # 1 MiB

SCRIPT = r"""
local socket = require "socket.core"
local cssl = require "c.ssl"
local luasec = require "ssl"
local PORT, TOTAL, HANDSHAKES, ROUNDS = %d, %d, %d, 3
local CA, NAME, PIN = "%s", "%s", "%s"
local SEC_PARAMS = { mode = "client", protocol = "any", verify = "none", options = "all" }

local function tcp()
    local t = assert(socket.tcp())
    t:settimeout(10)
    assert(t:connect("127.0.0.1", PORT))
    return t
end

local function cssl_open(setup)
    local t = tcp()
    local c = assert(cssl.wrap(t:getfd()))
    t:setfd(-1)
    c:settimeout(10)
    if setup then assert(setup(c)) end
    assert(c:dohandshake())
    return c
end

local function cssl_verified() return cssl_open(function(c) return c:verify(CA, NAME) end) end
local function cssl_pinned() return cssl_open(function(c) return c:pin(PIN) end) end

local function luasec_open()
    local s = assert(luasec.wrap(tcp(), SEC_PARAMS))
    s:settimeout(10)
    assert(s:dohandshake())
    return s
end

-- Seconds to read TOTAL bytes with receive(65536).
local function bulk(open)
    local c = open()
    assert(c:send("bulk " .. TOTAL .. "\n"))
    local got = 0
    local t0 = socket.gettime()
    while got < TOTAL do
        local data, err = c:receive(math.min(65536, TOTAL - got))
        assert(data, err)
        got = got + #data
    end
    local dt = socket.gettime() - t0
    c:close()
    return dt
end

local function handshakes(open)
    local t0 = socket.gettime()
    for _ = 1, HANDSHAKES do open():close() end
    return HANDSHAKES / (socket.gettime() - t0)
end

local best = { cssl = math.huge, luasec = math.huge, hs_cssl = 0, hs_luasec = 0, hs_verify = 0, hs_pin = 0 }
for _ = 1, ROUNDS do
    best.cssl = math.min(best.cssl, bulk(cssl_open))
    best.luasec = math.min(best.luasec, bulk(luasec_open))
    best.hs_cssl = math.max(best.hs_cssl, handshakes(cssl_open))
    best.hs_luasec = math.max(best.hs_luasec, handshakes(luasec_open))
    best.hs_verify = math.max(best.hs_verify, handshakes(cssl_verified))
    best.hs_pin = math.max(best.hs_pin, handshakes(cssl_pinned))
end
for _, k in ipairs({ "cssl", "luasec", "hs_cssl", "hs_luasec", "hs_verify", "hs_pin" }) do
    print(string.format("RESULT %%s %%.9g", k, best[k]))
end
"""


def serve(conn):
    try:
        conn = CONTEXT.wrap_socket(conn, server_side=True)
        line = b""
        while not line.endswith(b"\n"):
            b = conn.recv(64)
            if not b:
                return
            line += b
        words = line.split()
        if words[0] == b"bulk":
            left = int(words[1])
            view = memoryview(CHUNK)
            while left > 0:
                n = min(left, len(CHUNK))
                conn.sendall(view[:n])
                left -= n
            conn.recv(1)  # until the client closes
    except (OSError, ssl.SSLError):
        pass
    finally:
        conn.close()


def accept_loop(listener):
    while True:
        try:
            conn, _ = listener.accept()
        except OSError:
            return
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


work = tempfile.mkdtemp(prefix="korvex-ssl-bench-")
try:
    # A CA and a server certificate it issued (P-256 both), as a collector has.
    ca, ca_key = os.path.join(work, "ca.pem"), os.path.join(work, "ca.key")
    cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
    csr, ext = os.path.join(work, "cert.csr"), os.path.join(work, "ext.cnf")
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    subprocess.run(["openssl", "req", "-x509"] + ec + ["-keyout", ca_key, "-out", ca, "-days", "2",
                    "-subj", "/CN=bench CA"], check=True, capture_output=True)
    subprocess.run(["openssl", "req", "-new"] + ec + ["-keyout", key, "-out", csr, "-subj", "/CN=bench.example"],
                   check=True, capture_output=True)
    with open(ext, "w") as f:
        f.write("subjectAltName=DNS:bench.example\nextendedKeyUsage=serverAuth\n")
    subprocess.run(["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial",
                    "-days", "1", "-out", cert, "-extfile", ext], check=True, capture_output=True)
    pub = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-pubkey"], check=True,
                         capture_output=True).stdout
    der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "DER"], input=pub, check=True,
                         capture_output=True).stdout
    pin = hashlib.sha256(der).hexdigest()
    CONTEXT = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    CONTEXT.load_cert_chain(cert, key)
    CONTEXT.maximum_version = ssl.TLSVersion.TLSv1_2
    CONTEXT.set_ciphers("ECDHE-ECDSA-AES128-GCM-SHA256")

    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    threading.Thread(target=accept_loop, args=(listener,), daemon=True).start()

    ut = bench_util.ut_dir(work, ENGINE, BUNDLE)
    out = bench_util.run_script(ut, SCRIPT % (listener.getsockname()[1], MIB * 1048576, HANDSHAKES, ca,
                                              "bench.example", pin), timeout=600, quiet=True)
    r = bench_util.keyed(out, ("cssl", "luasec", "hs_cssl", "hs_luasec", "hs_verify", "hs_pin"))
    print("bulk receive %d MiB, receive(65536): c.ssl %.1f MiB/s, LuaSec %.1f MiB/s, ratio %.2f"
          % (MIB, MIB / r["cssl"], MIB / r["luasec"], r["luasec"] / r["cssl"]))
    print("handshakes: c.ssl %.0f/s, LuaSec %.0f/s, ratio %.2f"
          % (r["hs_cssl"], r["hs_luasec"], r["hs_cssl"] / r["hs_luasec"]))
    print("c.ssl handshakes with the server authenticated: verify(CA file, name) %.0f/s (%.2f of unverified), "
          "pin alone %.0f/s (%.2f)" % (r["hs_verify"], r["hs_verify"] / r["hs_cssl"], r["hs_pin"],
                                      r["hs_pin"] / r["hs_cssl"]))

    # The same mbed TLS calls from C: what the library itself costs.
    port = str(listener.getsockname()[1])
    bulk = min(float(subprocess.run([FLOOR, port, "bulk", str(MIB * 1048576)], capture_output=True, text=True,
                                    check=True).stdout) for _ in range(3))
    hs = max(float(subprocess.run([FLOOR, port, "hs", str(HANDSHAKES)], capture_output=True, text=True,
                                  check=True).stdout) for _ in range(3))
    hsv = max(float(subprocess.run([FLOOR, port, "hs", str(HANDSHAKES), ca, "bench.example"], capture_output=True,
                                   text=True, check=True).stdout) for _ in range(3))
    print("mbed TLS from C, same calls: bulk %.1f MiB/s, handshakes %.0f/s, verified %.0f/s (%.2f of unverified)"
          % (MIB / bulk, hs, hsv, hsv / hs))
    print("c.ssl against C: handshakes %.2f, verified %.2f" % (r["hs_cssl"] / hs, r["hs_verify"] / hsv))
    listener.close()
finally:
    shutil.rmtree(work, ignore_errors=True)
