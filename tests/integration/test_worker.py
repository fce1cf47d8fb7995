"""The worker process: pid file, start-up failures, the sweeper of silent
connections, the crash report, and receive buffering seen from a client."""

import concurrent.futures
import os
import re
import signal
import socket
import subprocess
import time

import pytest

from conftest import (SOCKET_LIBRARY, WINDOWS, ZEVRA_DIR, children_of, exit_code, native_path, open_descriptors,
                      read_response)

# The CGI program of the Windows build's tests, built beside Zevra.exe.
PROBE = os.path.join(ZEVRA_DIR, "CgiProbe.exe")

CRASH_PROBE = os.environ.get("ZEVRA_SANITIZE", "").startswith("address")
needs_probe = pytest.mark.skipif(not CRASH_PROBE, reason="only test builds can be made to crash")


def log_lines(program):
    return [line for line in program.error_log().split("\r\n") if line]


def wait_exit(proc, timeout=20):
    try:
        return proc.wait(timeout=timeout)
    finally:
        if proc.poll() is None:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait(timeout=10)


def wait_listening(proc, port, timeout=15):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        assert proc.poll() is None, "worker ended early"
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise AssertionError("worker did not listen")


def start_raw(program, env_extra=None):
    env = dict(os.environ)
    env.update(env_extra or {})
    return subprocess.Popen(program.command("/worker"), cwd=program.root, env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def test_pid_file_holds_the_worker_pid_as_digits_only(program, start_worker):
    program.write("Zevra.pid", "stale text\r\n")
    w = start_worker()
    if WINDOWS:
        # A Windows process id, which Wine does not share with Linux.
        assert re.fullmatch(rb"[1-9]\d*", program.read("Zevra.pid")), program.read("Zevra.pid")
    else:
        assert program.read("Zevra.pid") == str(w.proc.pid).encode()


def test_port_in_use_ends_with_10007_and_the_library_description(program):
    program.write_settings()
    blocker = socket.socket()
    blocker.bind(("127.0.0.1", program.port))
    blocker.listen(1)
    try:
        proc = start_raw(program)
        code = wait_exit(proc)
        proc.stderr.close()
    finally:
        blocker.close()
    assert exit_code(code) == 10007
    lines = [l for l in log_lines(program) if "[Worker]" in l]
    assert len(lines) == 1, program.error_log()
    prefix = " - - [Worker] Error(10007) Unable to start server object. "
    assert prefix in lines[0]
    assert lines[0].split(prefix, 1)[1].strip() != "", "the library's description is missing"


def test_missing_socket_library_keeps_the_program_from_starting(program):
    program.write_settings()
    os.remove(program.path(SOCKET_LIBRARY))
    proc = start_raw(program)
    code = wait_exit(proc)
    proc.stderr.close()
    assert code != 0
    assert not os.path.exists(program.path("Zevra.pid"))


def idle_close_time(port, limit):
    """Seconds until the server closes a silent connection, or None."""
    with socket.create_connection(("127.0.0.1", port), timeout=limit) as s:
        start = time.monotonic()
        try:
            data = s.recv(1)
        except socket.timeout:
            return None
        assert data == b""
        return time.monotonic() - start


def test_keepalive_5000_closes_a_silent_connection_within_six_seconds(program, start_worker):
    w = start_worker(KeepAlive=5000)
    took = idle_close_time(w.port, 9)
    assert took is not None and 4.0 <= took <= 7.0, took


def test_keepalive_0_leaves_silent_connections_open(program, start_worker):
    w = start_worker(KeepAlive=0)
    assert idle_close_time(w.port, 3) is None


CRASH_LINE = re.compile(
    r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d - - \[ Core \] Error - Worker \[(\d+)\] Crashed\. "
    r"Exception \{Code:0x([0-9A-F]+), Address:0x([0-9A-F]+), Flags:0x00, Record:0x00, (.*)\}$")


def crash_line(program):
    lines = [l for l in log_lines(program) if "Crashed." in l]
    assert len(lines) == 1, program.error_log()
    m = CRASH_LINE.match(lines[0])
    assert m, lines[0]
    assert len(m.group(2)) % 2 == 0 and len(m.group(3)) % 2 == 0
    return m


@pytest.mark.posix_only("fatal signals")
@needs_probe
def test_crash_in_a_request_writes_the_line_and_ends_by_the_signal(program):
    program.write_settings()
    proc = start_raw(program, {"ZEVRA_CRASH_PROBE": "request:segv"})
    try:
        wait_listening(proc, program.port)
        with socket.create_connection(("127.0.0.1", program.port), timeout=10) as s:
            s.sendall(b"GET / HTTP/1.1\r\n\r\n")
            s.settimeout(10)
            try:
                s.recv(100)
            except OSError:
                pass
        code = wait_exit(proc)
    finally:
        proc.stderr.close()
    assert code == -signal.SIGSEGV
    m = crash_line(program)
    assert m.group(1) == str(proc.pid)
    assert m.group(2) == "C0000005"
    # A write to address 0x10.
    assert m.group(4) == "Params:0x02, Info[1]:0x01, Info[2]:0x10"


@pytest.mark.posix_only("fatal signals")
@needs_probe
@pytest.mark.parametrize("kind,code,sig", [
    ("abort", "C0000409", signal.SIGABRT),
    ("ill", "C000001D", signal.SIGILL),
    ("fpe", "C0000094", signal.SIGFPE),
])
def test_each_fatal_signal_maps_to_its_exception_code(program, kind, code, sig):
    program.write_settings()
    proc = start_raw(program, {"ZEVRA_CRASH_PROBE": kind})
    rc = wait_exit(proc)
    proc.stderr.close()
    assert rc == -sig
    assert exit_code(rc) == 128 + sig
    m = crash_line(program)
    assert m.group(1) == str(proc.pid)
    assert m.group(2) == code
    assert m.group(4) == ""


def make_site(program):
    program.write("WebRoot/index.html", "<p>home</p>")
    program.write("WebRoot/a.txt", "alpha")
    program.write("WebRoot/b.txt", "bravo!")


def no_more_bytes(sock, wait=0.5):
    sock.settimeout(wait)
    try:
        return sock.recv(65536) == b""
    except socket.timeout:
        return True


def send_byte_by_byte(s, request):
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    for i in range(len(request)):
        s.sendall(request[i:i + 1])
        time.sleep(0.002)


def test_a_head_sent_byte_by_byte_is_answered_once(program, start_worker):
    make_site(program)
    w = start_worker()
    request = b"GET /a.txt HTTP/1.1\r\nHost: localhost\r\nConnection: keep-alive\r\n\r\n"
    with socket.create_connection(("127.0.0.1", w.port), timeout=10) as s:
        send_byte_by_byte(s, request)
        r = read_response(s)
        assert r.status == 200
        assert r.body == b"alpha"
        assert r.leftover == b""
        assert no_more_bytes(s)


def split_responses(data):
    """(status, body) of each whole response in data, in order."""
    out = []
    while b"\r\n\r\n" in data:
        head, rest = data.split(b"\r\n\r\n", 1)
        lines = head.split(b"\r\n")
        length = 0
        for line in lines[1:]:
            name, _, value = line.partition(b": ")
            if name.lower() == b"content-length":
                length = int(value)
        if len(rest) < length:
            break
        out.append((int(lines[0].split(b" ")[1]), rest[:length]))
        data = rest[length:]
    return out, data


def test_pipelined_requests_are_answered_in_order(program, start_worker):
    make_site(program)
    w = start_worker()
    one = b"GET /a.txt HTTP/1.1\r\nHost: localhost\r\nConnection: keep-alive\r\n\r\n"
    two = b"GET /b.txt HTTP/1.1\r\nHost: localhost\r\nConnection: keep-alive\r\n\r\n"
    post = b"POST /a.txt HTTP/1.1\r\nHost: localhost\r\nConnection: keep-alive\r\nContent-Length: 3\r\n\r\nxyz"
    with socket.create_connection(("127.0.0.1", w.port), timeout=10) as s:
        s.sendall(one + two + post + one)
        data = b""
        deadline = time.monotonic() + 10
        responses = []
        while len(responses) < 4 and time.monotonic() < deadline:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
            responses, rest = split_responses(data)
        assert [r[1] for r in responses[:2]] == [b"alpha", b"bravo!"]
        assert responses[2][0] == 405  # a POST to a static file; its body did not leak into the next request
        assert responses[3] == (200, b"alpha")
        assert rest == b"" and no_more_bytes(s)


def test_a_refused_head_sent_byte_by_byte_is_answered_once(program, start_worker):
    w = start_worker()
    request = b"POST /x.php HTTP/1.1\r\nHost: localhost\r\n\r\n"
    with socket.create_connection(("127.0.0.1", w.port), timeout=10) as s:
        send_byte_by_byte(s, request)
        r = read_response(s)
        assert r.status == 411
        assert r.leftover == b""
        assert no_more_bytes(s, 5)


def test_post_without_length_gets_411_and_bad_framing_400(program, start_worker):
    w = start_worker()
    cases = [
        (b"POST /x.php HTTP/1.1\r\nHost: localhost\r\n\r\n", 411),
        (b"POST /x.php HTTP/1.1\r\nHost: localhost\r\nContent-Length: -1\r\n\r\n", 400),
        (b"POST /x.php HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400),
    ]
    for request, status in cases:
        with socket.create_connection(("127.0.0.1", w.port), timeout=10) as s:
            s.sendall(request)
            r = read_response(s)
            assert r.status == status, request
            assert r.header("Connection") == "close"
            assert no_more_bytes(s, 5), "connection left open after %d" % status


def test_continue_is_sent_once_when_the_client_waits_for_it(program, start_worker):
    w = start_worker()
    head = (b"POST /x.php HTTP/1.1\r\nHost: localhost\r\nExpect: 100-continue\r\n"
            b"Content-Length: 5\r\n\r\n")
    with socket.create_connection(("127.0.0.1", w.port), timeout=10) as s:
        s.sendall(head)
        r = read_response(s)
        assert r.status_line == b"HTTP/1.1 100 Continue"
        s.sendall(b"hello")
        r = read_response(s)
        assert r.status != 100


def test_oversized_head_gets_400_and_is_closed(program, start_worker):
    w = start_worker()
    head = b"GET / HTTP/1.1\r\nHost: localhost\r\nX-Fill: " + b"x" * (64 * 1024)
    with socket.create_connection(("127.0.0.1", w.port), timeout=10) as s:
        s.sendall(head)
        r = read_response(s)
        assert r.status == 400
        assert no_more_bytes(s, 5)


def test_spooled_body_leaves_no_file_behind(program, start_worker):
    make_site(program)
    # A body is kept only for a CGI program: a script that reads it (on
    # Windows the probe's "count" part, which answers the same).
    program.write("site/count.cgi", "printf 'Content-Type: text/plain\\r\\n\\r\\n'; wc -c | tr -d ' \\n'\n")
    command = "%s count" % native_path(PROBE) if WINDOWS else "/bin/sh %s"
    program.write("Hosts/localhost", "%s;index.html;ExecCGI;.cgi;%s" % (program.native("site"), command))
    w = start_worker()
    body = bytes(range(256)) * 40  # 10240 bytes: spooled
    head = (b"POST /count.cgi HTTP/1.1\r\nHost: localhost\r\nConnection: keep-alive\r\n"
            b"Content-Length: %d\r\n\r\n" % len(body))
    with socket.create_connection(("127.0.0.1", w.port), timeout=10) as s:
        s.sendall(head + body[:5000])
        time.sleep(0.2)
        assert len(os.listdir(program.path("WebTemp"))) == 1
        s.sendall(body[5000:])
        r = read_response(s)
        assert r.status == 200 and r.body == b"10240"
        # The answer goes out just before the request state is reset.
        assert wait_until_empty(program.path("WebTemp"))
        # A body cut off by the client's close is removed as well.
        with socket.create_connection(("127.0.0.1", w.port), timeout=10) as c:
            c.sendall(head + body[:6000])
            time.sleep(0.2)
            assert len(os.listdir(program.path("WebTemp"))) == 1
        assert wait_until_empty(program.path("WebTemp"))
        # A body for what is no script is read past and never stored.
        s.sendall(head.replace(b"/count.cgi", b"/a.txt") + body[:5000])
        time.sleep(0.2)
        assert os.listdir(program.path("WebTemp")) == []
        s.sendall(body[5000:])
        assert read_response(s).status == 405


def wait_until_empty(path, timeout=5):
    deadline = time.monotonic() + timeout
    while os.listdir(path) and time.monotonic() < deadline:
        time.sleep(0.02)
    return os.listdir(path) == []


@pytest.mark.threads
def test_many_clients_at_once_each_get_their_own_answers(program, start_worker):
    make_site(program)
    w = start_worker(WorkerThreads=4)
    import threading
    failures = []

    def client(n):
        try:
            with socket.create_connection(("127.0.0.1", w.port), timeout=10) as s:
                name, body = (b"a.txt", b"alpha") if n % 2 else (b"b.txt", b"bravo!")
                request = b"GET /" + name + b" HTTP/1.1\r\nHost: localhost\r\nConnection: keep-alive\r\n\r\n"
                for i in range(5):
                    # Heads cut at a different place each time.
                    cut = (n + i) % len(request)
                    s.sendall(request[:cut])
                    time.sleep(0.001)
                    s.sendall(request[cut:])
                    r = read_response(s)
                    if r.status != 200 or r.body != body:
                        failures.append((n, i, r.status, r.body))
        except Exception as e:  # reported below with the client's number
            failures.append((n, repr(e)))

    threads = [threading.Thread(target=client, args=(n,)) for n in range(40)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads)
    assert failures == []


@pytest.mark.threads
def test_clients_that_vanish_mid_answer_leave_the_others_served_and_nothing_behind(program, start_worker):
    # All at once: downloads dropped after their first bytes, CGI requests
    # dropped while the program runs, spooled POST bodies dropped halfway,
    # and clients that stay. Those that stay get their exact answers; after
    # the worker has seen every close, no spool file, no child process and
    # no extra descriptor is left.
    big = os.urandom(8 << 20)
    program.write("site/big.bin", big)
    program.write("site/small.txt", b"small and whole")
    if WINDOWS:
        program.write("site/slow.cgi", "type 300\nContent-Type: text/plain\r\n\r\ndone")
        command = "%s script %%s" % native_path(PROBE)
    else:
        program.write("site/slow.cgi", "sleep 0.3; printf 'Content-Type: text/plain\\r\\n\\r\\ndone'")
        command = "/bin/sh %s"
    program.write("Hosts/localhost", "%s;index.html;ExecCGI;.cgi;%s" % (program.native("site"), command))
    w = start_worker(WorkerThreads=8)
    # The socket library hands connections to its loops in turn, and a loop
    # opens its poll descriptors with its first connection: a round over
    # every loop first, so the baseline holds them all. The files the
    # clients ask for are looked up once too: the cache of open files keeps
    # a descriptor per file it holds, which is no leak.
    for _ in range(16):
        with socket.create_connection(("127.0.0.1", w.port), timeout=10) as s:
            s.sendall(b"GET /small.txt HTTP/1.1\r\nHost: localhost\r\n\r\n")
            assert read_response(s).body == b"small and whole"
    for path in ("/big.bin", "/slow.cgi"):
        with socket.create_connection(("127.0.0.1", w.port), timeout=10) as s:
            s.sendall(b"HEAD " + path.encode() + b" HTTP/1.1\r\nHost: localhost\r\n\r\n")
            assert read_response(s, head_only=True).status == 200
    time.sleep(0.3)
    descriptors = open_descriptors(w.proc.pid)

    def request(head, body=b""):
        return head.encode() + b"\r\nHost: localhost\r\n" + (
            b"Content-Length: %d\r\n\r\n" % len(body) if body else b"\r\n")

    def vanish(kind):
        with socket.create_connection(("127.0.0.1", w.port), timeout=10) as s:
            if kind == "download":
                s.sendall(request("GET /big.bin HTTP/1.1"))
                s.recv(65536)
            elif kind == "cgi":
                s.sendall(request("GET /slow.cgi HTTP/1.1"))
                time.sleep(0.05)
            else:
                body = b"p" * 200000
                s.sendall(request("POST /slow.cgi HTTP/1.1", body)[:-150000])
                time.sleep(0.05)
        return "gone"

    def stay(kind):
        with socket.create_connection(("127.0.0.1", w.port), timeout=30) as s:
            if kind == "download":
                s.sendall(request("GET /big.bin HTTP/1.1"))
                return read_response(s, timeout=30).body == big
            s.sendall(request("GET /slow.cgi HTTP/1.1"))
            return read_response(s, timeout=30).body == b"done"

    jobs = [(vanish, k) for k in ("download", "cgi", "post") for _ in range(6)]
    jobs += [(stay, k) for k in ("download", "cgi") for _ in range(3)]
    with concurrent.futures.ThreadPoolExecutor(max_workers=len(jobs)) as pool:
        outcomes = list(pool.map(lambda job: job[0](job[1]), jobs))
    assert outcomes == ["gone"] * 18 + [True] * 6
    # Under Wine the worker's Linux descriptors are Wine's own: every thread
    # holds pipes to the Wine server, and the helper threads the socket
    # library lends to stalled loops stay parked, so the count grows with
    # threads and says nothing of Windows handles. There the spool folder and
    # the child processes are checked alone.
    def descriptors_grew():
        return not WINDOWS and open_descriptors(w.proc.pid) > descriptors

    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and (os.listdir(program.path("WebTemp")) or children_of(w.proc.pid)
                                           or descriptors_grew()):
        time.sleep(0.1)
    assert os.listdir(program.path("WebTemp")) == []
    assert children_of(w.proc.pid) == []
    assert not descriptors_grew()
