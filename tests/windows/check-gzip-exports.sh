#!/bin/sh
# gzip.dll exports exactly ordinals 1-5 and no names; Zevra.exe imports
# those five from it by ordinal.
# Usage: check-gzip-exports.sh objdump gzip.dll Zevra.exe
set -u
objdump=$1 dll=$2 exe=$3
fail() { echo "FAIL: $*"; exit 1; }
table=$("$objdump" -p "$dll") || fail "objdump cannot read $dll"
ordinals=$(printf '%s\n' "$table" | sed -n '/^Export Address Table -- Ordinal Base/,/^$/p' |
           sed -n 's/.*+base\[ *\([0-9]*\)\].*/\1/p' | tr '\n' ' ')
[ "$ordinals" = "1 2 3 4 5 " ] || fail "exported ordinals are '$ordinals', not '1 2 3 4 5 '"
names=$(printf '%s\n' "$table" | sed -n 's/.*\[Name Pointer\/Ordinal\] Table[^0-9]*\([0-9a-fA-F]*\).*/\1/p')
[ "$names" = "00000000" ] || fail "gzip.dll exports names ($names of them)"
imports=$("$objdump" -p "$exe" | sed -n '/DLL Name: gzip.dll/,/^$/p' |
          awk '$1 ~ /^8000000000000/ {print $2+0}' | sort -n | tr '\n' ' ')
[ "$imports" = "1 2 3 4 5 " ] || fail "Zevra.exe imports '$imports' from gzip.dll by ordinal, not '1 2 3 4 5 '"
echo "gzip.dll: ordinals 1-5, no names; Zevra.exe binds them by ordinal"
