#!/usr/bin/env bash
# A Windows import library is made from a .def file (mosquitto.def, sqlite3.def):
# it must name every function of that library the code calls, and no other.
# The functions are those named after the LIBRARY line's name ("mosquitto_",
# "sqlite3_"). Usage: check_def.sh <def> <archive-or-object>...
set -euo pipefail
def=$1; shift
name=$(basename "$def")
prefix=$(awk '$1 == "LIBRARY" {sub(/\.dll$/, "", $2); print $2 "_"; exit}' "$def")
listed=$(awk '/^EXPORTS/{t=1; next} t && $1 !~ /^;/ && NF {print $1}' "$def" | sort -u)
used=$(nm --undefined-only "$@" 2>/dev/null | awk '{print $NF}' | grep "^$prefix" | sort -u)
missing=$(comm -23 <(echo "$used") <(echo "$listed"))
unused=$(comm -13 <(echo "$used") <(echo "$listed"))
if [ -n "$missing" ]; then
  echo "$name lacks functions the code calls:"; echo "$missing"; exit 1
fi
if [ -n "$unused" ]; then
  echo "$name lists functions the code does not call:"; echo "$unused"; exit 1
fi
echo "$name names the $(echo "$used" | wc -l) ${prefix%_} functions the code calls"
