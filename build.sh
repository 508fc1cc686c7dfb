#!/usr/bin/env bash
# One entry point for every job; each installs what it needs on a fresh Debian 12 machine.
#   ./build.sh demo     build the Linux library and fb2cols, show the example books' columns
#   ./build.sh test     build every target and run every test suite
#   ./build.sh bench    build the native benchmark and run it (add --big for the 300 MB book)
#   ./build.sh fuzz [SECONDS]   run every fuzz target for SECONDS each (default 60) under ASan and UBSan
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

native_packages=(cmake ninja-build g++ pkg-config libexpat1-dev googletest libgtest-dev valgrind)

# the benchmark's baseline only; the library never links libxml2
bench_packages=(libxml2-dev)

# clang with libFuzzer and the sanitizer runtimes; the tests of sanitized builds compile gtest from its sources
sanitizer_packages=(clang libclang-rt-14-dev libfuzzer-14-dev)

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

# One target at a time, one process each (the machine is shared). New inputs go to build/fuzz/corpus/<target>,
# crashes to build/fuzz/artifacts/<target>; the seeds in the tree are read, never written.
fuzz_targets=(document int_parse entry)

fuzz_seed_entry() {
    # the entry target's input is FieldIdx and BufSize (int32 LE) and then the file: wrap the example books
    local dir=$1 book name
    mkdir -p "$dir"
    for book in examples/books/*.fb2; do
        name=$(basename "$book" .fb2)
        { printf '\003\000\000\000\000\001\000\000'; cat "$book"; } >"$dir/$name-title-256"
        { printf '\001\000\000\000\011\000\000\000'; cat "$book"; } >"$dir/$name-aut_f-9"
        { printf '\005\000\000\000\004\000\000\000'; cat "$book"; } >"$dir/$name-seq_n-4"
    done
}

cmd_fuzz() {
    local seconds=${1:-60} failed=() target
    need_packages cmake ninja-build libexpat1-dev "${sanitizer_packages[@]}"
    say "fuzz build (clang, libFuzzer, ASan, UBSan)"
    build_preset fuzz
    fuzz_seed_entry build/fuzz/seeds/entry
    for target in "${fuzz_targets[@]}"; do
        local corpus=build/fuzz/corpus/$target artifacts=build/fuzz/artifacts/$target
        local seeds=(fuzz/seeds/$target) options=(-max_len=65536 -dict=fuzz/fb2.dict)
        mkdir -p "$corpus" "$artifacts"
        case $target in
        document) seeds+=(examples/books) ;;
        entry) seeds+=(build/fuzz/seeds/entry) ;;
        int_parse) options=(-max_len=64) ;;
        esac
        say "fuzzing $target for ${seconds}s"
        if ! build/fuzz/fuzz/${target}_fuzzer "${options[@]}" -max_total_time="$seconds" -timeout=10 \
            -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "${seeds[@]}" \
            2>"build/fuzz/$target.log"; then
            failed+=("$target")
        fi
        # the last status line (executions, coverage, features, corpus) and the speed
        grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec)' \
            "build/fuzz/$target.log" >&2 || true
    done
    if [ ${#failed[@]} -gt 0 ]; then
        say "fuzzing found faults in: ${failed[*]} (inputs in build/fuzz/artifacts, logs in build/fuzz/*.log)"
        exit 1
    fi
}

case "${1:-}" in
demo) cmd_demo ;;
test) cmd_test ;;
bench)
    shift
    cmd_bench "$@"
    ;;
fuzz)
    shift
    cmd_fuzz "$@"
    ;;
*)
    sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
    ;;
esac
