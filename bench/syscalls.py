#!/usr/bin/python3
"""System calls per small answer: strace -c -f on a running Zevra worker
while a fixed number of keep-alive requests for a 1 KiB file (or a missing
one) are answered over loopback.

  /usr/bin/python3 bench/syscalls.py [--zevra-dir build/release] [--requests N]
                                     [--connections C] [--path /1k.bin]

Each of C client connections sends its share of N requests one after the
other (a request, then its whole answer), so the count per answer is exact.
Prints one row per system call: calls in total and per answer. Not a test:
strace slows the worker, so only the counts mean anything.
"""

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def layout(zevra_dir, root):
    for name in ("Zevra", "libZevra.Socket.so", "libgzip.so"):
        shutil.copy2(os.path.join(zevra_dir, name), os.path.join(root, name))
    for d in ("Config", "Hosts", "WebRoot", "WebLogs", "WebTemp", "WebCache"):
        os.makedirs(os.path.join(root, d))
    with open(os.path.join(root, "WebRoot", "1k.bin"), "wb") as f:
        f.write(os.urandom(1024))
    port = free_port()
    with open(os.path.join(root, "Config", "Zevra.ini"), "w") as f:
        f.write("[Listen]\nPort=%d\n[Performance]\nKeepAlive=0\n[Settings]\nWriteAccessLog=True\n" % port)
    return port


def read_answer(sock, buf):
    """One answer off a keep-alive connection; returns the bytes after it."""
    deadline = time.monotonic() + 10
    while b"\r\n\r\n" not in buf:
        if time.monotonic() > deadline:
            raise SystemExit("no answer within 10 s")
        chunk = sock.recv(65536)
        if not chunk:
            raise SystemExit("connection closed")
        buf += chunk
    head, rest = buf.split(b"\r\n\r\n", 1)
    m = re.search(rb"\r\nContent-Length: (\d+)", head)
    length = int(m.group(1)) if m else 0
    while len(rest) < length:
        chunk = sock.recv(65536)
        if not chunk:
            raise SystemExit("connection closed in a body")
        rest += chunk
    return rest[length:]


def client(port, path, count, errors):
    request = ("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: syscalls\r\n\r\n" % path).encode()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            buf = b""
            for _ in range(count):
                s.sendall(request)
                buf = read_answer(s, buf)
    except Exception as e:  # reported by the caller
        errors.append(repr(e))


def load(port, path, total, connections):
    errors = []
    share = [total // connections + (1 if i < total % connections else 0) for i in range(connections)]
    threads = [threading.Thread(target=client, args=(port, path, n, errors)) for n in share]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    if errors:
        raise SystemExit("client failed: %s" % errors[0])


def parse_strace(text):
    calls = {}
    for line in text.splitlines():
        parts = line.split()
        # % time, seconds, usecs/call, calls, [errors], syscall
        if len(parts) >= 5 and re.match(r"^[\d.]+$", parts[0]) and parts[-1] != "total":
            try:
                calls[parts[-1]] = int(parts[3])
            except ValueError:
                pass
    return calls


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--zevra-dir", default=os.path.join(TOP, "build", "release", "Zevra"))
    ap.add_argument("--requests", type=int, default=2000)
    ap.add_argument("--connections", type=int, default=1)
    ap.add_argument("--path", default="/1k.bin")
    args = ap.parse_args()
    root = tempfile.mkdtemp(prefix="zevra-syscalls-")
    worker = None
    try:
        port = layout(args.zevra_dir, root)
        worker = subprocess.Popen([os.path.join(root, "Zevra"), "/worker"], cwd=root,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline or worker.poll() is not None:
                    raise SystemExit("worker did not listen")
                time.sleep(0.05)
        load(port, args.path, 200, args.connections)  # warm up
        out = os.path.join(root, "strace.txt")
        tracer = subprocess.Popen(["strace", "-c", "-f", "-o", out, "-p", str(worker.pid)],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1.0)  # attached to every thread
        load(port, args.path, args.requests, args.connections)
        time.sleep(0.3)
        tracer.send_signal(signal.SIGINT)
        tracer.wait(timeout=30)
        with open(out) as f:
            calls = parse_strace(f.read())
        n = args.requests
        print("%d answers of %s over %d connection(s)" % (n, args.path, args.connections))
        print("| call | calls | per answer |")
        print("|---|---:|---:|")
        for name, count in sorted(calls.items(), key=lambda kv: -kv[1]):
            print("| %s | %d | %.2f |" % (name, count, count / n))
        print("| total | %d | %.2f |" % (sum(calls.values()), sum(calls.values()) / n))
    finally:
        if worker is not None and worker.poll() is None:
            worker.send_signal(signal.SIGKILL)
            worker.wait(timeout=10)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
