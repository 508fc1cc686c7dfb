#!/usr/bin/env bash
# One entry point for every job; each installs what it needs on a fresh Debian 12 machine.
#   ./build.sh demo     build the Linux library and fb2cols, show the example books' columns
#   ./build.sh test     build every target and run every test suite
#   ./build.sh bench    build the native benchmarks and run them (add --big for the 300 MB book,
#                       --only fb2cols for fb2cols -j 1 against every core alone)
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
        say "benchmark: fb2cols on a library of 3,000 books, -j 1 against one thread per core"
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

# the posix-thread compilers (their libstdc++ has std::shared_mutex) and binutils for the export checks
win_build_packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
    binutils-mingw-w64-x86-64 googletest)

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

# ---- the Debian package for Linux users, built with dpkg-deb alone from the native build: fb2cols in
# /usr/bin, the library in /usr/lib/tovrel (where fb2cols looks when none lies beside it), the manual
# page, the README and the licence (as Debian's copyright file) in /usr/share/doc/tovrel

# the version: project(VERSION), as the native build's configure step wrote it out. Read back from
# there rather than parsed out of CMakeLists.txt, so it is the value CMake computed, and the build
# re-runs that step whenever CMakeLists.txt changes, so after a build it cannot be stale
cmake_version() {
    cat build/native/tovrel-version
}

# deb_package DIR: writes DIR/tovrel_VERSION_ARCH.deb
deb_package() {
    local out=$1 version arch stage glibc gcc
    version=$(cmake_version)
    arch=$(dpkg --print-architecture)
    stage=$(mktemp -d)
    chmod 755 "$stage" # the package's root, which dpkg -x gives to the folder it unpacks into
    mkdir -p "$out" "$stage/DEBIAN" "$stage/usr/bin" "$stage/usr/lib/tovrel" "$stage/usr/share/man/man1" \
        "$stage/usr/share/doc/tovrel"
    # (.comment too: the compiler's name and version, of no use at run time)
    strip -R .comment -o "$stage/usr/bin/fb2cols" build/native/tools/fb2cols
    strip -R .comment -o "$stage/usr/lib/tovrel/tovrel.wdx" build/native/plugin/tovrel.wdx
    chmod 755 "$stage/usr/bin/fb2cols"
    chmod 644 "$stage/usr/lib/tovrel/tovrel.wdx"
    gzip -9n <build/native/tools/fb2cols.1 >"$stage/usr/share/man/man1/fb2cols.1.gz"
    cp README.md "$stage/usr/share/doc/tovrel/README.md"
    { printf 'tovrel: FictionBook 2 columns for file managers\n\n'; cat LICENSE; } >"$stage/usr/share/doc/tovrel/copyright"
    # a native package's changelog, which Debian's policy asks of every package
    cat <<CHANGELOG | gzip -9n >"$stage/usr/share/doc/tovrel/changelog.gz"
tovrel ($version) unstable; urgency=medium

  * Release $version; the changes are in the project's git history.

 -- tovrel team <tovrel@example.org>  $(LC_ALL=C date -u -R -d "@${SOURCE_DATE_EPOCH:-$(date +%s)}")
CHANGELOG
    chmod 644 "$stage"/usr/share/man/man1/* "$stage"/usr/share/doc/tovrel/*
    # (folders as well as files: the umask would otherwise decide them, and lintian and the bytes with it)
    chmod -R u=rwX,go=rX "$stage/usr"
    # the newest C library symbol version the two files need, and the compiler that built them
    glibc=$(objdump -T "$stage/usr/bin/fb2cols" "$stage/usr/lib/tovrel/tovrel.wdx" |
        grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -1)
    gcc=$(g++ -dumpversion | cut -d. -f1)
    cat >"$stage/DEBIAN/control" <<CONTROL
Package: tovrel
Version: $version
Architecture: $arch
Maintainer: tovrel team <tovrel@example.org>
Installed-Size: $(du -sk "$stage/usr" | cut -f1)
Depends: libc6 (>= $glibc), libexpat1 (>= 2.4), libgcc-s1, libstdc++6 (>= $gcc)
Section: utils
Priority: optional
Description: FictionBook 2 metadata columns for file managers
 tovrel.wdx is a content plug-in that a file manager loads to show the genre,
 authors, title and series of FictionBook 2 (FB2) e-books as columns. fb2cols
 loads it as a file manager does and prints those columns for files and
 folders, as a table, TSV or JSON.
CONTROL
    (cd "$stage" && find usr -type f | sort | xargs md5sum >DEBIAN/md5sums)
    chmod -R u=rwX,go=rX "$stage/DEBIAN"
    dpkg-deb --root-owner-group --build "$stage" "$out/tovrel_${version}_${arch}.deb" >/dev/null
    rm -rf "$stage"
}

# deb_test DEB: unpacks the package into a scratch root and runs the fb2cols there on the example
# books; it must find the library it was installed with and print what the build's own prints
deb_test() {
    local deb=$1 root f
    root=$(mktemp -d)
    dpkg-deb --info "$deb" >/dev/null
    dpkg -x "$deb" "$root"
    for f in usr/bin/fb2cols usr/lib/tovrel/tovrel.wdx usr/share/man/man1/fb2cols.1.gz \
        usr/share/doc/tovrel/README.md usr/share/doc/tovrel/copyright; do
        [ -f "$root/$f" ] || { echo "deb_test: $deb lacks /$f" >&2; rm -rf "$root"; return 1; }
    done
    build/native/tools/fb2cols --tsv --why examples/books >"$root/want"
    if ! "$root/usr/bin/fb2cols" --tsv --why examples/books >"$root/got" || ! cmp -s "$root/want" "$root/got"; then
        echo "deb_test: the installed fb2cols printed otherwise than the build's:" >&2
        diff "$root/want" "$root/got" >&2 || true
        rm -rf "$root"
        return 1
    fi
    # the manual page renders without a warning
    if command -v groff >/dev/null; then
        if zcat "$root/usr/share/man/man1/fb2cols.1.gz" | groff -man -ww -z 2>&1 | grep .; then
            echo "deb_test: the manual page has warnings" >&2
            rm -rf "$root"
            return 1
        fi
    fi
    rm -rf "$root"
    say "$(basename "$deb"): unpacked, its fb2cols found its library and printed every example book"
}

# ---- the release files: both Windows DLLs and the Linux library, fb2cols for each (the Linux one with
# its manual page), README and licence, the Debian package, the Windows archive and SHA256SUMS

# the commit's time, for every tool that stamps a time into what it writes (strip into a PE header,
# dpkg-deb, zip): a given SOURCE_DATE_EPOCH first, then the commit, then 1980-01-01, a zip's first day
source_date_epoch() {
    if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
        echo "$SOURCE_DATE_EPOCH"
    elif command -v git >/dev/null && git -C "$root" rev-parse --verify -q HEAD >/dev/null; then
        git -C "$root" log -1 --format=%ct
    else
        echo 315532800
    fi
}

# the Windows archive's entries, in their order: pluginst.inf first, where an installer looks
zip_entries=(pluginst.inf tovrel.wdx tovrel.wdx64 fb2cols.exe fb2cols64.exe README.txt LICENSE.txt)

# windows_zip DIR: DIR/tovrel-VERSION-windows.zip from DIR's stripped Windows files. The README and
# licence go in as .txt with CRLF lines, which any Windows editor opens as they are. zip -X stores no
# owner and no extra times, TZ=UTC keeps the local time it writes the same everywhere, and every entry
# gets the commit's time: the same files give the same bytes
windows_zip() {
    local out version stage
    out=$(cd "$1" && pwd)
    version=$(cmake_version)
    stage=$(mktemp -d)
    cp build/win32/plugin/pluginst.inf "$stage/"
    cp "$out/tovrel.wdx" "$out/tovrel.wdx64" "$out/fb2cols.exe" "$out/fb2cols64.exe" "$stage/"
    sed 's/$/\r/' README.md >"$stage/README.txt"
    sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
    chmod 644 "$stage"/*
    touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*
    (cd "$stage" && TZ=UTC zip -X -9 -q "$out/tovrel-$version-windows.zip" "${zip_entries[@]}")
    rm -rf "$stage"
}

# dist_files DIR: builds the release files into DIR (emptied first)
dist_files() {
    local out=$1 preset sums
    need_packages "${native_packages[@]}" "${win_build_packages[@]}" zip
    for preset in native win32 win64; do
        say "$preset build of the library and fb2cols"
        [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
        cmake --build --preset "$preset" -j "$jobs" --target tovrel fb2cols
    done
    SOURCE_DATE_EPOCH=$(source_date_epoch)
    export SOURCE_DATE_EPOCH
    rm -rf "$out"
    mkdir -p "$out/linux-x86_64"
    # (mingw strip writes SOURCE_DATE_EPOCH into the PE header, else the time it runs)
    i686-w64-mingw32-strip -o "$out/tovrel.wdx" build/win32/plugin/tovrel.wdx
    i686-w64-mingw32-strip -o "$out/fb2cols.exe" build/win32/tools/fb2cols.exe
    x86_64-w64-mingw32-strip -o "$out/tovrel.wdx64" build/win64/plugin/tovrel.wdx64
    x86_64-w64-mingw32-strip -o "$out/fb2cols64.exe" build/win64/tools/fb2cols.exe
    strip -R .comment -o "$out/linux-x86_64/tovrel.wdx" build/native/plugin/tovrel.wdx
    strip -R .comment -o "$out/linux-x86_64/fb2cols" build/native/tools/fb2cols
    cp build/native/tools/fb2cols.1 "$out/linux-x86_64/"
    cp README.md LICENSE "$out/"
    deb_package "$out"
    windows_zip "$out"
    # (listed before the file exists: a find running beside the redirection could list it)
    sums=$(cd "$out" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | xargs -d '\n' sha256sum)
    printf '%s\n' "$sums" >"$out/SHA256SUMS"
}

fail_check() {
    echo "dist_check: $*" >&2
    return 1
}

# pe_version ARCH FILE FIELD: a string of FILE's version resource, as its UTF-16 text lies in the file
pe_version() {
    "$1-w64-mingw32-strings" -el "$2" | grep -A1 -x "$3" | sed -n 2p
}

# dist_check DIR: the release files in DIR are what a user installs: the archive holds exactly its
# entries with the commit's time, pluginst.inf and every binary carry CMake's version, SHA256SUMS
# verifies and covers every file, the package installs and runs and lintian finds no error in it
dist_check() {
    local out=$1 version zip f epoch times inf keys lines cpu name field want
    version=$(cmake_version)
    zip=$out/tovrel-$version-windows.zip
    epoch=$(source_date_epoch)
    need_packages unzip lintian
    [ -f "$zip" ] || fail_check "no $zip" || return 1
    unzip -tq "$zip" >/dev/null || fail_check "$zip does not test whole" || return 1
    [ "$(unzip -Z1 "$zip")" = "$(printf '%s\n' "${zip_entries[@]}")" ] ||
        fail_check "$zip holds [$(unzip -Z1 "$zip" | tr '\n' ' ')], not [${zip_entries[*]}]" || return 1
    for f in tovrel.wdx tovrel.wdx64 fb2cols.exe fb2cols64.exe; do
        unzip -p "$zip" "$f" | cmp -s - "$out/$f" || fail_check "the archive's $f is not dist's" || return 1
    done
    unzip -p "$zip" README.txt | tr -d '\r' | cmp -s - README.md || fail_check "README.txt is not README.md" || return 1
    # a zip keeps even seconds: zip rounds an odd one up
    times=$(zipinfo -T "$zip" | awk 'NF >= 8 && $1 ~ /^-/ {print $7}' | sort -u)
    [ "$times" = "$(TZ=UTC date -d "@$((epoch + epoch % 2))" +%Y%m%d.%H%M%S)" ] ||
        fail_check "entries dated [$times], not the commit's $(TZ=UTC date -d "@$epoch")" || return 1

    # pluginst.inf: CRLF lines, the section, exactly these keys, the version from CMake
    inf=$(unzip -p "$zip" pluginst.inf)
    lines=$(printf '%s\n' "$inf" | wc -l)
    [ "$(printf '%s\n' "$inf" | grep -c $'\r$')" -eq "$lines" ] || fail_check "pluginst.inf has lines without CR" || return 1
    inf=$(printf '%s\n' "$inf" | tr -d '\r')
    [ "$(printf '%s\n' "$inf" | head -n 1)" = "[plugininstall]" ] || fail_check "pluginst.inf does not open with [plugininstall]" || return 1
    keys=$(printf '%s\n' "$inf" | sed -n '2,$s/=.*//p' | tr '\n' ' ')
    [ "$keys" = "description type file defaultdir version " ] || fail_check "pluginst.inf has the keys [$keys]" || return 1
    for f in type=wdx file=tovrel.wdx defaultdir=tovrel "version=$version"; do
        printf '%s\n' "$inf" | grep -qx "$f" || fail_check "pluginst.inf lacks $f" || return 1
    done
    printf '%s\n' "$inf" | grep -qx 'description=..*' || fail_check "pluginst.inf has no description" || return 1

    # every Windows binary's version resource, and the Linux side's version
    for f in i686:tovrel.wdx x86_64:tovrel.wdx64 i686:fb2cols.exe x86_64:fb2cols64.exe; do
        cpu=${f%%:*} name=${f#*:}
        for field in FileVersion ProductVersion OriginalFilename ProductName; do
            case $field in
            OriginalFilename) want=$name ;;
            ProductName) want=tovrel ;;
            *) want=$version ;;
            esac
            [ "$(pe_version "$cpu" "$out/$name" "$field")" = "$want" ] ||
                fail_check "$name: $field is '$(pe_version "$cpu" "$out/$name" "$field")', not '$want'" || return 1
        done
        case $name in
        *.wdx*) pe_check "$cpu" "$out/$name" plugin/exports.txt ;;
        *) pe_check "$cpu" "$out/$name" ;;
        esac
    done
    [ "$("$out/linux-x86_64/fb2cols" --version)" = "fb2cols $version" ] || fail_check "fb2cols --version is not $version" || return 1
    grep -q "^\.TH FB2COLS 1 .*\"tovrel $version\"" "$out/linux-x86_64/fb2cols.1" || fail_check "the manual page's .TH lacks $version" || return 1

    # SHA256SUMS names every other file and verifies
    [ "$(cd "$out" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort)" = "$(sed 's/^[0-9a-f]*  //' "$out/SHA256SUMS")" ] ||
        fail_check "SHA256SUMS does not list exactly the files in $out" || return 1
    (cd "$out" && sha256sum --strict --quiet -c SHA256SUMS) || fail_check "SHA256SUMS does not verify" || return 1

    # the package: CMake's version, installed into a scratch root and run, and no lintian error
    [ -f "$out/tovrel_${version}_${arch}.deb" ] || fail_check "no tovrel_${version}_${arch}.deb" || return 1
    [ "$(dpkg-deb -f "$out/tovrel_${version}_${arch}.deb" Version)" = "$version" ] || fail_check "the package's version is not $version" || return 1
    deb_test "$out/tovrel_${version}_${arch}.deb"
    say "lintian on tovrel_${version}_${arch}.deb"
    lintian --fail-on error --display-info "$out/tovrel_${version}_${arch}.deb" >&2 || fail_check "lintian found errors (lines above)" || return 1
    say "$out: the archive, pluginst.inf, the version resources, SHA256SUMS and the package check out"
}

cmd_dist() {
    dist_files dist
    dist_check dist
    say "dist/"
    (cd dist && find . -type f | LC_ALL=C sort | xargs ls -l) >&2
}

# two copies of the commit (git archive, so nothing but what it holds) in folders of different names
# and depths under build/repro, ./build.sh dist in each, and every file compared; uncommitted changes
# are not part of it
cmd_repro() {
    need_packages git
    local commit epoch copy copies=(build/repro/one/tovrel build/repro/two/deeper/tovrel-again)
    commit=$(git rev-parse HEAD)
    epoch=$(git log -1 --format=%ct "$commit")
    [ -z "$(git status --porcelain --untracked-files=no)" ] || say "note: the tree has uncommitted changes; this checks $commit only"
    for copy in "${copies[@]}"; do
        say "./build.sh dist in $copy (commit $commit)"
        rm -rf "$copy"
        mkdir -p "$copy"
        git archive "$commit" | tar -x -C "$copy"
        (cd "$copy" && SOURCE_DATE_EPOCH=$epoch ./build.sh dist)
    done
    if ! diff -r "${copies[0]}/dist" "${copies[1]}/dist" >&2; then
        say "the two builds differ (lines above); diffoscope on a pair tells where"
        exit 1
    fi
    say "byte-identical: $(find "${copies[0]}/dist" -type f | wc -l) files in ${copies[0]}/dist and ${copies[1]}/dist"
    (cd "${copies[0]}/dist" && cat SHA256SUMS) >&2
}

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
