"""The configure step itself: a missing dependency stops it at once, with
the Debian package that brings it, instead of a compiler error deep in the
build."""

import os
import subprocess

import pytest

# The configure step is the same whatever the target; it is checked once, with
# the Linux build.
pytestmark = pytest.mark.posix_only("the configure step, checked with the Linux build")

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))


def configure(build_dir, *options):
    return subprocess.run(["cmake", "-S", SOURCE_DIR, "-B", str(build_dir), "-DZEVRA_BUILD_MANAGER=OFF", *options],
                          capture_output=True, timeout=300)


def test_configure_names_the_package_of_a_missing_header(tmp_path):
    # With the system's header folder out of CMake's sight, asio.hpp (and
    # zlib.h) are as good as uninstalled.
    r = configure(tmp_path / "no-headers", "-DCMAKE_IGNORE_PATH=/usr/include", "-DZEVRA_BUILD_TESTS=OFF")
    out = (r.stdout + r.stderr).decode("utf-8", "replace")
    assert r.returncode != 0, out
    assert "standalone Asio (asio.hpp): Debian package libasio-dev" in out
    assert "zlib (zlib.h, libz): Debian package zlib1g-dev" in out
    assert "scripts/deps.sh" in out
    assert not os.path.exists(tmp_path / "no-headers" / "Makefile")
