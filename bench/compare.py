#!/usr/bin/python3
"""Zevra side by side with nginx, lighttpd and h2o on one generated document root.

Builds Zevra in release mode, lays out a program directory and a document
root under bench/out/, writes configurations for nginx, lighttpd and h2o
serving the same root on other loopback ports (access logs on for all of
them, keep-alive limits raised, each one's file cache as shipped), drives
them with wrk row by row, each server in turn within a row, and prints a
table. Beside each figure it gives the CPU time the server's processes
(children such as CGI programs included) spent per request over the row,
read from /proc. The peers are started and stopped here, by pid.

  /usr/bin/python3 bench/compare.py            # pinned: servers on CPU 0, wrk on CPU 1
  /usr/bin/python3 bench/compare.py --unpinned # each server as it would run on 2 cores
  options: --duration S (default 8), --connections N (64), --only ROW,ROW,
           --servers NAME,NAME, --note TEXT (added to the table's first line;
           the load average at the start and the end is added on its own)

Writes bench/out/results.md and bench/out/ratios.png, and with --readme
puts the table and the chart into README.md between the bench markers.
"""

import argparse
import datetime
import os
import platform
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
OUT = os.path.join(HERE, "out")
ROOT = os.path.join(OUT, "root")
PORTS = {"Zevra": 18080, "nginx": 18081, "lighttpd": 18082, "h2o": 18083}
PEERS = ("nginx", "lighttpd", "h2o")
# The program directory of the build under test (bench/cpu_profile.py can point
# it at another build, to compare two commits).
ZEVRA_BUILT = os.path.join(TOP, "build", "release", "Zevra")
CLK_TCK = os.sysconf("SC_CLK_TCK")
PACKAGES = ["nginx-light", "lighttpd", "h2o", "wrk", "gnuplot-nox", "php-cgi", "gcc", "cmake", "g++",
            "libasio-dev", "zlib1g-dev"]


def sh(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def install_packages():
    missing = [p for p in PACKAGES
               if subprocess.run(["dpkg-query", "-W", "-f=${Status}", p], capture_output=True,
                                 text=True).stdout.find("install ok installed") < 0]
    if missing:
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        sh(["apt-get", "update", "-qq"], env=env)
        sh(["apt-get", "install", "-y", "-qq"] + missing, env=env)


def build_zevra():
    # Only what the benchmark runs: the server and the two libraries it loads.
    sh(["cmake", "--preset", "release", "-DZEVRA_BUILD_TESTS=OFF", "-DZEVRA_BUILD_MANAGER=OFF"], cwd=TOP,
       stdout=subprocess.DEVNULL)
    sh(["cmake", "--build", "--preset", "release", "-j%d" % os.cpu_count(), "--target", "Zevra", "zevra_socket",
        "zevra_gzip"], cwd=TOP, stdout=subprocess.DEVNULL)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_root():
    # bench/out/scaling belongs to scaling.py and keeps its many small files
    # from run to run; everything else here is made afresh.
    for entry in os.listdir(OUT) if os.path.isdir(OUT) else []:
        if entry != "scaling":
            path = os.path.join(OUT, entry)
            shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
    os.makedirs(ROOT)
    rnd = open("/dev/urandom", "rb")
    write(os.path.join(ROOT, "1k.bin"), rnd.read(1024))
    write(os.path.join(ROOT, "100k.bin"), rnd.read(100 * 1024))
    write(os.path.join(ROOT, "1m.bin"), rnd.read(1 << 20))
    with open(os.path.join(ROOT, "100m.bin"), "wb") as f:
        for _ in range(100):
            f.write(rnd.read(1 << 20))
    rnd.close()
    words = b"the quick brown fox jumps over the lazy dog zevra serves static text files "
    text = (words * (200 * 1024 // len(words) + 1))[:200 * 1024]
    write(os.path.join(ROOT, "text200k.txt"), text)
    # nginx's gzip_static serves this pre-made copy.
    sh(["gzip", "-k", "-3", os.path.join(ROOT, "text200k.txt")])
    for i in range(200):
        write(os.path.join(ROOT, "list", "file%03d.txt" % i), b"x" * i)
    os.makedirs(os.path.join(ROOT, "cgi"))
    src = os.path.join(OUT, "tiny.c")
    write(src, b'#include <stdio.h>\nint main(void){fputs("Content-Type: text/plain\\r\\n\\r\\nhello\\n",stdout);return 0;}\n')
    sh(["gcc", "-O2", "-o", os.path.join(ROOT, "cgi", "tiny.cgi"), src])
    write(os.path.join(ROOT, "cgi", "hello.php"), b"<?php echo 'hello';\n")


def zevra_layout(pinned):
    prog = os.path.join(OUT, "zevra")
    os.makedirs(prog)
    built = ZEVRA_BUILT
    for name in ("Zevra", "libZevra.Socket.so", "libgzip.so"):
        shutil.copy2(os.path.join(built, name), os.path.join(prog, name))
    for d in ("Config", "Hosts", "WebRoot", "WebLogs", "WebTemp", "WebCache"):
        os.makedirs(os.path.join(prog, d))
    write(os.path.join(prog, "Config", "Zevra.ini"),
          ("[Listen]\nPort=%d\n[Performance]\nConnections=20000\nKeepAlive=0\n"
           "[Settings]\nWriteAccessLog=True\nEnableGZIP=True\nDebug=False\nDirectoryListing=True\n"
           % PORTS["Zevra"]).encode())
    # One site for files and the C program, one for PHP: a host has one CGI extension.
    write(os.path.join(prog, "Hosts", "127.0.0.1"), ("%s;index.html;ExecCGI;.cgi;%%s" % ROOT).encode())
    write(os.path.join(prog, "Hosts", "php.test"), ("%s;index.html;ExecCGI;.php;/usr/bin/php-cgi %%s" % ROOT).encode())
    return [os.path.join(prog, "Zevra"), "/worker"], prog


def nginx_layout(pinned):
    d = os.path.join(OUT, "nginx")
    os.makedirs(os.path.join(d, "logs"))
    conf = """
worker_processes %s;
pid %s/nginx.pid;
error_log %s/logs/error.log;
daemon off;
events { worker_connections 20000; }
worker_rlimit_nofile 30000;
http {
  types { text/html html; text/plain txt; application/octet-stream bin; }
  default_type application/octet-stream;
  access_log %s/logs/access.log;
  sendfile on; tcp_nopush on;
  keepalive_requests 1000000; keepalive_timeout 120s;
  gzip_static on;
  client_body_temp_path %s/tmp; proxy_temp_path %s/tmp; fastcgi_temp_path %s/tmp;
  uwsgi_temp_path %s/tmp; scgi_temp_path %s/tmp;
  server {
    listen 127.0.0.1:%d;
    root %s;
    location / { autoindex on; }
  }
}
""" % ("1" if pinned else "auto", d, d, d, d, d, d, d, d, PORTS["nginx"], ROOT)
    write(os.path.join(d, "nginx.conf"), conf.encode())
    os.makedirs(os.path.join(d, "tmp"))
    return ["/usr/sbin/nginx", "-c", os.path.join(d, "nginx.conf"), "-p", d], d


def lighttpd_layout(pinned):
    d = os.path.join(OUT, "lighttpd")
    os.makedirs(os.path.join(d, "cache"))
    conf = """
server.modules = ("mod_deflate", "mod_dirlisting", "mod_cgi", "mod_accesslog", "mod_staticfile")
server.document-root = "%s"
server.bind = "127.0.0.1"
server.port = %d
server.errorlog = "%s/error.log"
accesslog.filename = "%s/access.log"
server.max-keep-alive-requests = 1000000
server.max-keep-alive-idle = 120
server.max-connections = 20000
server.max-fds = 40000
server.max-worker = %d
mimetype.assign = (".html" => "text/html", ".txt" => "text/plain", ".bin" => "application/octet-stream")
dir-listing.activate = "enable"
deflate.mimetypes = ("text/plain")
deflate.allowed-encodings = ("gzip")
deflate.cache-dir = "%s/cache"
cgi.assign = (".cgi" => "", ".php" => "/usr/bin/php-cgi")
""" % (ROOT, PORTS["lighttpd"], d, d, 0 if pinned else 2, d)
    write(os.path.join(d, "lighttpd.conf"), conf.encode())
    return ["/usr/sbin/lighttpd", "-D", "-f", os.path.join(d, "lighttpd.conf")], d


def h2o_layout(pinned):
    d = os.path.join(OUT, "h2o")
    os.makedirs(d)
    # h2o keeps its open-file cache at the size it ships with (filecache),
    # serves the pre-made .gz copy like nginx's gzip_static, and runs CGI
    # programs through its own FastCGI-to-CGI bridge, one process per
    # request. As root it wants a user to drop to, so no pid file (it would
    # be written after the drop); the pid is the one started here.
    # http1-request-timeout is its keep-alive idle limit; it has no limit on
    # requests per connection.
    conf = """
num-threads: %d
max-connections: 20000
http1-request-timeout: 120
user: nobody
error-log: %s/error.log
access-log: %s/access.log
listen:
  host: 127.0.0.1
  port: %d
file.mime.addtypes:
  text/html: .html
  text/plain: .txt
  application/octet-stream: .bin
hosts:
  default:
    paths:
      /:
        file.dir: %s
        file.dirlisting: ON
        file.send-compressed: ON
        file.custom-handler:
          extension: .cgi
          fastcgi.spawn: "exec /usr/share/h2o/fastcgi-cgi"
""" % (1 if pinned else os.cpu_count(), d, d, PORTS["h2o"], ROOT)
    write(os.path.join(d, "h2o.conf"), conf.encode())
    return ["/usr/bin/h2o", "-m", "worker", "-c", os.path.join(d, "h2o.conf")], d


LAYOUTS = {"Zevra": zevra_layout, "nginx": nginx_layout, "lighttpd": lighttpd_layout, "h2o": h2o_layout}


def runs(name, key):
    """Whether a server takes part in a row: nginx runs no CGI programs, and
    h2o runs PHP only as resident FastCGI, which is other work than a CGI
    process per request."""
    if name == "nginx" and key in ("cgi", "php"):
        return False
    return not (name == "h2o" and key == "php")


class Server:
    def __init__(self, name, argv, cwd, pinned):
        self.name = name
        self.port = PORTS[name]
        if pinned:
            argv = ["taskset", "-c", "0"] + argv
        self.proc = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     preexec_fn=os.setsid)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if self.proc.poll() is not None:
                    raise SystemExit("%s did not start" % name)
                time.sleep(0.1)
        raise SystemExit("%s did not listen" % name)

    def tree(self):
        """The server's process and all its descendants, as {pid: stat
        fields after the name}. /proc/<pid>/task/*/children is not built
        into every kernel, so the parent links come from one pass over
        /proc."""
        stats = {}
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as f:
                    text = f.read()
            except OSError:
                continue  # gone in between
            # The name sits in parentheses and may hold spaces or ')'.
            name = text[text.index("(") + 1:text.rindex(")")]
            stats[int(entry)] = [name] + text[text.rindex(")") + 2:].split()
        children = {}
        for pid, fields in stats.items():
            children.setdefault(int(fields[2]), []).append(pid)
        found, todo = {}, [self.proc.pid]
        while todo and len(found) < 10000:
            pid = todo.pop()
            if pid in stats and pid not in found:
                found[pid] = stats[pid]
                todo += children.get(pid, [])
        return found

    def cpu_seconds(self):
        """utime + stime of every live process of the server, plus cutime +
        cstime: the time of the children each one has already reaped (CGI
        programs, exited workers). The difference of two readings is what
        the server spent in between, as long as its children are reaped
        inside the tree, which holds for all four servers here."""
        total = 0
        for fields in self.tree().values():
            # fields[0] is the name, fields[1] the state (stat field 3), so
            # stat field n is fields[n - 2]: utime 14, stime 15, cutime 16, cstime 17.
            total += sum(int(fields[n - 2]) for n in (14, 15, 16, 17))
        return total / CLK_TCK

    def rss_kib(self):
        # Only the server program's own processes (nginx's workers,
        # lighttpd's), not helpers such as h2o's Perl CGI bridge.
        total = 0
        tree = self.tree()
        own = tree.get(self.proc.pid, [""])[0]
        for pid, fields in tree.items():
            if fields[0] != own:
                continue
            try:
                with open("/proc/%d/status" % pid) as f:
                    for line in f:
                        if line.startswith("VmRSS:"):
                            total += int(line.split()[1])
            except OSError:
                pass
        return total

    def stop(self):
        # TERM to the server alone: h2o then closes the pipe its helpers
        # watch, and they remove their socket folder before they go. KILL
        # for the whole group only when something outlives the grace time.
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.killpg(signal.SIGKILL)
                self.proc.wait(timeout=10)
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline and self.killpg(0):
            time.sleep(0.1)
        self.killpg(signal.SIGKILL)

    def killpg(self, sig):
        """Signals the process group this server leads; False once it is empty."""
        try:
            os.killpg(self.proc.pid, sig)
            return True
        except (ProcessLookupError, PermissionError):
            return False


SCENARIOS = [
    # key, label, path, headers, host, unit
    ("1k", "1 KiB file, keep-alive", "/1k.bin", [], None, "req"),
    ("1k-close", "1 KiB file, Connection: close", "/1k.bin", ["Connection: close"], None, "req"),
    ("100k", "100 KiB file", "/100k.bin", [], None, "req"),
    ("1m", "1 MiB file", "/1m.bin", [], None, "bytes"),
    ("100m", "100 MiB file", "/100m.bin", [], None, "bytes"),
    ("404", "404 page", "/missing.html", [], None, "req"),
    ("listing", "listing of 200 entries", "/list/", [], None, "req"),
    ("gzip", "200 KiB text, gzip", "/text200k.txt", ["Accept-Encoding: gzip"], None, "req"),
    ("cgi", "tiny C CGI", "/cgi/tiny.cgi", [], None, "req"),
    ("php", "php-cgi hello", "/cgi/hello.php", [], "php.test", "req"),
]


def parse_wrk(text):
    def dur(v):
        m = re.match(r"([\d.]+)(us|ms|s)", v)
        if not m:
            return float("nan")
        return float(m.group(1)) * {"us": 0.001, "ms": 1, "s": 1000}[m.group(2)]
    r = {}
    m = re.search(r"Requests/sec:\s+([\d.]+)", text)
    r["rps"] = float(m.group(1)) if m else 0.0
    m = re.search(r"Transfer/sec:\s+([\d.]+)(\w+)", text)
    r["bps"] = float(m.group(1)) * {"B": 1, "KB": 1 << 10, "MB": 1 << 20, "GB": 1 << 30}.get(m.group(2), 1) if m else 0
    m = re.search(r"^\s+50%\s+(\S+)", text, re.M)
    r["p50"] = dur(m.group(1)) if m else float("nan")
    m = re.search(r"^\s+99%\s+(\S+)", text, re.M)
    r["p99"] = dur(m.group(1)) if m else float("nan")
    m = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", text)
    r["non2xx"] = int(m.group(1)) if m else 0
    m = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", text)
    r["errors"] = sum(int(x) for x in m.groups()) if m else 0
    m = re.search(r"(\d+) requests in", text)
    r["requests"] = int(m.group(1)) if m else 0
    m = re.search(r"^\s+Latency\s+(\S+)", text, re.M)
    r["mean"] = dur(m.group(1)) if m else float("nan")
    return r


def wrk(server, path, connections, duration, pinned, headers=(), script=None, script_args=()):
    """One wrk run against a server, with the CPU time the server's processes
    spent over it: us_per_req in microseconds, cpu_s in seconds."""
    threads = min(2, connections)
    cmd = ["wrk", "-t%d" % threads, "-c%d" % connections, "-d%ds" % duration, "--latency", "--timeout", "10s"]
    for h in headers:
        cmd += ["-H", h]
    if script:
        cmd += ["-s", script]
    cmd.append("http://127.0.0.1:%d%s" % (server.port, path))
    if script_args:
        cmd += ["--"] + list(script_args)
    if pinned:
        cmd = ["taskset", "-c", "1"] + cmd
    before = server.cpu_seconds()
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=duration + 60)
    r = parse_wrk(out.stdout)
    r["cpu_s"] = server.cpu_seconds() - before
    r["us_per_req"] = r["cpu_s"] * 1e6 / r["requests"] if r["requests"] else float("nan")
    return r


def run_wrk(server, scenario, args, pinned):
    key, label, path, headers, host, unit = scenario
    connections = min(args.connections, 16) if key in ("cgi", "php") else args.connections
    headers = list(headers) + (["Host: " + host] if host else [])
    r = wrk(server, path, connections, args.duration, pinned, headers)
    r["value"] = r["bps"] / 1e9 if unit == "bytes" else r["rps"]
    return r


def idle_connections_rss(server, count=10000, timeout=60):
    """Opens count keep-alive connections, makes one request on each, and
    measures the server's RSS while they all stay open. Bounded in time."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, count + 1000)), hard))
    request = b"GET /1k.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
    socks = []
    deadline = time.monotonic() + timeout
    try:
        for _ in range(count):
            if time.monotonic() > deadline:
                break
            s = socket.create_connection(("127.0.0.1", server.port), timeout=5)
            s.sendall(request)
            socks.append(s)
        for s in socks:
            if time.monotonic() > deadline:
                break
            got = b""
            while b"\r\n\r\n" not in got:
                chunk = s.recv(4096)
                if not chunk:
                    break
                got += chunk
        time.sleep(1)
        return len(socks), server.rss_kib()
    finally:
        for s in socks:
            s.close()


def load_average():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def header_line(pinned, driver, note, load_start, load_end):
    stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = re.search(r"model name\s*:\s*(.*)", f.read()).group(1)
    except (OSError, AttributeError):
        pass
    return ("Measured %s on %s (%d cores, %s), %s mode, %s, access logs on; load average %.1f when the run "
            "began and %.1f when it ended (the run itself adds about 2)." % (
                stamp, cpu or platform.machine(), os.cpu_count(), platform.platform(),
                "pinned" if pinned else "unpinned", driver, load_start, load_end)
            + (" " + note if note else ""))


def fmt(v, unit):
    return ("%.2f GB/s" % v) if unit == "bytes" else ("%.0f" % v)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--unpinned", action="store_true")
    ap.add_argument("--duration", type=int, default=8)
    ap.add_argument("--connections", type=int, default=64)
    ap.add_argument("--only", default="")
    ap.add_argument("--readme", action="store_true")
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--servers", default="Zevra,nginx,lighttpd,h2o")
    ap.add_argument("--note", default="", help="a sentence for the table's first line (the machine's load)")
    args = ap.parse_args()
    pinned = not args.unpinned
    only = set(filter(None, args.only.split(",")))
    scenarios = [s for s in SCENARIOS if not only or s[0] in only]
    wanted = args.servers.split(",")
    names = [name for name in LAYOUTS if name in wanted]
    peers = [name for name in PEERS if name in names]

    install_packages()
    if "Zevra" in names and not args.no_build:
        build_zevra()
    load_start = load_average()
    make_root()
    layouts = {name: LAYOUTS[name](pinned) for name in names}
    results = {}
    memory = {}
    # All servers run at once, idle but for the one being driven, and each
    # row drives them in turn: a change in the machine's load (other jobs
    # share it) then falls on all servers of a row alike instead of on
    # whichever server happened to be measured during it.
    servers = {}
    try:
        for name in names:
            argv, cwd = layouts[name]
            servers[name] = Server(name, argv, cwd, pinned)
        for sc in scenarios:
            for name in names:
                if not runs(name, sc[0]):
                    continue
                r = results[(name, sc[0])] = run_wrk(servers[name], sc, args, pinned)
                print("%-9s %-32s %12s  %8.1f us CPU/req" % (name, sc[1], fmt(r["value"], sc[5]), r["us_per_req"]),
                      flush=True)
    finally:
        for server in servers.values():
            server.stop()
    if not only or "memory" in only:
        for name in names:
            # A fresh process, so that what earlier rows left in the heap
            # does not count as the cost of idle connections.
            argv, cwd = layouts[name]
            server = Server(name, argv, cwd, pinned)
            try:
                memory[name] = idle_connections_rss(server)
            finally:
                server.stop()
    load_end = load_average()

    shown = ["Zevra"] + list(PEERS)
    initials = "/".join(n[0] for n in shown)
    lines = [header_line(pinned, "wrk -t2 -c%d -d%ds" % (args.connections, args.duration), args.note,
                         load_start, load_end), "",
             "| Scenario | " + " | ".join(shown) + " | CPU us/req (%s) | Zevra p50 / p99 ms | non-2xx/3xx (%s) "
             "| errors (%s) | ratio | CPU ratio |" % (initials, initials, initials),
             "|---" * (len(shown) + 7) + "|"]
    ratios = []
    for sc in scenarios:
        key, label, unit = sc[0], sc[1], sc[5]
        row = [results.get((n, key)) for n in shown]
        z, others = row[0], [x for n, x in zip(shown, row) if n in peers and x]
        best = max([x["value"] for x in others] or [0])
        ratio = z["value"] / best if z and best else float("nan")
        # The CPU ratio: the thriftiest peer's CPU per request over Zevra's.
        spent = [x["us_per_req"] for x in others if x["us_per_req"] == x["us_per_req"]]
        cpu_ratio = min(spent) / z["us_per_req"] if z and spent and z["us_per_req"] > 0 else float("nan")
        ratios.append((label, ratio))
        cell = lambda x: fmt(x["value"], unit) if x else "n/a"
        lines.append("| %s | %s | %s | %s | %s | %s | %.2f | %.2f |" % (
            label, " | ".join(cell(x) for x in row),
            "/".join(("%.1f" % x["us_per_req"]) if x else "-" for x in row),
            ("%.2f / %.2f" % (z["p50"], z["p99"])) if z else "n/a",
            "/".join(str(x["non2xx"]) if x else "-" for x in row),
            "/".join(str(x["errors"]) if x else "-" for x in row), ratio, cpu_ratio))
    if memory:
        zm = memory.get("Zevra", (0, 0))[1]
        peer_rss = [memory[k][1] for k in peers if k in memory]
        best = min(peer_rss) if peer_rss else 0
        ratio = best / zm if zm else float("nan")
        ratios.append(("RSS, 10,000 idle connections", ratio))
        lines.append("| RSS with 10,000 idle keep-alive connections | %s | | | | | %.2f | |" % (
            " | ".join("%.1f MiB (%d conn)" % (memory[k][1] / 1024, memory[k][0]) if k in memory else "n/a"
                       for k in shown), ratio))
    lines.append("")
    lines.append("The ratio is Zevra's throughput (req/s, or GB/s for the large files) over the best peer's in the "
                 "same row (for memory: the best peer's RSS over Zevra's); 1.00 or more means Zevra is at least "
                 "as good. CPU us/req is the user and system time of each server's processes over the row (CGI "
                 "programs and other children included) divided by the requests wrk completed; the CPU ratio is "
                 "the thriftiest peer's figure over Zevra's. h2o runs PHP only as resident FastCGI, nginx no CGI "
                 "at all: n/a.")
    table = "\n".join(lines)
    write(os.path.join(OUT, "results.md"), (table + "\n").encode())
    chart = os.path.join(OUT, "ratios.png")
    draw_chart(ratios, chart)
    print()
    print(table)
    if args.readme:
        update_readme(table, chart)


def draw_chart(ratios, path):
    data = os.path.join(OUT, "ratios.dat")
    with open(data, "w") as f:
        for i, (label, r) in enumerate(ratios):
            f.write('%d "%s" %f\n' % (i, label.replace('"', "'"), 0 if r != r else r))
    script = """
set terminal pngcairo size 900,480 font ",9"
set output '%s'
set style fill solid 0.8
set boxwidth 0.7
set yrange [0:*]
set ylabel "Zevra / best peer"
set xtics rotate by 30 right nomirror
set bmargin 10
set lmargin 16
set grid ytics
set key off
plot '%s' using 1:3:xtic(2) with boxes lc rgb "#2d6da3", 1 with lines lc rgb "#c0392b" lw 2
""" % (path, data)
    subprocess.run(["gnuplot"], input=script, text=True, check=False)


def update_readme(table, chart):
    readme = os.path.join(TOP, "README.md")
    shutil.copy2(chart, os.path.join(HERE, "ratios.png"))
    with open(readme, encoding="utf-8") as f:
        text = f.read()
    block = "<!-- bench:start -->\n%s\n\n![Zevra over the best peer](bench/ratios.png)\n<!-- bench:end -->" % table
    if "<!-- bench:start -->" in text:
        text = re.sub(r"<!-- bench:start -->.*<!-- bench:end -->", lambda _: block, text, flags=re.S)
    else:
        text += "\n## Benchmark\n\n`/usr/bin/python3 bench/compare.py --readme` (as root; about 6 minutes).\n\n" + block + "\n"
    with open(readme, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
