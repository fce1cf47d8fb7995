"""Zevra.exe under Wine as a Windows service and as a crashing worker: the
service through Wine's service control manager (install, start, the worker
killed and restarted, stop, remove), the worker's crash line from a provoked
access violation, and the packed zip serving its own site.

Exit codes are read whole through ExitCodeRunner.exe (a Linux parent sees
only their low byte). The Wine prefix is the caller's (WINEPREFIX); every
new session of it would start an installed automatic service, so each test
removes what it installed, whatever happens. Every wait is bounded."""

import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import zipfile

import pytest

ZEVRA_DIR = os.environ.get("ZEVRA_DIR", "")
WINE_RUN = os.environ.get("ZEVRA_WINE_RUN", "")
TOOLS = os.environ.get("ZEVRA_TEST_TOOLS", "")
CRASH_PROBE = os.environ.get("ZEVRA_CRASH_PROBE_BUILD", "").upper() in ("ON", "1", "TRUE", "YES")
CPACK = os.environ.get("ZEVRA_CPACK", "")
CPACK_CONFIG = os.environ.get("ZEVRA_CPACK_CONFIG", "")
PROGRAM_FILES = ("Zevra.exe", "Zevra.Socket.dll", "gzip.dll")
SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\Zevra"

pytestmark = pytest.mark.skipif(not (ZEVRA_DIR and WINE_RUN and TOOLS),
                                reason="needs ZEVRA_DIR, ZEVRA_WINE_RUN and ZEVRA_TEST_TOOLS (set by ctest)")


def windows_path(path):
    """The Linux path as Wine's drive Z: shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine(*args, cwd=None, env=None, timeout=60):
    return subprocess.run([WINE_RUN, *args], cwd=cwd, env=env, capture_output=True, timeout=timeout)


def run_program(directory, *args, env=None, timeout=90):
    """Runs Zevra.exe in directory through ExitCodeRunner: (its output, its whole exit code)."""
    r = wine(os.path.join(TOOLS, "ExitCodeRunner.exe"), "Zevra.exe", *args, cwd=directory, env=env, timeout=timeout)
    output, found, code = r.stdout.rpartition(b"\nexit code: ")
    assert found, r
    return output, int(code)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(port, path="/", timeout=3):
    """(status line, body) of one GET on loopback, or None when nothing answers."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.settimeout(timeout)
            s.sendall(b"GET " + path.encode() + b" HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")
            data = b""
            while len(data) < 1 << 20:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
    except OSError:
        return None
    if not data:
        return None
    head, _, body = data.partition(b"\r\n\r\n")
    return head.split(b"\r\n", 1)[0], body


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def wait_for(predicate, timeout=30, step=0.2):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def log_lines(directory):
    """error.log's messages without their time stamps."""
    try:
        with open(os.path.join(directory, "error.log"), "rb") as f:
            text = f.read().decode("latin-1")
    except FileNotFoundError:
        return []
    return [line.split(" - - ", 1)[1] for line in text.split("\r\n") if " - - " in line]


def read_pid(directory):
    try:
        with open(os.path.join(directory, "Zevra.pid")) as f:
            text = f.read()
    except FileNotFoundError:
        return 0
    return int(text) if text.isdigit() else 0


def make_program_dir(root, port):
    """A program directory below a folder whose name holds blanks, as
    "C:\\Program Files" does: the service's command line must survive it."""
    directory = os.path.join(root, "Program Files", "Zevra")
    for d in ("Config", "Hosts", "WebRoot", "WebLogs", "WebTemp", "WebCache"):
        os.makedirs(os.path.join(directory, d))
    for name in PROGRAM_FILES:
        shutil.copy(os.path.join(ZEVRA_DIR, name), directory)
    with open(os.path.join(directory, "Config", "Zevra.ini"), "w") as f:
        f.write("[Listen]\r\nPort=%d\r\n[Settings]\r\nWriteAccessLog=False\r\n" % port)
    with open(os.path.join(directory, "WebRoot", "index.html"), "w") as f:
        f.write("<p>service</p>")
    return directory


def service_state():
    """The STATE number sc reports, or None when the service does not exist."""
    r = wine("sc", "query", "Zevra")
    m = re.search(rb"STATE\s+:\s+(\d+)", r.stdout)
    return int(m.group(1)) if m else None


def service_record():
    """The service's registry values, from a .reg export (UTF-16): name -> text."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "zevra.reg")
        r = wine("reg", "export", SERVICE_KEY, windows_path(out), "/y")
        assert r.returncode == 0, r
        with open(out, "rb") as f:
            text = f.read().decode("utf-16")
    text = re.sub(r"\\\r?\n\s*", "", text)  # a long value goes on over "\" line ends
    values = {}
    for m in re.finditer(r'^"([^"]+)"=([^\r\n]*)\r?$', text, re.M):
        values[m.group(1)] = m.group(2)
    return values


def reg_string(text):
    """A string value of a .reg export: "quoted", or hex(2): for an expandable one."""
    if text.startswith("hex(2):"):
        return bytes(int(b, 16) for b in text[7:].split(",")).decode("utf-16-le").rstrip("\0")
    assert text.startswith('"') and text.endswith('"'), text
    return text[1:-1].replace('\\"', '"').replace("\\\\", "\\")


STOPPED, RUNNING = 1, 4


@pytest.fixture
def program_dir():
    root = tempfile.mkdtemp(prefix="zevra-winsvc-")
    port = free_port()
    directory = make_program_dir(root, port)
    assert service_state() is None, "a service Zevra is installed in this Wine prefix already"
    try:
        yield directory, port
    finally:
        if service_state() is not None:
            wine("sc", "stop", "Zevra")
            wait_for(lambda: service_state() in (None, STOPPED), timeout=20)
            wine("sc", "delete", "Zevra")
        pid = read_pid(directory)
        if pid:  # a worker a failed stop left behind (only ever ours: the pid file is in our folder)
            wine(os.path.join(TOOLS, "EndProcess.exe"), str(pid), "1")
        shutil.rmtree(root, ignore_errors=True)


def test_service_round_through_the_service_manager(program_dir):
    directory, port = program_dir
    output, code = run_program(directory, "/install")
    assert (output, code) == (b"Service installed.", 10000)

    # Installing twice fails with the system's text for the existing service.
    output, code = run_program(directory, "/install")
    assert code == 10003
    assert output.startswith(b"Unable to install service. ") and output.endswith(
        b"\r\nMake sure you have administrator privileges."), output
    assert len(output) > len(b"Unable to install service. \r\nMake sure you have administrator privileges.")

    record = service_record()
    executable = windows_path(os.path.join(directory, "Zevra.exe"))
    # Quoted: a bare path with blanks would be tried word by word ("...\Program.exe" first).
    assert reg_string(record["ImagePath"]) == '"%s" /daemon' % executable
    assert reg_string(record["DisplayName"]) == "泽瓦个人网站服务器"
    assert reg_string(record["Description"]) == "泽瓦个人网站服务器工作进程。"
    assert reg_string(record["ObjectName"]) == "NT AUTHORITY\\NETWORK SERVICE"
    assert record["Start"] == "dword:00000002" and record["Type"] == "dword:00000010"
    assert record["ErrorControl"] == "dword:00000001"
    # The files the account writes exist before it runs (it cannot create them there).
    for name in ("error.log", "Zevra.pid"):
        assert os.path.isfile(os.path.join(directory, name)), name

    r = wine("net", "start", "Zevra")
    assert r.returncode == 0, r
    answer = wait_for(lambda: get(port))
    assert answer == (b"HTTP/1.1 200 OK", b"<p>service</p>"), log_lines(directory)
    assert service_state() == RUNNING
    first = wait_for(lambda: read_pid(directory))
    assert first

    # Killed from outside with exit code 1: a crash to the daemon, which starts a new worker.
    r = wine(os.path.join(TOOLS, "EndProcess.exe"), str(first), "1")
    assert r.returncode == 0, r
    restarted = wait_for(lambda: [l for l in log_lines(directory) if l.startswith("[ Core ] Worker Crashed")])
    second = wait_for(lambda: read_pid(directory) != first and read_pid(directory))
    assert restarted == ["[ Core ] Worker Crashed(0x01). Restarting Worker Process... PID: %d" % second]
    assert wait_for(lambda: get(port)) == (b"HTTP/1.1 200 OK", b"<p>service</p>")

    r = wine("sc", "stop", "Zevra")
    assert wait_for(lambda: service_state() == STOPPED), r
    assert wait_for(lambda: get(port, timeout=1) is None, timeout=10)
    lines = log_lines(directory)
    # The installer's own failure line (the second /install) stands first.
    lines = lines[lines.index("[ Core ] Initializing service...") - 1:]
    assert lines[0].startswith("[ Core ] Zevra/0.2.9 , ")
    assert lines[1:] == [
        "[ Core ] Initializing service...",
        "[ Core ] Initializing Worker Process... PID: %d" % first,
        "[ Core ] Worker Crashed(0x01). Restarting Worker Process... PID: %d" % second,
        "[ Core ] Received SERVICE_CONTROL_STOP, shutting down...",
        "[Worker] Terminating Worker... PID: %d" % second,
        "[Worker] Process Terminated.",
        "[ Core ] Shutting down...",
    ]

    output, code = run_program(directory, "/remove")
    assert (output, code) == (b"Service removed.", 10000)
    assert service_state() is None
    output, code = run_program(directory, "/remove")
    assert code == 10004 and output.startswith(b"Unable to remove service. "), output


def test_service_stops_with_the_worker_code_when_the_port_is_taken(program_dir):
    directory, port = program_dir
    assert run_program(directory, "/install")[1] == 10000
    blocker = socket.socket()
    blocker.bind(("0.0.0.0", port))
    blocker.listen(1)
    try:
        wine("net", "start", "Zevra")
        assert wait_for(lambda: service_state() == STOPPED), log_lines(directory)
    finally:
        blocker.close()
    r = wine("sc", "query", "Zevra")
    # The status record of a failed start: ERROR_SERVICE_SPECIFIC_ERROR with the worker's code.
    assert re.search(rb"WIN32_EXIT_CODE\s+:\s+1066\b", r.stdout), r.stdout
    assert re.search(rb"SERVICE_EXIT_CODE\s+:\s+10007\b", r.stdout), r.stdout
    lines = log_lines(directory)
    assert [l for l in lines if l.startswith("[ Core ] Unable to restart")] == [
        "[ Core ] Unable to restart worker. Terminated. Code: 10007"]
    assert any(l.startswith("[Worker] Error(10007) Unable to start server object. ") for l in lines), lines
    assert run_program(directory, "/remove")[1] == 10000


CRASH_LINE = re.compile(
    r"^\[ Core \] Error - Worker \[(\d+)\] Crashed\. Exception \{Code:0x([0-9A-F]+), Address:0x([0-9A-F]+), "
    r"Flags:0x00, Record:0x00, (.*)\}$")


@pytest.mark.skipif(not CRASH_PROBE, reason="only a build with ZEVRA_CRASH_PROBE can be made to crash")
@pytest.mark.parametrize("probe,code,rest", [
    # A write to address 0x10: Wine delivers the access violation with its two parameters.
    ("segv", 0xC0000005, "Params:0x02, Info[1]:0x01, Info[2]:0x10"),
    # The same inside a request, on one of the socket library's threads.
    ("request:segv", 0xC0000005, "Params:0x02, Info[1]:0x01, Info[2]:0x10"),
    # abort() never reaches the exception filter; the SIGABRT hook reports it.
    ("abort", 0xC0000409, ""),
    ("ill", 0xC000001D, ""),
    ("fpe", 0xC0000094, ""),
])
def test_fatal_fault_writes_the_crash_line_and_ends_with_its_code(tmp_path, probe, code, rest):
    port = free_port()
    directory = make_program_dir(str(tmp_path), port)
    env = dict(os.environ, ZEVRA_CRASH_PROBE=probe)
    runner = subprocess.Popen([WINE_RUN, os.path.join(TOOLS, "ExitCodeRunner.exe"), "Zevra.exe", "/worker"],
                              cwd=directory, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        if probe.startswith("request:"):
            assert wait_for(lambda: runner.poll() is not None or listening(port)), log_lines(directory)
            assert get(port) is None  # the connection goes with the process
        output, _ = runner.communicate(timeout=60)
    finally:
        if runner.poll() is None:
            runner.kill()
            runner.wait(10)
    assert output.endswith(b"\nexit code: %d\n" % code), output
    crashes = [l for l in log_lines(directory) if "Crashed." in l]
    assert len(crashes) == 1, log_lines(directory)
    m = CRASH_LINE.match(crashes[0])
    assert m, crashes[0]
    assert int(m.group(1)) == read_pid(directory)
    assert m.group(2) == "%X" % code
    assert len(m.group(3)) % 2 == 0
    assert m.group(4) == rest, crashes[0]


@pytest.mark.skipif(not (CPACK and os.path.isfile(CPACK_CONFIG)), reason="no CPack configuration to pack with")
def test_zip_unpacked_serves_its_own_site(tmp_path):
    """What the package target packs: made here from this build, unpacked,
    and started as it comes apart from its port."""
    r = subprocess.run([CPACK, "--config", CPACK_CONFIG, "-G", "ZIP", "-B", str(tmp_path / "pack")],
                       capture_output=True, timeout=120)
    assert r.returncode == 0, r
    packages = [n for n in os.listdir(tmp_path / "pack") if n.endswith(".zip")]
    assert len(packages) == 1, packages
    with zipfile.ZipFile(tmp_path / "pack" / packages[0]) as z:
        names = set(z.namelist())
        z.extractall(tmp_path / "unpacked")
    for name in ("Zevra/Zevra.exe", "Zevra/Zevra.Socket.dll", "Zevra/gzip.dll", "Zevra/Config/Zevra.ini",
                 "Zevra/WebRoot/index.html", "Zevra/Hosts/", "Zevra/WebLogs/", "Zevra/WebTemp/", "Zevra/WebCache/"):
        assert name in names, sorted(names)
    directory = tmp_path / "unpacked" / "Zevra"
    # The shipped settings, on a port of our own.
    ini = (directory / "Config" / "Zevra.ini").read_bytes()
    port = free_port()
    ini, n = re.subn(rb"(?m)^Port=\d+", b"Port=%d" % port, ini)
    assert n == 1
    (directory / "Config" / "Zevra.ini").write_bytes(ini)
    worker = subprocess.Popen([WINE_RUN, "Zevra.exe", "/worker"], cwd=directory,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        answer = wait_for(lambda: get(port))
        assert answer is not None
        assert answer[0] == b"HTTP/1.1 200 OK"
        assert answer[1] == (directory / "WebRoot" / "index.html").read_bytes()
    finally:
        pid = read_pid(str(directory))
        if pid:
            wine(os.path.join(TOOLS, "EndProcess.exe"), str(pid), "1")
        worker.kill()
        worker.wait(10)
