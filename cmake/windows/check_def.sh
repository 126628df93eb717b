#!/usr/bin/env bash
# The Windows import library is made from mosquitto.def: it must name every
# libmosquitto function the code calls. Usage: check_def.sh <def> <archive-or-object>...
set -euo pipefail
def=$1; shift
listed=$(awk '/^EXPORTS/{t=1; next} t && $1 !~ /^;/ && NF {print $1}' "$def" | sort -u)
used=$(nm --undefined-only "$@" 2>/dev/null | awk '{print $NF}' | grep '^mosquitto_' | sort -u)
missing=$(comm -23 <(echo "$used") <(echo "$listed"))
unused=$(comm -13 <(echo "$used") <(echo "$listed"))
if [ -n "$missing" ]; then
  echo "mosquitto.def lacks functions the code calls:"; echo "$missing"; exit 1
fi
if [ -n "$unused" ]; then
  echo "mosquitto.def lists functions the code does not call:"; echo "$unused"; exit 1
fi
echo "mosquitto.def names the $(echo "$used" | wc -l) libmosquitto functions the code calls"
