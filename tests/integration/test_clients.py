"""What real clients found when they were pointed at the worker: php-cgi
reading a query string, curl resuming a download with If-Range, browsers
opening a folder without its slash and loading modules and WebAssembly,
wget mirroring a listing tree, methods the server does not implement,
bodies larger than anyone should store, and the compressed copies kept in
WebCache. Each case talks to the real program over loopback."""

import gzip
import os
import re
import shutil
import socket
import subprocess
import time

import pytest

from conftest import WINDOWS, closed_by_peer, free_port, read_response

PHP_CGI = shutil.which("php-cgi") or "/usr/bin/php-cgi"
INDEX = b"<!DOCTYPE html><title>home</title><p>welcome</p>"


def curl(port, path, *args, host="localhost"):
    """Status, head text and body of one curl exchange (redirects not
    followed unless -L is among args)."""
    cmd = ["curl", "-s", "--path-as-is", "-D", "-", "-o", "-", "-H", "Host: " + host, "--max-time", "30",
           *args, "http://127.0.0.1:%d%s" % (port, path)]
    out = subprocess.run(cmd, capture_output=True, timeout=60).stdout
    # With -L every head of the chain comes first; the last one is the answer's.
    heads = []
    while out.startswith(b"HTTP/"):
        head, _, out = out.partition(b"\r\n\r\n")
        heads.append(head.decode("latin-1"))
    status = int(heads[-1].split(" ", 2)[1]) if heads else 0
    return status, heads, out


def header(head, name):
    for line in head.split("\r\n")[1:]:
        n, _, v = line.partition(": ")
        if n.lower() == name.lower():
            return v
    return None


def exchange(sock, data):
    sock.sendall(data)
    return read_response(sock)


def without_date(raw_head):
    """The head bytes with the Date value blanked: everything else is exact."""
    return re.sub(rb"\r\nDate: [^\r]*\r\n", b"\r\nDate: *\r\n", raw_head)


@pytest.fixture
def site(program, start_worker):
    program.write("WebRoot/index.html", INDEX)

    def start(**settings):
        settings.setdefault("WriteAccessLog", "True")
        return start_worker(**settings)

    return start


# ---- query strings reach CGI programs as they were sent -----------------------

@pytest.mark.cgi
def test_php_reads_the_query_as_sent_and_encoded_question_marks_name_files(program, start_worker):
    root = program.path("site")
    os.makedirs(root)
    program.write("Hosts/localhost", "%s;index.html;ExecCGI;.php;%s %%s" % (root, PHP_CGI))
    program.write("site/q.php", "<?php header('Content-Type: text/plain'); echo json_encode($_GET), \"\\n\", "
                                "getenv('QUERY_STRING'), \"\\n\", getenv('REQUEST_URI');")
    program.write("site/what?.txt", b"question")
    program.write("site/w?.php", "<?php echo 'script ', getenv('QUERY_STRING');")
    w = start_worker(EnableGZIP="False", DirectoryListing="True")

    status, _, body = curl(w.port, "/q.php?q=C%2B%2B&a=1%26b%3D2&s=a+b")
    assert status == 200
    get, query, uri = body.decode().split("\n")
    assert get == '{"q":"C++","a":"1&b=2","s":"a b"}'
    assert query == "q=C%2B%2B&a=1%26b%3D2&s=a+b"
    assert uri == "/q.php?q=C%2B%2B&a=1%26b%3D2&s=a+b"

    # The listing's link for "what?.txt" leads to it, and an encoded "?" in
    # a script's name is part of the name, not the start of its query.
    status, _, listing = curl(w.port, "/")
    assert status == 200 and b"href='/what%3F.txt'" in listing
    status, _, body = curl(w.port, "/what%3F.txt")
    assert (status, body) == (200, b"question")
    status, _, body = curl(w.port, "/w%3F.php?x=%41")
    assert (status, body) == (200, b"script x=%41")


# ---- If-Range -----------------------------------------------------------------

def test_if_range_serves_a_range_only_for_the_named_version(program, site):
    program.write("WebRoot/f.bin", b"0123456789")
    w = site(EnableGZIP="False")
    status, heads, _ = curl(w.port, "/f.bin")
    etag, last_modified = header(heads[-1], "ETag"), header(heads[-1], "Last-Modified")
    assert status == 200 and etag and last_modified

    # curl resuming a download names what it holds; a changed file (any
    # other validator) comes whole, never as a splice of old and new.
    for validator in ('"old"', "W/" + etag, "Thu, 01 Jan 1970 00:00:00 GMT"):
        status, heads, body = curl(w.port, "/f.bin", "-r", "2-4", "-H", "If-Range: " + validator)
        assert (status, body) == (200, b"0123456789"), validator
        assert header(heads[-1], "Content-Range") is None
    for validator in (etag, last_modified):
        status, heads, body = curl(w.port, "/f.bin", "-r", "2-4", "-H", "If-Range: " + validator)
        assert (status, body) == (206, b"234"), validator
        assert header(heads[-1], "Content-Range") == "bytes 2-4/10"
    # Without a Range the field changes nothing.
    status, _, body = curl(w.port, "/f.bin", "-H", 'If-Range: "old"')
    assert (status, body) == (200, b"0123456789")


# ---- a folder without its trailing slash --------------------------------------

def test_folder_without_slash_redirects_and_relative_links_then_resolve(program, site):
    program.write("WebRoot/app/index.html", b"<script type=module src='mod.mjs'></script>")
    program.write("WebRoot/app/mod.mjs", b"export const x = 1;")
    program.write("WebRoot/docs/x.txt", b"x")
    program.write("WebRoot/中 文/a.txt", b"a")
    w = site(EnableGZIP="False")

    # The exact head: status, Location (the query kept), an empty body the
    # client can see the end of, and the connection kept.
    with socket.create_connection(("127.0.0.1", w.port), timeout=10) as s:
        r = exchange(s, b"GET /app?v=1 HTTP/1.1\r\nHost: localhost\r\n\r\n")
        assert without_date(r.raw_head) == (
            b"HTTP/1.1 301 Moved Permanently\r\nServer: Zevra/0.2.9\r\nDate: *\r\n"
            b"Connection: keep-alive\r\nLocation: /app/?v=1\r\nContent-Length: 0\r\n\r\n")
        assert r.body == b""
        r = exchange(s, b"HEAD /docs HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")
        assert r.status == 301 and r.header("Location") == "/docs/" and r.header("Connection") == "close"
        assert closed_by_peer(s)

    # A browser follows it and its relative links then resolve inside.
    status, heads, body = curl(w.port, "/app", "-L")
    assert [h.split(" ", 2)[1] for h in heads] == ["301", "200"]
    assert body == b"<script type=module src='mod.mjs'></script>"
    status, heads, body = curl(w.port, "/app/mod.mjs")
    assert (status, body) == (200, b"export const x = 1;")
    # A listing arrives through the redirect with its heading and links.
    status, heads, body = curl(w.port, "/docs", "-L")
    assert status == 200 and b"<h3>/docs/</h3>" in body and b"href='/docs/x.txt'" in body
    # The Location is percent-encoded.
    status, heads, _ = curl(w.port, "/%E4%B8%AD%20%E6%96%87")
    assert status == 301 and header(heads[-1], "Location") == "/%E4%B8%AD%20%E6%96%87/"
    # A file and the folder's own address are served where they are.
    assert curl(w.port, "/docs/x.txt")[0] == 200
    assert curl(w.port, "/docs/")[0] == 200
    assert " \"GET /app HTTP/1.1\" 301 0 " in program.access_logs()


# ---- modern types, and compressing only what shrinks -----------------------------

MODERN_TYPES = {
    "m.mjs": "text/javascript", "m.wasm": "application/wasm", "m.json": "application/json",
    "m.webp": "image/webp", "m.avif": "image/avif", "m.woff2": "font/woff2", "m.webm": "video/webm",
    "m.opus": "audio/ogg", "m.m4a": "audio/x-m4a", "m.svg": "image/svg+xml",
    "m.webmanifest": "application/manifest+json", "m.map": "application/json",
    # What was there before stays as it was.
    "m.js": "application/x-javascript", "m.woff": "application/x-font-woff", "m.gz": "application/octet-stream",
}


def test_modern_types_and_only_compressible_ones_get_a_gzip_copy(program, site):
    for name in MODERN_TYPES:
        program.write("WebRoot/" + name, b"x" * 600)
    png = bytes(range(256)) * 3
    program.write("WebRoot/p.png", png)
    packed = gzip.compress(os.urandom(4000))
    program.write("WebRoot/a.gz", packed)
    program.write("WebRoot/s.css", b"body{color:red}\n" * 100)
    w = site()
    for name, mime in MODERN_TYPES.items():
        status, heads, _ = curl(w.port, "/" + name)
        assert status == 200 and header(heads[-1], "Content-Type") == mime, name

    # Already compressed formats go out as they are, with no copy made.
    for name, body in (("p.png", png), ("a.gz", packed)):
        status, heads, got = curl(w.port, "/" + name, "-H", "Accept-Encoding: gzip")
        assert (status, got) == (200, body), name
        assert header(heads[-1], "Content-Encoding") is None and header(heads[-1], "Vary") is None
    assert os.listdir(program.path("WebCache")) == []
    # Text still shrinks through its copy.
    for name in ("s.css", "m.json", "m.svg", "m.mjs", "m.wasm"):
        status, heads, got = curl(w.port, "/" + name, "-H", "Accept-Encoding: gzip")
        assert status == 200 and header(heads[-1], "Content-Encoding") == "gzip", name
        assert len(got) < 600 and gzip.decompress(got) in (b"body{color:red}\n" * 100, b"x" * 600)
    assert len(os.listdir(program.path("WebCache"))) == 5


@pytest.mark.cgi
def test_cgi_output_is_compressed_only_when_its_type_shrinks(program, start_worker):
    root = program.path("site")
    os.makedirs(root)
    program.write("Hosts/localhost", "%s;index.html;ExecCGI;.php;%s %%s" % (root, PHP_CGI))
    program.write("site/img.php", "<?php header('Content-Type: image/png'); echo str_repeat('p', 3000);")
    program.write("site/txt.php", "<?php header('Content-Type: text/plain'); echo str_repeat('t', 3000);")
    w = start_worker()
    status, heads, body = curl(w.port, "/img.php", "-H", "Accept-Encoding: gzip")
    assert (status, body) == (200, b"p" * 3000)
    assert header(heads[-1], "Content-Encoding") is None
    status, heads, body = curl(w.port, "/txt.php", "-H", "Accept-Encoding: gzip")
    assert status == 200 and header(heads[-1], "Content-Encoding") == "gzip"
    assert gzip.decompress(body) == b"t" * 3000


# ---- the body size limit ---------------------------------------------------------

def test_body_above_the_limit_is_refused_before_it_is_stored(program, site):
    program.write("WebRoot/f.txt", b"static")
    w = site(MaxBodySize="1")
    # The Content-Length of the report: a terabyte announced, nothing sent.
    with socket.create_connection(("127.0.0.1", w.port), timeout=10) as s:
        r = exchange(s, b"POST /f.txt HTTP/1.1\r\nHost: localhost\r\nContent-Length: 1000000000000\r\n\r\n")
        assert r.status == 413 and r.header("Connection") == "close"
        assert "413 - Request Entity Too Large".encode() in r.body
        assert closed_by_peer(s)
    assert os.listdir(program.path("WebTemp")) == []

    # Below the limit, the body of a request for what is no script is read
    # past: half-way through the upload nothing of it lies in WebTemp.
    with socket.create_connection(("127.0.0.1", w.port), timeout=10) as s:
        s.sendall(b"POST /f.txt HTTP/1.1\r\nHost: localhost\r\nContent-Length: 200000\r\n\r\n" + b"u" * 100000)
        time.sleep(0.5)
        assert os.listdir(program.path("WebTemp")) == []
        r = exchange(s, b"u" * 100000)
        assert r.status == 405 and r.header("Connection") == "keep-alive"

    # curl uploading 2 MiB against a limit of 1 MiB asks first (Expect:
    # 100-continue) and is refused from the head alone.
    upload = program.write("upload.bin", b"u" * (2 << 20))
    status, _, _ = curl(w.port, "/f.txt", "--data-binary", "@" + upload)
    assert status == 413
    # At the limit the body is taken (a POST to a static file is then 405).
    program.write("upload.bin", b"u" * (1 << 20))
    status, _, _ = curl(w.port, "/f.txt", "--data-binary", "@" + upload)
    assert status == 405
    assert os.listdir(program.path("WebTemp")) == []
    assert re.search(r'"POST /f\.txt HTTP/1\.1" 413 \d+ ', program.access_logs())


# ---- methods the server does not implement -----------------------------------------

def test_unknown_methods_get_501_and_the_connection_goes_on(program, site):
    w = site(EnableGZIP="False")
    for method in ("OPTIONS", "PUT", "DELETE", "PATCH"):
        status, heads, body = curl(w.port, "/", "-X", method)
        assert status == 501, method
        assert header(heads[-1], "Allow") == "GET, HEAD, POST"
        assert "501 - Not Implemented".encode() in body

    with socket.create_connection(("127.0.0.1", w.port), timeout=10) as s:
        # Methods are case-sensitive: "get" is not GET. A body of such a
        # request is read past, and the next request is answered.
        r = exchange(s, b"get / HTTP/1.1\r\nHost: localhost\r\n\r\n")
        page = r.body
        assert without_date(r.raw_head) == (
            b"HTTP/1.1 501 Not Implemented\r\nServer: Zevra/0.2.9\r\nDate: *\r\n"
            b"Content-Type: text/html; charset=utf-8\r\nContent-Length: %d\r\nConnection: keep-alive\r\n"
            b"Allow: GET, HEAD, POST\r\n\r\n" % len(page))
        assert "<title>501 - Not Implemented</title>".encode() in page
        assert "此 HTTP Request 的请求方法在本服务器上没有实现。".encode() in page
        assert "本服务器只支持 GET、HEAD 和 POST 请求方法，请检查您的 HTTP Request 的请求方法。".encode() in page
        r = exchange(s, b"PUT /x HTTP/1.1\r\nHost: localhost\r\nContent-Length: 5\r\n\r\nhello")
        assert r.status == 501 and r.body == page
        r = exchange(s, b"GET / HTTP/1.1\r\nHost: localhost\r\n\r\n")
        assert (r.status, r.body) == (200, INDEX)
        r = exchange(s, b"OPTIONS * HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")
        assert r.status == 501 and r.header("Connection") == "close"
        assert closed_by_peer(s)
    log = program.access_logs()
    assert '"OPTIONS / HTTP/1.1" 501 ' in log and '"get / HTTP/1.1" 501 ' in log


# ---- stale compressed copies ----------------------------------------------------------

def cache_files(program):
    return sorted(n for n in os.listdir(program.path("WebCache")) if n.startswith("cache_"))


def test_superseded_copies_are_removed_and_a_restart_clears_old_ones(program, start_worker):
    program.write("WebRoot/index.html", INDEX)
    path = program.write("WebRoot/t.txt", b"v0 " * 300)
    program.write_settings()
    program.write("WebCache/cache_1_2", b"left by an earlier worker")
    program.write("WebCache/keep.me", b"not ours")
    w = start_worker()
    assert cache_files(program) == []
    assert os.path.exists(program.path("WebCache/keep.me"))
    # Eight edits leave one copy, the current one.
    for version in range(8):
        with open(path, "wb") as f:
            f.write(b"v%d " % version * 300)
        os.utime(path, (1_600_000_000 + version, 1_600_000_000 + version))
        status, heads, body = curl(w.port, "/t.txt", "-H", "Accept-Encoding: gzip")
        assert status == 200 and gzip.decompress(body) == b"v%d " % version * 300
        assert len(cache_files(program)) == 1, version


def test_a_copy_being_sent_survives_its_successor(program, start_worker):
    """A client still reading the old copy gets all of it, byte for byte,
    though the file changed and its copy was replaced meanwhile."""
    path = program.path("WebRoot/big.txt")
    # 10,000,000 bytes of text (just within the size that gets a copy),
    # over 5 MB compressed: more than the socket buffers hold.
    old = os.urandom(5_000_000).hex().encode()
    program.write("WebRoot/big.txt", old)
    os.utime(path, (1_600_000_000, 1_600_000_000))
    w = start_worker(WriteAccessLog="True")
    slow = socket.socket()
    slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
    slow.settimeout(30)
    slow.connect(("127.0.0.1", w.port))
    try:
        slow.sendall(b"GET /big.txt HTTP/1.1\r\nHost: localhost\r\nAccept-Encoding: gzip\r\n\r\n")
        first = slow.recv(4096)
        assert first.startswith(b"HTTP/1.1 200 ") and b"Content-Encoding: gzip" in first
        # The file changes; the next client gets a new copy and the old
        # copy's name goes.
        new = b"new " * 1000
        program.write("WebRoot/big.txt", new)
        os.utime(path, (1_600_000_100, 1_600_000_100))
        status, _, body = curl(w.port, "/big.txt", "-H", "Accept-Encoding: gzip")
        assert status == 200 and gzip.decompress(body) == new
        if not WINDOWS:
            assert len(cache_files(program)) == 1
        # The slow client reads on to the end of the old copy.
        head, _, rest = first.partition(b"\r\n\r\n")
        length = int(re.search(rb"Content-Length: (\d+)", head).group(1))
        deadline = time.monotonic() + 60
        while len(rest) < length and time.monotonic() < deadline:
            chunk = slow.recv(1 << 20)
            if not chunk:
                break
            rest += chunk
        assert len(rest) == length
        assert gzip.decompress(rest) == old
    finally:
        slow.close()
    # Windows (before 10 1709, and Wine) keeps a removed file's name until
    # its last reader is done: it goes with the slow client.
    deadline = time.monotonic() + 10
    while len(cache_files(program)) != 1 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert len(cache_files(program)) == 1, cache_files(program)


# ---- the shipped settings, and names a listing cannot link to ---------------------------

def test_shipped_settings_keep_local_paths_off_error_pages(program, start_worker):
    shipped = os.path.join(os.environ.get("ZEVRA_DIR", ""), "Config", "Zevra.ini")
    with open(shipped, encoding="utf-8") as f:
        text = f.read()
    assert re.search(r"(?m)^Debug=False\s*$", text)
    program.port = free_port()
    program.write_settings(re.sub(r"(?m)^Port=\d+", "Port=%d" % program.port, text))
    program.write("WebRoot/index.html", INDEX)
    w = start_worker()
    status, _, body = curl(w.port, "/missing.html")
    assert status == 404
    assert program.root.encode() not in body and "OS信息".encode() not in body


def test_wget_mirrors_a_listing_tree_and_unreachable_names_are_not_listed(program, site, tmp_path):
    program.write("WebRoot/tree/a.txt", b"a")
    program.write("WebRoot/tree/sub/b.txt", b"b")
    program.write("WebRoot/tree/中.txt", b"zh")
    program.write("WebRoot/tree/what?.txt", b"q")
    with open(os.path.join(program.path("WebRoot/tree").encode(), b"bad\xff\xfe.txt"), "wb") as f:
        f.write(b"latin-1 name")
    w = site(EnableGZIP="False")
    status, _, listing = curl(w.port, "/tree/")
    assert status == 200
    if WINDOWS:
        # Windows names are UTF-16: Wine shows the Linux bytes that are not
        # UTF-8 as U+FFFD and opens the file by that name, so it is listed
        # and reachable. "?" is what no Windows path can hold.
        assert "bad\ufffd\ufffd.txt".encode() in listing
        assert b"what" not in listing
    else:
        assert b"bad" not in listing
    assert "共计(Sum):4个对象".encode() in listing
    # Every link of the tree leads somewhere: wget finds no broken one.
    out = subprocess.run(["wget", "-r", "-np", "-nv", "-e", "robots=off", "--tries=1", "--timeout=20",
                          "-P", str(tmp_path / "mirror"), "http://127.0.0.1:%d/tree/" % w.port],
                         capture_output=True, timeout=120)
    log = out.stderr.decode("utf-8", "replace")
    assert out.returncode == 0, log
    assert "ERROR" not in log and " 404" not in log, log
    mirrored = sorted(os.path.relpath(os.path.join(d, f), tmp_path / "mirror")
                      for d, _, files in os.walk(tmp_path / "mirror") for f in files)
    # Four files and the two listings, nothing more (no name that cannot be
    # reached).
    prefix = "127.0.0.1:%d/tree/" % w.port
    assert len(mirrored) == 6, mirrored
    for name in ("a.txt", "index.html", "sub/b.txt", "sub/index.html"):
        assert prefix + name in mirrored, mirrored
