"""The worker serving web sites: host selection, path mapping and traversal,
keep-alive, validators, ranges, compressed copies, large files and the
directory listing, against the real program over loopback."""

import concurrent.futures
import gzip
import hashlib
import os
import re
import socket
import subprocess
import time

import pytest

from conftest import WINDOWS, closed_by_peer, http_get, raw_exchange, read_response

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
INDEX = b"<!DOCTYPE html><title>home</title><p>welcome</p>"


def curl(port, path, *args, host="localhost", compressed=False):
    """Body and head of one curl fetch; --compressed asks for gzip and
    decodes what comes back."""
    cmd = ["curl", "-s", "--path-as-is", "-D", "-", "-H", "Host: " + host, "--max-time", "30"]
    if compressed:
        cmd.append("--compressed")
    cmd.extend(args)
    cmd.append("http://127.0.0.1:%d%s" % (port, path))
    out = subprocess.run(cmd, capture_output=True, timeout=60).stdout
    head, _, body = out.partition(b"\r\n\r\n")
    return head.decode("latin-1"), body


def status_of(head):
    return int(head.split(" ", 2)[1])


@pytest.fixture
def site(program, start_worker):
    program.write("WebRoot/index.html", INDEX)
    program.write("secret.txt", b"TOP-SECRET")

    def start(**settings):
        settings.setdefault("WriteAccessLog", "True")
        return start_worker(**settings)

    return start


@pytest.fixture(params=[False, True], ids=["identity", "gzip"])
def compressed(request):
    return request.param


def test_fallback_site_serves_webroot(program, site, compressed):
    w = site()
    head, body = curl(w.port, "/", host="any.name.example", compressed=compressed)
    assert status_of(head) == 200
    assert body == INDEX
    r = http_get(w.port, "/index.html", host="whatever:1234")
    assert r.status == 200 and r.body == INDEX
    assert r.header("Content-Type") == "text/html"
    assert r.header("Last-Modified") and r.header("ETag")


def test_host_selection_by_name_port_and_case(program, site):
    root = program.native("sites", "www")
    program.write("sites/www/home.htm", b"www home")
    program.write("Hosts/www.test", root + ";home.htm;Static;None;None")
    program.write("Hosts/bad.test", root + ";home;Static;None;None")
    w = site()
    assert http_get(w.port, "/", host="www.test").body == b"www home"
    assert http_get(w.port, "/", host="www.test:8080").body == b"www home"
    assert http_get(w.port, "/", host="WWW.test").status == 400
    assert http_get(w.port, "/", host="other.test").status == 400
    assert http_get(w.port, "/index.html", host=None).status == 400
    assert http_get(w.port, "/", host="bad.test").status == 500


TRAVERSALS = [
    "/../secret.txt", "/a/../../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E/secret.txt", "/%2e%2E/secret.txt",
    "/.%2e/secret.txt", "/..%2fsecret.txt", "/..%2Fsecret.txt", "/%2e%2e%2fsecret.txt", "/..%5csecret.txt",
    "/%5c..%5csecret.txt", "/..\\secret.txt", "/x/%2e%2e/%2e%2e/secret.txt",
]


@pytest.mark.parametrize("target", TRAVERSALS)
def test_traversal_is_forbidden(program, site, target):
    w = site()
    raw = raw_exchange(w.port, ("GET %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n" % target).encode())
    assert raw.startswith(b"HTTP/1.1 403 Forbidden\r\n"), raw[:200]
    assert b"TOP-SECRET" not in raw


@pytest.mark.parametrize("target", ["/....//secret.txt", "/%252e%252e/secret.txt", "/%252e%252e%252fsecret.txt"])
def test_lookalikes_stay_inside(program, site, target):
    w = site()
    raw = raw_exchange(w.port, ("GET %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n" % target).encode())
    # Windows strips the dots that end a segment ("...." names the folder
    # itself there), so the Windows build refuses such a segment outright.
    expected = b"HTTP/1.1 403 Forbidden\r\n" if WINDOWS and "/....//" in target else b"HTTP/1.1 404 Not Found\r\n"
    assert raw.startswith(expected), raw[:200]
    assert b"TOP-SECRET" not in raw


def exchange_on(sock, request):
    sock.sendall(request)
    return read_response(sock)


@pytest.mark.parametrize("version,connection,kept", [
    ("HTTP/1.1", None, True),
    ("HTTP/1.1", "close", False),
    ("HTTP/1.1", "CLOSE", False),
    ("HTTP/1.1", "Keep-Alive", True),
    ("HTTP/1.0", None, False),
    ("HTTP/1.0", "keep-alive", True),
])
@pytest.mark.parametrize("path", ["/index.html", "/missing.html", "/docs/"])
def test_keep_alive_follows_the_answer(program, site, version, connection, kept, path):
    program.write("WebRoot/docs/a.txt", b"a")
    w = site()
    request = "GET %s %s\r\nHost: x\r\n" % (path, version)
    if connection:
        request += "Connection: %s\r\n" % connection
    request = (request + "\r\n").encode()
    with socket.create_connection(("127.0.0.1", w.port), timeout=10) as s:
        r = exchange_on(s, request)
        assert r.header("Connection") == ("keep-alive" if kept else "close")
        if kept:
            r2 = exchange_on(s, request)
            assert r2.status == r.status and r2.body == r.body
        else:
            assert closed_by_peer(s, 3)


def test_validators_give_304(program, site):
    program.write("WebRoot/v.txt", b"versioned")
    w = site()
    r = http_get(w.port, "/v.txt")
    etag, modified = r.header("ETag"), r.header("Last-Modified")
    assert re.fullmatch(r'"m?\d+:m?\d+"', etag)
    for extra in ("If-None-Match: " + etag, "If-Modified-Since: " + modified):
        nm = http_get(w.port, "/v.txt", headers=[extra])
        assert nm.status == 304
        assert nm.body == b""
        assert nm.header("ETag") == etag and nm.header("Last-Modified") == modified
        assert nm.header("Content-Length") is None and nm.header("Content-Type") is None
    # Another spelling of the same instant is not the same text.
    other = time.strftime("%A, %d-%b-%y %H:%M:%S GMT", time.strptime(modified, "%a, %d %b %Y %H:%M:%S GMT"))
    assert http_get(w.port, "/v.txt", headers=["If-Modified-Since: " + other]).status == 200
    assert "304 0" in program.access_logs()


CONTENT = bytes((i * 37 + 11) % 256 for i in range(1000))


@pytest.mark.parametrize("value,status,content_range,body", [
    ("bytes=100-199", 206, "bytes 100-199/1000", CONTENT[100:200]),
    ("bytes=900-", 206, "bytes 900-999/1000", CONTENT[900:]),
    ("bytes=-100", 206, "bytes 900-999/1000", CONTENT[900:]),
    ("bytes=-5000", 206, "bytes 0-999/1000", CONTENT),
    ("bytes=500-5000", 206, "bytes 500-999/1000", CONTENT[500:]),
    ("bytes=0-", 200, None, CONTENT),
    ("bytes=0-99", 200, None, CONTENT),
    ("bytes=1000-", 416, "bytes */1000", b""),
    ("bytes=5000-6000", 416, "bytes */1000", b""),
    ("bytes=200-100", 200, None, CONTENT),
    ("bytes=x-y", 200, None, CONTENT),
])
def test_ranges(program, site, value, status, content_range, body):
    program.write("WebRoot/r.bin", CONTENT)
    w = site(EnableGZIP="False")
    with socket.create_connection(("127.0.0.1", w.port), timeout=10) as s:
        r = exchange_on(s, ("GET /r.bin HTTP/1.1\r\nHost: x\r\nRange: %s\r\n\r\n" % value).encode())
        assert r.status == status
        assert r.header("Content-Range") == content_range
        assert r.body == body
        assert int(r.header("Content-Length")) == len(body)
        assert r.leftover == b""
        # The connection is still usable after any of these answers.
        assert exchange_on(s, b"GET /r.bin HTTP/1.1\r\nHost: x\r\n\r\n").body == CONTENT


def test_range_on_empty_file(program, site):
    program.write("WebRoot/empty.txt", b"")
    w = site()
    r = http_get(w.port, "/empty.txt")
    assert r.status == 200 and r.header("Content-Length") == "0" and r.body == b""
    r = http_get(w.port, "/empty.txt", headers=["Range: bytes=-1"])
    assert r.status == 416 and r.header("Content-Range") == "bytes */0"


def test_large_file_uncompressed_small_from_its_copy(program, site):
    big = os.urandom(12 * 1024 * 1024)
    small = (b"compressible text line\n" * 100000)[:2 * 1024 * 1024]
    program.write("WebRoot/big.bin", big)
    program.write("WebRoot/small.txt", small)
    w = site()
    head, body = curl(w.port, "/big.bin", "-H", "Accept-Encoding: gzip")
    assert status_of(head) == 200 and "Content-Encoding" not in head
    assert hashlib.sha256(body).digest() == hashlib.sha256(big).digest()
    head, body = curl(w.port, "/small.txt", "-H", "Accept-Encoding: gzip")
    assert "Content-Encoding: gzip" in head and "Vary: Accept-Encoding" in head
    assert len(body) < len(small) and gzip.decompress(body) == small
    copies = [n for n in os.listdir(program.path("WebCache")) if n.startswith("cache_")]
    assert len(copies) == 1 and not copies[0].endswith(".part")
    assert program.read("WebCache/" + copies[0]) == body
    # Ranges then apply to the compressed bytes.
    head, part = curl(w.port, "/small.txt", "-H", "Accept-Encoding: gzip", "-H", "Range: bytes=10-19")
    assert status_of(head) == 206 and part == body[10:20]
    # A new version gets a copy of its own, which replaces the old one.
    time.sleep(1.1)
    program.write("WebRoot/small.txt", small[::-1])
    head, body = curl(w.port, "/small.txt", "--compressed")
    assert body == small[::-1]
    now = [n for n in os.listdir(program.path("WebCache")) if n.startswith("cache_")]
    assert len(now) == 1 and now != copies


@pytest.mark.threads
def test_concurrent_first_requests_fill_the_cache_table_once_per_file(program, site):
    # Six files, each first asked for by several clients at once, while the
    # table is empty: every client gets its file's exact text, each file
    # ends with one whole copy, and no partly written copy is left.
    texts = {"/c%d.txt" % i: (("line %d of a text to compress\n" % i).encode() * 20000)[:300000 + i]
             for i in range(6)}
    # Written seconds ago: a copy made in its file's own last second is made
    # again by the next request (and where Windows will not replace a copy
    # being sent, that answer goes out uncompressed), which is not what this
    # case is about.
    written = time.time() - 10
    for path, text in texts.items():
        program.write("WebRoot" + path, text)
        os.utime(program.path("WebRoot" + path), (written, written))
    w = site(WorkerThreads="8")
    paths = sorted(texts) * 6

    def fetch(path):
        with socket.create_connection(("127.0.0.1", w.port), timeout=30) as s:
            out = []
            for _ in range(3):
                s.sendall(("GET %s HTTP/1.1\r\nHost: x\r\nAccept-Encoding: gzip\r\n\r\n" % path).encode())
                r = read_response(s, timeout=30)
                out.append((r.status, r.header("Content-Encoding"), gzip.decompress(r.body) == texts[path]))
            return out

    with concurrent.futures.ThreadPoolExecutor(max_workers=len(paths)) as pool:
        answers = list(pool.map(fetch, paths))
    assert all(a == [(200, "gzip", True)] * 3 for a in answers), answers
    copies = sorted(os.listdir(program.path("WebCache")))
    assert len(copies) == len(texts) and all(re.fullmatch(r"cache_m?\d+_m?\d+", n) for n in copies), copies
    for path in texts:
        assert gzip.decompress(http_get(w.port, path, headers=["Accept-Encoding: gzip"]).body) == texts[path]


def test_file_larger_than_the_mapping_window(program, site, compressed):
    data = os.urandom(5 * 1024 * 1024 + 12345)
    program.write("WebRoot/large.bin", data)
    w = site(FileMapping="1", Buffer="8192")
    head, body = curl(w.port, "/large.bin", compressed=compressed)
    assert status_of(head) == 200
    assert len(body) == len(data) and body == data
    # Ranges of a compressed answer are ranges of the gzip bytes, which a
    # client cannot decode on their own: this one asks for the file as is.
    head, body = curl(w.port, "/large.bin", "-H", "Range: bytes=1048000-")
    assert status_of(head) == 206 and body == data[1048000:]


def test_failed_copy_shows_the_system_error_when_debugging(program, site):
    # No WebCache folder: the copy cannot be made, and with Debug on the page
    # names the system's error, code and text. The text is the system's own:
    # strerror on Linux, FormatMessage's on Windows (whose closing line break
    # ends the page's last line of detail; Wine's texts are English).
    program.write("WebRoot/c.txt", b"compressible text\n" * 1000)
    os.rmdir(program.path("WebCache"))
    w = site(Debug="True")
    r = http_get(w.port, "/c.txt", headers=["Accept-Encoding: gzip"])
    assert r.status == 500
    page = (gzip.decompress(r.body) if r.header("Content-Encoding") == "gzip" else r.body).decode("utf-8")
    if WINDOWS:
        assert re.search(r"<p>OS信息 : \(3\) [^\r\n<]+\.\s*</p>", page), page[-600:]  # ERROR_PATH_NOT_FOUND
    else:
        assert "OS信息 : (2) No such file or directory" in page, page[-600:]
    # The file itself still goes out to a client that takes it as it is.
    assert http_get(w.port, "/c.txt").body == b"compressible text\n" * 1000


def test_head_and_get_heads_match(program, site):
    program.write("WebRoot/page.html", b"<p>x</p>" * 100)
    w = site()
    for path in ("/page.html", "/missing.html", "/"):
        get = http_get(w.port, path)
        head = http_get(w.port, path, method="HEAD")
        drop = lambda hs: [(n, v) for n, v in hs if n != "Date"]
        assert drop(head.headers) == drop(get.headers), path
        assert head.status_line == get.status_line
    raw = raw_exchange(w.port, b"HEAD /page.html HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    assert raw.endswith(b"\r\n\r\n")


@pytest.mark.posix_only("FIFOs are a Linux file type")
def test_fifo_is_forbidden_and_does_not_hang(program, site):
    os.mkfifo(program.path("WebRoot", "pipe"))
    w = site()
    start = time.monotonic()
    assert http_get(w.port, "/pipe", timeout=10).status == 403
    assert time.monotonic() - start < 5
    assert http_get(w.port, "/index.html").body == INDEX


# Names that would be markup or end the link's quotes if they went into the
# page as they are; Windows names cannot hold "<" or ">".
HOSTILE_NAME, HOSTILE_TEXT, HOSTILE_LINK = (
    ("&lt;img src=x onerror=alert(1)&gt;' x='", "&amp;lt;img src=x onerror=alert(1)&amp;gt;",
     "href='/docs/%26lt%3Bimg%20src%3Dx%20onerror%3Dalert%281%29%26gt%3B%27%20x%3D%27'") if WINDOWS else
    ("<img src=x onerror=alert(1)>", "&lt;img src=x onerror=alert(1)&gt;",
     "href='/docs/%3Cimg%20src%3Dx%20onerror%3Dalert%281%29%3E'"))


def test_listing_escapes_hostile_names(program, site, compressed):
    program.write("WebRoot/docs/" + HOSTILE_NAME, b"x")
    program.write("WebRoot/docs/sub dir/a.txt", b"a")
    program.write("WebRoot/docs/normal.txt", b"12345")
    w = site()
    head, body = curl(w.port, "/docs/", compressed=compressed)
    assert status_of(head) == 200
    page = body.decode("utf-8")
    assert "<img" not in page and "' x='" not in page
    assert HOSTILE_TEXT in page
    assert HOSTILE_LINK in page
    assert "<h3>/docs/</h3>" in page and "共计(Sum):3个对象" in page
    assert page.index("sub%20dir/") < page.index("normal.txt")
    assert "<td>5 bytes</td>" in page
    r = http_get(w.port, "/docs/", method="HEAD")
    assert r.status == 200 and int(r.header("Content-Length")) > 0 and r.body == b""
    line = [l for l in program.access_logs_once('"GET /docs/ HTTP/1.1" 200').splitlines()
            if '"GET /docs/ HTTP/1.1" 200' in l]
    assert line and re.search(r' - - 127\.0\.0\.1 "GET', line[0]), line


def test_listing_off_gives_404(program, site):
    program.write("WebRoot/docs/a.txt", b"a")
    w = site(DirectoryListing="False")
    assert http_get(w.port, "/docs/").status == 404


def test_access_line_of_a_static_answer(program, site):
    program.write("WebRoot/n.txt", b"x" * 1234)
    w = site()
    http_get(w.port, "/n.txt", headers=["User-Agent: probe/1"])
    deadline = time.monotonic() + 5
    while '"GET /n.txt HTTP/1.1" 200 1234 "probe/1"' not in program.access_logs() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert re.search(r' - - 127\.0\.0\.1:\d+ "GET /n\.txt HTTP/1\.1" 200 1234 "probe/1"', program.access_logs())


def test_icons_are_reproduced_by_their_script(tmp_path):
    out = tmp_path / "ListingIcons.cpp"
    subprocess.run(["/usr/bin/python3", os.path.join(SOURCE_DIR, "tools", "make_icons.py"), "--out", str(out)],
                   check=True, timeout=60)
    with open(os.path.join(SOURCE_DIR, "server", "response", "ListingIcons.cpp"), "rb") as f:
        assert out.read_bytes() == f.read()
