#!/usr/bin/env bash
# The plug-in must show the host its entry points under their plain names and
# nothing else. Usage: check_exports.sh <plugin> <name>...
set -euo pipefail
plugin=$1; shift
actual=$(nm -D --defined-only "$plugin" | awk '{print $3}' | sed 's/@.*//' | sort -u)
expected=$(printf '%s\n' "$@" | sort -u)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ"; diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "exports ok: $(echo "$actual" | wc -l) symbols"
