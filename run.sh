#!/usr/bin/env bash
# One script for every job on this project. Each command sets up what it needs
# on a fresh Debian 12 machine (packages through apt-get, then the build).
#
#   ./run.sh test    build with AddressSanitizer and UndefinedBehaviorSanitizer and run every test
#   ./run.sh build   plain build into build/ (the demo and the tools use it)
#   ./run.sh cross   cross build for 64-bit Windows into build-win/ (plug-in DLL, programs, host DLL)
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}

PACKAGES=(cmake g++ make pkg-config libmosquitto-dev mosquitto nlohmann-json3-dev libgtest-dev
          libbenchmark-dev openssl binutils)

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
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  echo "== build with AddressSanitizer and UndefinedBehaviorSanitizer"
  configure_build build-asan -DCMAKE_BUILD_TYPE=Debug -DKRO_SANITIZE=address,undefined
  echo "== tests"
  (cd build-asan && ctest -j "$JOBS" --output-on-failure --timeout 600)
}

cmd_cross() {
  install_packages "${PACKAGES[@]}" g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  echo "== cross build for 64-bit Windows"
  configure_build build-win -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DKRO_BUILD_TESTS=OFF
  find build-win -maxdepth 3 \( -name '*.dll' -o -name '*.exe' \) -not -path '*/CMakeFiles/*' | sort
}

case "${1:-}" in
  test) cmd_test ;;
  build) cmd_build ;;
  cross) cmd_cross ;;
  *) sed -n '2,8p' "$0"; exit 2 ;;
esac
