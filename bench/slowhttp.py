#!/usr/bin/python3
"""Slow-client attacks against the release worker with the shipped settings.

Lays out a program directory under bench/out/slowhttp/ from the release
build (build/release/Zevra) and the shipped Config/Zevra.ini (only the port
changed), starts `Zevra /worker` there, and runs slowhttptest against it on
loopback in its four modes, one after the other, each for a bounded time:

  -H  slow headers (slowloris)       -B  slow body (R-U-Dead-Yet)
  -X  slow read of a large file      -R  range attack (many ranges)

Meanwhile a probe client opens a fresh connection every 250 ms, asks for
/index.html and waits at most 5 s for the answer. The table counts the
probes' answers: what a normal visitor sees during each attack.

  /usr/bin/python3 bench/slowhttp.py [--duration S] [--connections N] [--only H,B,X,R]

A benchmark, not a test: it takes minutes and its figures depend on the
machine. The worker is started and stopped here, by pid.
"""

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
OUT = os.path.join(HERE, "out", "slowhttp")
PROGRAM_FILES = ("Zevra", "libZevra.Socket.so", "libgzip.so")
PORT = 18090
INDEX = b"<html><body>probe</body></html>"
BIG = 4 * 1024 * 1024


def modes(connections, rate, duration):
    base = ["-c", str(connections), "-r", str(rate), "-l", str(duration), "-p", "5"]
    url = "http://127.0.0.1:%d" % PORT
    return {
        "H": ("slow headers", ["-H", "-i", "10", "-x", "24", "-u", url + "/index.html"] + base),
        "B": ("slow body", ["-B", "-i", "10", "-s", "8192", "-x", "10", "-u", url + "/index.html"] + base),
        "X": ("slow read", ["-X", "-k", "4", "-n", "3", "-w", "16", "-y", "64", "-z", "32",
                            "-u", url + "/big.bin"] + base),
        "R": ("range attack", ["-R", "-a", "5", "-b", "2000", "-u", url + "/big.bin"] + base),
    }


def lay_out(program):
    shutil.rmtree(OUT, ignore_errors=True)
    for folder in ("Config", "Hosts", "WebRoot", "WebLogs", "WebTemp", "WebCache"):
        os.makedirs(os.path.join(OUT, folder))
    for name in PROGRAM_FILES:
        shutil.copy2(os.path.join(program, name), os.path.join(OUT, name))
    with open(os.path.join(TOP, "dist", "Config", "Zevra.ini"), encoding="utf-8") as f:
        settings = re.sub(r"(?m)^Port=.*$", "Port=%d" % PORT, f.read())
    with open(os.path.join(OUT, "Config", "Zevra.ini"), "w", encoding="utf-8") as f:
        f.write(settings)
    with open(os.path.join(OUT, "WebRoot", "index.html"), "wb") as f:
        f.write(INDEX)
    with open(os.path.join(OUT, "WebRoot", "big.bin"), "wb") as f:
        f.write(os.urandom(BIG))


def start_worker():
    proc = subprocess.Popen([os.path.join(OUT, "Zevra"), "/worker"], cwd=OUT,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", PORT), timeout=1):
                return proc
        except OSError:
            time.sleep(0.1)
    proc.kill()
    sys.exit("the worker did not listen on %d" % PORT)


def probe_once():
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", PORT), timeout=5) as s:
            s.settimeout(5)
            s.sendall(b"GET /index.html HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")
            data = b""
            while len(data) < 4096:
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
    except OSError:
        return "no answer", time.monotonic() - start
    status = data.split(b" ", 2)[1].decode("ascii", "replace") if data.count(b" ") >= 2 else "no answer"
    if status == "200" and not data.endswith(INDEX):
        status = "200 cut"
    return status, time.monotonic() - start


def probe_during(stop, results):
    while not stop.is_set():
        results.append(probe_once())
        stop.wait(0.25)


def run_mode(name, args, duration):
    results = []
    stop = threading.Event()
    prober = threading.Thread(target=probe_during, args=(stop, results))
    attack = subprocess.Popen(["slowhttptest", *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    # Probing starts once the attacker has had a few seconds to open its
    # connections, and ends with it.
    time.sleep(min(5, duration / 4))
    prober.start()
    try:
        output, _ = attack.communicate(timeout=duration + 60)
    except subprocess.TimeoutExpired:
        attack.kill()
        output, _ = attack.communicate()
    stop.set()
    prober.join(timeout=15)
    output = re.sub(r"\x1b\[[0-9;]*m", "", output)
    connected = [int(n) for n in re.findall(r"connected:\s+(\d+)", output)]
    closed = [int(n) for n in re.findall(r"closed:\s+(\d+)", output)]
    unavailable = len(re.findall(r"service available:\s+NO", output))
    return results, (max(connected) if connected else 0), (closed[-1] if closed else 0), unavailable


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--duration", type=int, default=40, help="seconds per attack (40)")
    parser.add_argument("--connections", type=int, default=2000, help="attacker's connections (2000)")
    parser.add_argument("--rate", type=int, default=200, help="attacker's new connections per second (200)")
    parser.add_argument("--only", default="H,B,X,R", help="modes to run, e.g. H,B")
    parser.add_argument("--program", default=os.path.join(TOP, "build", "release", "Zevra"),
                        help="directory of the built program (build/release/Zevra)")
    options = parser.parse_args()
    if shutil.which("slowhttptest") is None:
        sys.exit("slowhttptest is not installed (Debian package slowhttptest)")
    if not os.path.exists(os.path.join(options.program, "Zevra")):
        sys.exit("no built program in %s: cmake --preset release && cmake --build --preset release" % options.program)
    lay_out(options.program)
    table = modes(options.connections, options.rate, options.duration)
    rows = []
    for key in options.only.split(","):
        title, args = table[key]
        worker = start_worker()
        try:
            results, peak, closed, unavailable = run_mode(key, args, options.duration)
        finally:
            worker.send_signal(signal.SIGKILL)
            worker.wait(timeout=10)
        ok = sum(1 for status, _ in results if status == "200")
        other = {}
        for status, _ in results:
            if status != "200":
                other[status] = other.get(status, 0) + 1
        slowest = max((t for status, t in results if status == "200"), default=0.0)
        rows.append((key, title, len(results), ok, ", ".join("%s %d" % kv for kv in sorted(other.items())) or "none",
                     slowest, peak, closed, unavailable))
        print("-%s %s: %d probes, %d answered 200" % (key, title, len(results), ok), flush=True)
    print()
    print("Attacker: slowhttptest -c %d -r %d, %d s per mode; probe: a GET every 250 ms on a fresh connection, "
          "5 s timeout." % (options.connections, options.rate, options.duration))
    print()
    print("| mode | attack | probes | 200 | other | slowest 200 | attacker: peak connected | attacker: closed by server "
          "| slowhttptest's own probe: unavailable |")
    print("|---|---|---|---|---|---|---|---|---|")
    for key, title, count, ok, other, slowest, peak, closed, unavailable in rows:
        print("| -%s | %s | %d | %d | %s | %.2f s | %d | %d | %d s |" % (key, title, count, ok, other, slowest, peak,
                                                                      closed, unavailable))


if __name__ == "__main__":
    main()
