# The release steps of ./build.sh: the Debian package, the Windows archive, SHA256SUMS and their checks,
# and the reproducibility check. Sourced by build.sh, which is the one entry point (./build.sh dist,
# ./build.sh repro, and the last step of ./build.sh test); it uses build.sh's helpers (say,
# need_packages, pe_check, the package lists) and runs from the project's root.

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
        "$stage/usr/share/doc/tovrel" "$stage/usr/share/lintian/overrides"
    # (.comment too: the compiler's name and version, of no use at run time)
    strip -R .comment -o "$stage/usr/bin/fb2cols" build/native/tools/fb2cols
    strip -R .comment -o "$stage/usr/lib/tovrel/tovrel.wdx" build/native/plugin/tovrel.wdx
    chmod 755 "$stage/usr/bin/fb2cols"
    chmod 644 "$stage/usr/lib/tovrel/tovrel.wdx"
    gzip -9n <build/native/tools/fb2cols.1 >"$stage/usr/share/man/man1/fb2cols.1.gz"
    cp README.md "$stage/usr/share/doc/tovrel/README.md"
    { printf 'tovrel: FictionBook 2 columns for file managers\n\n'; cat LICENSE; } >"$stage/usr/share/doc/tovrel/copyright"
    # a native package's changelog, which Debian's policy asks of every package. The project has no
    # address of its own, so the maintainer is its name alone (no made-up address): dpkg takes the field
    # as it is, and lintian, which wants an address there, is told so
    cat <<CHANGELOG | gzip -9n >"$stage/usr/share/doc/tovrel/changelog.gz"
tovrel ($version) unstable; urgency=medium

  * Release $version; the changes are in the project's git history.

 -- tovrel  $(LC_ALL=C date -u -R -d "@${SOURCE_DATE_EPOCH:-$(date +%s)}")
CHANGELOG
    cat >"$stage/usr/share/lintian/overrides/tovrel" <<OVERRIDES
# the project's name alone, in the control file and the changelog's trailer: it has no contact
# address, and makes none up
tovrel: malformed-contact Maintainer tovrel
tovrel: syntax-error-in-debian-changelog "badly formatted trailer line" [usr/share/doc/tovrel/changelog.gz:5]
tovrel: syntax-error-in-debian-changelog "found eof where expected more change data or trailer" [usr/share/doc/tovrel/changelog.gz:6]
OVERRIDES
    chmod 644 "$stage"/usr/share/man/man1/* "$stage"/usr/share/doc/tovrel/* "$stage"/usr/share/lintian/overrides/*
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
Maintainer: tovrel
Installed-Size: $(du -sk "$stage/usr" | cut -f1)
Depends: libc6 (>= $glibc), libexpat1 (>= 2.4), libgcc-s1, libstdc++6 (>= $gcc)
Section: utils
Priority: optional
Description: FictionBook 2 metadata columns for file managers
 tovrel.wdx is a content plug-in that a file manager loads to show the genre,
 authors, title and series of FictionBook 2 (FB2) e-books as columns. fb2cols
 loads it as a file manager does and prints those columns for files, folders
 and zip archives, as a table, TSV, JSON or JSON Lines.
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
    # the commit's time before the builds, which date the manual page with it
    SOURCE_DATE_EPOCH=$(source_date_epoch)
    export SOURCE_DATE_EPOCH
    for preset in native win32 win64; do
        say "$preset build of the library and fb2cols"
        [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
        cmake --build --preset "$preset" -j "$jobs" --target tovrel fb2cols
    done
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
