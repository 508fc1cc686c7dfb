#!/usr/bin/env bash
# The 300 MB book (four 75 MB images, the values at the top) through the 32-bit and the 64-bit DLL
# under Wine, against the same book with its images already filtered out, in the same run:
#   bench/wine-big-book.sh [ROUNDS]
# Each read is a fresh process (so its peak resident set is its own), after a small book has loaded
# the document object. Growth is the peak resident set after the read less the resident set before
# it. No test asserts these numbers; the table marks the targets PASS or MISS.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}
jobs=2

for preset in win32 win64; do
    [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs" --target tovrel tovrel_wine_bench >/dev/null
done

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

# the median of the rounds' seconds and the largest growth, for one DLL and one book
measure() {
    local preset=$1 dll=$2 book=$3 k line
    local seconds=() growths=() title=
    for ((k = 0; k < rounds; ++k)); do
        line=$(run "$preset" read "$dll" "$(winpath "$scratch/tiny.fb2")" "$(winpath "$scratch/$book")")
        seconds+=("$(sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' <<<"$line")")
        growths+=("$(sed -n 's/.*growth=\([0-9.-]*\).*/\1/p' <<<"$line")")
        title=$(sed -n 's/.*title=\([^ ]*\).*/\1/p' <<<"$line")
    done
    printf '%s %s %s\n' "$(printf '%s\n' "${seconds[@]}" | sort -n | sed -n "$(((rounds + 1) / 2))p")" \
        "$(printf '%s\n' "${growths[@]}" | sort -n | tail -1)" "$title"
}

size_mb() { awk -v n="$1" '$1 == n { printf "%.1f", $2 / 1e6 }' "$scratch/sizes"; }

printf '\nOne cold read of field 3 through ContentGetValueW under %s (median of %d rounds; growth: the most)\n' \
    "$(wine --version 2>/dev/null || echo Wine)" "$rounds"
printf '%-8s %-20s %9s %9s %12s  %s\n' DLL book MB seconds "growth MiB" title
targets=()
for preset in win32 win64; do
    dll=build/$preset/plugin/tovrel.wdx
    [ "$preset" = win64 ] && dll=build/$preset/plugin/tovrel.wdx64
    read -r base_s base_g base_t <<<"$(measure "$preset" "$dll" huge-stripped.fb2)"
    read -r big_s big_g big_t <<<"$(measure "$preset" "$dll" huge.fb2)"
    printf '%-8s %-20s %9s %9s %12s  %s\n' "$preset" "huge-stripped.fb2" "$(size_mb huge-stripped.fb2)" "$base_s" "$base_g" "$base_t"
    printf '%-8s %-20s %9s %9s %12s  %s\n' "$preset" "huge.fb2" "$(size_mb huge.fb2)" "$big_s" "$big_g" "$big_t"
    [ "$big_t" = "$base_t" ] || targets+=("$preset: the two books gave different titles|MISS")
    ratio=$(awk -v a="$big_s" -v b="$base_s" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
    printf '  %s: the big book takes %sx the time of its images-free twin\n' "$preset" "$ratio"
    if [ "$preset" = win32 ]; then
        targets+=("win32, huge.fb2, seconds $big_s (goal < 10)|$(awk -v s="$big_s" 'BEGIN { print (s < 10 ? "PASS" : "MISS") }')")
        targets+=("win32, huge.fb2, growth $big_g MiB (goal < 64)|$(awk -v g="$big_g" 'BEGIN { print (g < 64 ? "PASS" : "MISS") }')")
    fi
done
printf '\nTargets\n'
for t in "${targets[@]}"; do printf '%-56s %s\n' "${t%|*}" "${t#*|}"; done
