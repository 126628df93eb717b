#!/usr/bin/env bash
# The Windows plug-in must export its entry points under their plain names and
# nothing else. Usage: check_exports.sh <dll> <name>...
set -euo pipefail
dll=$1; shift
actual=$(x86_64-w64-mingw32-objdump -p "$dll" |
  awk '/\[Ordinal\/Name Pointer\] Table/{t=1; next} t && NF==0 {t=0} t {print $NF}' | sort -u)
expected=$(printf '%s\n' "$@" | sort -u)
if [ "$actual" != "$expected" ]; then
  echo "exports of $dll differ from the entry points:"; diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "$(basename "$dll") exports: $(echo $actual)"
