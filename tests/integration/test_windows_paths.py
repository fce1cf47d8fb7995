"""Request paths that Windows would read otherwise than they are written:
alternate data streams, the dot or blank Windows strips from the end of a
name, device names, and short (8.3) names. Each gets the 403 page from the
Windows build; on Linux they are ordinary names and the cases do not apply."""

import os
import subprocess

import pytest

from conftest import WINDOWS, http_get, raw_exchange

pytestmark = pytest.mark.skipif(not WINDOWS, reason="names only Windows reads otherwise")

SOURCE = b"<?php echo 'the script, not its source'; ?>"


@pytest.fixture
def php_named_site(program, start_worker):
    """A site whose ".php" files are CGI; no CGI program is needed, as none
    of these requests may reach one, nor the script's source."""
    program.write("site/index.html", b"home")
    program.write("site/page.html", b"page")
    program.write("site/longscriptname.php", SOURCE)
    program.write("Hosts/localhost", program.native("site") + ";index.html;ExecCGI;.php;None %s")
    return start_worker


def status_of(port, target):
    raw = raw_exchange(port, ("GET %s HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n" % target).encode())
    assert SOURCE not in raw
    return int(raw.split(b" ", 2)[1]) if raw.startswith(b"HTTP/1.1 ") else 0


@pytest.mark.parametrize("target", [
    "/longscriptname.php::$DATA", "/longscriptname.php%3A%3A$DATA", "/page.html:stream",
    "/longscriptname.php.", "/longscriptname.php%20", "/longscriptname.php.%20.", "/page.html..",
    "/CON", "/con", "/con.txt", "/Nul.html", "/AUX", "/prn.php", "/COM1", "/com9.log", "/LPT1", "/lpt0.txt",
    "/CONIN$", "/conout$.x", "/com%C2%B9", "/nul%20.txt", "/sub/aux.html",
])
def test_names_windows_misreads_get_403(program, php_named_site, target):
    w = php_named_site()
    assert status_of(w.port, target) == 403, target
    assert http_get(w.port, "/page.html").body == b"page"


@pytest.mark.parametrize("target", ["/console.txt", "/com10", "/lpt", "/nulls.html", "/auxiliary"])
def test_names_that_only_start_like_devices_are_ordinary(program, php_named_site, target):
    w = php_named_site()
    assert status_of(w.port, target) == 404, target


def short_name_of(program, relative):
    """The short name Windows (here Wine) gives an entry, asked of the
    system itself through cmd's "dir /x"."""
    folder = program.native(os.path.dirname(relative))
    out = subprocess.run(["wine", "cmd", "/c", "dir", "/x", folder], capture_output=True, timeout=60).stdout
    long_name = os.path.basename(relative)
    for line in out.decode("latin-1").splitlines():
        parts = line.split()
        if parts and parts[-1] == long_name and len(parts) >= 2 and "~" in parts[-2]:
            return parts[-2]
    pytest.fail("no short name for %s in:\n%s" % (long_name, out.decode("latin-1")))


def test_a_short_name_does_not_reach_what_its_long_name_would_not(program, php_named_site):
    program.write("site/longfoldername/longpagename.html", b"deep page")
    w = php_named_site()
    short_script = short_name_of(program, "site/longscriptname.php")
    short_folder = short_name_of(program, "site/longfoldername")
    short_page = short_name_of(program, "site/longfoldername/longpagename.html")
    # The short name of a ".php" file must not serve the script's source
    # (nor run it under a name that is not its own).
    assert status_of(w.port, "/" + short_script) == 403
    assert status_of(w.port, "/" + short_script.lower()) == 403
    # Short names anywhere in the path are refused; the long names serve.
    assert status_of(w.port, "/%s/longpagename.html" % short_folder) == 403
    assert status_of(w.port, "/longfoldername/" + short_page) == 403
    assert http_get(w.port, "/longfoldername/longpagename.html").body == b"deep page"
    # A real name with a "~" in it is still served.
    program.write("site/notes~1.txt", b"tilde")
    assert http_get(w.port, "/notes~1.txt").body == b"tilde"
