"""The worker's cache of open files against a file system that changes under
it: every change shows in the very next answer on a kept-alive connection,
however fast the changes come, for plain and compressed answers and for
names that were missing."""

import gzip
import os
import socket
import time

import pytest

from conftest import read_response

ROUNDS = 60
TIME_LIMIT = 20.0


def get(sock, path, headers=""):
    sock.sendall(("GET %s HTTP/1.1\r\nHost: localhost\r\n%s\r\n" % (path, headers)).encode())
    return read_response(sock)


def replace_by_rename(path, data):
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.replace(path + ".tmp", path)


def write_in_place(path, data):
    # The same name, the same inode, and (in a tight loop) the same size
    # and the same second: nothing in the file's facts tells the versions apart.
    with open(path, "r+b") as f:
        f.write(data)


def truncate_or_grow(path, data):
    with open(path, "r+b") as f:
        f.truncate(0)
        f.write(data)


@pytest.fixture
def served(program, start_worker):
    program.write("Hosts/localhost", "%s;index.html;None;.cgi;/bin/sh %%s" % program.path("site"))
    program.write("site/index.html", b"index")
    w = start_worker(EnableGZIP="TRUE")
    s = socket.create_connection(("127.0.0.1", w.port), timeout=10)
    yield program, s
    s.close()


@pytest.mark.parametrize("change", [replace_by_rename, write_in_place, truncate_or_grow])
def test_a_changed_file_shows_in_the_next_answer(served, change):
    program, s = served
    path = program.path("site", "page.txt")
    with open(path, "wb") as f:
        f.write(b"version 000")
    deadline = time.monotonic() + TIME_LIMIT
    for i in range(ROUNDS):
        assert time.monotonic() < deadline
        # Same length every round except for the truncating writer.
        body = b"version %03d" % i if change is not truncate_or_grow else b"v" * (1 + i % 7)
        change(path, body)
        r = get(s, "/page.txt")
        assert (i, r.status, r.body) == (i, 200, body)
        # And the answer again from what was kept, still the same.
        assert get(s, "/page.txt").body == body


def test_deleted_and_created_files_and_missing_names(served):
    program, s = served
    path = program.path("site", "comes-and-goes.txt")
    deadline = time.monotonic() + TIME_LIMIT
    for i in range(ROUNDS):
        assert time.monotonic() < deadline
        assert get(s, "/comes-and-goes.txt").status == 404
        assert get(s, "/comes-and-goes.txt").status == 404
        with open(path, "wb") as f:
            f.write(b"here %d" % i)
        r = get(s, "/comes-and-goes.txt")
        assert (r.status, r.body) == (200, b"here %d" % i)
        os.remove(path)


def test_a_renamed_folder_takes_its_files_along(served):
    program, s = served
    program.write("site/a/b/page.txt", b"in a/b")
    program.write("site/other/b/page.txt", b"in other/b")
    deadline = time.monotonic() + TIME_LIMIT
    for i in range(ROUNDS // 2):
        assert time.monotonic() < deadline
        assert get(s, "/a/b/page.txt").body == b"in a/b"
        # The folder above the one that holds the file.
        os.rename(program.path("site", "a"), program.path("site", "gone"))
        assert get(s, "/a/b/page.txt").status == 404
        os.rename(program.path("site", "other"), program.path("site", "a"))
        assert get(s, "/a/b/page.txt").body == b"in other/b"
        os.rename(program.path("site", "a"), program.path("site", "other"))
        os.rename(program.path("site", "gone"), program.path("site", "a"))


def test_a_file_that_cannot_be_served_any_more(served):
    program, s = served
    path = program.path("site", "turns.txt")
    deadline = time.monotonic() + TIME_LIMIT
    for i in range(ROUNDS // 2):
        assert time.monotonic() < deadline
        with open(path, "wb") as f:
            f.write(b"readable %d" % i)
        assert get(s, "/turns.txt").body == b"readable %d" % i
        if os.geteuid() != 0:
            os.chmod(path, 0)
        else:
            # Root reads whatever the mode says: a FIFO in its place is what
            # the worker refuses to open for it.
            os.remove(path)
            os.mkfifo(path)
        assert get(s, "/turns.txt").status == 403
        os.remove(path)


def test_the_compressed_copy_follows_its_file(served):
    program, s = served
    path = program.path("site", "text.txt")
    deadline = time.monotonic() + TIME_LIMIT
    for i in range(ROUNDS // 2):
        assert time.monotonic() < deadline
        body = (b"line %03d of a text that shrinks well\n" % i) * 200
        write_in_place(path, body) if os.path.exists(path) else replace_by_rename(path, body)
        r = get(s, "/text.txt", "Accept-Encoding: gzip\r\n")
        assert r.header("Content-Encoding") == "gzip"
        assert gzip.decompress(r.body) == body
        again = get(s, "/text.txt", "Accept-Encoding: gzip\r\n")
        assert (again.raw_head.split(b"\r\nDate: ")[0], again.body) == (r.raw_head.split(b"\r\nDate: ")[0], r.body)
