#!/usr/bin/env bash
# One entry point for every job; each installs what it needs on a fresh Debian 12 machine.
#   ./build.sh demo     build the Linux library and fb2cols, show the example books' columns
#   ./build.sh test     build every target and run every test suite
#   ./build.sh bench    build the native benchmarks and run them (add --big for the 300 MB book,
#                       --only fb2cols for fb2cols alone: -j 1 against every core, zipped against plain)
#   ./build.sh fuzz [SECONDS]   run every fuzz target for SECONDS each (default 60) under ASan and UBSan
#   ./build.sh dist     build the release files into dist/ (both Windows DLLs, the Linux library, fb2cols,
#                       its manual page, the Debian package, the Windows archive, SHA256SUMS) and check them
#   ./build.sh repro    run dist in two fresh copies of the commit and compare the files byte for byte
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)

say() { printf '\n== %s\n' "$*" >&2; }

apt_get() {
    if [ "$(id -u)" -eq 0 ]; then apt-get "$@"; else sudo apt-get "$@"; fi
}

# apt-get update, again after a pause when an index fails to download: a mirror caught in the middle
# of a sync serves a list whose size does not match its release file for a minute or two. If one
# still fails, go on with the lists apt has: the install that needs the missing one fails and says so.
apt_update() {
    local try
    for try in 1 2 3 4; do
        apt_get update -q && return 0
        [ "$try" -eq 4 ] && break
        say "apt-get update failed (try $try of 4); trying again in $((try * 10)) s"
        sleep $((try * 10))
    done
    say "apt-get update failed 4 times; going on with the package lists apt has"
}

# install Debian packages that are missing; apt-get update only when something is
need_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing ${missing[*]}"
    apt_update
    DEBIAN_FRONTEND=noninteractive apt_get install -y -q --no-install-recommends "${missing[@]}"
}

# (zlib: fb2cols inflates the books in zip archives and gzip files)
native_packages=(cmake ninja-build g++ pkg-config libexpat1-dev zlib1g-dev googletest libgtest-dev valgrind)

# the benchmark's baseline only (the library never links libxml2), and zip for fb2cols's zipped library
bench_packages=(libxml2-dev zip)

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
    [ -f build/native/CMakeCache.txt ] || cmake --preset native >/dev/null
    # only what the demo runs: the library and the host
    cmake --build --preset native -j "$jobs" --target tovrel fb2cols
    say "the example books, through the loaded library"
    build/native/tools/fb2cols examples/books
}

# the suites where threads race each other, for the ThreadSanitizer build
tsan_tests='stress|racing'

# ---- the native suites against every Expat Debian 12 ships: the installed one, the point release and
# the newest update, each fetched as a package and unpacked into the build folder (nothing installed)

arch=$(dpkg --print-architecture 2>/dev/null || echo amd64)

installed_expat() { dpkg-query -W -f='${Version}' "libexpat1:$arch" 2>/dev/null; }

# the point release (the main suite's version) and the newest update the machine's sources offer
debian_expats() {
    if [ -z "$(apt-cache madison libexpat1 2>/dev/null)" ]; then
        say "reading the package lists"
        apt_update >/dev/null
    fi
    { apt-cache madison libexpat1 | awk -v a="$arch" '$0 ~ a && /bookworm\/main/ {print $3; exit}'
      apt-cache policy libexpat1 | awk '/Candidate:/ {print $2}'; } | sort -u
}

# unpacks libexpat1 VERSION under build/expat/VERSION once; prints the folder holding libexpat.so.1
unpacked_expat() {
    local version=$1 dir=$root/build/expat/$1
    if [ ! -f "$dir/.unpacked" ]; then
        rm -rf "$dir" && mkdir -p "$dir/deb"
        (cd "$dir/deb" && apt-get download -q -o APT::Sandbox::User=root "libexpat1:$arch=$version" >/dev/null)
        dpkg -x "$dir"/deb/*.deb "$dir/root"
        touch "$dir/.unpacked"
    fi
    dirname "$(find "$dir/root" -name 'libexpat.so.1' | head -n 1)"
}

# native_suites LABEL [LIBDIR]: every native suite, against the Expat in LIBDIR (default: the installed
# one); the rows each case read go to build/native/transcripts/LABEL
native_suites() {
    local label=$1 libdir=${2:-} transcripts=$root/build/native/transcripts/$1
    rm -rf "$transcripts" && mkdir -p "$transcripts"
    say "native suites against Expat $label: $(LD_LIBRARY_PATH=$libdir build/native/tests/expat_version)"
    LD_LIBRARY_PATH=$libdir TOVREL_TRANSCRIPT_DIR=$transcripts ctest --preset native -j "$jobs"
}

cmd_test() {
    need_packages "${native_packages[@]}"
    say "native build"
    build_preset native
    local installed other libdir
    installed=$(installed_expat)
    native_suites "$installed"
    # the same answers and messages on every Expat a user of Debian 12 may have
    for other in $(debian_expats); do
        [ "$other" = "$installed" ] && continue
        libdir=$(unpacked_expat "$other")
        native_suites "$other" "$libdir"
        if ! diff -r "build/native/transcripts/$installed" "build/native/transcripts/$other" >&2; then
            say "the reader answers otherwise on Expat $other than on $installed (lines above)"
            exit 1
        fi
    done
    say "the Debian package, unpacked into a scratch root and run"
    rm -rf build/deb
    deb_package build/deb
    deb_test build/deb/tovrel_*.deb
    need_packages "${sanitizer_packages[@]}"
    say "AddressSanitizer and UndefinedBehaviorSanitizer build: every suite and the fuzz seeds, leaks checked at exit"
    build_preset asan
    run_tests asan
    say "ThreadSanitizer build: the suites where threads race"
    build_preset tsan
    ctest --preset tsan -j "$jobs" -R "$tsan_tests"
    test_windows
    say "the release files, into build/dist, and their checks"
    dist_files build/dist
    dist_check build/dist
}

cmd_bench() {
    need_packages "${native_packages[@]}" "${bench_packages[@]}"
    say "native build of the benchmark"
    # configure every time: a folder set up before libxml2-dev was installed has no benchmark target
    cmake --preset native >/dev/null
    cmake --build --preset native -j "$jobs" --target tovrel_bench fb2cols_bench
    # --only fb2cols runs the fb2cols row alone; an --only without it, the reader's table alone
    local only= rounds=() a prev=
    for a in "$@"; do
        [ "$prev" = --only ] && only=$a
        [ "$prev" = --rounds ] && rounds=(--rounds "$a")
        prev=$a
    done
    if [ "$only" != fb2cols ]; then
        say "benchmark: the reader against Expat alone, libxml2 and memchr"
        build/native/bench/tovrel_bench "$@"
    fi
    if [ -z "$only" ] || [[ $only == *fb2cols* ]]; then
        say "benchmark: fb2cols on a library of 3,000 books, -j 1 against one thread per core, zipped against plain"
        build/native/bench/fb2cols_bench "${rounds[@]}"
    fi
}

# One target at a time, one process each (the machine is shared). New inputs go to build/fuzz/corpus/<target>,
# crashes to build/fuzz/artifacts/<target>; the seeds in the tree are read, never written.
fuzz_targets=(document int_parse entry reach_filter)

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
        document | reach_filter) seeds+=(examples/books) ;;
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

# the posix-thread compilers (their libstdc++ has std::shared_mutex), binutils for the export checks,
# and zlib for both (linked statically into fb2cols.exe)
win_build_packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
    binutils-mingw-w64-x86-64 libz-mingw-w64-dev googletest)

# Wine for the test programs (32-bit Wine is an i386 package) and the locales the code-page tests start it in
win_packages() {
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        say "enabling the i386 architecture for 32-bit Wine"
        if [ "$(id -u)" -eq 0 ]; then dpkg --add-architecture i386; else sudo dpkg --add-architecture i386; fi
    fi
    if ! need_packages "${win_build_packages[@]}" wine wine64 wine32:i386 locales; then
        # (an i386 list the mirror would not serve, say): without 32-bit Wine the win32 build gets
        # its export and import checks only, as on a kernel that runs no i386 programs
        say "32-bit Wine could not be installed (lines above): going on without it"
        need_packages "${win_build_packages[@]}" wine wine64 locales
    fi
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
        say "32-bit Wine cannot run here (not installed, or this kernel does not execute i386 programs): win32 gets its export and import checks only"
        pe_check i686 build/win32/plugin/tovrel.wdx plugin/exports.txt
        pe_check i686 build/win32/tools/fb2cols.exe
    fi
}

# ---- the release files and their checks live beside this script
# shellcheck source=release.sh
. "$root/release.sh"

case "${1:-}" in
demo) cmd_demo ;;
test) cmd_test ;;
dist) cmd_dist ;;
repro) cmd_repro ;;
bench)
    shift
    cmd_bench "$@"
    ;;
fuzz)
    shift
    cmd_fuzz "$@"
    ;;
*)
    sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
    ;;
esac
