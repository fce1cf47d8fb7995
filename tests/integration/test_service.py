"""The daemon role and the system service, through the real program and, as
root, the system's own service tools (SysV init scripts here; systemd does
not run on this machine)."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import pytest

from conftest import ProgramDir, exit_code, free_port

pytestmark = pytest.mark.posix_only("the daemon under systemd and init scripts, with Linux signals")

SERVICE_SCRIPT = "/etc/init.d/Zevra"
needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="managing services needs root")
needs_sysv = pytest.mark.skipif(os.path.isdir("/run/systemd/system"), reason="systemd runs here")


def log_lines(program):
    return [line.split(" - - ", 1)[1] for line in program.error_log().split("\r\n") if " - - " in line]


def occupy(port):
    s = socket.socket()
    s.bind(("0.0.0.0", port))
    s.listen(1)
    return s


def test_daemon_stops_the_service_when_the_worker_cannot_listen(program, tmp_path):
    program.write_settings()
    blocker = occupy(program.port)
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify_path = str(tmp_path / "notify.sock")
    notify.bind(notify_path)
    notify.settimeout(10)
    try:
        env = dict(os.environ, NOTIFY_SOCKET=notify_path)
        r = program.run("/daemon", env=env, timeout=30)
        assert exit_code(r.returncode) == 10000
        messages = []
        while True:
            try:
                messages.append(notify.recv(4096).decode())
            except (socket.timeout, BlockingIOError):
                break
            if messages[-1].startswith("STATUS=Stopped"):
                break
    finally:
        blocker.close()
        notify.close()
    assert messages[0] == "READY=1\nSTATUS=Running"
    assert messages[-1] == "STATUS=Stopped, code 10007"
    lines = log_lines(program)
    assert lines[0] == "[ Core ] Zevra/0.2.9 , " + socket.gethostname()[:64]
    assert lines[1] == "[ Core ] Initializing service..."
    # The worker's own failure line may come before or after the daemon's
    # line about starting it: they are two processes writing one log.
    started = [l for l in lines[2:] if l.startswith("[ Core ] Initializing Worker Process... PID: ")]
    assert started and all(l.rsplit(" ", 1)[1].isdigit() for l in started), lines
    assert lines.index(started[0]) in (2, 3), lines
    assert lines[-1] == "[ Core ] Unable to restart worker. Terminated. Code: 10007"


def remove_installed_service(p):
    """Removes a service a test installed from p, through the program and,
    should that fail, by hand, so no later test or boot finds it."""
    if os.path.exists(SERVICE_SCRIPT):
        subprocess.run([p.exe, "/remove"], capture_output=True, timeout=60)
    if os.path.exists(SERVICE_SCRIPT):
        subprocess.run([SERVICE_SCRIPT, "stop"], capture_output=True, timeout=60)
        os.remove(SERVICE_SCRIPT)
        subprocess.run(["update-rc.d", "Zevra", "remove"], capture_output=True, timeout=60)


@pytest.fixture
def service_program():
    """A program directory the service account can reach (pytest's own
    temporary folders are private to root), removed with any service
    installed from it."""
    root = tempfile.mkdtemp(prefix="zevra-svc-")
    os.chmod(root, 0o755)
    p = ProgramDir(root)
    for d in ("Config", "Hosts", "WebRoot", "WebLogs", "WebTemp", "WebCache"):
        os.chmod(p.path(d), 0o755)
    p.write_settings()
    p.write("WebRoot/index.html", "<p>service</p>")
    yield p
    remove_installed_service(p)
    shutil.rmtree(root, ignore_errors=True)


@needs_root
@needs_sysv
def test_install_twice_fails_and_remove_deletes(service_program):
    p = service_program
    assert not os.path.exists(SERVICE_SCRIPT), "a Zevra service is installed on this machine already"
    r = p.run("/install", timeout=60)
    assert r.stdout == b"Service installed."
    assert exit_code(r.returncode) == 10000
    assert os.path.exists(SERVICE_SCRIPT)
    assert subprocess.run(["service", "Zevra", "status"], capture_output=True, timeout=30).returncode == 3

    r = p.run("/install", timeout=60)
    assert exit_code(r.returncode) == 10003
    assert r.stdout == (b"Unable to install service. The specified service already exists.\r\n"
                        b"Make sure you have administrator privileges.")
    assert "Unable to install service. The specified service already exists." in p.error_log()

    # The account may write the logs, the pid file and the work folders.
    import pwd
    account = pwd.getpwnam("zevra")
    for name in ("error.log", "Zevra.pid", "WebLogs", "WebTemp", "WebCache"):
        assert os.stat(p.path(name)).st_uid == account.pw_uid, name
    for name in ("Config", "Hosts", "WebRoot", "Zevra"):
        assert os.stat(p.path(name)).st_uid == 0, name

    r = p.run("/remove", timeout=60)
    assert r.stdout == b"Service removed."
    assert exit_code(r.returncode) == 10000
    assert not os.path.exists(SERVICE_SCRIPT)

    r = p.run("/remove", timeout=60)
    assert exit_code(r.returncode) == 10004
    assert r.stdout.startswith(b"Unable to remove service. The specified service does not exist")


def wait_for(predicate, timeout=20, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def answers(port):
    try:
        from conftest import http_get
        return http_get(port, "/", host="localhost", timeout=3)
    except OSError:
        return None
    except AssertionError:
        return None


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    with open("/proc/%d/stat" % pid) as f:
        return f.read().split(") ", 1)[1][0] != "Z"


def service(*args):
    return subprocess.run(["service", "Zevra", *args], capture_output=True, timeout=60)


@needs_root
@needs_sysv
def test_service_supervises_and_stops_its_worker(service_program):
    p = service_program
    assert p.run("/install", timeout=60).returncode == 16
    assert service("status").returncode == 3
    assert service("start").returncode == 0
    r = wait_for(lambda: answers(p.port))
    assert r is not None and r.status == 200 and r.body == b"<p>service</p>", p.error_log()
    assert service("status").returncode == 0

    first = int(p.read("Zevra.pid"))
    os.kill(first, signal.SIGKILL)
    restarted = wait_for(lambda: "Worker Crashed(0x89). Restarting Worker Process... PID: " in p.error_log())
    assert restarted, p.error_log()
    second = wait_for(lambda: p.read("Zevra.pid").isdigit() and int(p.read("Zevra.pid")) != first
                      and int(p.read("Zevra.pid")))
    assert second
    r = wait_for(lambda: answers(p.port))
    assert r is not None and r.status == 200

    assert service("stop").returncode == 0
    lines = log_lines(p)
    tail = lines[lines.index("[ Core ] Received SERVICE_CONTROL_STOP, shutting down..."):]
    assert tail == ["[ Core ] Received SERVICE_CONTROL_STOP, shutting down...",
                    "[Worker] Terminating Worker... PID: %d" % second,
                    "[Worker] Process Terminated.",
                    "[ Core ] Shutting down..."], lines
    crash_line = [l for l in lines if l.startswith("[ Core ] Worker Crashed")]
    assert crash_line == ["[ Core ] Worker Crashed(0x89). Restarting Worker Process... PID: %d" % second]
    assert wait_for(lambda: not alive(second), timeout=10)
    assert answers(p.port) is None
    assert service("status").returncode == 3

    assert p.run("/remove", timeout=60).returncode == 16
    assert not os.path.exists(SERVICE_SCRIPT)


@needs_root
@needs_sysv
def test_service_stops_when_its_port_is_taken(service_program):
    p = service_program
    assert p.run("/install", timeout=60).returncode == 16
    blocker = occupy(p.port)
    try:
        # The daemon ends at once, and the start says so.
        r = service("start")
        assert r.returncode == 1 and b"Zevra did not start" in r.stderr, r
        done = wait_for(lambda: "[ Core ] Unable to restart worker. Terminated. Code: 10007" in p.error_log())
        assert done, p.error_log()
        assert wait_for(lambda: service("status").returncode != 0, timeout=10)
    finally:
        blocker.close()
    lines = log_lines(p)
    assert [l for l in lines if l.startswith("[ Core ] Unable to restart")] == [
        "[ Core ] Unable to restart worker. Terminated. Code: 10007"]
    assert any(l.startswith("[Worker] Error(10007) Unable to start server object. ") for l in lines)


@pytest.fixture
def private_program():
    """A program directory inside a folder closed to every other account
    (mode 700, as a build below /root is)."""
    outer = tempfile.mkdtemp(prefix="zevra-private-")
    os.chmod(outer, 0o700)
    inner = os.path.join(outer, "Zevra")
    os.makedirs(inner, mode=0o755)
    p = ProgramDir(inner)
    p.outer = outer
    p.write_settings()
    p.write("WebRoot/index.html", "<p>service</p>")
    yield p
    os.chmod(outer, 0o755)
    remove_installed_service(p)
    shutil.rmtree(outer, ignore_errors=True)


@needs_root
@needs_sysv
def test_install_refuses_a_program_the_account_cannot_reach_and_a_failed_start_shows(private_program):
    p = private_program
    assert not os.path.exists(SERVICE_SCRIPT), "a Zevra service is installed on this machine already"
    r = p.run("/install", timeout=60)
    assert exit_code(r.returncode) == 10003
    assert r.stdout == ("Unable to install service. The service account cannot reach the program's files.\r\n"
                        "The service account 'zevra' cannot run %s. Every folder above the program directory must "
                        "be open to it (search permission, o+x), and the program and its files readable: install "
                        "from a folder such as /opt/Zevra." % p.exe).encode()
    assert not os.path.exists(SERVICE_SCRIPT)
    assert "cannot run %s" % p.exe in p.error_log()

    # Installed from a reachable place, then the place is closed: the start
    # fails where it is asked for, in the status and in the error log.
    os.chmod(p.outer, 0o755)
    assert p.run("/install", timeout=60).returncode == 16
    os.chmod(p.outer, 0o700)
    r = service("start")
    assert r.returncode == 1
    assert b"Zevra did not start: the account zevra could not run " + p.exe.encode() in r.stderr
    assert service("status").returncode == 3
    assert [l for l in log_lines(p) if "did not start" in l] == [
        "[ Core ] Zevra did not start: the account zevra could not run %s, or the daemon ended at once "
        "(see %s)." % (p.exe, p.path("error.log"))]
