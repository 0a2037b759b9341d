#!/usr/bin/env bash
# velmora-cli correcting COUNT (default 8) Bayer DNGs of 6000 x 4000 by a raw profile, to DNG,
# JOBS (default 2) at a time, against reading them with LibRaw and writing them with libtiff
# alone, the same number at a time; with the peak memory of each. Goal: at most 1.3x.
#
#   bench/cli/raw_throughput.sh [BUILD_DIR] [JOBS] [COUNT]
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
jobs="${2:-2}"
count="${3:-8}"
cli="$build/cli/velmora-cli"
dngs="$build/bench/cli/velmora_raw_dngs"
source "$root/bench/bench_common.sh"
make_scratch raw
mkdir -p "$out"

echo "Making $count DNGs of 6000 x 4000 and a card in $work ..."
"$dngs" make "$work" "$count" 6000 4000
"$cli" tune "$work/card.dng" --profile "$work/lens.tif" >/dev/null
lights=("$work"/light-*.dng)

# Seconds and peak memory (MB) of one run, its outputs emptied first.
timed() {
    rm -rf "$out"/*
    sync
    local start
    start=$(now)
    /usr/bin/time -f "%M" -o "$work/rss" "$@" >/dev/null
    echo "$(seconds "$start" "$(now)") $(( $(cat "$work/rss") / 1024 ))"
}
best() {  # the fastest of three
    local a b c
    a=$(timed "$@"); b=$(timed "$@"); c=$(timed "$@")
    printf '%s\n%s\n%s\n' "$a" "$b" "$c" | sort -n | head -1
}
read -r copy_s copy_mb < <(best "$dngs" copy "$out" "$jobs" "${lights[@]}")
read -r cli_s cli_mb < <(best "$cli" filter --profile "$work/lens.tif" --jobs "$jobs" --quiet \
    --output-dir "$out" "${lights[@]}")
written=$(find "$out" -name '*.dng' | wc -l)
[[ "$written" -eq "$count" ]] || { echo "velmora-cli wrote $written of $count DNGs" >&2; exit 1; }

awk -v n="$count" -v j="$jobs" -v c="$copy_s" -v cm="$copy_mb" -v f="$cli_s" -v fm="$cli_mb" 'BEGIN {
    printf "\n%d Bayer DNGs of 6000 x 4000 (14 bits), %d at a time (best of 3)\n", n, j
    printf "  %-44s %7.3f s  peak %5d MB\n", "LibRaw read + libtiff DNG write alone", c, cm
    printf "  %-44s %7.3f s  peak %5d MB\n", "velmora-cli filter --profile (raw), to DNG", f, fm
    printf "\n  velmora-cli / read and write alone:   %5.2fx  (goal: at most 1.3x)  %s\n", f / c, (f / c <= 1.3 ? "met" : "NOT met")
}'
