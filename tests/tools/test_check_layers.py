"""The include check itself: a clean small tree passes, and each kind of
fault it exists for is reported with its file and line, and fails the run."""

import os
import subprocess
import sys

import pytest

CHECK = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "check_layers.py")


def run(root):
    return subprocess.run([sys.executable, CHECK, "--root", str(root)], capture_output=True, text=True, timeout=60)


def write(root, path, text):
    full = root / path
    full.parent.mkdir(parents=True, exist_ok=True)
    full.write_text(text, encoding="utf-8")


@pytest.fixture
def tree(tmp_path):
    # One file per layer, each including only what lies below it.
    write(tmp_path, "platform/File.h", "#pragma once\n#include <string>\n")
    write(tmp_path, "platform/posix/File.cpp", '#include "platform/File.h"\n#include <unistd.h>\n#include <sys/stat.h>\n')
    write(tmp_path, "common/Text.h", '#include "platform/File.h"\n')
    write(tmp_path, "socket/HPSocket.cpp", '#include "platform/File.h"\n#include <asio.hpp>\n')
    write(tmp_path, "gzip/Compression.cpp", "#include <zlib.h>\n")
    write(tmp_path, "server/core/Runtime.h", '#include "common/Text.h"\n')
    write(tmp_path, "server/net/Parser.cpp", '#include "server/core/Runtime.h"\n#include "socket/HPSocket.h"\n')
    write(tmp_path, "server/response/Answer.cpp", '#include "server/core/Runtime.h"\n#include "gzip/Compression.h"\n')
    write(tmp_path, "server/cgi/Cgi.cpp", '#include "server/response/Answer.h"\n')
    write(tmp_path, "server/dispatch/Dispatch.cpp",
          '#include "server/cgi/Cgi.h"\n#include "server/net/Parser.h"\n#include "Local.h"\n')
    write(tmp_path, "server/dispatch/Local.h", "#pragma once\n")
    write(tmp_path, "server/process/Entry.cpp", '#include "server/dispatch/Dispatch.h"\n')
    write(tmp_path, "manager/Main.cpp", '#include "common/Text.h"\n#include <QWidget>\n')
    return tmp_path


def test_a_tree_that_points_down_passes(tree):
    result = run(tree)
    assert result.returncode == 0, result.stdout
    assert "every include points down" in result.stdout


@pytest.mark.parametrize("path, line, expected", [
    ("server/core/Up.h", '#include "server/response/Answer.h"', "server/core may not include server/response"),
    ("server/response/Side.cpp", '#include "server/net/Parser.h"', "server/response may not include server/net"),
    ("common/Up.cpp", '#include "server/core/Runtime.h"', "common may not include server/core"),
    ("server/process/Console.cpp", '#include "manager/Main.h"', "server/process may not include manager"),
    ("manager/Server.cpp", '#include "server/core/Runtime.h"', "manager may not include server/core"),
    ("server/net/Os.cpp", "#include <unistd.h>", "an OS header outside platform/<os>/"),
    ("common/Os.cpp", "#include <sys/socket.h>", "an OS header outside platform/<os>/"),
    ("platform/Os.h", "#include <windows.h>", "an OS header outside platform/<os>/"),
    ("socket/Inside.cpp", '#include "platform/posix/File.cpp"', "reaches into platform/<os>/ past the platform interface"),
])
def test_each_kind_of_fault_fails_with_its_place(tree, path, line, expected):
    write(tree, path, "// planted\n" + line + "\n")
    result = run(tree)
    assert result.returncode == 1
    assert f"{path}:2: {line}: {expected}" in result.stdout, result.stdout
