#!/usr/bin/python3
"""Where Zevra's CPU time goes, row by row: the benchmark's rows (the same
document root and settings as bench/compare.py) run against Zevra alone,
pinned, while `perf record -g` samples the worker; every sample is put in
one bucket by its call chain:

  - a system call (the outermost kernel entry of the chain: sendto, recvfrom,
    epoll_wait, epoll_ctl, write, read, openat, sendfile64 ...), with all
    the kernel work below it (for loopback that includes delivering the
    bytes to the client's socket);
  - other kernel time (interrupts, soft interrupts, scheduling);
  - user space, by library: the server's own code, the socket library,
    libc (allocation, copies), libstdc++, zlib.

Each bucket's share is also given in microseconds per request (the share
times the CPU per request read from /proc over the same run), and the
heaviest functions of the server's own code follow.

  /usr/bin/python3 bench/profile.py [--only 1k,404,gzip] [--duration S]
                                    [--no-build] [--top N] [--zevra-dir DIR]

As root (perf). Writes bench/out/profile/<row>.txt and prints them.
Not a test: perf's sampling adds a few per cent of cost of its own.
"""

import argparse
import collections
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compare  # noqa: E402  (the rows, the document root, the server)

PROFILE_OUT = os.path.join(compare.OUT, "profile")
DEFAULT_ROWS = "1k,404,gzip,1m,100m,listing"

# Kernel entries that name a system call, newest kernels first spelling.
SYSCALL = re.compile(r"^(?:__x64_sys_|__do_sys_|__se_sys_|ksys_)(\w+)$")
# The server's own libraries and program, by the file the sample's code is in.
OWN = {"Zevra": "server", "libZevra.Socket.so": "socket library", "libgzip.so": "gzip library"}


def parse_samples(text):
    """perf script's output as a list of samples, each a list of
    (symbol, dso) from the leaf outwards."""
    samples, frames = [], []
    for line in text.splitlines():
        if not line.strip():
            if frames:
                samples.append(frames)
            frames = []
            continue
        if not line.startswith((" ", "\t")):
            continue  # the sample's own header line
        m = re.match(r"\s+[0-9a-f]+\s+(.*?)\s+\((.*)\)\s*$", line)
        if m:
            symbol = re.sub(r"\+0x[0-9a-f]+$", "", m.group(1))
            frames.append((symbol, os.path.basename(m.group(2))))
    if frames:
        samples.append(frames)
    return samples


# libc's system call wrappers: a sample taken in one is the call's entry
# or return, so it counts with the call.
WRAPPERS = {"__send": "sendto", "__libc_send": "sendto", "__libc_recv": "recvfrom", "__recv": "recvfrom",
            "epoll_ctl": "epoll_ctl", "epoll_wait": "epoll_wait", "__libc_read": "read", "read": "read",
            "__libc_write": "write", "write": "write", "__GI___libc_write": "write", "writev": "writev",
            "__writev": "writev", "sendfile64": "sendfile64", "sendfile": "sendfile64", "accept4": "accept4",
            "__close": "close", "close": "close", "__libc_openat64": "openat", "sched_yield": "sched_yield",
            "__sched_yield": "sched_yield", "__fstat64": "newfstatat", "fstat": "newfstatat"}


def bucket_of(frames):
    """The bucket of one sample: the outermost system call in its chain when
    it has one, otherwise where its leaf ran (kernel time outside any call
    by its outermost kernel frame: an interrupt, a page fault)."""
    for symbol, _ in reversed(frames):
        m = SYSCALL.match(symbol)
        if m:
            return "syscall " + m.group(1)
    # The first user-space frame: a wrapper there means the sample was in
    # the call's entry or exit path (mitigations included).
    kernel = [s for s, d in frames if d.startswith("[kernel")]
    user = [(s, d) for s, d in frames if not d.startswith("[kernel")]
    if user and user[0][1].startswith("libc") and user[0][0] in WRAPPERS:
        return "syscall " + WRAPPERS[user[0][0]]
    if kernel:
        return "kernel, no system call: " + kernel[-1]
    symbol, dso = frames[0]
    if dso in OWN:
        return "user: " + OWN[dso]
    if dso.startswith("libc.so") or dso.startswith("libc-"):
        return "user: libc"
    if dso.startswith("libstdc++"):
        return "user: libstdc++"
    if dso.startswith("libz.so"):
        return "user: zlib"
    return "user: other (%s)" % dso


def profile_row(server, scenario, args):
    key = scenario[0]
    data = os.path.join(PROFILE_OUT, key + ".data")
    # A second of load first, so the caches are warm when sampling starts.
    compare.wrk(server, scenario[2], 16, 1, True, scenario[3])
    perf = subprocess.Popen(["perf", "record", "-q", "-F", str(args.frequency), "-g", "-o", data,
                             "-p", str(server.proc.pid)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(0.3)  # perf attaches
        r = compare.run_wrk(server, scenario, args, True)
    finally:
        perf.send_signal(2)
        perf.wait(timeout=60)
    script = subprocess.run(["perf", "script", "-i", data, "-F", "ip,sym,dso"], capture_output=True,
                            text=True, timeout=600).stdout
    samples = parse_samples(script)
    if not args.keep_data:
        os.remove(data)
    return r, samples


def report(scenario, r, samples, top):
    label = scenario[1]
    buckets = collections.Counter(bucket_of(frames) for frames in samples)
    user = collections.Counter("%s (%s)" % (frames[0][0], frames[0][1]) for frames in samples
                               if not frames[0][1].startswith("[kernel"))
    total = max(1, len(samples))
    us = r["us_per_req"]
    lines = ["%s: %d requests, %.1f us CPU per request, %d samples" % (label, r["requests"], us, len(samples)),
             "", "| where | share | us/request |", "|---|---|---|"]
    for name, count in buckets.most_common():
        if count * 200 < total:
            continue  # under half a per cent
        lines.append("| %s | %.1f %% | %.2f |" % (name, 100.0 * count / total, us * count / total))
    rest = sum(c for c in buckets.values() if c * 200 < total)
    if rest:
        lines.append("| (others under 0.5 %% each) | %.1f %% | %.2f |" % (100.0 * rest / total, us * rest / total))
    lines += ["", "Heaviest functions in user space (where the sample was taken):", ""]
    for name, count in user.most_common(top):
        lines.append("  %5.1f %%  %s" % (100.0 * count / total, name[:110]))
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", default=DEFAULT_ROWS)
    ap.add_argument("--duration", type=int, default=6)
    ap.add_argument("--connections", type=int, default=64)
    ap.add_argument("--frequency", type=int, default=1999)
    ap.add_argument("--top", type=int, default=12)
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--keep-data", action="store_true", help="keep bench/out/profile/<row>.data for perf report")
    ap.add_argument("--zevra-dir", default="",
                    help="the program directory of another build to profile (implies --no-build)")
    args = ap.parse_args()
    if args.zevra_dir:
        compare.ZEVRA_BUILT = os.path.abspath(args.zevra_dir)
        args.no_build = True
    if os.geteuid() != 0:
        raise SystemExit("profile.py needs root (perf)")
    wanted = set(args.only.split(","))
    scenarios = [s for s in compare.SCENARIOS if s[0] in wanted]
    compare.install_packages()
    if subprocess.run(["perf", "--version"], capture_output=True).returncode != 0:
        raise SystemExit("perf is missing (Debian: linux-perf)")
    if not args.no_build:
        compare.build_zevra()
    compare.make_root()
    os.makedirs(PROFILE_OUT, exist_ok=True)
    argv, cwd = compare.zevra_layout(True)
    server = compare.Server("Zevra", argv, cwd, True)
    try:
        for scenario in scenarios:
            r, samples = profile_row(server, scenario, args)
            text = report(scenario, r, samples, args.top)
            compare.write(os.path.join(PROFILE_OUT, scenario[0] + ".txt"), text.encode())
            print(text, flush=True)
    finally:
        server.stop()


if __name__ == "__main__":
    main()
