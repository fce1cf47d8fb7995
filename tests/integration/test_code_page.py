"""Names in a double-byte ANSI code page (GBK, code page 936). The worker
runs under a zh_CN.GBK locale made for the test: on Linux the locale's
character set is the code page, and Wine takes its ANSI code page from it
too. In GBK the second byte of a character may be 0x5C, the byte of "\\":
such a character inside a name must never split a path."""

import os
import subprocess

import pytest

from conftest import WINDOWS, http_get

# Each of these ends in the byte 0x5C in GBK.
TRAIL_5C = "乗嘰"
ROOT = "站点" + TRAIL_5C           # the document root named in a host file (GBK bytes)
FOLDER = "目录" + TRAIL_5C[0]     # a folder inside it, listed
NAME = TRAIL_5C[1] + "表.txt"      # a file inside that


@pytest.fixture(scope="session")
def gbk_locale(tmp_path_factory):
    """LOCPATH and LC_ALL of a zh_CN.GBK locale compiled into a private folder."""
    folder = tmp_path_factory.mktemp("locale")
    r = subprocess.run(["localedef", "-i", "zh_CN", "-f", "GBK", str(folder / "zh_CN.GBK")],
                       capture_output=True, timeout=120)
    # localedef warns (exit 1) about characters outside GBK and still writes it.
    assert (folder / "zh_CN.GBK").is_dir(), r.stderr.decode("utf-8", "replace")
    return {"LOCPATH": str(folder), "LC_ALL": "zh_CN.GBK"}


def quote(text):
    return "".join(c if c.isascii() else "".join("%%%02X" % b for b in c.encode("utf-8")) for c in text)


def test_gbk_names_with_a_trail_backslash_byte_are_served_listed_and_logged(program, start_worker, gbk_locale):
    for ch in TRAIL_5C:
        assert ch.encode("gbk")[-1:] == b"\\"
    # Windows names are UTF-16; Wine keeps them on the Linux side in the
    # locale's character set, so under this locale they are GBK bytes there.
    # The Linux build hands its UTF-8 names to the system as they are.
    disk = "gbk" if WINDOWS else "utf-8"
    root = os.path.join(program.root.encode(), ROOT.encode(disk))
    os.makedirs(os.path.join(root, FOLDER.encode(disk)))
    with open(os.path.join(root, FOLDER.encode(disk), NAME.encode(disk)), "wb") as f:
        f.write(b"gbk name")
    with open(os.path.join(root, b"index.html"), "wb") as f:
        f.write(b"home")
    # Host files are text in the ANSI code page.
    program.write("Hosts/localhost", (program.native(ROOT) + ";index.html;Static;None;None").encode("gbk"))
    program.env = gbk_locale
    w = start_worker(WriteAccessLog="True", DirectoryListing="True")

    r = http_get(w.port, "/")
    assert r.status == 200 and r.body == b"home", program.error_log() + r.body.decode("utf-8", "replace")[-800:]
    target = "/%s/%s" % (quote(FOLDER), quote(NAME))
    r = http_get(w.port, target)
    assert r.status == 200 and r.body == b"gbk name"

    # The listing shows the name as it is (UTF-8 on the page) and links to it.
    r = http_get(w.port, "/%s/" % quote(FOLDER))
    assert r.status == 200
    page = r.body.decode("utf-8")
    assert ">%s</a>" % NAME in page
    assert "href='%s'" % target in page
    assert "共计(Sum):1个对象" in page

    # The access log is in the code page as well.
    line = '"GET /%s/%s HTTP/1.1" 200 8' % (FOLDER, NAME)
    logs = program.access_logs_once(line, encoding="gbk")
    assert line in logs, logs[-300:]
