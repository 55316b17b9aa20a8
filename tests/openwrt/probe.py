"""Traffic of the router tests (run inside the LAN or WAN namespace of
setup.sh through nsenter):

  probe.py udp <address> <port> <timeout>   one datagram from a fresh port;
                                            exit 0 when its echo came back
  probe.py icmp <address> <timeout>         one echo request of a fresh id;
                                            exit 0 when the reply came back
  probe.py serve <port>                     echoes datagrams; prints
                                            "ready <pid>" once listening
  probe.py stream <address> <count>         echo requests of one id (one
                                            flow) every 0.1 s; prints "reply
                                            N" per reply, ends after <count>
                                            of them, or prints "stalled" and
                                            fails after 20 s without one
"""
import os
import random
import select
import socket
import struct
import sys
import time


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    s = (s >> 16) + (s & 0xFFFF)
    s += s >> 16
    return ~s & 0xFFFF


def echo_request(ident, seq):
    payload = b"korvex-probe"
    head = struct.pack("!BBHHH", 8, 0, 0, ident, seq)
    return struct.pack("!BBHHH", 8, 0, checksum(head + payload), ident, seq) + payload


def wait_reply(sock, address, ident, deadline):
    """The sequence number of the next echo reply of `ident`, or None."""
    while True:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([sock], [], [], left)[0]:
            return None
        data, peer = sock.recvfrom(2048)
        ihl = (data[0] & 0x0F) * 4
        kind, _, _, rid, seq = struct.unpack("!BBHHH", data[ihl:ihl + 8])
        if peer[0] == address and kind == 0 and rid == ident:
            return seq


def icmp(address, timeout):
    sock = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    ident = random.randrange(1, 0xFFFF)
    sock.sendto(echo_request(ident, 1), (address, 0))
    return wait_reply(sock, address, ident, time.monotonic() + timeout) is not None


def udp(address, port, timeout):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("0.0.0.0", 0))
    sock.sendto(b"korvex-probe", (address, port))
    sock.settimeout(timeout)
    try:
        data, _ = sock.recvfrom(2048)
        return data == b"korvex-probe"
    except socket.timeout:
        return False


def serve(port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("0.0.0.0", port))
    print("ready %d" % os.getpid(), flush=True)
    while True:
        data, peer = sock.recvfrom(2048)
        sock.sendto(data, peer)


def stream(address, count):
    sock = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    ident = random.randrange(1, 0xFFFF)
    seq, replies, last = 0, 0, time.monotonic()
    while replies < count:
        seq += 1
        sock.sendto(echo_request(ident, seq), (address, 0))
        if wait_reply(sock, address, ident, time.monotonic() + 0.1) is not None:
            replies += 1
            last = time.monotonic()
            print("reply %d" % replies, flush=True)
            time.sleep(0.1)
        elif time.monotonic() - last > 20:
            print("stalled", flush=True)
            return False
    return True


def main(argv):
    what = argv[1]
    if what == "udp":
        ok = udp(argv[2], int(argv[3]), float(argv[4]))
    elif what == "icmp":
        ok = icmp(argv[2], float(argv[3]))
    elif what == "serve":
        serve(int(argv[2]))
    elif what == "stream":
        ok = stream(argv[2], int(argv[3]))
    else:
        sys.exit("unknown probe " + what)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main(sys.argv)
