"""The two ends of the home network around the router of setup.sh, for the
dnswatch tests (run inside the WAN or LAN namespace through nsenter):

  homenet.py wan <dir>                 on the WAN side: a DNS server on
                                       203.0.113.2:53 (the zone below), a
                                       TCP server on port 80 and a TLS one
                                       on 443 of every address, and the
                                       TLS collector on 198.51.100.2:6514
                                       that appends each report it gets to
                                       <dir>/reports.jsonl and answers
                                       "ok <count>". Certificates are
                                       <dir>/server.pem, server.key (made
                                       by the test). Prints "ready" once
                                       everything listens; <dir>/collector.down
                                       existing makes the collector close
                                       connections unanswered.
  homenet.py resolve <name>            on the LAN side: one query to the DNS
                                       server; prints the addresses, one a
                                       line; exit 1 without an answer in 5 s
  homenet.py connect <addr> <timeout>  a TCP connection to <addr>:80; exit 0
                                       when the server's greeting came
  homenet.py tls <addr> <name> <timeout>  a TLS handshake with <addr>:443
                                       naming <name>; exit 0 when it completed
  homenet.py queries <name> <count>    <count> queries one after another;
                                       prints how many were answered
"""
import json
import os
import random
import socket
import ssl
import struct
import sys
import threading

DNS_SERVER = "203.0.113.2"

ZONE = {
    "allowed.test": ("A", "203.0.113.3"),
    "blocked.test": ("A", "203.0.113.4"),
    "www.blocked.test": ("A", "203.0.113.4"),
    "alias.test": ("CNAME", "cdn.blocked.test"),
    "cdn.blocked.test": ("A", "203.0.113.5"),
    "later.test": ("A", "203.0.113.6"),
    "sni-only.test": ("A", "203.0.113.7"),
    "v2.test": ("A", "203.0.113.8"),
}


def encode_name(name):
    return b"".join(bytes([len(l)]) + l.encode() for l in name.split(".")) + b"\0"


def read_qname(data, pos):
    labels = []
    while data[pos]:
        n = data[pos]
        labels.append(data[pos + 1:pos + 1 + n].decode())
        pos += 1 + n
    return ".".join(labels).lower(), pos + 1


def answer(query):
    ident, _flags, qd = struct.unpack("!HHH", query[:6])
    name, end = read_qname(query, 12)
    question = query[12:end + 4]
    records = []
    at = name
    while at in ZONE:
        kind, value = ZONE[at]
        owner = encode_name(at)
        if kind == "CNAME":
            rdata = encode_name(value)
            records.append(owner + struct.pack("!HHIH", 5, 1, 30, len(rdata)) + rdata)
            at = value
        else:
            records.append(owner + struct.pack("!HHIH", 1, 1, 30, 4) + socket.inet_aton(value))
            break
    rcode = 0 if records else 3
    head = struct.pack("!HHHHHH", ident, 0x8180 | rcode, 1, len(records), 0, 0)
    return head + question + b"".join(records)


def dns_server():
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((DNS_SERVER, 53))
    return sock


def serve_dns(sock):
    while True:
        data, peer = sock.recvfrom(2048)
        try:
            sock.sendto(answer(data), peer)
        except (IndexError, struct.error, UnicodeDecodeError):
            pass


def listener(port, address="0.0.0.0"):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((address, port))
    s.listen(64)
    return s


def serve_tcp(s):
    while True:
        c, _ = s.accept()
        try:
            c.sendall(b"hello\n")
        finally:
            c.close()


def serve_tls(s, ctx):
    while True:
        c, _ = s.accept()
        c.settimeout(5)
        try:
            t = ctx.wrap_socket(c, server_side=True)
            t.sendall(b"hello\n")
            t.close()
        except (OSError, ssl.SSLError):
            c.close()


def collect(c, ctx, directory):
    c.settimeout(10)
    try:
        t = ctx.wrap_socket(c, server_side=True)
        line = b""
        while not line.endswith(b"\n"):
            part = t.recv(65536)
            if not part:
                return
            line += part
        if os.path.exists(os.path.join(directory, "collector.down")):
            return
        batch = json.loads(line)
        with open(os.path.join(directory, "reports.jsonl"), "a") as f:
            for r in batch["reports"]:
                f.write(json.dumps(dict(r, device=batch.get("device"), seq=batch.get("seq"))) + "\n")
        t.sendall(b"ok %d\n" % len(batch["reports"]))
        t.close()
    except (OSError, ssl.SSLError, ValueError, KeyError):
        pass
    finally:
        c.close()


def serve_collector(s, ctx, directory):
    while True:
        c, _ = s.accept()
        threading.Thread(target=collect, args=(c, ctx, directory), daemon=True).start()


def wan(directory):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(os.path.join(directory, "server.pem"), os.path.join(directory, "server.key"))
    jobs = [(serve_dns, (dns_server(),)), (serve_tcp, (listener(80),)), (serve_tls, (listener(443), ctx)),
            (serve_collector, (listener(6514, "198.51.100.2"), ctx, directory))]
    for fn, args in jobs:
        threading.Thread(target=fn, args=args, daemon=True).start()
    print("ready", flush=True)
    threading.Event().wait()


def query(sock, name):
    """One query; the answer, or None after 5 s."""
    ident = random.randrange(0, 0xFFFF)
    sock.sendto(struct.pack("!HHHHHH", ident, 0x0100, 1, 0, 0, 0) + encode_name(name) + b"\0\1\0\1",
                (DNS_SERVER, 53))
    try:
        while True:
            data, _ = sock.recvfrom(2048)
            if data[:2] == struct.pack("!H", ident):
                return data
    except socket.timeout:
        return None


def queries(name, count):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.settimeout(5)
    print(sum(1 for _ in range(count) if query(sock, name) is not None))
    return 0


def resolve(name):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.settimeout(5)
    data = query(sock, name)
    if data is None:
        return 1
    count = struct.unpack("!H", data[6:8])[0]
    _, pos = read_qname(data, 12)
    pos += 4
    for _ in range(count):
        _, pos = read_qname(data, pos)
        kind, _, _, length = struct.unpack("!HHIH", data[pos:pos + 10])
        pos += 10
        if kind == 1:
            print(socket.inet_ntoa(data[pos:pos + 4]))
        pos += length
    return 0


def connect(address, timeout):
    try:
        with socket.create_connection((address, 80), timeout=timeout) as c:
            return 0 if c.recv(16) == b"hello\n" else 1
    except OSError:
        return 1


def handshake(address, name, timeout):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    try:
        with socket.create_connection((address, 443), timeout=timeout) as c:
            with ctx.wrap_socket(c, server_hostname=name) as t:
                return 0 if t.recv(16) == b"hello\n" else 1
    except OSError:
        return 1


if __name__ == "__main__":
    cmd = sys.argv[1]
    if cmd == "wan":
        wan(sys.argv[2])
    elif cmd == "resolve":
        sys.exit(resolve(sys.argv[2]))
    elif cmd == "connect":
        sys.exit(connect(sys.argv[2], float(sys.argv[3])))
    elif cmd == "queries":
        sys.exit(queries(sys.argv[2], int(sys.argv[3])))
    elif cmd == "tls":
        sys.exit(handshake(sys.argv[2], sys.argv[3], float(sys.argv[4])))
