#!/bin/sh
# Runs a command under a zh_CN.GBK locale compiled into a private folder:
# Wine takes its ANSI code page from the locale, so the Windows programs see
# GetACP() == 936, a double-byte code page whose trail bytes include 0x5C.
# Usage: run-under-gbk.sh locale-folder command [arguments...]
set -u
folder=$1
shift
if [ ! -d "$folder/zh_CN.GBK" ]; then
  mkdir -p "$folder"
  # localedef warns about characters outside GBK (exit 1) and still writes it.
  localedef -i zh_CN -f GBK "$folder/zh_CN.GBK" >/dev/null 2>&1
  [ -d "$folder/zh_CN.GBK" ] || { echo "localedef could not make zh_CN.GBK"; exit 1; }
fi
LOCPATH=$folder LC_ALL=zh_CN.GBK exec "$@"
