"""c.crypto and c.ssl built against mbed TLS 2.28 (Debian 12) and 3.6
(current OpenWrt), measured in the same run, alternating: for every line of
crypto_bench and ssl_bench the figure of each build and the ratio 3.6/2.28.

Usage: mbedtls_versions.py <build dir 2.28> <build dir 3.6> [seconds per crypto measurement]
Both build directories must have the targets crypto_bench, ssl_floor and
korvex-dpi-inner built (tools/check-mbedtls3.sh makes the 3.6 one).
"""
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DIRS = {"2.28": sys.argv[1], "3.6": sys.argv[2]}
SECONDS = sys.argv[3] if len(sys.argv) > 3 else "0.3"
NUMBER = re.compile(r"(\d+(?:\.\d+)?) ?(MiB/s|/s)")


def run(build):
    crypto = subprocess.run([os.path.join(build, "bench", "crypto_bench"), SECONDS],
                            capture_output=True, text=True, check=True).stdout
    ssl = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "ssl_bench.py"),
                          os.path.join(build, "engine", "korvex-dpi-inner"),
                          os.path.join(ROOT, "examples", "demo", "init.lua"),
                          os.path.join(build, "bench", "ssl_floor"), "50", "200"],
                         capture_output=True, text=True, check=True).stdout
    return [line for line in (crypto + ssl).splitlines() if NUMBER.search(line)]


def first_rate(line):
    return float(NUMBER.search(line).group(1))


def main():
    # Two rounds each, alternating, so a busy moment hits both builds alike;
    # the better round of each counts.
    rounds = {v: [] for v in DIRS}
    for _ in range(2):
        for version, build in DIRS.items():
            rounds[version].append(run(build))
    best = {}
    for version, runs in rounds.items():
        best[version] = [max(lines, key=first_rate) for lines in zip(*runs)]
    print("first figure of each line (the Lua side): 2.28, 3.6, ratio 3.6/2.28")
    for old, new in zip(best["2.28"], best["3.6"]):
        label = NUMBER.split(old)[0].strip()
        a, b = first_rate(old), first_rate(new)
        print("%-60s %10.1f %10.1f  %.2f" % (label[:60], a, b, b / a if a else 0.0))


if __name__ == "__main__":
    main()
