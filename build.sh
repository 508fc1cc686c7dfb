#!/usr/bin/env bash
# One entry point for every job; each installs what it needs on a fresh Debian 12 machine.
#   ./build.sh demo     build the Linux library and fb2cols, show the example books' columns
#   ./build.sh test     build every target and run every test suite
#   ./build.sh bench    build the native benchmark and run it (add --big for the 300 MB book)
#   ./build.sh fuzz [SECONDS]   run every fuzz target for SECONDS each (default 60) under ASan and UBSan
#   ./build.sh dist     build the release files into dist/ (both Windows DLLs, the Linux library, fb2cols)
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

# the suites where threads race each other, for the ThreadSanitizer build
tsan_tests='stress|racing'

cmd_test() {
    need_packages "${native_packages[@]}" "${sanitizer_packages[@]}"
    say "native build"
    build_preset native
    run_tests native
    say "AddressSanitizer and UndefinedBehaviorSanitizer build: every suite and the fuzz seeds, leaks checked at exit"
    build_preset asan
    run_tests asan
    say "ThreadSanitizer build: the suites where threads race"
    build_preset tsan
    ctest --preset tsan -j "$jobs" -R "$tsan_tests"
    test_windows
}

cmd_bench() {
    need_packages "${native_packages[@]}" "${bench_packages[@]}"
    say "native build of the benchmark"
    # configure every time: a folder set up before libxml2-dev was installed has no benchmark target
    cmake --preset native >/dev/null
    cmake --build --preset native -j "$jobs" --target tovrel_bench
    say "benchmark: the reader against Expat alone, libxml2 and memchr"
    build/native/bench/tovrel_bench "$@"
}

# One target at a time, one process each (the machine is shared). New inputs go to build/fuzz/corpus/<target>,
# crashes to build/fuzz/artifacts/<target>; the seeds in the tree are read, never written.
fuzz_targets=(document int_parse entry image_filter)

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
        document | image_filter) seeds+=(examples/books) ;;
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

# ---- Windows: mingw-w64 cross builds, their suites run under Wine

# the posix-thread compilers (their libstdc++ has std::shared_mutex) and binutils for the export checks
win_build_packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
    binutils-mingw-w64-x86-64 googletest)

# Wine for the test programs (32-bit Wine is an i386 package) and the locales the code-page tests start it in
win_packages() {
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        say "enabling the i386 architecture for 32-bit Wine"
        if [ "$(id -u)" -eq 0 ]; then dpkg --add-architecture i386; else sudo dpkg --add-architecture i386; fi
    fi
    need_packages "${win_build_packages[@]}" wine wine64 wine32:i386 locales
}

# pe_check ARCH FILE [EXPORTS]: FILE imports only system DLLs, and exports exactly what EXPORTS lists
pe_check() {
    cmake -DOBJDUMP="$1-w64-mingw32-objdump" -DFILE="$2" ${3:+-DEXPORTS="$3"} -P cmake/check-pe.cmake
}

# 32-bit Wine needs a kernel that runs i386 programs, which not every machine has; the loader printing
# its version proves little (qemu-user can do that much), so a built test program must list its tests
wine32_runs() {
    timeout 600 cmake/wine-run /usr/lib/wine/wine "$root/build/win32/wine" build/win32/tests/unicode_tests.exe \
        --gtest_list_tests >/dev/null 2>&1
}

test_windows() {
    win_packages
    say "win64 build"
    build_preset win64
    say "win64 suites under Wine"
    ctest --preset win64 -j "$jobs"
    say "win32 build"
    build_preset win32
    if wine32_runs; then
        say "win32 suites under Wine"
        ctest --preset win32 -j "$jobs"
    else
        # (CTest itself cannot start there: listing the suites' tests already needs Wine)
        say "32-bit Wine cannot run here (this kernel does not execute i386 programs): win32 gets its export and import checks only"
        pe_check i686 build/win32/plugin/tovrel.wdx plugin/exports.txt
        pe_check i686 build/win32/tools/fb2cols.exe
    fi
}

# dist/: both Windows DLLs and the Linux library, fb2cols for each, README and licence; debug info stripped
cmd_dist() {
    need_packages "${native_packages[@]}" "${win_build_packages[@]}"
    local preset
    for preset in native win32 win64; do
        say "$preset build of the library and fb2cols"
        [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
        cmake --build --preset "$preset" -j "$jobs" --target tovrel fb2cols
    done
    rm -rf dist
    mkdir -p dist/linux-x86_64
    i686-w64-mingw32-strip -o dist/tovrel.wdx build/win32/plugin/tovrel.wdx
    i686-w64-mingw32-strip -o dist/fb2cols.exe build/win32/tools/fb2cols.exe
    x86_64-w64-mingw32-strip -o dist/tovrel.wdx64 build/win64/plugin/tovrel.wdx64
    x86_64-w64-mingw32-strip -o dist/fb2cols64.exe build/win64/tools/fb2cols.exe
    strip -o dist/linux-x86_64/tovrel.wdx build/native/plugin/tovrel.wdx
    strip -o dist/linux-x86_64/fb2cols build/native/tools/fb2cols
    cp README.md LICENSE dist/
    pe_check i686 dist/tovrel.wdx plugin/exports.txt
    pe_check x86_64 dist/tovrel.wdx64 plugin/exports.txt
    say "dist/"
    (cd dist && find . -type f | sort | xargs ls -l) >&2
}

case "${1:-}" in
demo) cmd_demo ;;
test) cmd_test ;;
dist) cmd_dist ;;
bench)
    shift
    cmd_bench "$@"
    ;;
fuzz)
    shift
    cmd_fuzz "$@"
    ;;
*)
    sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
    ;;
esac
