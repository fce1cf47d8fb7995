"""The CGI gateway through the real worker: Debian's php-cgi and small shell
and Python programs behind virtual hosts, driven over loopback by raw
sockets and curl. Every test also checks that the worker left no child
process (zombie or running) and no spool file of its own behind.

Against the Windows build the shell and Python hosts run CgiProbe.exe in
its "script" part instead, and each script is given as the probe reads it
(the part on the first line); the PHP tests and those that need a Linux
program's own view (its environment listed by env, its argv, its /proc)
stay Linux-only."""

import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import socket
import subprocess
import time

import pytest

from conftest import WINDOWS, ZEVRA_DIR, children_of, http_get, native_path, raw_exchange, read_response

PHP_CGI = shutil.which("php-cgi") or "/usr/bin/php-cgi"
PYTHON = "/usr/bin/python3"
INTERIM_WORKER = "[Worker] Error(10007) Unable to create server object."
PROBE = os.path.join(ZEVRA_DIR, "CgiProbe.exe")


def wait_no_children(pid, timeout=5.0):
    deadline = time.monotonic() + timeout
    left = children_of(pid)
    while left and time.monotonic() < deadline:
        time.sleep(0.05)
        left = children_of(pid)
    return left


@pytest.fixture
def site(program, start_worker):
    """A worker with four hosts: php (.php via php-cgi), sh.test (.cgi via
    /bin/sh), py.test (.py via python3) and env.test (.cgi via env, no %s)."""
    root = program.path("site")
    os.makedirs(root, exist_ok=True)
    if WINDOWS:
        root = program.native("site")
        probe = "%s script %%s" % native_path(PROBE)
        program.write("Hosts/sh.test", "%s;index.html;ExecCGI;.cgi;%s" % (root, probe))
        program.write("Hosts/py.test", "%s;index.html;ExecCGI;.py;%s" % (root, probe))
    else:
        program.write("Hosts/localhost", "%s;index.html;ExecCGI;.php;%s %%s" % (root, PHP_CGI))
        program.write("Hosts/sh.test", "%s;index.html;ExecCGI;.cgi;/bin/sh %%s" % root)
        program.write("Hosts/py.test", "%s;index.html;ExecCGI;.py;%s %%s" % (root, PYTHON))
        program.write("Hosts/env.test", "%s;index.html;ExecCGI;.cgi;/usr/bin/env" % root)
    program.write("Hosts/static.test", "%s;index.html;Static;None;None" % root)

    class Site:
        def __init__(self):
            self.root = root
            self.worker = None

        def script(self, name, text, windows=None):
            """text on Linux; windows (the probe's script) on Windows."""
            if WINDOWS:
                assert windows is not None, "no Windows script for " + name
                text = windows
            return program.write("site/" + name, text)

        def start(self, **settings):
            settings.setdefault("EnableGZIP", "False")
            settings.setdefault("GatewayTimeout", "10000")
            try:
                self.worker = start_worker(**settings)
            except AssertionError:
                # A build whose worker role is still the interim refusal
                # cannot serve at all: nothing here can be tested yet.
                if INTERIM_WORKER in program.error_log():
                    pytest.skip("the worker role of this build does not serve yet")
                raise
            return self.worker

    s = Site()
    yield s
    if s.worker is not None and s.worker.proc.poll() is None:
        assert wait_no_children(s.worker.proc.pid) == [], "the worker left CGI children behind"
    spools = [n for n in os.listdir(program.path("WebTemp")) if n.startswith("Cgi_")]
    assert spools == [], spools


def request(port, method, path, host, headers=(), body=b"", timeout=20):
    lines = ["%s %s HTTP/1.1" % (method, path), "Host: %s" % host]
    lines.extend(headers)
    if body or method == "POST":
        lines.append("Content-Length: %d" % len(body))
    data = ("\r\n".join(lines) + "\r\n\r\n").encode("utf-8") + body
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        return read_response(s, head_only=(method == "HEAD"), timeout=timeout)


def without_date(head):
    return re.sub(rb"\r\nDate: [^\r]*", b"", head)


# PHP through php-cgi

PHP_INFO = r"""<?php
header('Content-Type: application/json');
echo json_encode([
  'get' => $_GET, 'post' => $_POST,
  'method' => $_SERVER['REQUEST_METHOD'], 'query' => $_SERVER['QUERY_STRING'],
  'script_name' => $_SERVER['SCRIPT_NAME'], 'script_filename' => $_SERVER['SCRIPT_FILENAME'],
  'software' => $_SERVER['SERVER_SOFTWARE'], 'protocol' => $_SERVER['SERVER_PROTOCOL'],
  'remote_addr' => $_SERVER['REMOTE_ADDR'], 'document_root' => $_SERVER['DOCUMENT_ROOT'],
  'request_uri' => $_SERVER['REQUEST_URI'], 'http_host' => $_SERVER['HTTP_HOST'],
  'proxy' => getenv('HTTP_PROXY'), 'path' => getenv('PATH'),
]);
"""


@pytest.mark.cgi
def test_php_get_with_query_and_server_values(site):
    site.script("info.php", PHP_INFO)
    w = site.start()
    r = http_get(w.port, "/info.php?name=%E6%B3%BD%E7%93%A6&n=1", headers=("Proxy: http://evil.test/",))
    assert r.status == 200, r.body
    assert r.header("Content-Type") == "application/json"
    assert int(r.header("Content-Length")) == len(r.body)
    info = json.loads(r.body)
    assert info["get"] == {"name": "泽瓦", "n": "1"}
    assert info["method"] == "GET"
    # The query as it was sent: PHP decodes it itself.
    assert info["query"] == "name=%E6%B3%BD%E7%93%A6&n=1"
    assert info["script_name"] == "/info.php"
    assert info["script_filename"] == os.path.join(site.root, "info.php")
    assert info["software"] == "Zevra/0.2.9"
    assert info["protocol"] == "HTTP/1.1"
    assert info["remote_addr"] == "127.0.0.1"
    assert info["document_root"] == site.root + "/"
    assert info["request_uri"] == "/info.php?name=%E6%B3%BD%E7%93%A6&n=1"
    assert info["http_host"] == "localhost"
    assert info["proxy"] is False  # httpoxy: no HTTP_PROXY from a Proxy header
    assert info["path"] is False   # nothing of the server's environment


@pytest.mark.cgi
def test_php_form_post_in_memory(site):
    site.script("info.php", PHP_INFO)
    w = site.start()
    body = b"a=1&b=" + b"x" * 3000
    r = request(w.port, "POST", "/info.php", "localhost",
                ("Content-Type: application/x-www-form-urlencoded",), body)
    assert r.status == 200, r.body
    info = json.loads(r.body)
    assert info["method"] == "POST"
    assert info["post"] == {"a": "1", "b": "x" * 3000}


UPLOAD_PHP = r"""<?php
header('Content-Type: text/plain');
$f = $_FILES['upload'];
echo $f['size'], ' ', hash_file('sha256', $f['tmp_name']), ' ', $_POST['label'];
"""


@pytest.mark.cgi
def test_php_spooled_multipart_upload_hashes_back(site):
    site.script("upload.php", UPLOAD_PHP)
    w = site.start()
    payload = bytes((i * 7 + (i >> 10)) & 0xFF for i in range(1 << 20))
    boundary = "zevraBoundary7d2"
    body = ("--%s\r\nContent-Disposition: form-data; name=\"label\"\r\n\r\nsome label\r\n"
            "--%s\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"a.bin\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n" % (boundary, boundary)).encode() + payload + \
           ("\r\n--%s--\r\n" % boundary).encode()
    r = request(w.port, "POST", "/upload.php", "localhost",
                ("Content-Type: multipart/form-data; boundary=%s" % boundary,), body, timeout=30)
    assert r.status == 200, r.body
    assert r.body == ("%d %s some label" % (len(payload), hashlib.sha256(payload).hexdigest())).encode()


@pytest.mark.cgi
def test_php_redirect_and_cookies_pass_through(site):
    site.script("go.php", "<?php setcookie('flavour', 'plain'); header('Location: /next.php'); ?>")
    site.script("cookie.php", "<?php setcookie('a', 'b'); setcookie('c', 'd'); echo 'ok';")
    w = site.start()
    r = http_get(w.port, "/go.php")
    assert r.status == 302
    assert r.header("Location") == "/next.php"
    assert r.header("Set-Cookie") == "flavour=plain"
    r = http_get(w.port, "/cookie.php")
    assert r.status == 200 and r.body == b"ok"
    assert [v for n, v in r.headers if n.lower() == "set-cookie"] == ["a=b", "c=d"]


@pytest.mark.cgi
def test_php_page_and_form_post_through_curl(site):
    site.script("info.php", PHP_INFO)
    w = site.start()
    url = "http://127.0.0.1:%d/info.php?x=1" % w.port
    out = subprocess.run(["curl", "-s", "--max-time", "20", "-H", "Host: localhost", url],
                         capture_output=True, timeout=30)
    assert json.loads(out.stdout)["get"] == {"x": "1"}
    out = subprocess.run(["curl", "-s", "--max-time", "20", "-H", "Host: localhost", "-d", "k=v&w=2", url],
                         capture_output=True, timeout=30)
    info = json.loads(out.stdout)
    assert info["method"] == "POST" and info["post"] == {"k": "v", "w": "2"}


@pytest.mark.cgi
def test_gzip_only_for_clients_that_accept_it(site):
    site.script("info.php", PHP_INFO)
    w = site.start(EnableGZIP="True")
    url = "http://127.0.0.1:%d/info.php?x=1" % w.port
    out = subprocess.run(["curl", "-s", "--compressed", "-D", "-", "--max-time", "20", "-H", "Host: localhost",
                          url], capture_output=True, timeout=30)
    head, _, body = out.stdout.partition(b"\r\n\r\n")
    assert b"\r\nContent-Encoding: gzip\r\n" in head
    assert json.loads(body)["get"] == {"x": "1"}
    r = http_get(w.port, "/info.php?x=1", headers=("Accept-Encoding: identity",))
    assert r.header("Content-Encoding") is None
    assert json.loads(r.body)["get"] == {"x": "1"}


# Shell and Python programs

def test_status_line_exact_bytes(site):
    site.script("s.cgi", "printf 'Status: 404 Not Found\\r\\nContent-Type: text/plain\\r\\n\\r\\nx'",
                "type\nStatus: 404 Not Found\r\nContent-Type: text/plain\r\n\r\nx")
    w = site.start()
    r = http_get(w.port, "/s.cgi", host="sh.test")
    assert without_date(r.raw_head) == (b"HTTP/1.1 404 Not Found\r\nServer: Zevra/0.2.9\r\n"
                                        b"Content-Type: text/plain\r\nContent-Length: 1\r\n"
                                        b"Connection: keep-alive\r\n\r\n")
    assert r.body == b"x"


def test_output_without_head_and_head_beyond_the_first_piece(site):
    site.script("n.cgi", "printf 'just text'", "type\njust text")
    site.script("far.py", "import sys\nsys.stdout.buffer.write(b'X-A: ' + b'a' * 10232 + b'\\r\\n\\r\\nB')\n",
                b"type\nX-A: " + b"a" * 10232 + b"\r\n\r\nB")
    w = site.start()
    r = http_get(w.port, "/n.cgi", host="sh.test")
    assert r.status == 200 and r.header("Content-Type") == "text/html" and r.body == b"just text"
    r = http_get(w.port, "/far.py", host="py.test")
    assert r.body == b"X-A: " + b"a" * 10232 + b"\r\n\r\nB"


def test_program_without_output_is_500(site):
    site.script("quiet.cgi", "exit 0", "type\n")
    w = site.start()
    r = http_get(w.port, "/quiet.cgi", host="sh.test")
    assert r.status == 500
    assert "未收到CGI接口的传回收据，进程意外退出。".encode() in r.body


def test_silent_program_times_out_with_504_and_is_killed(site):
    site.script("slow.cgi", "sleep 30", "sleep 30000\n")
    w = site.start(GatewayTimeout="800")
    start = time.monotonic()
    r = http_get(w.port, "/slow.cgi", host="sh.test")
    took = time.monotonic() - start
    assert r.status == 504
    assert 0.7 <= took < 5
    assert wait_no_children(w.proc.pid) == []


def test_flood_of_50_mb_arrives_whole(site):
    site.script("flood.py", "import sys\nw = sys.stdout.buffer.write\nw(b'Content-Type: application/octet-stream\\r\\n\\r\\n')\n"
                            "for i in range(50):\n    w(bytes([i]) * 1048576)\n", "flood 50\n")
    w = site.start()
    r = http_get(w.port, "/flood.py", host="py.test", timeout=60)
    assert r.status == 200
    assert int(r.header("Content-Length")) == 50 * 1048576
    assert len(r.body) == 50 * 1048576
    assert all(r.body[i * 1048576] == i and r.body[i * 1048576 + 1048575] == i for i in range(50))


@pytest.mark.posix_only("/usr/bin/env lists a Linux program's environment (test_cgi_windows.py reads the probe's)")
def test_setting_without_placeholder_names_the_script_in_the_environment(site):
    site.script("e.cgi", "")
    w = site.start()
    r = http_get(w.port, "/e.cgi?q=1", host="env.test")
    lines = r.body.decode().split("\n")
    assert lines[0].startswith("SERVER_NAME=")
    assert lines[1] == "HTTP_HOST=env.test"
    assert "SCRIPT_FILENAME=%s/e.cgi" % site.root in lines
    assert "PATH_TRANSLATED=%s/e.cgi" % site.root in lines
    assert "QUERY_STRING=q=1" in lines
    assert lines[-2] == "SYSTEMROOT=/"
    assert not [l for l in lines if l.startswith("PATH=")]


@pytest.mark.posix_only("python3's argv; test_cgi_windows.py sends quotes, & and a soft hyphen to the probe's")
def test_injection_through_the_script_path_adds_no_argument(site):
    name = 'x" -c "print(1)" "y.py'
    site.script(name, "import sys\nsys.stdout.write('\\r\\n\\r\\n' + repr(sys.argv[1:]))\n")
    w = site.start()
    r = http_get(w.port, "/x%22%20-c%20%22print(1)%22%20%22y.py", host="py.test")
    assert r.status == 200, r.body
    assert r.body == b"[]"


def test_missing_script_is_404_and_static_site_refuses_cgi(site):
    w = site.start()
    assert http_get(w.port, "/absent.cgi", host="sh.test").status == 404
    # A site without ExecCGI never runs a script: the file is just a file.
    site.script("s.php", "<?php echo 1;", "<?php echo 1;")
    r = http_get(w.port, "/s.php", host="static.test")
    assert r.status == 200 and r.body == b"<?php echo 1;"


def test_head_runs_the_script_and_sends_the_head_alone(site):
    site.script("m.cgi", "printf 'Content-Type: text/plain\\r\\nX-Method: %s\\r\\n\\r\\nbody' \"$REQUEST_METHOD\"",
                "method\n")
    w = site.start()
    with socket.create_connection(("127.0.0.1", w.port), timeout=10) as s:
        s.sendall(b"HEAD /m.cgi HTTP/1.1\r\nHost: sh.test\r\n\r\nGET /m.cgi HTTP/1.1\r\nHost: sh.test\r\n\r\n")
        head = read_response(s, head_only=True)
        assert head.header("X-Method") == "HEAD" and head.body == b""
        # The next answer on the same connection starts right after the head.
        get = read_response(s)
        assert get.header("X-Method") == "GET" and get.body == b"body"


def test_connection_close_is_honoured(site):
    site.script("c.cgi", "printf 'Content-Type: text/plain\\r\\n\\r\\nbye'", "type\nContent-Type: text/plain\r\n\r\nbye")
    w = site.start()
    start = time.monotonic()
    out = raw_exchange(w.port, b"GET /c.cgi HTTP/1.1\r\nHost: sh.test\r\nConnection: close\r\n\r\n", timeout=10)
    assert time.monotonic() - start < 5
    assert out.endswith(b"\r\n\r\nbye")
    assert b"\r\nConnection: close\r\n" in out


@pytest.mark.threads
@pytest.mark.posix_only("a shell script lists its descriptors from /proc (test_cgi_windows.py has concurrent "
                        "children that must not hold each other's pipes)")
def test_a_program_holds_no_descriptor_of_the_worker_while_connections_arrive(site):
    # A connection accepted while another thread starts a program must not
    # reach that program: it could read and write another client's
    # connection, and would hold it open after the worker closed it. New
    # connections keep arriving while programs start, and each program lists
    # what it holds: its three streams and its own script, nothing else.
    script = site.script("fds.cgi", "printf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
                                    "for f in /proc/$$/fd/*; do readlink \"$f\"; done\n")
    site.script("a.txt", "a")
    w = site.start(WorkerThreads="8")
    deadline = time.monotonic() + 4
    foreign = []

    def arrive():
        while time.monotonic() < deadline:
            with socket.create_connection(("127.0.0.1", w.port), timeout=10) as s:
                s.sendall(b"GET /a.txt HTTP/1.1\r\nHost: sh.test\r\nConnection: close\r\n\r\n")
                s.recv(4096)

    def run():
        runs = 0
        while time.monotonic() < deadline:
            held = http_get(w.port, "/fds.cgi", host="sh.test", timeout=20).body.decode().split("\n")
            foreign.extend(t for t in held if t and not t.startswith("pipe:") and t not in ("/dev/null", script))
            runs += 1
        return runs

    with concurrent.futures.ThreadPoolExecutor(max_workers=10) as pool:
        arrivals = [pool.submit(arrive) for _ in range(6)]
        runs = [pool.submit(run) for _ in range(4)]
        assert sum(r.result() for r in runs) > 0
        for a in arrivals:
            a.result()
    assert foreign == []


@pytest.mark.threads
def test_twenty_concurrent_requests(site):
    site.script("id.cgi", "sleep 0.2; printf 'Content-Type: text/plain\\r\\n\\r\\n%s' \"$QUERY_STRING\"",
                "query 200\n")
    w = site.start(WorkerThreads="24")

    def one(i):
        return http_get(w.port, "/id.cgi?%d" % i, host="sh.test", timeout=30).body

    with concurrent.futures.ThreadPoolExecutor(max_workers=20) as pool:
        bodies = list(pool.map(one, range(20)))
    assert bodies == [str(i).encode() for i in range(20)]
