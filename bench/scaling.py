#!/usr/bin/python3
"""How the cost of an answer grows, for Zevra and its three peers.

Three sheets on one generated document root, each server configured as in
compare.py (same layouts, access logs on, pinned unless --unpinned):

  conn     the 1 KiB file over keep-alive at 1, 16, 64, 256 and 1,024
           connections: req/s and CPU microseconds per request;
  listing  folder listings of 200, 2,000 and 20,000 entries over one
           connection: milliseconds per listing, wall and CPU;
  files    10, 1,000 and 100,000 distinct small files requested at random
           (a wrk Lua script) over 64 connections: req/s and CPU per request,
           which shows how each server's caches hold up when the set grows.

  /usr/bin/python3 bench/scaling.py               # all three sheets, about 4 minutes
  options: --duration S (5), --only conn,listing,files, --servers NAME,NAME,
           --unpinned, --no-build, --note TEXT, --readme

Writes bench/out/scaling/scaling.md and scaling.png; with --readme puts both
into README.md between the scaling markers. Every point drives the servers
in turn while all of them run, as compare.py does.
"""

import argparse
import os
import re
import resource
import shutil
import subprocess
import sys

import compare

HERE = compare.HERE
OUT = os.path.join(compare.OUT, "scaling")
CONNECTIONS = [1, 16, 64, 256, 1024]
ENTRIES = [200, 2000, 20000]
FILES = [10, 1000, 100000]
FILE_CONNECTIONS = 64
PACKAGES = compare.PACKAGES  # h2o, nginx-light, lighttpd, wrk, gnuplot-nox …
NAMES = ["Zevra"] + list(compare.PEERS)

# Picks one of the first N small files at random for every request; N comes
# after "--" on wrk's command line. Each wrk thread gets its own seed so the
# two threads do not walk the same sequence.
RANDOM_LUA = r"""
local count = 1
local threads = 0
function setup(thread)
  threads = threads + 1
  thread:set("seed", threads)
end
function init(args)
  count = tonumber(args[1]) or 1
  math.randomseed(os.time() * 7919 + (seed or 0))
end
function request()
  local i = math.random(0, count - 1)
  return wrk.format("GET", string.format("/files/%02d/f%06d.txt", i % 100, i))
end
"""


def file_path(root, i):
    return os.path.join(root, "files", "%02d" % (i % 100), "f%06d.txt" % i)


def make_root(sheets, entries, files):
    """Lays out the root, keeping the listing folders and the small files of
    an earlier run: removing and writing 100,000 files again takes minutes
    on a busy disk, and their content never changes. The server layouts
    are made afresh."""
    root = compare.ROOT
    for entry in os.listdir(OUT) if os.path.isdir(OUT) else []:
        if entry != "root":
            path = os.path.join(OUT, entry)
            shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
    os.makedirs(root, exist_ok=True)
    with open("/dev/urandom", "rb") as rnd:
        compare.write(os.path.join(root, "1k.bin"), rnd.read(1024))
    if "listing" in sheets:
        for n in entries:
            d = os.path.join(root, "list%d" % n)
            if os.path.isdir(d) and len(os.listdir(d)) == n:
                continue
            shutil.rmtree(d, ignore_errors=True)
            os.makedirs(d)
            for i in range(n):
                open(os.path.join(d, "file%05d.txt" % i), "wb").close()
    if "files" in sheets and files:
        for d in range(min(100, max(files))):
            os.makedirs(os.path.join(root, "files", "%02d" % d), exist_ok=True)
        body = b"small file, one of many, served at random by the scaling sheet\n"
        for i in range(max(files)):
            path = file_path(root, i)
            if not os.path.exists(path):
                with open(path, "wb") as f:
                    f.write(body)
    compare.write(os.path.join(OUT, "random.lua"), RANDOM_LUA.encode())


def point(servers, names, label, run):
    """Drives each server in turn with run(server) and prints what it got."""
    got = {}
    for name in names:
        r = got[name] = run(servers[name])
        bad = r["non2xx"] + r["errors"]
        print("%-9s %-34s %10.0f req/s %10.1f us CPU/req%s" % (
            name, label, r["rps"], r["us_per_req"], "  (%d non-2xx or errors)" % bad if bad else ""), flush=True)
    return got


def cells(got, names, f):
    return " | ".join(f(got[n]) if n in got else "n/a" for n in names)


def failures(got, names):
    return "/".join(str(got[n]["non2xx"] + got[n]["errors"]) if n in got else "-" for n in names)


def num(v, form):
    return form % v if v == v else "n/a"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--unpinned", action="store_true")
    ap.add_argument("--duration", type=int, default=5)
    ap.add_argument("--only", default="", help="conn,listing,files")
    ap.add_argument("--servers", default=",".join(NAMES))
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--readme", action="store_true")
    ap.add_argument("--note", default="", help="a sentence for the sheet's first line (the machine's load)")
    args = ap.parse_args()
    pinned = not args.unpinned
    sheets = set(filter(None, args.only.split(","))) or {"conn", "listing", "files"}
    names = [n for n in NAMES if n in args.servers.split(",")]

    compare.install_packages()
    if "Zevra" in names and not args.no_build:
        compare.build_zevra()
    # The layouts of compare.py write under its OUT and serve its ROOT; the
    # sheet keeps its own, so a run of one does not wipe the other's results.
    compare.OUT = OUT
    compare.ROOT = os.path.join(OUT, "root")
    # 1,024 connections take as many descriptors in wrk and in each server.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 65536)), hard))
    load_start = compare.load_average()
    make_root(sheets, ENTRIES, FILES)
    layouts = {n: compare.LAYOUTS[n](pinned) for n in names}
    lua = os.path.join(OUT, "random.lua")
    conn, listing, files = {}, {}, {}
    servers = {}
    d = args.duration
    try:
        for n in names:
            argv, cwd = layouts[n]
            servers[n] = compare.Server(n, argv, cwd, pinned)
        if "conn" in sheets:
            for c in CONNECTIONS:
                conn[c] = point(servers, names, "1 KiB, %d connections" % c,
                                lambda s, c=c: compare.wrk(s, "/1k.bin", c, d, pinned))
        if "listing" in sheets:
            for e in ENTRIES:
                listing[e] = point(servers, names, "listing of %d entries" % e,
                                   lambda s, e=e: compare.wrk(s, "/list%d/" % e, 1, d, pinned))
        if "files" in sheets:
            for f in FILES:
                files[f] = point(servers, names, "%d distinct files at random" % f,
                                 lambda s, f=f: compare.wrk(s, "/", FILE_CONNECTIONS, d, pinned,
                                                            script=lua, script_args=[str(f)]))
    finally:
        for s in servers.values():
            s.stop()
    load_end = compare.load_average()

    lines = [compare.header_line(pinned, "wrk -t2 (-t1 for one connection), -d%ds per point" % d, args.note,
                                 load_start, load_end), ""]
    heads = " | ".join(names)
    initials = "/".join(n[0] for n in names)
    if conn:
        lines += ["1 KiB file over keep-alive, by connections: req/s, then CPU us per request.", "",
                  "| connections | %s | CPU us/req (%s) | non-2xx + errors |" % (heads, initials),
                  "|---" * (len(names) + 3) + "|"]
        for c, got in conn.items():
            lines.append("| %d | %s | %s | %s |" % (c, cells(got, names, lambda r: "%.0f" % r["rps"]),
                                                    "/".join(num(got[n]["us_per_req"], "%.1f") if n in got else "-"
                                                             for n in names), failures(got, names)))
        lines.append("")
    if listing:
        lines += ["Folder listing over one connection: ms per listing (wall, wrk's mean latency), then CPU ms "
                  "per listing.", "",
                  "| entries | %s | CPU ms/listing (%s) | non-2xx + errors |" % (heads, initials),
                  "|---" * (len(names) + 3) + "|"]
        for e, got in listing.items():
            lines.append("| %d | %s | %s | %s |" % (e, cells(got, names, lambda r: num(r["mean"], "%.2f")),
                                                    "/".join(num(got[n]["us_per_req"] / 1000, "%.2f") if n in got
                                                             else "-" for n in names), failures(got, names)))
        lines.append("")
    if files:
        lines += ["Distinct small files requested at random over %d connections: req/s, then CPU us per "
                  "request." % FILE_CONNECTIONS, "",
                  "| distinct files | %s | CPU us/req (%s) | non-2xx + errors |" % (heads, initials),
                  "|---" * (len(names) + 3) + "|"]
        for f, got in files.items():
            lines.append("| %d | %s | %s | %s |" % (f, cells(got, names, lambda r: "%.0f" % r["rps"]),
                                                    "/".join(num(got[n]["us_per_req"], "%.1f") if n in got else "-"
                                                             for n in names), failures(got, names)))
        lines.append("")
    table = "\n".join(lines).rstrip()
    compare.write(os.path.join(OUT, "scaling.md"), (table + "\n").encode())
    chart = os.path.join(OUT, "scaling.png")
    draw_chart(names, conn, listing, files, chart)
    print()
    print(table)
    if args.readme:
        update_readme(table, chart)


def write_data(path, names, sheet, value, cpu_scale=1.0):
    """One line per x: x, then for each server its figure and its CPU per
    request (NaN where a server has none, which gnuplot leaves out)."""
    with open(path, "w") as f:
        for x, got in sheet.items():
            row = [str(x)]
            for n in names:
                r = got.get(n)
                row += ["%f" % value(r) if r else "NaN", "%f" % (r["us_per_req"] * cpu_scale) if r else "NaN"]
            f.write(" ".join(row) + "\n")


def draw_chart(names, conn, listing, files, path):
    panels = []
    colours = ["#2d6da3", "#27ae60", "#e67e22", "#8e44ad"]

    def plot(data, column, ylabel, title, xlabel, logy=False):
        series = ", ".join("'%s' using 1:%d with linespoints lw 2 pt 7 lc rgb '%s' title '%s'" % (
            data, 2 + 2 * i + column, colours[i % len(colours)], n) for i, n in enumerate(names))
        # A log scale cannot start at 0.
        panels.append('set title "%s"\nset xlabel "%s"\nset ylabel "%s"\n%s\nplot %s\n' % (
            title, xlabel, ylabel, "set logscale y\nset yrange [*:*]" if logy else "unset logscale y\nset yrange [0:*]",
            series))

    if conn:
        data = os.path.join(OUT, "conn.dat")
        write_data(data, names, conn, lambda r: r["rps"])
        plot(data, 0, "req/s", "1 KiB keep-alive: throughput", "connections")
        plot(data, 1, "CPU us per request", "1 KiB keep-alive: CPU per request", "connections")
    if listing:
        data = os.path.join(OUT, "listing.dat")
        write_data(data, names, listing, lambda r: r["mean"], 0.001)
        plot(data, 0, "ms per listing", "Folder listing: time per listing", "entries", True)
        plot(data, 1, "CPU ms per listing", "Folder listing: CPU per listing", "entries", True)
    if files:
        data = os.path.join(OUT, "files.dat")
        write_data(data, names, files, lambda r: r["rps"])
        plot(data, 0, "req/s", "Random small files: throughput", "distinct files")
        plot(data, 1, "CPU us per request", "Random small files: CPU per request", "distinct files")
    if not panels:
        return
    rows = len(panels) // 2
    script = ('set terminal pngcairo size 1000,%d font ",9"\nset output \'%s\'\nset multiplot layout %d,2\n'
              'set logscale x\nset autoscale xfix\nset offsets graph 0.05, graph 0.05, 0, 0\n'
              'set grid\nset key below horizontal height 1\nset xlabel offset 0,0.6\n' % (360 * rows, path, rows))
    script += "".join(panels)
    script += "unset multiplot\n"
    subprocess.run(["gnuplot"], input=script, text=True, check=False)


def update_readme(table, chart):
    readme = os.path.join(compare.TOP, "README.md")
    shutil.copy2(chart, os.path.join(HERE, "scaling.png"))
    with open(readme, encoding="utf-8") as f:
        text = f.read()
    block = ("<!-- scaling:start -->\n%s\n\n![How cost grows with connections, listing size and the number of "
             "files](bench/scaling.png)\n<!-- scaling:end -->" % table)
    if "<!-- scaling:start -->" in text:
        text = re.sub(r"<!-- scaling:start -->.*<!-- scaling:end -->", lambda _: block, text, flags=re.S)
    else:
        text += "\n### How cost grows\n\n`/usr/bin/python3 bench/scaling.py --readme`\n\n" + block + "\n"
    with open(readme, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    sys.exit(main())
