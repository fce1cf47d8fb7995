#!/usr/bin/python3
"""Soak: the worker under a long mixed load, then checked for what it kept.

Lays out a program directory with one site (files of several sizes, some
asked for on connections that close after the answer, text that goes out
gzip-compressed, ranges, a folder listing, a missing file, a small C CGI
program answering GET, compressed or not, and POST bodies in memory and
spooled), starts `Zevra /worker` in it, warms it up, takes a baseline,
drives it with wrk for the set duration and checks afterwards:

- no failed request: no wrk socket error, and every answer is the one its
  kind should get (the 404s of the missing file are counted apart);
- open descriptors (/proc/<pid>/fd) and RSS back at the baseline within a
  margin once the load has ended;
- nothing left in WebTemp/, no partly written copy in WebCache/, no child
  process of the worker left;
- one whole access-log line for every answered request;
- one request of each kind still answered with the exact expected bytes.

  /usr/bin/python3 bench/soak.py                  # 60 s, 256 connections
  options: --duration S, --connections N, --threads N, --no-build,
           --program-dir DIR (a built program dir; default build/release/Zevra)

The same checking code runs in CI, briefly, from tests/integration/test_soak.py.
"""

import argparse
import gzip
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
# The program directory, the worker and the clients as the integration
# tests make them.
sys.path.insert(0, os.path.join(TOP, "tests", "integration"))
import conftest  # noqa: E402
from conftest import children_of, http_get, open_descriptors, raw_exchange, resident_kib  # noqa: E402

SITE_HOST = "soak.test"
MISSING = "/soak-missing.html"
FILE_SIZES = (1024, 16 * 1024, 256 * 1024, 2 << 20)
TEXT_SIZES = (3 * 1024, 100 * 1024)
POST_SIZES = (1000, 9000)  # in memory and spooled to WebTemp/ (beyond 4096 bytes)
RANGE_FILE = "/f_%d.bin" % FILE_SIZES[1]
# A sanitizer build (ZEVRA_SANITIZE set, as for the integration tests) keeps
# freed memory in quarantine or shadow pages: its RSS says nothing about
# leaks, so it is shown but not compared.
SANITIZED = bool(os.environ.get("ZEVRA_SANITIZE"))
# Access log on; a KeepAlive long enough never to close a connection under
# load, so that the sweeper of silent connections walks them all every
# second while they are busy.
WORKER_SETTINGS = {"WriteAccessLog": "True", "Debug": "True", "KeepAlive": 20000, "WorkerThreads": 8}
LISTED = "entry_07.txt"

# The C program answers GET with a fixed text and POST with the length and
# byte sum of the body it read, so that a lost or garbled body shows.
CGI_SOURCE = r"""
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
int main(void) {
  const char* method = getenv("REQUEST_METHOD");
  if (method != NULL && strcmp(method, "POST") == 0) {
    const char* length = getenv("CONTENT_LENGTH");
    long want = length != NULL ? atol(length) : 0, got = 0;
    unsigned long sum = 0;
    int c;
    while (got < want && (c = getchar()) != EOF) { sum += (unsigned char)c; ++got; }
    printf("Content-Type: text/plain\r\nX-Soak: post\r\n\r\n%ld %lu", got, sum);
    return 0;
  }
  fputs("Content-Type: text/plain\r\nX-Soak: cgi\r\n\r\nhello\n", stdout);
  return 0;
}
"""


def request_mix():
    """The weighted request kinds: (kind, weight, method, path, headers, body)."""
    mix = []
    for size, weight in zip(FILE_SIZES, (16, 15, 6, 2)):
        mix.append(("file", weight, "GET", "/f_%d.bin" % size, {}, ""))
    # Connections that end after their answer, so accepts and closes go on
    # all the time beside the handlers.
    mix.append(("file", 4, "GET", "/f_%d.bin" % FILE_SIZES[0], {"Connection": "close"}, ""))
    for size, weight in zip(TEXT_SIZES, (8, 10)):
        mix.append(("gzip", weight, "GET", "/t_%d.txt" % size, {"Accept-Encoding": "gzip"}, ""))
    mix.append(("range", 5, "GET", RANGE_FILE, {"Range": "bytes=100-199"}, ""))
    mix.append(("listing", 5, "GET", "/list/", {}, ""))
    mix.append(("missing", 10, "GET", MISSING, {}, ""))
    mix.append(("cgi", 4, "GET", "/run.cgi?x=1", {}, ""))
    mix.append(("cgi", 4, "GET", "/run.cgi?x=2", {"Accept-Encoding": "gzip"}, ""))
    for size, weight in zip(POST_SIZES, (3, 5)):
        mix.append(("post", weight, "POST", "/run.cgi", {"Content-Type": "application/octet-stream"},
                    post_body(size)))
    return mix


def post_body(size):
    return ("soak-body-" * (size // 10 + 1))[:size]


def post_answer(size):
    body = post_body(size).encode()
    return "%d %d" % (len(body), sum(body))


def text_bytes(size):
    words = b"zevra soak text line: the quick brown fox jumps over the lazy dog %d\n"
    out = bytearray()
    n = 0
    while len(out) < size:
        out += words % n
        n += 1
    return bytes(out[:size])


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


def lay_out_site(program_root, docroot):
    """Writes the document root, compiles the CGI program into it and
    names it in Hosts/ as the site SITE_HOST (CGI extension .cgi, the
    program run directly by its path)."""
    rnd = random.Random(9)
    for size in FILE_SIZES:
        write(os.path.join(docroot, "f_%d.bin" % size), rnd.randbytes(size))
    for size in TEXT_SIZES:
        write(os.path.join(docroot, "t_%d.txt" % size), text_bytes(size))
    for i in range(40):
        write(os.path.join(docroot, "list", "entry_%02d.txt" % i), b"x" * i)
    source = os.path.join(program_root, "soak_cgi.c")
    write(source, CGI_SOURCE)
    subprocess.run(["cc", "-O2", "-o", os.path.join(docroot, "run.cgi"), source], check=True, timeout=60)
    write(os.path.join(program_root, "Hosts", SITE_HOST), "%s;index.html;ExecCGI;.cgi;%%s" % docroot)


def lua_string(text):
    return '"' + "".join(c if c.isalnum() or c in " /.?=-_:;," else "\\%d" % ord(c) for c in text) + '"'


def write_wrk_script(path, seed=1):
    """A wrk script that cycles through a shuffled list of the weighted
    kinds, counts what it sent and checks every answer against its kind.
    Answers carry no request identity, so each is recognised by its own
    marks (status, X-Soak, encoding, type, length); one that fits no kind
    counts as bad, with its status."""
    entries = []
    for kind, weight, method, path_, headers, body in request_mix():
        headers = dict(headers, Host=SITE_HOST)
        entries += [(kind, method, path_, headers, body)] * weight
    random.Random(seed).shuffle(entries)
    lines = ["local seq = {"]
    for kind, method, path_, headers, body in entries:
        hs = ", ".join("[%s] = %s" % (lua_string(k), lua_string(v)) for k, v in sorted(headers.items()))
        lines.append("  {%s, wrk.format(%s, %s, {%s}, %s)}," % (
            lua_string(kind), lua_string(method), lua_string(path_), hs, lua_string(body) if body else "nil"))
    lines.append("}")
    lines.append("local file_sizes = {%s}" % ", ".join("[%d] = true" % s for s in FILE_SIZES))
    lines.append("local text_limit = %d" % max(TEXT_SIZES))
    lines.append("local post_answers = {%s}" % ", ".join("[%s] = true" % lua_string(post_answer(s))
                                                          for s in POST_SIZES))
    lines.append("local range_total = %s" % lua_string("bytes 100-199/%d" % FILE_SIZES[1]))
    lines.append("local missing_mark = %s" % lua_string(MISSING.strip("/")))
    lines.append("local listed_mark = %s" % lua_string(LISTED))
    lines.append(WRK_LUA_BODY)
    write(path, "\n".join(lines) + "\n")


WRK_LUA_BODY = r"""
local threads = {}
local next_id = 0

function setup(thread)
  thread:set("id", next_id)
  next_id = next_id + 1
  table.insert(threads, thread)
end

function init(args)
  position = (id * 37) % #seq
  sent = {}
  got = {}
  bad = {}
end

function request()
  position = position % #seq + 1
  local entry = seq[position]
  sent[entry[1]] = (sent[entry[1]] or 0) + 1
  return entry[2]
end

local function classify(status, h, body)
  if status == 404 then
    return string.find(body, missing_mark, 1, true) and "missing"
  elseif status == 206 then
    return #body == 100 and h["content-range"] == range_total and "range"
  elseif status ~= 200 then
    return nil
  elseif h["x-soak"] == "cgi" then
    if h["content-encoding"] == "gzip" then return string.sub(body, 1, 2) == "\31\139" and "cgi" end
    return body == "hello\n" and "cgi"
  elseif h["x-soak"] == "post" then
    return post_answers[body] and "post"
  elseif h["content-encoding"] == "gzip" then
    return string.sub(body, 1, 2) == "\31\139" and #body < text_limit and "gzip"
  elseif string.find(h["content-type"] or "", "text/html", 1, true) then
    return string.find(body, listed_mark, 1, true) and "listing"
  end
  return file_sizes[#body] and "file"
end

function response(status, headers, body)
  local h = {}
  for k, v in pairs(headers) do h[string.lower(k)] = v end
  local kind = classify(status, h, body)
  if kind then
    got[kind] = (got[kind] or 0) + 1
  else
    bad[status] = (bad[status] or 0) + 1
  end
end

function done(summary, latency, requests)
  local totals = {}
  local function add(prefix, t)
    for k, v in pairs(t) do
      local key = prefix .. tostring(k)
      totals[key] = (totals[key] or 0) + v
    end
  end
  for _, thread in ipairs(threads) do
    add("sent.", thread:get("sent"))
    add("got.", thread:get("got"))
    add("bad.", thread:get("bad"))
  end
  local e = summary.errors
  totals["errors.connect"] = e.connect
  totals["errors.read"] = e.read
  totals["errors.write"] = e.write
  totals["errors.timeout"] = e.timeout
  totals["errors.status"] = e.status
  totals["requests"] = summary.requests
  totals["duration_us"] = summary.duration
  totals["latency.p50_us"] = latency:percentile(50)
  totals["latency.p99_us"] = latency:percentile(99)
  for k, v in pairs(totals) do io.write(string.format("soak %s %d\n", k, v)) end
end
"""


def run_wrk(port, script, seconds, connections, threads=2):
    """Drives the worker; returns wrk's figures as a dict of integers."""
    cmd = ["wrk", "-t%d" % threads, "-c%d" % connections, "-d%ds" % seconds, "--timeout", "10s",
           "-s", script, "http://127.0.0.1:%d/" % port]
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=seconds + 60)
    figures = {}
    for m in re.finditer(r"^soak (\S+) (-?\d+)$", out.stdout, re.M):
        figures[m.group(1)] = int(m.group(2))
    if "requests" not in figures:
        raise RuntimeError("wrk gave no figures (exit %d): %s %s" % (out.returncode, out.stdout, out.stderr))
    return figures


def failures_of(load, connections):
    """Failed requests of one run: socket errors, answers of no kind, and
    answers of the wrong kind. wrk's own non-2xx/3xx count (errors.status)
    must equal the intended 404s, or a 4xx/5xx went unseen by the script.
    An answer is recognised by its marks, not by its request, so a wrong
    kind shows as more answers of a kind than were asked for, or as more
    requests unanswered than the connections could have had in flight."""
    errors = sum(load.get("errors." + k, 0) for k in ("connect", "read", "write", "timeout"))
    bad = sum(v for k, v in load.items() if k.startswith("bad."))
    unexpected_status = max(load.get("errors.status", 0) - load.get("got.missing", 0), 0)
    kinds = {k.split(".", 1)[1] for k in load if k.startswith(("sent.", "got."))}
    surplus = sum(max(load.get("got." + k, 0) - load.get("sent." + k, 0), 0) for k in kinds)
    unanswered = sum(load.get("sent." + k, 0) - load.get("got." + k, 0) for k in kinds) - bad
    # wrk calls the first thread's request() once more than it sends, to
    # count the requests in what it returns (for pipelining).
    return errors + bad + unexpected_status + surplus + max(unanswered - connections - 1, 0)


def process_figures(pid):
    """Open descriptors, RSS in KiB and child processes of pid."""
    return {"fds": open_descriptors(pid), "rss_kib": resident_kib(pid), "children": children_of(pid)}


def steady(pid, timeout=5):
    """The figures once the warm-up's connections have gone: no child left
    and the descriptor count unchanged for half a second (bounded wait)."""
    deadline = time.monotonic() + timeout
    last = process_figures(pid)
    while time.monotonic() < deadline:
        time.sleep(0.5)
        now = process_figures(pid)
        if now["fds"] == last["fds"] and not now["children"]:
            return now
        last = now
    return last


def settle(pid, baseline, fd_margin, timeout):
    """Waits (bounded) for the descriptors and children to come back down
    once the load has ended; returns the figures of the last look."""
    deadline = time.monotonic() + timeout
    while True:
        now = process_figures(pid)
        if (now["fds"] <= baseline["fds"] + fd_margin and not now["children"]) or time.monotonic() > deadline:
            return now
        time.sleep(0.2)


def stray_files(program_root):
    """Whatever should not outlive a request: anything in WebTemp/ (spooled
    bodies, CGI output kept on disk) and any WebCache/ entry that is not a
    finished compressed copy. The files never change during a soak, so one
    copy each of the texts asked for with gzip is all WebCache/ may hold."""
    stray = ["WebTemp/" + n for n in sorted(os.listdir(os.path.join(program_root, "WebTemp")))]
    cache = sorted(os.listdir(os.path.join(program_root, "WebCache")))
    copies = [n for n in cache if re.fullmatch(r"cache_m?\d+_m?\d+", n)]
    stray += ["WebCache/" + n for n in cache if n not in copies]
    if len(copies) > len(TEXT_SIZES):
        stray += ["WebCache/%s (a copy too many)" % n for n in copies]
    return stray


# A listing's line names no port.
ACCESS_LINE = re.compile(r'\d{4}-\d\d-\d\d \d\d:\d\d:\d\d - - 127\.0\.0\.1(:\d+ "(GET|POST) /\S*|'
                         r' "GET /list/) HTTP/1\.1" (200|206|404) \d+ "[^"]*"')


def access_log_lines(program_root):
    """The lines of every access log, and those of them that are not one
    whole line of an answered request (two writers mixed, a line cut)."""
    lines = []
    logs = os.path.join(program_root, "WebLogs")
    for name in sorted(os.listdir(logs)):
        with open(os.path.join(logs, name), "rb") as f:
            lines += f.read().decode("utf-8", "replace").split("\r\n")
    lines = [line for line in lines if line]
    return lines, [line for line in lines if not ACCESS_LINE.fullmatch(line)]


def exact_answers(port, docroot):
    """After the load, one request of each kind must still bring back the
    exact bytes; returns a list of what did not, and how many were made."""
    wrong = []
    made = []

    def get(path, *headers):
        return http_get(port, path, host=SITE_HOST, headers=headers, timeout=20)

    def expect(label, ok):
        made.append(label)
        if not ok:
            wrong.append(label)

    def content(name):
        with open(os.path.join(docroot, name.strip("/")), "rb") as f:
            return f.read()

    for size in FILE_SIZES:
        r = get("/f_%d.bin" % size)
        expect("file %d" % size, r.status == 200 and r.body == content("f_%d.bin" % size))
    for size in TEXT_SIZES:
        r = get("/t_%d.txt" % size, "Accept-Encoding: gzip")
        expect("gzip %d" % size, r.status == 200 and r.header("Content-Encoding") == "gzip"
               and gzip.decompress(r.body) == text_bytes(size))
    r = get(RANGE_FILE, "Range: bytes=100-199")
    expect("range", r.status == 206 and r.body == content(RANGE_FILE)[100:200])
    r = get("/list/")
    expect("listing", r.status == 200 and all(("entry_%02d.txt" % i).encode() in r.body for i in range(40)))
    expect("missing", get(MISSING).status == 404)
    r = get("/run.cgi")
    expect("cgi", r.status == 200 and r.body == b"hello\n")
    r = get("/run.cgi", "Accept-Encoding: gzip")
    expect("cgi gzip", r.status == 200 and r.header("Content-Encoding") == "gzip" and gzip.decompress(r.body) == b"hello\n")
    for size in POST_SIZES:
        body = post_body(size).encode()
        out = raw_exchange(port, b"POST /run.cgi HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n"
                                 b"Content-Length: %d\r\n\r\n%s" % (SITE_HOST.encode(), len(body), body), timeout=20)
        head, _, answer = out.partition(b"\r\n\r\n")
        expect("post %d" % size, head.startswith(b"HTTP/1.1 200 ") and answer == post_answer(size).encode())
    return wrong, len(made)


class Soak:
    """One soak of a running worker: warm-up, baseline, load, settle, checks.
    The warm-up makes what stays for the process's life (every loop's poll
    descriptors, the allocator's arenas, the gzip copies) before the
    baseline. Descriptors must come back to it exactly (within the settle
    wait); RSS may grow by rss_margin_kib (the allocator keeps freed pages)."""

    def __init__(self, pid, port, program_root, docroot, workdir):
        self.pid = pid
        self.port = port
        self.program_root = program_root
        self.docroot = docroot
        self.script = os.path.join(workdir, "soak.lua")
        write_wrk_script(self.script)

    def run(self, seconds, connections, threads=2, warmup_seconds=3, fd_margin=0, rss_margin_kib=None,
            settle_seconds=15):
        self.connections = connections
        self.warmup = run_wrk(self.port, self.script, warmup_seconds, connections, threads)
        self.before = steady(self.pid)
        self.load = run_wrk(self.port, self.script, seconds, connections, threads)
        self.after = settle(self.pid, self.before, fd_margin, settle_seconds)
        if rss_margin_kib is None:
            rss_margin_kib = max(8192, self.before["rss_kib"] // 4)
        self.rss_margin_kib = rss_margin_kib
        self.fd_margin = fd_margin
        self.stray = stray_files(self.program_root)
        self.wrong, checked = exact_answers(self.port, self.docroot)
        # Every answered request has its line; one that was made but whose
        # answer wrk did not wait for may have one too.
        runs = (self.warmup, self.load)
        self.answered = sum(run["requests"] for run in runs) + checked
        self.asked = sum(v for run in runs for k, v in run.items() if k.startswith("sent.")) + checked
        # A line is written once its answer is on its way: the last ones may
        # still be coming (bounded wait).
        deadline = time.monotonic() + 5
        self.log_lines, self.bad_log_lines = access_log_lines(self.program_root)
        while len(self.log_lines) < self.answered and time.monotonic() < deadline:
            time.sleep(0.1)
            self.log_lines, self.bad_log_lines = access_log_lines(self.program_root)
        return self.problems()

    def problems(self):
        found = []
        for name, load in (("warm-up", self.warmup), ("load", self.load)):
            failed = failures_of(load, self.connections)
            if failed:
                found.append("%s: %d failed requests (%s)" % (name, failed, {
                    k: v for k, v in load.items() if k.startswith(("bad.", "errors.")) and v}))
        if self.after["fds"] > self.before["fds"] + self.fd_margin:
            found.append("descriptors: %d before, %d after" % (self.before["fds"], self.after["fds"]))
        if not SANITIZED and self.after["rss_kib"] > self.before["rss_kib"] + self.rss_margin_kib:
            found.append("RSS: %d KiB before, %d KiB after" % (self.before["rss_kib"], self.after["rss_kib"]))
        if self.after["children"]:
            found.append("child processes left: %s" % self.after["children"])
        if self.stray:
            found.append("stray files: %s" % self.stray)
        if self.wrong:
            found.append("wrong answers after the load: %s" % self.wrong)
        if not self.answered <= len(self.log_lines) <= self.asked:
            found.append("access log: %d lines for %d requests answered, %d made" % (
                len(self.log_lines), self.answered, self.asked))
        if self.bad_log_lines:
            found.append("access log: %d lines not whole, the first %r" % (len(self.bad_log_lines),
                                                                           self.bad_log_lines[0]))
        return found

    def table(self):
        load = self.load
        seconds = load["duration_us"] / 1e6
        kinds = sorted({k.split(".", 1)[1] for k in load if k.startswith("sent.")})
        rows = [("requests answered", "%d" % load["requests"]),
                ("rate", "%.0f req/s over %.1f s" % (load["requests"] / seconds if seconds else 0, seconds)),
                ("latency p50 / p99", "%.2f / %.2f ms" % (load["latency.p50_us"] / 1e3, load["latency.p99_us"] / 1e3)),
                ("failed requests", "%d" % failures_of(load, self.connections)),
                ("intended 404s", "%d" % load.get("got.missing", 0))]
        rows += [("  %s sent / checked" % k, "%d / %d" % (load.get("sent." + k, 0), load.get("got." + k, 0)))
                 for k in kinds]
        rows += [("open descriptors before / after", "%d / %d" % (self.before["fds"], self.after["fds"])),
                 ("RSS before / after", "%.1f / %.1f MiB%s" % (
                     self.before["rss_kib"] / 1024, self.after["rss_kib"] / 1024,
                     " (sanitizer build: not compared)" if SANITIZED else "")),
                 ("child processes after", "%d" % len(self.after["children"])),
                 ("stray files", "%d" % len(self.stray)),
                 ("access log lines (answered / made)", "%d (%d / %d)" % (len(self.log_lines), self.answered,
                                                                          self.asked)),
                 ("exact answers after the load", "ok" if not self.wrong else "WRONG: %s" % self.wrong)]
        width = max(len(r[0]) for r in rows)
        lines = ["| %-*s | %s |" % (width, "figure", "value"), "|%s|---|" % ("-" * (width + 2))]
        lines += ["| %-*s | %s |" % (width, a, b) for a, b in rows]
        return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--duration", type=int, default=60)
    ap.add_argument("--connections", type=int, default=256)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--program-dir", default=os.path.join(TOP, "build", "release", "Zevra"))
    ap.add_argument("--no-build", action="store_true")
    args = ap.parse_args()
    if shutil.which("wrk") is None:
        raise SystemExit("wrk is missing: bash scripts/deps.sh installs it")
    if not args.no_build and args.program_dir == os.path.join(TOP, "build", "release", "Zevra"):
        subprocess.run(["cmake", "--preset", "release"], cwd=TOP, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", "--preset", "release", "-j2", "--target", "Zevra"], cwd=TOP,
                       check=True, stdout=subprocess.DEVNULL)
    conftest.ZEVRA_DIR = os.path.abspath(args.program_dir)
    with tempfile.TemporaryDirectory(prefix="zevra-soak-") as work:
        os.makedirs(os.path.join(work, "program"))
        program = conftest.ProgramDir(os.path.join(work, "program"))
        program.write_settings(**WORKER_SETTINGS)
        docroot = os.path.join(work, "site")
        lay_out_site(program.root, docroot)
        worker = conftest.Worker(program)
        try:
            soak = Soak(worker.proc.pid, program.port, program.root, docroot, work)
            problems = soak.run(args.duration, args.connections, args.threads)
        finally:
            worker.stop()
    print("Soak of %d s, %d connections, wrk -t%d, access log on:" % (args.duration, args.connections, args.threads))
    print()
    print(soak.table())
    print()
    if problems:
        print("FAILED:\n  " + "\n  ".join(problems))
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
