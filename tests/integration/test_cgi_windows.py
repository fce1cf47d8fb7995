"""CGI through the Windows worker under Wine, with the small probe program
CgiProbe.exe (built beside Zevra.exe) as the CGI program: the script path
reaches it as one argument whatever the request put into it, the names
Windows would misread are refused, batch files never run, a body larger
than the pipes goes in while the answer comes out, a crash is a 502, and a
quick request is answered while a slow child runs beside it."""

import concurrent.futures
import os
import socket
import time
import urllib.parse

import pytest

from conftest import WINDOWS, ZEVRA_DIR, http_get, native_path, read_response

pytestmark = pytest.mark.skipif(not WINDOWS, reason="the probe is a Windows program (Windows build only)")

PROBE = os.path.join(ZEVRA_DIR, "CgiProbe.exe")


@pytest.fixture
def probe_site(program, start_worker):
    """One site, several hosts, each running the probe in another part."""
    os.makedirs(program.path("site"), exist_ok=True)
    root = program.native("site")
    probe = native_path(PROBE)
    hosts = {
        "localhost": "%s args %%s" % probe,
        "cat.test": "%s cat" % probe,
        "echo.test": "%s echo hi" % probe,
        "slow.test": "%s sleep 4000" % probe,
        "crash.test": "%s crash" % probe,
        "bat.test": "%s %%s" % program.native("site", "run.bat"),
    }
    for host, command in hosts.items():
        program.write("Hosts/" + host, "%s;index.html;ExecCGI;.php;%s" % (root, command))
    program.write("site/run.bat", "@echo off\r\necho Content-Type: text/plain\r\necho.\r\necho BATCH-FILE-RAN\r\n")
    program.write("site/a.php", "script")
    program.write("site/page.html", "page")

    def start(**settings):
        settings.setdefault("EnableGZIP", "False")
        settings.setdefault("GatewayTimeout", "20000")
        settings.setdefault("Debug", "True")
        settings.setdefault("WorkerThreads", "4")
        return start_worker(**settings)

    return start


def request(port, path, host="localhost", method="GET", body=b"", timeout=30):
    lines = ["%s %s HTTP/1.1" % (method, path), "Host: %s" % host]
    if method == "POST":
        lines.append("Content-Length: %d" % len(body))
    data = ("\r\n".join(lines) + "\r\n\r\n").encode("utf-8") + body
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        return read_response(s, timeout=timeout)


def test_script_path_is_one_argument_whatever_the_request_put_in_it(program, probe_site):
    name = "a b&c^d%PATH% !x! -d x=1.php"
    program.write("site/" + name, "script")
    w = probe_site()
    r = request(w.port, "/" + urllib.parse.quote(name))
    assert r.status == 200, r.body[:600]
    text = r.body.decode("utf-8", "replace")
    assert "wargc=3\n" in text and "aargc=3\n" in text, text
    expected = program.native("site", name).encode("utf-8").hex()
    assert ("warg=%s\n" % expected) in text, text
    assert ("aarg=%s\n" % expected) in text, text


@pytest.mark.parametrize("path", [
    "/a.php::$DATA", "/a.php:x", "/a.php.", "/a.php%20", "/a.php.%20", "/a%22b.php",
    "/nul", "/NUL.php", "/con.html", "/Aux", "/com1.php", "/LPT9.txt", "/x/prn.php",
])
def test_names_windows_would_misread_are_refused(probe_site, path):
    w = probe_site()
    r = http_get(w.port, path)
    assert r.status == 403, (path, r.body[:300])


def test_the_plain_names_still_run_and_serve(probe_site):
    w = probe_site()
    assert http_get(w.port, "/a.php").status == 200
    assert http_get(w.port, "/page.html").body == b"page"


def test_batch_files_are_not_run(probe_site):
    w = probe_site()
    r = http_get(w.port, "/a.php", host="bat.test")
    assert r.status == 502
    assert b"BATCH-FILE-RAN" not in r.body
    assert b"(50) " in r.body  # ERROR_NOT_SUPPORTED in the detail


def test_body_larger_than_the_pipes_goes_in_while_the_answer_comes_out(probe_site):
    w = probe_site()
    head = b"Content-Type: text/plain\r\n\r\n"
    payload = bytes((i * 7 + i // 4096) % 251 for i in range(600000))
    r = request(w.port, "/a.php", host="cat.test", method="POST", body=head + payload)
    assert r.status == 200, r.body[:300]
    assert r.header("Content-Type") == "text/plain"
    assert r.body == payload


def test_a_crash_is_a_bad_gateway(probe_site):
    w = probe_site()
    r = http_get(w.port, "/a.php", host="crash.test", timeout=30)
    assert r.status == 502
    assert "0xC0000005".encode() in r.body


def test_a_quick_child_is_answered_while_a_slow_one_runs_beside_it(probe_site):
    w = probe_site()
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        slow = pool.submit(http_get, w.port, "/a.php", "slow.test", "GET", (), 30)
        time.sleep(0.5)
        started = time.monotonic()
        quick = http_get(w.port, "/a.php", host="echo.test", timeout=30)
        quick_time = time.monotonic() - started
        assert quick.status == 200 and quick.body == b"hi"
        # The slow child sleeps 4 s: neither its thread nor its pipes may
        # hold the quick answer back (the race of two starts at the same
        # moment is WindowsChild.ConcurrentChildrenHoldNoneOfEachOthersPipes).
        assert quick_time < 3.0, quick_time
        slow_answer = slow.result()
        assert slow_answer.status == 200 and slow_answer.body == b"slept"
