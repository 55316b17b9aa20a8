"""What the script benchmarks share: a directory in which the engine runs as
`ut` beside a bundle, a Lua script run there, and the RESULT lines it prints
(`RESULT <word>...`, one figure or key and figure per line)."""
import os
import shutil
import subprocess
import sys


def ut_dir(work, engine, bundle):
    """Makes `work` a directory where `engine` runs as `ut` with `bundle` as
    its init.lua; gives the path of `ut`."""
    ut = os.path.join(work, "ut")
    os.symlink(os.path.abspath(engine), ut)
    shutil.copy(bundle, os.path.join(work, "init.lua"))
    # A plain bundle finds the shared modules (korvex.log, ...) beside it.
    shared = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sdk", "lua", "korvex")
    os.symlink(os.path.abspath(shared), os.path.join(work, "korvex"))
    return ut


def run_script(ut, text, name="bench.lua", env=None, timeout=None, quiet=False):
    """Writes `text` beside `ut` as `name`, runs it and gives its standard
    output. Ends the benchmark with the output when the script fails, and,
    with `quiet`, when it writes anything to standard error."""
    path = os.path.join(os.path.dirname(ut), name)
    with open(path, "w") as f:
        f.write(text)
    p = subprocess.run([ut, path], stdout=subprocess.PIPE, stderr=subprocess.PIPE if quiet else None,
                       universal_newlines=True, env=env, timeout=timeout)
    if p.returncode != 0 or (quiet and p.stderr):
        sys.exit("%s failed (exit %d):\n%s%s" % (name, p.returncode, p.stdout, p.stderr or ""))
    return p.stdout


def results(out):
    """The words after RESULT of each RESULT line, in order."""
    return [line.split()[1:] for line in out.splitlines() if line.startswith("RESULT ")]


def keyed(out, keys=(), scale=1.0):
    """`RESULT <key> <number>` lines as {key: number / scale}; ends the
    benchmark with the output when one of `keys` is missing."""
    r = {words[0]: float(words[1]) / scale for words in results(out) if len(words) == 2}
    missing = [k for k in keys if k not in r]
    if missing:
        sys.exit("no RESULT for %s:\n%s" % (", ".join(missing), out))
    return r
