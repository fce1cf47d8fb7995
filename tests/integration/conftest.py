"""Fixtures shared by the integration tests: a temporary program directory
with a copy of the built program, a worker started in it on a free loopback
port, and small raw-socket clients. Every wait here is bounded."""

import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import pytest

ZEVRA_DIR = os.environ.get("ZEVRA_DIR", "")
# The Windows build is the same program: the same tests drive Zevra.exe
# under Wine. They differ only where the platforms do (file names, the path
# separator, how a whole exit code is read), and tests that need what only
# Linux has are left out with the reason (see pytest_collection_modifyitems).
WINDOWS = os.environ.get("ZEVRA_TARGET", "") == "windows" or (
    os.path.exists(os.path.join(ZEVRA_DIR, "Zevra.exe")) and not os.path.exists(os.path.join(ZEVRA_DIR, "Zevra")))
EXE_NAME = "Zevra.exe" if WINDOWS else "Zevra"
SOCKET_LIBRARY = "Zevra.Socket.dll" if WINDOWS else "libZevra.Socket.so"
GZIP_LIBRARY = "gzip.dll" if WINDOWS else "libgzip.so"
SEP = "\\" if WINDOWS else "/"
# A Linux parent sees only the low byte of a Windows exit code; this small
# Windows program starts another one and prints its whole exit code.
EXIT_CODE_RUNNER = os.environ.get("ZEVRA_EXIT_CODE_RUNNER", "")
# A ThreadSanitizer build reports races and carries on; the reports go to
# files of their own (a pipe could fill and stall the worker) and any one of
# them fails the test that ran the worker.
THREAD_SANITIZED = "thread" in os.environ.get("ZEVRA_SANITIZE", "")
PROGRAM_FILES = (EXE_NAME, SOCKET_LIBRARY, GZIP_LIBRARY)


def pytest_configure(config):
    config.addinivalue_line("markers", "soak: a bounded load run of the worker (wrk), some seconds long")
    config.addinivalue_line("markers", "threads: exercises the worker's concurrency; also run against the "
                                       "ThreadSanitizer build")
    config.addinivalue_line("markers", "posix_only(reason): needs what only the Linux build has; left out "
                                       "against the Windows build, with the reason")
    config.addinivalue_line("markers", "cgi: runs Linux CGI programs (php-cgi, /bin/sh and python3 scripts) "
                                       "that a Windows worker cannot start; left out against the Windows "
                                       "build, where test_cgi_windows.py drives CgiProbe.exe instead")
    if WINDOWS:
        start_wine_session()


# Fixtures whose sites run Linux CGI programs. (echo_site and cgi_site run
# CgiProbe.exe on Windows, so their tests run there too.)
CGI_FIXTURES = ("php_site",)


def pytest_collection_modifyitems(config, items):
    """Against the Windows build, tests marked posix_only or cgi (or using a
    CGI site) are deselected; the reasons are printed at the end."""
    if not WINDOWS:
        return
    kept, left_out = [], []
    for item in items:
        reason = None
        marker = item.get_closest_marker("posix_only")
        if marker is not None:
            reason = marker.args[0] if marker.args else "Linux only"
        elif item.get_closest_marker("cgi") is not None or any(f in item.fixturenames for f in CGI_FIXTURES):
            reason = "runs Linux CGI programs (php-cgi, /bin/sh and python3 scripts)"
        elif item.get_closest_marker("soak") is not None:
            reason = "a load run: Wine's sockets are no measure of the server"
        if reason is None:
            kept.append(item)
        else:
            left_out.append(item)
            WINDOWS_LEFT_OUT.setdefault(reason, []).append(item.nodeid)
    if left_out:
        config.hook.pytest_deselected(items=left_out)
        items[:] = kept


WINDOWS_LEFT_OUT = {}


def pytest_terminal_summary(terminalreporter):
    if not WINDOWS_LEFT_OUT:
        return
    terminalreporter.write_line("left out against the Windows build:")
    for reason, ids in sorted(WINDOWS_LEFT_OUT.items()):
        terminalreporter.write_line("  %d: %s" % (len(ids), reason))


def start_wine_session():
    """Starts the Wine session of the prefix once, detached from the test
    run: the first Windows process of a session otherwise keeps its
    standard error open and costs seconds per start.

    The session's server must outlive each program. A server started on
    demand (by wineboot, say) ends as soon as its last program does, and
    then every worker start boots Wine again (services, devices: seconds
    each, which made the suite five times slower). "wineserver -p60" cannot
    change a running server, so a server that is still winding down is let
    end first. (scripts/test.sh boots its prefix and starts a persistent
    server itself.)"""
    os.environ.setdefault("WINEPREFIX", "/tmp/zevra-wine-%d" % os.getuid())
    os.environ.setdefault("WINEDEBUG", "-all")
    os.environ.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not os.path.isdir(os.environ["WINEPREFIX"]):
        subprocess.run(["wineboot", "-i"], timeout=300, **quiet)
        subprocess.run(["wineserver", "-w"], timeout=120, **quiet)
    subprocess.run(["wineserver", "-p60"], timeout=60, **quiet)
    subprocess.run(["wine", "cmd", "/c", "exit", "0"], timeout=120, **quiet)


def native_path(path):
    """A path as the program under test names it: Wine's Z: drive is the
    Linux root."""
    if not WINDOWS:
        return path
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def exit_code(returncode):
    """A server exit code as the program meant it: POSIX keeps the low byte
    (10000 arrives as 16), and a process ended by signal N counts 128 + N.
    (Wine hands a Linux parent the same low byte of a Windows exit code.)"""
    if returncode < 0:
        return 128 - returncode
    if 16 <= returncode <= 25:
        return returncode + 9984
    return returncode


def exit_code_of(result):
    """The whole exit code of a finished ProgramDir.run: read on the Windows
    side by the runner against the Windows build, mapped back from the low
    byte on Linux."""
    whole = getattr(result, "whole_exit_code", None)
    return whole if whole is not None else exit_code(result.returncode)


def outgoing_port_floor():
    """The lowest port the kernel hands out as a connection's source port."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 32768


def free_port():
    """A port that is free now, for a worker to listen on. Taken below the
    range of source ports: a port from that range, once let go, can become
    the source port of any test's next connection before the worker binds
    it, and the worker then fails to start."""
    floor = outgoing_port_floor()
    if floor > 12000:
        for _ in range(200):
            port = random.randrange(10000, floor)
            with socket.socket() as s:
                try:
                    s.bind(("127.0.0.1", port))
                except OSError:
                    continue
                return port
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def closed_by_peer(sock, timeout=5):
    """True when the peer closes (EOF or reset) within timeout."""
    sock.settimeout(timeout)
    try:
        return sock.recv(1) == b""
    except socket.timeout:
        return False
    except OSError:
        return True


def children_of(pid):
    """(pid, state) of every process whose parent is pid, from /proc."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name, "rb") as f:
                stat = f.read().decode("ascii", "replace")
        except OSError:
            continue
        rest = stat[stat.rfind(")") + 2:].split()
        if len(rest) > 1 and int(rest[1]) == pid:
            found.append((int(name), rest[0]))
    return found


def open_descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def status_kib(pid, field):
    """A kB figure of /proc/<pid>/status, such as VmRSS or RssAnon; 0 when absent."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def resident_kib(pid):
    return status_kib(pid, "VmRSS")


class ProgramDir:
    def __init__(self, root, folders=("Config", "Hosts", "WebRoot", "WebLogs", "WebTemp", "WebCache")):
        self.root = str(root)
        for name in PROGRAM_FILES:
            src = os.path.join(ZEVRA_DIR, name)
            if os.path.exists(src):
                shutil.copy2(src, os.path.join(self.root, name))
        for folder in folders:
            os.makedirs(os.path.join(self.root, folder), exist_ok=True)
        self.exe = os.path.join(self.root, EXE_NAME)
        self.port = None
        # Put in front of the worker's command line (to run it as another
        # account, say).
        self.launcher = []
        # Extra environment of the worker (a locale, say).
        self.env = {}

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def native(self, *parts):
        """A path below the program directory as the program names it (for
        host files and settings)."""
        return native_path(self.path(*parts))

    def command(self, *args):
        """The command line that starts the program with args."""
        return (["wine"] if WINDOWS else []) + [self.exe, *args]

    def write(self, relative, data):
        full = self.path(relative)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data.encode("utf-8") if isinstance(data, str) else data)
        return full

    def read(self, relative):
        with open(self.path(relative), "rb") as f:
            return f.read()

    def write_settings(self, text=None, **keys):
        """Writes Config/Zevra.ini: the raw text when given, otherwise the
        keys given (Port is always set to a free port unless passed)."""
        if text is None:
            sections = {
                "Listen": ["Port"],
                "Performance": ["WorkerThreads", "Connections", "MaxConn", "KeepAlive", "Buffer", "FileMapping",
                                "HeadTimeout", "BodyTimeout", "MaxBodySize"],
                "Settings": ["WriteAccessLog", "EnableGZIP", "GZIPCompressLevel", "GatewayTimeout", "Debug",
                             "ServerAdmin", "DirectoryListing"],
            }
            keys.setdefault("Port", free_port())
            lines = []
            for section, names in sections.items():
                lines.append("[%s]" % section)
                for name in names:
                    if name in keys:
                        lines.append("%s=%s" % (name, keys[name]))
            text = "\r\n".join(lines) + "\r\n"
            self.port = int(keys["Port"])
        self.write("Config/Zevra.ini", text)

    def run(self, *args, timeout=20, env=None):
        if not (WINDOWS and EXIT_CODE_RUNNER):
            return subprocess.run(self.command(*args), cwd=self.root, capture_output=True, timeout=timeout, env=env)
        # Through the runner, which appends "\nexit code: N\n" to the
        # program's own output; returncode stays what a Linux parent sees.
        r = subprocess.run(["wine", EXIT_CODE_RUNNER, native_path(self.exe), *args], cwd=self.root,
                           capture_output=True, timeout=timeout, env=env)
        out, marker, code = r.stdout.rpartition(b"\nexit code: ")
        assert r.returncode == 0 and marker, "the runner failed: %r %r" % (r.stdout[-200:], r.stderr[-500:])
        r.stdout = out
        r.whole_exit_code = int(code)
        r.returncode = r.whole_exit_code & 0xFF
        return r

    def error_log(self):
        try:
            return self.read("error.log").decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def access_logs(self, encoding="utf-8"):
        """The access logs as text; they are in the worker's code page."""
        logs = self.path("WebLogs")
        text = ""
        for name in sorted(os.listdir(logs)):
            with open(os.path.join(logs, name), "rb") as f:
                text += f.read().decode(encoding, "replace")
        return text

    def access_logs_once(self, needle, timeout=5.0, encoding="utf-8"):
        """The access logs once they hold `needle`: a line is written just
        after its answer leaves, so a client can read the answer first."""
        deadline = time.monotonic() + timeout
        text = self.access_logs(encoding)
        while needle not in text and time.monotonic() < deadline:
            time.sleep(0.02)
            text = self.access_logs(encoding)
        return text


class Worker:
    """A `Zevra /worker` process, stopped by its pid when the test ends."""

    def __init__(self, program, wait=True, timeout=15):
        self.program = program
        self.port = program.port
        env = dict(os.environ, **program.env) if program.env else None
        self.race_reports = None
        if THREAD_SANITIZED:
            self.race_reports = tempfile.mkdtemp(prefix="zevra-tsan-")
            options = "log_path=%s/report" % self.race_reports
            env = dict(env or os.environ, TSAN_OPTIONS=(os.environ.get("TSAN_OPTIONS", "") + " " + options).strip())
        self.env = env
        self.start()
        if wait:
            self.wait_listening(timeout)

    def start(self):
        self.proc = subprocess.Popen([*self.program.launcher, *self.program.command("/worker")],
                                     cwd=self.program.root, env=self.env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def wait_listening(self, timeout=15):
        deadline = time.monotonic() + timeout
        retried = False
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                stderr = self.proc.stderr.read().decode("utf-8", "replace") if self.proc.stderr else ""
                # Under heavy load Wine's loader now and then gives up before
                # the program runs at all: it ends with 1, a code Zevra.exe
                # never uses, and the program has logged nothing. That start
                # is made once more; any other ending fails the test.
                if WINDOWS and not retried and self.proc.returncode == 1 and self.program.error_log() == "":
                    retried = True
                    sys.stderr.write("Wine did not start the worker (%r); starting it again\n" % stderr[-300:])
                    self.proc.stderr.close()
                    self.start()
                    continue
                raise AssertionError("worker ended with %d: %s %s" % (
                    exit_code(self.proc.returncode), self.program.error_log(), stderr[-1000:]))
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return
            except OSError:
                time.sleep(0.05)
        raise AssertionError("worker did not listen within %ss" % timeout)

    def stop(self):
        """Idempotent: a test may stop its worker before the fixture does."""
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGKILL)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        if self.proc.stderr and not self.proc.stderr.closed:
            self.stderr = self.proc.stderr.read().decode("utf-8", "replace")
            self.proc.stderr.close()
        if self.race_reports:
            reports = ""
            for name in sorted(os.listdir(self.race_reports)):
                with open(os.path.join(self.race_reports, name), encoding="utf-8", errors="replace") as f:
                    reports += f.read()
            shutil.rmtree(self.race_reports, ignore_errors=True)
            self.race_reports = None
            assert reports == "", "ThreadSanitizer reported:\n" + reports


@pytest.fixture
def program(tmp_path):
    if not os.path.exists(os.path.join(ZEVRA_DIR, EXE_NAME)):
        pytest.fail("ZEVRA_DIR does not hold a built Zevra: %r" % ZEVRA_DIR)
    return ProgramDir(tmp_path)


@pytest.fixture
def start_worker(program):
    started = []

    def start(**settings):
        if settings or program.port is None:
            program.write_settings(**settings)
        w = Worker(program)
        started.append(w)
        return w

    yield start
    for w in started:
        w.stop()


def raw_exchange(port, data, timeout=10, until_close=True):
    """Sends data and reads until the server closes (or the time is up)."""
    out = b""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                break
            if not chunk:
                break
            out += chunk
            if not until_close:
                break
    return out


class Response:
    def __init__(self, status_line, headers, body, raw_head):
        self.status_line = status_line
        self.status = int(status_line.split(b" ")[1]) if status_line.count(b" ") >= 1 else 0
        self.headers = headers          # list of (name, value) in order, as str
        self.body = body
        self.raw_head = raw_head

    def header(self, name):
        for n, v in self.headers:
            if n.lower() == name.lower():
                return v
        return None


def read_response(sock, head_only=False, timeout=10):
    """Reads one response from a socket: head, then Content-Length bytes."""
    sock.settimeout(timeout)
    buf = b""
    while b"\r\n\r\n" not in buf:
        chunk = sock.recv(65536)
        if not chunk:
            raise AssertionError("connection closed before a complete head: %r" % buf)
        buf += chunk
    head, rest = buf.split(b"\r\n\r\n", 1)
    lines = head.split(b"\r\n")
    headers = []
    for line in lines[1:]:
        name, _, value = line.decode("utf-8", "replace").partition(": ")
        headers.append((name, value))
    resp = Response(lines[0], headers, b"", head + b"\r\n\r\n")
    length = int(resp.header("Content-Length") or 0)
    if head_only or resp.status in (100, 304):
        length = 0
    while len(rest) < length:
        chunk = sock.recv(min(1 << 20, length - len(rest)))
        if not chunk:
            break
        rest += chunk
    resp.body = rest[:length]
    resp.leftover = rest[length:]
    return resp


def http_get(port, path="/", host="localhost", method="GET", headers=(), timeout=10):
    """One request on a fresh connection; returns the parsed response."""
    lines = ["%s %s HTTP/1.1" % (method, path)]
    if host is not None:
        lines.append("Host: %s" % host)
    lines.extend(headers)
    data = ("\r\n".join(lines) + "\r\n\r\n").encode("utf-8")
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        return read_response(s, head_only=(method == "HEAD"), timeout=timeout)
