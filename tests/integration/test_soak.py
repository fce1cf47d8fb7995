"""A short soak of the real worker: a few seconds of wrk's mixed load (files,
gzip copies, ranges, a listing, 404s, CGI GET and spooled POST), then no
failed request, descriptors back at their level, nothing left in WebTemp/
or half-made in WebCache/, no child process left and exact answers after.
The checks are bench/soak.py's; the long run lives there."""

import os
import shutil
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import soak  # noqa: E402


@pytest.mark.soak
@pytest.mark.threads
@pytest.mark.skipif(shutil.which("wrk") is None, reason="wrk is missing (bash scripts/deps.sh installs it)")
def test_short_soak_fails_nothing_and_leaks_nothing(program, start_worker, tmp_path):
    docroot = str(tmp_path / "site")
    soak.lay_out_site(program.root, docroot)
    w = start_worker(**soak.WORKER_SETTINGS)
    run = soak.Soak(w.proc.pid, w.port, program.root, docroot, str(tmp_path))
    # Under a sanitizer the worker runs several times slower: fewer
    # connections (and RSS is not compared there, see soak.SANITIZED).
    run.run(8, 32 if soak.SANITIZED else 96, warmup_seconds=2)
    print()
    print(run.table())
    assert run.problems() == []
