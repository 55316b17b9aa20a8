"""c.ssl authenticating its server: trust anchors, names, pins, the peer's
certificate, and what bad set-up input gets.

The certificates are made when the tests start, with the openssl command
line: a root, an intermediate under it, an unrelated root, and server
certificates for each case. Python TLS servers on 127.0.0.1 present them.
"""
import base64
import datetime
import hashlib
import os
import socket
import ssl
import subprocess
import threading

from harness import main
import test_ssl

VERIFY_FAILED = -9984  # the library's "certificate verification failed"

CA_CONF = """
[ca]
default_ca = ca_default
[ca_default]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = policy_any
unique_subject = no
email_in_dn = no
[policy_any]
commonName = supplied
"""

CA_EXT = """
[ext]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign,cRLSign
"""

LEAF_EXT = """
[ext]
basicConstraints = critical,CA:false
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
%s
"""

ATTEMPT = r"""
-- One connection: set-up (sni, verify, pins), handshake, one line; what
-- each step answered.
function attempt(port, ca, host, pins, sni)
    local c = connect(port)
    c:settimeout(10)
    if sni then c:sni(sni) end
    if ca then
        local ok, err = c:verify(ca, host)
        if not ok then c:close() return "verify", err end
    end
    if pins then
        local ok, err = c:pin(table.unpack(pins))
        if not ok then c:close() return "pin", err end
    end
    local ok, err = c:dohandshake()
    if not ok then
        local _, send_err = c:send("x")
        local _, recv_err = c:receive()
        c:close()
        return false, err, send_err, recv_err
    end
    local line = c:receive()
    local cert = c:peer_certificate()
    c:close()
    return true, line, cert
end
"""


def run(cmd, cwd):
    subprocess.run(cmd, cwd=cwd, check=True, capture_output=True)


def stamp(dt):
    return dt.strftime("%Y%m%d%H%M%SZ")


def iso(dt):
    return dt.strftime("%Y-%m-%dT%H:%M:%SZ")


class Pki:
    """The certificates of the tests, in one directory."""

    def __init__(self, d):
        self.d = d
        self.now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
        with open(os.path.join(d, "ca.cnf"), "w") as f:
            f.write(CA_CONF)
        with open(os.path.join(d, "index.txt"), "w"):
            pass
        with open(os.path.join(d, "serial"), "w") as f:
            f.write("1000\n")
        self.root = self.self_signed("root", "/CN=Korvex Test Root")
        self.other = self.self_signed("other", "/CN=Korvex Other Root")
        self.key("leaf")
        self.key("inter")
        self.request("inter", "/CN=Korvex Test Intermediate")
        self.inter = self.sign("inter", "root", CA_EXT, self.now - datetime.timedelta(days=1),
                               self.now + datetime.timedelta(days=30))
        self.leaf_key = self.path("leaf.key")

    def path(self, name):
        return os.path.join(self.d, name)

    def key(self, name):
        run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
             "-out", name + ".key"], self.d)

    def self_signed(self, name, subject):
        self.key(name)
        run(["openssl", "req", "-x509", "-new", "-key", name + ".key", "-out", name + ".pem", "-days", "30",
             "-subj", subject], self.d)
        return self.path(name + ".pem")

    def request(self, name, subject, key=None):
        run(["openssl", "req", "-new", "-key", (key or name) + ".key", "-out", name + ".csr", "-subj", subject],
            self.d)

    def sign(self, name, issuer, ext, start, end):
        with open(self.path(name + ".ext"), "w") as f:
            f.write(ext)
        run(["openssl", "ca", "-batch", "-config", "ca.cnf", "-cert", issuer + ".pem", "-keyfile", issuer + ".key",
             "-in", name + ".csr", "-out", name + ".pem", "-startdate", stamp(start), "-enddate", stamp(end),
             "-extfile", name + ".ext", "-extensions", "ext", "-notext"], self.d)
        return self.path(name + ".pem")

    def leaf(self, name, san, issuer="inter", start=None, end=None, cn=None):
        """A server certificate on the shared key, and its chain file (the
        certificate, then its issuer unless that is a root)."""
        self.request(name, "/CN=%s" % (cn or name), key="leaf")
        start = start or self.now - datetime.timedelta(days=1)
        end = end or self.now + datetime.timedelta(days=10)
        pem = self.sign(name, issuer, LEAF_EXT % (("subjectAltName = " + san) if san else ""), start, end)
        chain = self.path(name + ".chain")
        with open(chain, "w") as out:
            out.write(open(pem).read())
            if issuer == "inter":
                out.write(open(self.inter).read())
        return chain


def spki_sha256(pem):
    """The SHA-256 of a certificate's SubjectPublicKeyInfo, as raw bytes."""
    pub = subprocess.run(["openssl", "x509", "-in", pem, "-noout", "-pubkey"], check=True,
                         capture_output=True).stdout
    der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "DER"], input=pub, check=True,
                         capture_output=True).stdout
    return hashlib.sha256(der).digest()


class Servers:
    """Accepts `count` connections on 127.0.0.1, each presenting `chain`:
    after a handshake it sends "hello" and waits for the client to go. A
    handshake the client refuses is recorded, not raised."""

    def __init__(self, chain, key, count):
        self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.ctx.load_cert_chain(chain, key)
        self.sni = []
        self.ctx.sni_callback = lambda _s, name, _c: self.sni.append(name)
        self.refused = 0
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(count)
        self.listener.settimeout(30)
        self.port = self.listener.getsockname()[1]
        self.count = count
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            for _ in range(self.count):
                conn, _ = self.listener.accept()
                conn.settimeout(30)
                try:
                    with self.ctx.wrap_socket(conn, server_side=True) as tls:
                        tls.sendall(b"hello\n")
                        test_ssl.recv_until_eof(tls)
                except (ssl.SSLError, OSError):
                    self.refused += 1
        finally:
            self.listener.close()

    def join(self):
        self.thread.join(60)
        if self.thread.is_alive():
            raise AssertionError("server thread did not finish")


class VerifyCase(test_ssl.TlsCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        pki = cls.pki = Pki(cls.dir)
        day = datetime.timedelta(days=1)
        cls.good = pki.leaf("good", "DNS:collector.example, DNS:other-name.example")
        cls.alone = pki.path("good.pem")  # the missing intermediate
        cls.foreign = pki.leaf("foreign", "DNS:collector.example", issuer="other")
        cls.expired = pki.leaf("expired", "DNS:collector.example", start=pki.now - 400 * day,
                               end=pki.now - 30 * day)
        cls.future = pki.leaf("future", "DNS:collector.example", start=pki.now + 30 * day,
                              end=pki.now + 400 * day)
        cls.wildcard = pki.leaf("wildcard", "DNS:*.example.test")
        cls.ip = pki.leaf("ip", "IP:127.0.0.1, IP:::1")
        cls.ip_as_name = pki.leaf("ipname", "DNS:127.0.0.1")
        cls.cn_only = pki.leaf("cnonly", None, cn="collector.example")
        cls.self_pin = spki_sha256(cls.cert)     # TlsCase's self-signed server
        cls.leaf_pin = spki_sha256(pki.path("good.pem"))

    def serve(self, chain, count=1, key=None):
        return Servers(chain, key or self.pki.leaf_key, count)

    def attempts(self, servers, calls):
        """Runs attempt(port, ...) for each argument text in `calls`."""
        body = ATTEMPT + "".join("show(attempt(%d, %s))\n" % (servers.port, args) for args in calls)
        lines = self.script(body)
        servers.join()
        return lines


def lua(s):
    return '"%s"' % s


class Anchors(VerifyCase):
    def test_a_good_chain_passes_from_a_file_or_a_directory(self):
        cadir = os.path.join(self.dir, "cadir")
        os.makedirs(os.path.join(cadir, "sub"))
        os.symlink(self.pki.root, os.path.join(cadir, "root.pem"))
        os.symlink("root.pem", os.path.join(cadir, "0a1b2c3d.0"))  # a hash link: read once
        with open(os.path.join(cadir, "README"), "w") as f:
            f.write("not a certificate\n")
        os.symlink("/nonexistent", os.path.join(cadir, "dangling.pem"))
        srv = self.serve(self.good, 5)
        lines = self.attempts(srv, [
            '%s, "collector.example"' % lua(self.pki.root),
            '%s, "Collector.EXAMPLE."' % lua(self.pki.root),
            '%s, "other-name.example"' % lua(cadir),
            '%s, nil, nil, "collector.example"' % lua(self.pki.root),   # the sni name is checked
            '%s, "collector.example", nil, "other-name.example"' % lua(self.pki.root),
        ])
        self.assertEqual([l.split(" ")[:2] for l in lines], [["true", '"hello"']] * 5)
        # The hostname went out as the server name unless sni gave one.
        self.assertEqual(srv.sni, ["collector.example", "Collector.EXAMPLE.", "other-name.example",
                                   "collector.example", "other-name.example"])
        self.assertEqual(srv.refused, 0)

    def test_each_refusal_says_why_and_keeps_the_connection_shut(self):
        root = lua(self.pki.root)
        cases = [
            (self.foreign, root + ', "collector.example"', "unknown issuer (CN=Korvex Other Root)"),
            (self.alone, root + ', "collector.example"', "unknown issuer (CN=Korvex Test Intermediate)"),
            (self.expired, root + ', "collector.example"', "certificate expired (CN=expired)"),
            (self.future, root + ', "collector.example"', "certificate not yet valid (CN=future)"),
            (self.good, root + ', "wrong.example"', "name mismatch (wrong.example not in the certificate)"),
            (self.good, root, "name mismatch (no server name to check)"),
            (self.wildcard, root + ', "a.b.example.test"',
             "name mismatch (a.b.example.test not in the certificate)"),
            (self.wildcard, root + ', "example.test"', "name mismatch (example.test not in the certificate)"),
            (self.ip, root + ', "collector.example"', "name mismatch (collector.example not in the certificate)"),
            (self.ip_as_name, root + ', "127.0.0.1"', "name mismatch (127.0.0.1 not in the certificate)"),
            (self.cn_only, root + ', "collector.example"',
             "name mismatch (collector.example not in the certificate)"),
        ]
        for chain, args, reason in cases:
            with self.subTest(reason=reason, chain=os.path.basename(chain)):
                srv = self.serve(chain)
                lines = self.attempts(srv, [args])
                msg = "errcode (%d): %s" % (VERIFY_FAILED, reason)
                self.assertEqual(lines, ['false "%s" "ssl_write %s" "ssl_read %s"' % (msg, msg, msg)])
                self.assertEqual(srv.refused, 1)

    def test_wildcards_and_addresses_that_match(self):
        srv = self.serve(self.wildcard, 2)
        lines = self.attempts(srv, ['%s, "a.example.test"' % lua(self.pki.root),
                                    '%s, "xn--bcher-kva.example.test"' % lua(self.pki.root)])
        ip = self.serve(self.ip, 1)
        lines += self.attempts(ip, ['%s, "127.0.0.1"' % lua(self.pki.root)])
        self.assertEqual([l.split(" ")[:2] for l in lines], [["true", '"hello"']] * 3)
        self.assertEqual(ip.sni, [None])  # an address is never sent as a server name

    def test_several_reasons_at_once(self):
        srv = self.serve(self.expired)
        lines = self.attempts(srv, ['%s, "wrong.example"' % lua(self.pki.root)])
        self.assertEqual(lines[0].split(" ", 1)[1].split('" "')[0],
                         '"errcode (%d): certificate expired (CN=expired), '
                         'name mismatch (wrong.example not in the certificate)' % VERIFY_FAILED)

    def test_the_peer_certificate_after_a_verified_handshake(self):
        srv = self.serve(self.good)
        lines = self.script(ATTEMPT + r"""
            local ok, line, cert = attempt(%d, "%s", "collector.example")
            show(ok, line)
            local keys = {}
            for k in pairs(cert) do keys[#keys + 1] = k end
            table.sort(keys)
            show(table.concat(keys, " "))
            show(cert.subject, cert.issuer, cert.not_before, cert.not_after, cert.spki_sha256, cert.verified)
        """ % (srv.port, self.pki.root))
        srv.join()
        pki = self.pki
        self.assertEqual(lines[:2], ['true "hello"', '"issuer not_after not_before spki_sha256 subject verified"'])
        self.assertEqual(lines[2], '"CN=good" "CN=Korvex Test Intermediate" "%s" "%s" "%s" true' % (
            iso(pki.now - datetime.timedelta(days=1)), iso(pki.now + datetime.timedelta(days=10)),
            base64.b64encode(self.leaf_pin).decode()))

    def test_without_verification_every_certificate_is_taken_as_before(self):
        srv = self.serve(self.expired, 1)
        lines = self.script(ATTEMPT + r"""
            local ok, line, cert = attempt(%d)
            show(ok, line, cert.subject, cert.verified)
        """ % srv.port)
        srv.join()
        self.assertEqual(lines, ['true "hello" "CN=expired" false'])


class Pins(VerifyCase):
    def test_a_pin_alone_accepts_the_self_signed_server_whose_key_it_names(self):
        b64 = base64.b64encode(self.self_pin).decode()
        other = base64.b64encode(hashlib.sha256(b"another key").digest()).decode()
        srv = self.serve(self.cert, 5, key=self.key)
        lines = self.attempts(srv, [
            'nil, nil, { "%s" }' % b64,
            'nil, nil, { "%s" }' % self.self_pin.hex(),
            'nil, nil, { "%s" }' % self.self_pin.hex().upper(),
            'nil, nil, { "%s", "%s" }' % (other, b64),    # a second pin for the next key
            'nil, nil, { "%s" }' % other,
        ])
        self.assertEqual([l.split(" ")[:2] for l in lines[:4]], [["true", '"hello"']] * 4)
        msg = "errcode (%d): pin mismatch (server key %s)" % (VERIFY_FAILED, b64)
        self.assertEqual(lines[4], 'false "%s" "ssl_write %s" "ssl_read %s"' % (msg, msg, msg))

    def test_a_pin_with_anchors_is_checked_after_the_chain(self):
        good = base64.b64encode(self.leaf_pin).decode()
        other = hashlib.sha256(b"another key").hexdigest()
        srv = self.serve(self.good, 2)
        lines = self.attempts(srv, [
            '%s, "collector.example", { "%s" }' % (lua(self.pki.root), good),
            '%s, "collector.example", { "%s" }' % (lua(self.pki.root), other),
        ])
        self.assertEqual(lines[0].split(" ")[:2], ["true", '"hello"'])
        self.assertTrue(lines[1].startswith('false "errcode (%d): pin mismatch (server key %s)"' % (
            VERIFY_FAILED, good)), lines[1])
        # Anchors still count beside a pin: a self-signed server with its own pin is refused.
        srv = self.serve(self.cert, 1, key=self.key)
        lines = self.attempts(srv, ['%s, "korvex-test", { "%s" }' % (
            lua(self.pki.root), base64.b64encode(self.self_pin).decode())])
        self.assertTrue(lines[0].startswith('false "errcode (%d): unknown issuer (CN=korvex-test)' % VERIFY_FAILED),
                        lines[0])


class BadInput(VerifyCase):
    def test_ca_paths_that_hold_no_usable_certificate(self):
        d = self.dir
        fifo = os.path.join(d, "fifo")
        os.mkfifo(fifo)
        empty = os.path.join(d, "empty")
        os.makedirs(empty)
        big = os.path.join(d, "big.pem")
        with open(big, "wb") as f:
            f.truncate(100 << 20)
        junk = os.path.join(d, "junkdir")
        os.makedirs(junk)
        os.mkfifo(os.path.join(junk, "fifo.pem"))
        with open(os.path.join(junk, "text.pem"), "w") as f:
            f.write("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n")
        srv = test_ssl.Server(None, lambda c: None, tls=False)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(10)
            for _, path in ipairs({ "/nonexistent/ca.pem", "%s", "%s", "%s", "%s", "%s" }) do
                show(c:verify(path, "collector.example"))
            end
            show(c:dohandshake())
            show(c:send("x"))
            show(c:receive())
            show(c:close(), c:close())
        """ % (srv.port, fifo, empty, big, self.pki.leaf_key, junk))
        srv.join()
        self.assertEqual(lines[:4], [
            'false "cannot open CA path: No such file or directory"',
            'false "CA path is neither a regular file nor a directory"',
            'false "no certificate in CA path"',
            'false "CA file too large (over 1048576 bytes)"',
        ])
        self.assertRegex(lines[4], r'^false "no certificate in CA path \(errcode \(-\d+\)\)"$')
        self.assertRegex(lines[5], r'^false "no certificate in CA path \(errcode \(-\d+\)\)"$')
        # The first refusal is what every session call answers from then on.
        first = "verification not set up (cannot open CA path: No such file or directory)"
        self.assertEqual(lines[6:], ['false "%s"' % first, 'nil "ssl_write %s" 0' % first,
                                     'nil "ssl_read %s" ""' % first, "true true"])

    def test_arguments_of_verify_and_pin(self):
        srv = test_ssl.Server(None, lambda c: None, tls=False)
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(10)
            local root = "%s"
            show(c:verify())
            show(c:verify(1))
            show(c:verify(""))
            show(c:verify(root .. "\0x"))
            show(c:verify(root, "a", "b"))
            show(c:verify(root, 5))
            show(c:verify(root, ""))
            show(c:verify(root, string.rep("a", 256)))
            show(c:verify(root, "bad\0name"))
            local hex = string.rep("ab", 32)
            local b64 = string.rep("A", 43) .. "="
            show(c:pin())
            show(c:pin(hex, hex, hex, hex, hex, hex, hex, hex, hex))   -- nine
            for _, p in ipairs({ "abc", hex:sub(2), hex .. "a", string.rep("g", 64), b64:sub(1, 43),
                                 string.rep("A", 44), string.rep("-", 43) .. "=", string.rep("A", 42) .. "==",
                                 " " .. b64:sub(2), 12 }) do
                show(c:pin(p))
            end
            show(c:pin(hex, "x"))
            show(c:verify(root, string.rep("a", 255)), c:pin(hex, b64, hex, hex, hex, hex, hex, hex))
            show(c:dohandshake())
            c:close()
        """ % (srv.port, self.pki.root))
        srv.join()
        self.assertEqual(lines, ['false "wrong format"'] * 5 + ['false "bad hostname"'] * 4 +
                         ['false "wrong format"'] * 2 + ['false "bad pin"'] * 11 + ["true true",
                         'false "verification not set up (wrong format)"'])

    def test_verification_asked_for_too_late(self):
        srv = self.serve(self.good, 1)
        pin = self.leaf_pin.hex()
        lines = self.script(r"""
            local c = connect(%d)
            c:settimeout(10)
            show(c:peer_certificate())
            show(c:peer_certificate(1))
            show(c:dohandshake(), c:receive())
            show(c:peer_certificate().verified)
            show(c:verify("%s", "collector.example"))
            show(c:pin("%s"))
            show(c:send("x"))
            show(c:receive())
            show(c:dohandshake())
            show(c:close(), c:close())
            show(c:verify("%s", "collector.example"))
            show(c:pin("%s"))
            show(c:peer_certificate())
        """ % (srv.port, self.pki.root, pin, self.pki.root, pin))
        srv.join()
        late = "verification not set up (handshake already started)"
        self.assertEqual(lines, [
            'nil "no handshake"', 'nil "wrong format"', 'true "hello" nil nil', "false",
            'false "handshake already started"', 'false "handshake already started"',
            'nil "ssl_write %s" 0' % late, 'nil "ssl_read %s" ""' % late, 'false "%s"' % late,
            "true true", 'false "closed"', 'false "closed"', 'nil "closed"'])

    def test_object_rules_for_the_new_methods(self):
        srv = test_ssl.Server(None, lambda c: None, tls=False)
        lines = self.script(r"""
            local c = connect(%d)
            local methods = getmetatable(c).__index
            for _, name in ipairs({ "verify", "pin", "peer_certificate" }) do
                local ok, err = pcall(methods[name], {})
                show(name, ok, err:match("Lssl:Connection expected") ~= nil)
            end
            -- Collected after a failed set-up, unclosed.
            c:verify("/nonexistent")
            c = nil
            collectgarbage()
            collectgarbage()
            show("collected")
        """ % srv.port)
        srv.join()
        self.assertEqual(lines, ['"verify" false true', '"pin" false true', '"peer_certificate" false true',
                                 '"collected"'])


if __name__ == "__main__":
    main()
