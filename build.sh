#!/usr/bin/env bash
# One entry point for every job; each installs what it needs on a fresh Debian 12 machine.
#   ./build.sh demo     build the Linux library and fb2cols, show the example books' columns
#   ./build.sh test     build every target and run every test suite
#   ./build.sh bench    build the native benchmark and run it (add --big for the 300 MB book)
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

# the benchmark's baseline only; the library never links libxml2
bench_packages=(libxml2-dev)

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

cmd_bench() {
    need_packages "${native_packages[@]}" "${bench_packages[@]}"
    say "native build of the benchmark"
    [ -f build/native/CMakeCache.txt ] || cmake --preset native >/dev/null
    cmake --build --preset native -j "$jobs" --target tovrel_bench
    say "benchmark: the reader against Expat alone, libxml2 and memchr"
    build/native/bench/tovrel_bench "$@"
}

case "${1:-}" in
demo) cmd_demo ;;
test) cmd_test ;;
bench)
    shift
    cmd_bench "$@"
    ;;
*)
    sed -n '2,5p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
    ;;
esac
