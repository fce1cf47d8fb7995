#!/usr/bin/python3
"""Where the CPU time of a benchmark row goes: the rows of bench/compare.py
(the same document root and configurations) run against each server named,
pinned, one at a time, while `perf record -g` samples the server's
processes; every sample is put in one bucket by its call chain:

  - a system call (named by the frame just inside the kernel's entry:
    sendto, recvfrom, epoll_wait, epoll_ctl, openat, sendfile64 ...; a read
    or write by what it worked on: a socket, the change notifications, a
    file), with all the kernel work below it (for loopback that includes
    delivering the bytes to the client's socket);
  - a system call's entry and exit, where perf saw only libc's wrapper;
  - other kernel time (interrupts, page faults), by its outermost frame;
  - user space, by library: Zevra's program, its socket library, libc
    (allocation, copies, locks), libstdc++, zlib, a peer's own program.

Each bucket's share is also given in microseconds per request (the share
times the CPU per request read from /proc over the same run), then the
heaviest user-space functions, and at the end one table with a column per
server: the same buckets side by side.

  /usr/bin/python3 bench/cpu_profile.py [--only 1k,404,gzip] [--servers Zevra,lighttpd,h2o]
                                    [--duration S] [--no-build] [--top N]
                                    [--zevra-dir DIR] [--keep-data]

As root (perf). Writes bench/out/profile/<server>-<row>.txt and summary.md
and prints them. Not a test: perf's sampling adds a few per cent of cost of
its own, alike for every server.
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

# The kernel's names for a system call's body, down to the call's name.
CALL_PREFIXES = ("__x64_sys_", "__do_sys_", "__se_sys_", "__sys_", "ksys_", "do_")
# Kernel functions that tell what a read or write worked on.
SOCKET_SEND = ("sock_write_iter", "tcp_sendmsg", "sock_sendmsg")
SOCKET_RECEIVE = ("sock_read_iter", "tcp_recvmsg", "sock_recvmsg")
NOTIFICATIONS = ("inotify_read",)
# libc's system call wrappers: a sample taken there, with no kernel frame
# under it, is the call's entry or exit (mitigations included).
WRAPPERS = ("__send", "__libc_send", "__libc_recv", "__recv", "epoll_ctl", "epoll_wait", "__libc_read", "read",
            "__libc_write", "write", "__GI___libc_write", "writev", "__writev", "__GI___writev", "sendfile64",
            "sendfile", "accept4", "__close", "close", "__libc_openat64", "sched_yield", "__sched_yield",
            "__fstat64", "fstat", "__libc_pread", "__libc_pread64", "__GI___fstatat64", "statx", "__libc_readv")
# Zevra's program and libraries, by the file the sample's code is in.
OWN = {"Zevra": "Zevra", "libZevra.Socket.so": "Zevra's socket library", "libgzip.so": "Zevra's gzip library"}


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


def call_name(symbol):
    for prefix in CALL_PREFIXES:
        if symbol.startswith(prefix):
            return symbol[len(prefix):]
    return symbol


def bucket_of(frames):
    """The bucket of one sample: the system call its chain is in (named by
    the frame just inside the kernel's syscall entry), otherwise where its
    leaf ran."""
    symbols = [symbol for symbol, _ in frames]
    if "do_syscall_64" in symbols:
        at = symbols.index("do_syscall_64")
        inside = symbols[at - 1] if at > 0 else ""
        if not inside.startswith(CALL_PREFIXES):
            return "system call entry and exit"  # in the entry code itself
        call = call_name(inside)
        inner = set(symbols[:at])
        if call in ("read", "readv", "pread64", "write", "writev", "pwrite64", "sendfile64"):
            if inner & set(SOCKET_SEND):
                return "syscall %s (socket send)" % call
            if inner & set(SOCKET_RECEIVE):
                return "syscall %s (socket receive)" % call
            if inner & set(NOTIFICATIONS):
                return "syscall %s (change notifications)" % call
            if call != "sendfile64":
                return "syscall %s (file)" % call
        return "syscall " + call
    symbol, dso = frames[0]
    if dso.startswith("[kernel"):
        kernel = [s for s, d in frames if d.startswith("[kernel")]
        return "kernel, no system call: " + kernel[-1]
    if dso.startswith("libc") and symbol in WRAPPERS:
        return "system call entry and exit"
    if dso in OWN:
        return "user: " + OWN[dso]
    if dso.startswith("libc.so") or dso.startswith("libc-"):
        return "user: libc"
    if dso.startswith("libstdc++"):
        return "user: libstdc++"
    if dso.startswith("libz.so"):
        return "user: zlib"
    return "user: %s" % dso


def profile_row(server, scenario, args):
    key = scenario[0]
    data = os.path.join(PROFILE_OUT, "%s-%s.data" % (server.name, key))
    # A second of load first, so the caches are warm when sampling starts.
    compare.wrk(server, scenario[2], 16, 1, True, scenario[3])
    pids = ",".join(str(pid) for pid in sorted(server.tree()))
    perf = subprocess.Popen(["perf", "record", "-q", "-F", str(args.frequency), "-g", "-o", data, "-p", pids],
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


def shares(samples):
    buckets = collections.Counter(bucket_of(frames) for frames in samples)
    total = max(1, len(samples))
    return {name: count / total for name, count in buckets.items()}


def report(name, scenario, r, samples, share, top):
    label = scenario[1]
    user = collections.Counter("%s (%s)" % (frames[0][0], frames[0][1]) for frames in samples
                               if not frames[0][1].startswith("[kernel"))
    total = max(1, len(samples))
    us = r["us_per_req"]
    lines = ["%s, %s: %d requests, %.1f us CPU per request, %d samples" % (name, label, r["requests"], us,
                                                                           len(samples)),
             "", "| where | share | us/request |", "|---|---|---|"]
    rest = 0.0
    for bucket, part in sorted(share.items(), key=lambda kv: -kv[1]):
        if part < 0.005:
            rest += part
            continue
        lines.append("| %s | %.1f %% | %.2f |" % (bucket, 100.0 * part, us * part))
    if rest:
        lines.append("| (others under 0.5 %% each) | %.1f %% | %.2f |" % (100.0 * rest, us * rest))
    lines += ["", "Heaviest functions in user space (where the sample was taken):", ""]
    for function, count in user.most_common(top):
        lines.append("  %5.1f %%  %s" % (100.0 * count / total, function[:110]))
    return "\n".join(lines) + "\n"


def group_of(bucket):
    """The summary's coarser buckets."""
    if bucket.startswith("syscall "):
        call = bucket[8:]
        if "(socket send)" in call or call in ("sendto", "sendmsg", "sendfile64"):
            return "send"
        if "(socket receive)" in call or call in ("recvfrom", "recvmsg"):
            return "receive"
        if "(change notifications)" in call:
            return "change notifications"
        if call in ("epoll_wait", "epoll_pwait"):
            return "epoll_wait"
        if call == "epoll_ctl":
            return "epoll_ctl"
        if call.startswith(("read", "pread64")):
            return "file reads"
        if call.startswith(("write", "pwrite64")):
            return "file writes (logs)"
        if call in ("openat", "open", "newfstatat", "fstat", "newfstat", "statx", "close", "getdents64"):
            return "open, stat, close"
        return "other system calls"
    if bucket == "system call entry and exit":
        return bucket
    if bucket.startswith("kernel"):
        return "kernel outside calls"
    return "user space"


def summary(results):
    """One table per row: a column per server, the coarse buckets in us per request."""
    groups = ["send", "receive", "epoll_wait", "epoll_ctl", "change notifications", "file reads",
              "file writes (logs)", "open, stat, close", "other system calls", "system call entry and exit",
              "kernel outside calls", "user space"]
    rows = {}
    for (name, key, label), (r, share) in results.items():
        rows.setdefault((key, label), {})[name] = (r, share)
    out = []
    for (key, label), by_server in rows.items():
        names = list(by_server)
        out += ["%s: CPU us per request, by where it went" % label, "",
                "| where | " + " | ".join(names) + " |", "|---" * (len(names) + 1) + "|"]
        for group in groups:
            cells = []
            for name in names:
                r, share = by_server[name]
                part = sum(v for b, v in share.items() if group_of(b) == group)
                cells.append("%.2f" % (r["us_per_req"] * part))
            out.append("| %s | %s |" % (group, " | ".join(cells)))
        out.append("| **all** | %s |" % " | ".join("**%.2f**" % by_server[n][0]["us_per_req"] for n in names))
        out.append("")
    return "\n".join(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", default=DEFAULT_ROWS)
    ap.add_argument("--servers", default="Zevra")
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
        raise SystemExit("cpu_profile.py needs root (perf)")
    wanted = set(args.only.split(","))
    scenarios = [s for s in compare.SCENARIOS if s[0] in wanted]
    compare.install_packages()
    if subprocess.run(["perf", "--version"], capture_output=True).returncode != 0:
        raise SystemExit("perf is missing (Debian: linux-perf)")
    if not args.no_build:
        compare.build_zevra()
    compare.make_root()
    os.makedirs(PROFILE_OUT, exist_ok=True)
    names = [name for name in compare.LAYOUTS if name in args.servers.split(",")]
    results = {}
    for name in names:
        argv, cwd = compare.LAYOUTS[name](True)
        server = compare.Server(name, argv, cwd, True)
        try:
            for scenario in scenarios:
                if not compare.runs(name, scenario[0]):
                    continue
                r, samples = profile_row(server, scenario, args)
                share = shares(samples)
                text = report(name, scenario, r, samples, share, args.top)
                compare.write(os.path.join(PROFILE_OUT, "%s-%s.txt" % (name, scenario[0])), text.encode())
                print(text, flush=True)
                results[(name, scenario[0], scenario[1])] = (r, share)
        finally:
            server.stop()
    table = summary(results)
    compare.write(os.path.join(PROFILE_OUT, "summary.md"), table.encode())
    print(table)


if __name__ == "__main__":
    main()
