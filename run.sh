#!/usr/bin/env bash
# One script for every job on this project. Each command sets up what it needs
# on a fresh Debian 12 machine (packages through apt-get, then the build).
#
#   ./run.sh test    build with AddressSanitizer and UndefinedBehaviorSanitizer and run every test
#   ./run.sh build   plain build into build/ (the demo and the tools use it)
#   ./run.sh demo    build, start a private broker, run kro-host with the Common example: a round trip
#   ./run.sh cross   cross build for 64-bit Windows into build-win/ (plug-in DLL, programs, host DLL)
#   ./run.sh fuzz    fuzz targets built with clang into build-fuzz/, each run FUZZ_SECONDS (default 60)
#   ./run.sh bench   Release build into build-bench/, private broker, every benchmark with its ratios
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}

PACKAGES=(cmake g++ make pkg-config libmosquitto-dev mosquitto nlohmann-json3-dev libgtest-dev
          libbenchmark-dev libsqlite3-dev openssl binutils redis-server)
# The test cluster's brokers run on Node.js; a node and npm already on the machine are kept.
command -v node >/dev/null || PACKAGES+=(nodejs)
command -v npm >/dev/null || PACKAGES+=(npm)

need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null; then sudo "$@"; else
      echo "run.sh: installing packages needs root: $*" >&2; exit 1; fi
  else "$@"; fi
}

# Installs the named Debian packages that are not installed yet.
install_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  need_root apt-get update -qq
  need_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# The test cluster's node modules, into the source tree (ignored by git). npm runs only when
# they are missing or the lock file changed, so a machine once set up needs no registry.
install_cluster_modules() {
  local dir=$ROOT/tests/support/cluster
  cmp -s "$dir/package-lock.json" "$dir/node_modules/.kro-lock" && return 0
  echo "== npm ci in tests/support/cluster"
  (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error)
  cp "$dir/package-lock.json" "$dir/node_modules/.kro-lock"
}

# The independent Sparkplug B decoder the tests check our payloads with; same pattern.
install_sparkplug_modules() {
  local dir=$ROOT/tests/support/sparkplug
  cmp -s "$dir/package-lock.json" "$dir/node_modules/.kro-lock" && return 0
  echo "== npm ci in tests/support/sparkplug"
  (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error)
  cp "$dir/package-lock.json" "$dir/node_modules/.kro-lock"
}

configure_build() { # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

cmd_build() {
  install_packages "${PACKAGES[@]}"
  configure_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRO_BUILD_TESTS=OFF
}

cmd_test() {
  install_packages "${PACKAGES[@]}"
  install_cluster_modules
  install_sparkplug_modules
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export LSAN_OPTIONS=suppressions=$ROOT/tests/lsan.supp:print_suppressions=0
  echo "== build with AddressSanitizer and UndefinedBehaviorSanitizer"
  configure_build build-asan -DCMAKE_BUILD_TYPE=Debug -DKRO_SANITIZE=address,undefined
  echo "== tests"
  (cd build-asan && ctest -j "$JOBS" --output-on-failure --timeout 600)
  echo "== concurrency tests under ThreadSanitizer"
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  configure_build build-tsan -DCMAKE_BUILD_TYPE=Debug -DKRO_SANITIZE=thread
  (cd build-tsan && ctest -j "$JOBS" -R Concurrency --no-tests=error --output-on-failure --timeout 600)
  cmd_cross
  FUZZ_SECONDS=${FUZZ_SECONDS:-45} cmd_fuzz
  echo "== all tests passed"
}

# Starts a private broker on a free loopback port; sets BROKER_PID and BROKER_PORT.
start_broker() { # dir
  local dir=$1 port tries=0
  while [ $tries -lt 20 ]; do
    tries=$((tries + 1))
    port=$((20000 + RANDOM % 30000))
    printf 'listener %s 127.0.0.1\nallow_anonymous true\nuser %s\nlog_dest file %s/broker.log\n' \
      "$port" "$(id -un)" "$dir" > "$dir/broker.conf"
    /usr/sbin/mosquitto -c "$dir/broker.conf" >/dev/null 2>&1 &
    BROKER_PID=$!
    for _ in $(seq 50); do
      if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then BROKER_PORT=$port; return 0; fi
      kill -0 "$BROKER_PID" 2>/dev/null || break
      sleep 0.1
    done
    kill "$BROKER_PID" 2>/dev/null || true; wait "$BROKER_PID" 2>/dev/null || true
  done
  echo "run.sh: could not start a broker (see $dir/broker.log)" >&2; return 1
}

cmd_demo() {
  local broker=""
  while [ $# -gt 0 ]; do
    case $1 in
      --broker) [ $# -ge 2 ] || { echo "usage: ./run.sh demo [--broker HOST:PORT]" >&2; exit 2; }
                broker=$2; shift 2 ;;
      *) echo "usage: ./run.sh demo [--broker HOST:PORT]" >&2; exit 2 ;;
    esac
  done
  cmd_build
  local dir; dir=$(mktemp -d /tmp/kro-demo.XXXXXX)
  local host=127.0.0.1 port
  BROKER_PID=""
  trap '[ -n "$BROKER_PID" ] && kill "$BROKER_PID" 2>/dev/null; [ -n "${SUB_PID:-}" ] && kill "$SUB_PID" 2>/dev/null; true' EXIT
  if [ -n "$broker" ]; then
    host=${broker%:*}; port=${broker##*:}
    # Fail at once, not after the script's time-outs, when nothing listens there.
    if ! timeout 5 bash -c 'exec 3<>"/dev/tcp/$0/$1"' "$host" "$port" 2>/dev/null; then
      echo "== demo failed: cannot connect to the broker at $host:$port within 5 s (refused or" \
        "unreachable); start one (README, \"A local broker\") or leave out --broker" >&2
      return 1
    fi
  else
    start_broker "$dir"; port=$BROKER_PORT
    echo "== private broker on 127.0.0.1:$port (pid $BROKER_PID)"
  fi
  # Topics of this run only: retained messages on the broker cannot disturb it.
  local topic; topic="demo/$(date +%H%M%S)-$$"
  sed -e "s/\"port\": \"1883\"/\"port\": \"$port\"/" -e "s/\"host\": \"127.0.0.1\"/\"host\": \"$host\"/" \
    -e "s#\"demo/#\"$topic/#g" examples/common.json > "$dir/common.json"

  # Watches what the driver publishes: the posted variable arriving.
  build/tools/mosquitto_sub -h "$host" -p "$port" -t "$topic/command" -v -C 1 -W 30 > "$dir/arrived.txt" &
  SUB_PID=$!

  echo "== kro-host examples/common.json (broker $host:$port, topics $topic/#), script examples/demo.script"
  (cd "$dir" && "$ROOT/build/host/runner/kro-host" --script "$ROOT/examples/demo.script" common.json 2>&1) \
    | tee "$dir/host.log" &
  local host_pid=$! connected=0
  for _ in $(seq 200); do
    if grep -q 'waitfor dev1.substate = "0": done' "$dir/host.log" 2>/dev/null; then connected=1; break; fi
    kill -0 "$host_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ $connected -eq 1 ]; then
    build/tools/mosquitto_pub -h "$host" -p "$port" -t "$topic/temperature" -m 20.5 -q 1 >/dev/null
    build/tools/mosquitto_pub -h "$host" -p "$port" -t "$topic/setpoint" -m 21.5 -q 1 >/dev/null
  fi
  local rc=0
  wait "$host_pid" || rc=$?
  [ $rc -ne 0 ] && { kill "$SUB_PID" 2>/dev/null || true; }
  wait "$SUB_PID" || true
  SUB_PID=""
  if [ $rc -ne 0 ]; then
    echo "== demo failed: kro-host ended with exit code $rc: $(grep -m1 -e 'timed out after' -e '^kro-host:' "$dir/host.log" || true)"
  elif grep -q "^$topic/command start\$" "$dir/arrived.txt"; then
    echo "== a subscriber on $topic/command received: $(cat "$dir/arrived.txt")"
  else
    echo "== the posted value did not arrive at the subscriber on $topic/command"; rc=1
  fi
  [ $rc -eq 0 ] && echo "== demo done: the round trip works" || echo "== demo failed (logs in $dir)"
  return $rc
}

cmd_cross() {
  install_packages "${PACKAGES[@]}" g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64
  echo "== cross build for 64-bit Windows"
  configure_build build-win -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DKRO_BUILD_TESTS=OFF
  find build-win -maxdepth 3 \( -name '*.dll' -o -name '*.exe' \) -not -path '*/CMakeFiles/*' | sort
  echo "== Windows command-line quoting against the Windows C runtime (wine)"
  (cd build-win/tests/windows &&
    WINEPREFIX="$ROOT/build-win/wineprefix" WINEDEBUG=-all /usr/lib/wine/wine64 ./cmdline_roundtrip.exe 300 2>&1 |
      grep -v -e 'rundll32' -e 'has been updated' -e 'configuration directory'; exit "${PIPESTATUS[0]}")
}

cmd_fuzz() {
  install_packages "${PACKAGES[@]}" clang libclang-rt-14-dev
  local seconds=${FUZZ_SECONDS:-60}
  local dir=build-fuzz
  echo "== fuzz build with clang: libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer"
  CC=clang CXX=clang++ cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKRO_BUILD_TESTS=OFF -DKRO_BUILD_FUZZ=ON -DKRO_SANITIZE=fuzzer-no-link,address,undefined >/dev/null
  cmake --build "$dir" --target fuzz_all -j "$JOBS"
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export LSAN_OPTIONS=suppressions=$ROOT/tests/lsan.supp:print_suppressions=0
  mkdir -p "$dir/corpus" "$dir/artifacts" "$dir/logs"
  local failed=() target
  for target in fuzz_options fuzz_format fuzz_config_file fuzz_cmdline fuzz_driver_settings \
      fuzz_pub_template fuzz_json_field fuzz_sparkplug; do
    # The seeds are copied into a working corpus in the build tree; the
    # repository's corpus is never written.
    mkdir -p "$dir/corpus/$target"
    cp "fuzz/corpus/$target"/* "$dir/corpus/$target/"
    echo "== $target: ${seconds} s"
    # close_fd_mask hides the targets' own output; crash reports still show.
    if "$dir/fuzz/$target" -max_total_time="$seconds" -timeout=25 -close_fd_mask=3 \
        -print_final_stats=1 -artifact_prefix="$dir/artifacts/$target-" \
        "$dir/corpus/$target" >"$dir/logs/$target.log" 2>&1; then
      grep -E '^#[0-9]+[[:space:]]+DONE' "$dir/logs/$target.log" | tail -n 1 || true
      grep -E 'average_exec_per_sec' "$dir/logs/$target.log" || true
    else
      tail -n 60 "$dir/logs/$target.log"
      failed+=("$target")
    fi
  done
  if [ ${#failed[@]} -ne 0 ]; then
    echo "== fuzzing found a fault in: ${failed[*]} (inputs in $dir/artifacts/)" >&2
    exit 1
  fi
}

cmd_bench() {
  install_packages "${PACKAGES[@]}"
  install_cluster_modules
  echo "== Release build with the benchmarks"
  configure_build build-bench -DCMAKE_BUILD_TYPE=Release -DKRO_BUILD_BENCH=ON -DKRO_BUILD_TESTS=OFF
  local dir; dir=$(mktemp -d /tmp/kro-bench.XXXXXX)
  BROKER_PID=""
  trap '[ -n "$BROKER_PID" ] && kill "$BROKER_PID" 2>/dev/null; true' EXIT
  start_broker "$dir"
  echo "== private broker on 127.0.0.1:$BROKER_PORT (receive throughput starts one of its own"
  echo "   with an unbounded queue); per-round figures go to $dir/<benchmark>.log"
  echo "== $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(date -u '+%Y-%m-%d %H:%M UTC')"
  local failed=() bench args
  for bench in receive oneshot driver_publish session receive_latency memory store topic_scale \
               failover json_parse batch quota exception sparkplug; do
    args=(--port "$BROKER_PORT")
    # These start brokers of their own (an unbounded queue; a restart; a cluster per round;
    # a quota-keeping one per subject); store needs none.
    case $bench in receive | session | failover | batch | quota | exception | sparkplug) args=() ;; esac
    # Each benchmark is bounded on its own; the session's (with a million values
    # through an outage) takes about 6 minutes, failover under a minute, the others a few each;
    # quota's four subjects at the broker's 100 values a second, each bounded to 300 s.
    local limit=300
    [ "$bench" = session ] && limit=720
    [ "$bench" = failover ] && limit=150
    [ "$bench" = quota ] && limit=1260
    if ! timeout "$limit" "build-bench/bench/bench_$bench" "${args[@]}" 2>"$dir/$bench.log"; then
      tail -n 20 "$dir/$bench.log" >&2
      failed+=("$bench")
    fi
  done
  kill "$BROKER_PID" 2>/dev/null || true
  wait "$BROKER_PID" 2>/dev/null || true
  BROKER_PID=""
  if [ ${#failed[@]} -ne 0 ]; then
    echo "== benchmarks that did not complete: ${failed[*]} (logs in $dir)" >&2
    exit 1
  fi
  echo "== done (README: bench/README.md tells how to read the figures)"
}

case "${1:-}" in
  test) cmd_test ;;
  build) cmd_build ;;
  cross) cmd_cross ;;
  fuzz) cmd_fuzz ;;
  demo) shift; cmd_demo "$@" ;;
  bench) cmd_bench ;;
  *) sed -n '2,10p' "$0"; exit 2 ;;
esac
