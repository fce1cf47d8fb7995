#!/usr/bin/python3
"""Checks that every include in the tree points down the layers.

    platform <- common <- socket, gzip <- server/core <- server/net, server/response
             <- server/cgi <- server/dispatch <- server/process;   platform <- common <- manager

A file may include its own layer and the layers below it, nothing above and
nothing beside. Outside platform/<os>/ no file includes an operating-system
header: that one rule is what lets another OS's build drop in.

Prints one line per fault and exits 1 when there is any; 0 when the tree is
clean. Run from anywhere: the tree is the folder above this script's, or the
one named by --root.
"""

import argparse
import os
import re
import sys

# Layer -> the layers its files may include (its own included). Folders
# are matched longest first, so server/core is not taken for server/.
ALLOWED = {
    "platform": {"platform"},
    "common": {"common", "platform"},
    "socket": {"socket", "platform"},
    "gzip": {"gzip"},
    "server/core": {"server/core", "common", "platform"},
    "server/net": {"server/net", "server/core", "socket", "common", "platform"},
    "server/response": {"server/response", "server/core", "gzip", "common", "platform"},
    "server/cgi": {"server/cgi", "server/response", "server/core", "gzip", "common", "platform"},
    "server/dispatch": {"server/dispatch", "server/cgi", "server/net", "server/response", "server/core",
                        "socket", "gzip", "common", "platform"},
    "server/process": {"server/process", "server/dispatch", "server/cgi", "server/net", "server/response",
                       "server/core", "socket", "gzip", "common", "platform"},
    "manager": {"manager", "common", "platform"},
}
LAYERS = sorted(ALLOWED, key=len, reverse=True)

# Folders whose files may include OS headers: the per-OS implementations.
OS_FOLDERS = ("platform/posix/", "platform/win32/")

# Operating-system headers by name or by folder. C++ standard headers
# (<cerrno>, <csignal>, <thread> ...) are portable and not listed.
OS_HEADERS = {
    "unistd.h", "fcntl.h", "dirent.h", "poll.h", "pthread.h", "signal.h", "errno.h", "dlfcn.h", "spawn.h",
    "termios.h", "syslog.h", "pwd.h", "grp.h", "netdb.h", "ifaddrs.h", "execinfo.h", "ucontext.h",
    "windows.h", "winsock2.h", "ws2tcpip.h", "mswsock.h", "winsvc.h", "shellapi.h", "shlwapi.h", "io.h",
    "process.h", "direct.h", "tlhelp32.h", "psapi.h", "dbghelp.h", "winternl.h", "winbase.h", "windef.h",
}
OS_HEADER_FOLDERS = ("sys/", "netinet/", "arpa/", "linux/", "asm/", "bits/", "mach/")

SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".c")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def layer_of(path):
    """The layer of a path relative to the root, or None outside the layers."""
    for layer in LAYERS:
        if path == layer or path.startswith(layer + "/"):
            return layer
    return None


def resolve(root, including, name):
    """A quoted include as a root-relative path: beside the including file
    first, then from the root (the one include directory of the tree)."""
    beside = os.path.normpath(os.path.join(os.path.dirname(including), name))
    if os.path.exists(os.path.join(root, beside)):
        return beside.replace(os.sep, "/")
    return os.path.normpath(name).replace(os.sep, "/")


def check(root):
    faults = []
    for top in ("platform", "common", "socket", "gzip", "server", "manager"):
        for folder, _, files in os.walk(os.path.join(root, top)):
            for file in sorted(files):
                if not file.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.relpath(os.path.join(folder, file), root).replace(os.sep, "/")
                layer = layer_of(path)
                if layer is None:
                    continue
                may_use_os = path.startswith(OS_FOLDERS)
                with open(os.path.join(root, path), encoding="utf-8", errors="replace") as text:
                    for number, line in enumerate(text, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        kind, name = match.groups()
                        closing = ">" if kind == "<" else '"'
                        where = f"{path}:{number}: #include {kind}{name}{closing}"
                        if kind == "<":
                            if not may_use_os and (name in OS_HEADERS or name.startswith(OS_HEADER_FOLDERS)):
                                faults.append(f"{where}: an OS header outside platform/<os>/")
                            continue
                        target = resolve(root, path, name)
                        if target.startswith(OS_FOLDERS) and not path.startswith(OS_FOLDERS):
                            faults.append(f"{where}: reaches into platform/<os>/ past the platform interface")
                            continue
                        target_layer = layer_of(target)
                        if target_layer is None:
                            faults.append(f"{where}: outside every layer")
                        elif target_layer not in ALLOWED[layer]:
                            faults.append(f"{where}: {layer} may not include {target_layer}")
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    args = parser.parse_args()
    faults = check(args.root)
    for fault in faults:
        print(fault)
    if faults:
        print(f"check_layers: {len(faults)} include(s) against the layers", file=sys.stderr)
        return 1
    print("check_layers: every include points down the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
