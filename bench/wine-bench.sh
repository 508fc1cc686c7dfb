#!/usr/bin/env bash
# The Windows DLLs under Wine, each read in a fresh process (so its peak resident set is its own), after
# a small book has loaded the document object:
#   bench/wine-bench.sh [ROUNDS]
# - the 300 MB book (four 75 MB images, the values at the top) against the same book with the text no
#   query reaches already left out, and a book whose 75 MB image is one line;
# - the real books beside the checkout: through the DLL, through the same document object given every
#   byte (the filter off), and through the DLL on the yardstick's copies (the books cut to their prolog,
#   root tags and description).
# Growth is the peak resident set after the read less the resident set before it. The 32-bit DLL runs
# where the kernel runs i386 programs. No test asserts these numbers; the table marks the goals.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}
jobs=2

presets=(win64)
if timeout 600 cmake/wine-run /usr/lib/wine/wine "$PWD/build/win32/wine" cmd /c exit 2>/dev/null; then presets=(win32 win64); fi
for preset in "${presets[@]}"; do
    [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs" --target tovrel tovrel_wine_bench >/dev/null
done
corpus=$(cd .. && pwd)/shared/corpus/real

scratch=$(mktemp -d /tmp/tovrel-wine-bench.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
# Wine's Z: drive is the root of the file system
winpath() { printf 'Z:%s' "${1//\//\\}"; }

run() { # PRESET ARGS...: the bench program of that build under its Wine
    local preset=$1 loader=/usr/lib/wine/wine
    shift
    [ "$preset" = win64 ] && loader=/usr/lib/wine/wine64
    cmake/wine-run "$loader" "$PWD/build/$preset/wine" "build/$preset/bench/tovrel_wine_bench.exe" "$@"
}

echo "writing the books..." >&2
run win64 write "$(winpath "$scratch")" >"$scratch/sizes"
if [ -d "$corpus" ]; then
    [ -f build/native/CMakeCache.txt ] || cmake --preset native >/dev/null
    cmake --build --preset native -j "$jobs" --target tovrel_bench >/dev/null
    build/native/bench/tovrel_bench --yardstick-copies "$corpus" "$scratch/yardstick"
fi

median() { sort -n | sed -n "$((($(wc -l) + 1) / 2))p"; }
field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p"; }

# MEASURE ARGS...: the median of the rounds' seconds and the largest growth, and what was read
measure() {
    local k line seconds=() growths=() what=
    for ((k = 0; k < rounds; ++k)); do
        line=$(run "$@")
        seconds+=("$(field seconds <<<"$line")")
        growths+=("$(field growth <<<"$line")")
        what=$(field title <<<"$line")$(field values <<<"$line")
    done
    printf '%s %s %s\n' "$(printf '%s\n' "${seconds[@]}" | sort -n | sed -n "$(((rounds + 1) / 2))p")" \
        "$(printf '%s\n' "${growths[@]}" | sort -n | tail -1)" "$what"
}

size_mb() { awk -v n="$1" '$1 == n { printf "%.1f", $2 / 1e6 }' "$scratch/sizes"; }
verdict() { awk -v v="$1" -v op="$2" -v g="$3" 'BEGIN { print ((op == "<" ? v < g : v >= g) ? "PASS" : "MISS") }'; }

printf '\nCold reads through ContentGetValueW under %s (median of %d rounds; growth: the most)\n' \
    "$(wine --version 2>/dev/null || echo Wine)" "$rounds"
printf '%-8s %-28s %9s %9s %12s  %s\n' DLL book MB seconds "growth MiB" read
targets=()
tiny=$(winpath "$scratch/tiny.fb2")
for preset in "${presets[@]}"; do
    dll=build/$preset/plugin/tovrel.wdx
    [ "$preset" = win64 ] && dll=build/$preset/plugin/tovrel.wdx64
    for book in huge-stripped.fb2 huge.fb2 one-line.fb2; do
        read -r s g t <<<"$(measure "$preset" read "$dll" "$tiny" "$(winpath "$scratch/$book")")"
        printf '%-8s %-28s %9s %9s %12s  %s\n' "$preset" "$book" "$(size_mb "$book")" "$s" "$g" "$t"
        if [ "$book" = one-line.fb2 ]; then
            targets+=("$preset, a 75 MB image on one line, $s s (goal < 3)|$(verdict "$s" "<" 3)")
            targets+=("$preset, a 75 MB image on one line, growth $g MiB (goal < 32)|$(verdict "$g" "<" 32)")
        fi
    done
    if [ -d "$corpus" ]; then
        read -r with _ v1 <<<"$(measure "$preset" corpus "$dll" "$tiny" "$(winpath "$corpus")")"
        read -r without _ v2 <<<"$(measure "$preset" corpus "$dll" "$tiny" "$(winpath "$corpus")" unfiltered)"
        read -r yard _ v3 <<<"$(measure "$preset" corpus "$dll" "$tiny" "$(winpath "$scratch/yardstick")")"
        printf '%-8s %-28s %9s %9s %12s  %s values\n' "$preset" "real corpus" "" "$with" "" "$v1"
        printf '%-8s %-28s %9s %9s %12s  %s values\n' "$preset" "real corpus, the filter off" "" "$without" "" "$v2"
        printf '%-8s %-28s %9s %9s %12s  %s values\n' "$preset" "real corpus, yardstick copies" "" "$yard" "" "$v3"
        ratio=$(awk -v a="$without" -v b="$with" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
        over=$(awk -v a="$with" -v b="$yard" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
        targets+=("$preset, real corpus, the filter off / on: ${ratio}x (goal >= 3)|$(verdict "$ratio" ">=" 3)")
        targets+=("$preset, real corpus, DLL / yardstick: ${over}x (goal < 1.5)|$(verdict "$over" "<" 1.5)")
    fi
done
printf '\nTargets\n'
for t in "${targets[@]}"; do printf '%-64s %s\n' "${t%|*}" "${t#*|}"; done
