"""The command line of the real program: version and usage texts, exit codes,
and the log files every role opens before it looks at its command."""

import datetime
import os
import re
import socket

from conftest import EXE_NAME, WINDOWS, exit_code_of


def access_log_name(today):
    return "Access_%d%d%d.log" % (today.year, today.month, today.day)


def computer_name():
    """The computer name as the system gives it: on Windows the NetBIOS
    name, in capitals and at most 15 characters (Wine derives it from the
    host name the same way)."""
    if WINDOWS:
        return socket.gethostname().split(".")[0].upper()[:15]
    return socket.gethostname()[:64]


def test_version_prints_exact_bytes(program):
    r = program.run("/v")
    assert r.stdout == b"Zevra/0.2.9"
    assert exit_code_of(r) == 10000
    assert r.returncode == 16


def test_validate_and_install_with_v_print_the_version(program):
    for args in (["/validate"], ["/install", "/v"], ["/V"]):
        r = program.run(*args)
        assert r.stdout == b"Zevra/0.2.9", args
        assert exit_code_of(r) == 10000


def test_usage_names_the_program_and_the_computer(program):
    # The program's file name as the system gives it: Windows keeps ".exe".
    renamed = "MyServer" + EXE_NAME[len("Zevra"):]
    os.rename(program.exe, program.path(renamed))
    program.exe = program.path(renamed)
    for args in (["/?"], [], ["/start"]):
        r = program.run(*args)
        assert exit_code_of(r) == 10000
        text = r.stdout.decode("utf-8")
        pattern = (r"Zevra/0\.2\.9, (.*)\r\nBuild Date: \d{4}-[1-9]\d?-[1-9]\d? \d\d:\d\d:\d\d\r\n[^\r\n]+\r\n\r\n"
                   r"Usage: " + re.escape(renamed) + r" \[options\]\r\n/\? Print this screen\.\r\n"
                   r"/install Install Zevra as a service\.\r\n/remove Remove Zevra service\.\r\n"
                   r"/v Print Zevra version\.")
        m = re.fullmatch(pattern, text)
        assert m, text
        assert m.group(1) == computer_name()


def test_logs_are_opened_before_the_command(program):
    r = program.run("/v")
    assert r.returncode == 16
    assert os.path.exists(program.path("error.log"))
    today = datetime.date.today()
    assert os.path.exists(program.path("WebLogs", access_log_name(today)))


def test_access_log_stays_closed_when_switched_off(program):
    program.write_settings("[Settings]\r\nWriteAccessLog=False\r\n")
    r = program.run("/v")
    assert r.returncode == 16
    assert os.listdir(program.path("WebLogs")) == []
    assert os.path.exists(program.path("error.log"))


def test_missing_config_and_weblogs_are_no_error(tmp_path):
    from conftest import ProgramDir
    p = ProgramDir(tmp_path, folders=())
    r = p.run("/v")
    assert r.stdout == b"Zevra/0.2.9"
    assert r.returncode == 16
    assert os.path.exists(p.path("error.log"))
    assert not os.path.exists(p.path("WebLogs"))


