#!/usr/bin/env bash
# One entry point for every job; each installs what it needs on a fresh Debian 12 machine.
#   ./build.sh demo     build the Linux library and fb2cols, show the example books' columns
#   ./build.sh test     build every target and run every test suite
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)

say() { printf '\n== %s\n' "$*" >&2; }

# install Debian packages that are missing; apt-get update only when something is
need_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing ${missing[*]}"
    local sudo=
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

native_packages=(cmake ninja-build g++ pkg-config libexpat1-dev googletest libgtest-dev)

# configure (once) and build one preset
build_preset() {
    local preset=$1
    [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
}

run_tests() {
    local preset=$1
    ctest --preset "$preset" -j "$jobs"
}

cmd_demo() {
    need_packages "${native_packages[@]}"
    build_preset native
    say "the example books, through the loaded library"
    build/native/tools/fb2cols examples/books
}

cmd_test() {
    need_packages "${native_packages[@]}"
    say "native build"
    build_preset native
    run_tests native
}

case "${1:-}" in
demo) cmd_demo ;;
test) cmd_test ;;
*)
    sed -n '2,4p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
    ;;
esac
