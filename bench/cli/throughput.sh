#!/usr/bin/env bash
# Throughput of `velmora-cli filter` on 100 JPEGs of 1600 x 1200, against
#   (a) just decoding them with the same decoder, the same number at a time, and
#   (b) ImageMagick doing the same saturating add, one process per picture.
# Goals: filter time within 1.5x of decode-only; at least 8x ImageMagick's throughput.
#
#   bench/cli/throughput.sh [BUILD_DIR] [JOBS] [COUNT]
#
# BUILD_DIR defaults to "build" (needs velmora-cli, velmora_decode_only, velmora_make_pictures);
# JOBS to the number of cores; COUNT to 100. The pictures go to a temporary folder, removed after.
# Then profile_throughput.sh times the lens profile path on PHOTO_COUNT (default 12) photographs
# of 24 megapixels; PHOTO_COUNT=0 leaves that part out. Last, library_throughput.sh times choosing
# and blending among a library of lens profiles on LIBRARY_COUNT (default 30) such photographs;
# LIBRARY_COUNT=0 leaves it out. Then large_pictures.sh times an 81-megapixel JPEG and a
# 20000 x 20000 16-bit TIFF; LARGE=0 leaves it out. raw_throughput.sh times RAW_COUNT (default 8)
# Bayer DNGs of 24 megapixels to DNG; RAW_COUNT=0 leaves it out.
# calibration/calibration_speed.sh times a median master of CALIBRATION_FRAMES (default 16) FITS
# frames of 24 megapixels against Siril, and calibrating lights against ccdproc; 0 leaves it out.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
jobs="${2:-$(nproc)}"
count="${3:-100}"
cli="$build/cli/velmora-cli"
decode="$build/bench/cli/velmora_decode_only"
make_pictures="$build/bench/cli/velmora_make_pictures"
# /usr/local/bin may hold a stand-in of that name; the benchmark needs the real one.
magick=/usr/bin/convert

for tool in "$cli" "$decode" "$make_pictures" "$magick"; do
    [[ -x "$tool" ]] || { echo "missing $tool; build the cli targets first" >&2; exit 2; }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-throughput.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/pictures" "$work/velmora" "$work/magick"

source "$root/bench/bench_common.sh"

echo "Making $count pictures of 1600 x 1200 in $work ..."
"$make_pictures" "$work/pictures" "$count" 1600 1200
pictures=("$work"/pictures/picture-*.jpg)

# The map, tuned on the darkened reference; its preview is the map as a picture for ImageMagick.
(cd "$work" && "$cli" tune pictures/reference.png --preview map.bmp >/dev/null)

# Warm the page cache, so that no contender pays for the first read from disk.
cat "${pictures[@]}" >/dev/null

run_decode() { "$decode" --jobs "$jobs" "${pictures[@]}"; }
decode_time=$(median_of_3 "" run_decode)

# Each output replaces its name in one rename and the batch flushes them to disk at its end, so
# on a slow disk the writes set the pace. The same run with the outputs in memory (tmpfs) shows
# the program's own cost.
run_filter() {
    "$cli" filter --quiet --map "$work/data.dat" --jobs "$jobs" --output-dir "$1" "${pictures[@]}"
}
filter_time=$(median_of_3 "$work/velmora" run_filter "$work/velmora")

memory_time=""
if [[ -d /dev/shm && -w /dev/shm ]]; then
    memory_out="$(mktemp -d /dev/shm/velmora-throughput.XXXXXX)"
    trap 'rm -rf "$work" "$memory_out"' EXIT
    memory_time=$(median_of_3 "$memory_out" run_filter "$memory_out")
    rm -rf "$memory_out"
fi

# ImageMagick takes many seconds; one run is enough.
sync
start=$(now)
printf '%s\0' "${pictures[@]}" |
    xargs -0 -P "$jobs" -I{} sh -c \
        "$magick \"\$1\" \"$work/map.bmp\" -compose plus -composite \"$work/magick/\$(basename \"\$1\").bmp\"" \
        sh {}
magick_time=$(seconds "$start" "$(now)")

written=$(find "$work/velmora" -name '*.bmp' | wc -l)
[[ "$written" -eq "$count" ]] || { echo "velmora-cli wrote $written of $count pictures" >&2; exit 1; }

awk -v n="$count" -v j="$jobs" -v d="$decode_time" -v f="$filter_time" -v m="$magick_time" \
    -v s="$memory_time" 'BEGIN {
    printf "\n%d pictures of 1600 x 1200, %d at a time (median of 3 runs; ImageMagick 1 run)\n", n, j
    printf "  %-34s %8.3f s  %7.1f pictures/s\n", "decode only (LoadPictureFile)", d, n / d
    printf "  %-34s %8.3f s  %7.1f pictures/s\n", "velmora-cli filter", f, n / f
    if (s != "") printf "  %-34s %8.3f s  %7.1f pictures/s\n", "velmora-cli filter, outputs in tmpfs", s, n / s
    printf "  %-34s %8.3f s  %7.1f pictures/s\n", "ImageMagick convert -compose plus", m, n / m
    printf "\n  filter time / decode time:            %5.2fx  (goal: at most 1.5x)  %s\n", f / d, (f / d <= 1.5 ? "met" : "NOT met")
    printf "  filter throughput / ImageMagick:      %5.2fx  (goal: at least 8x)   %s\n", m / f, (m / f >= 8 ? "met" : "NOT met")
    if (s != "") printf "  with the outputs in tmpfs:            %5.2fx and %5.2fx\n", s / d, m / s
}'

if [[ "${PHOTO_COUNT:-12}" -gt 0 ]]; then
    echo
    "$root/bench/cli/profile_throughput.sh" "$build" "$jobs" "${PHOTO_COUNT:-12}"
fi
if [[ "${LIBRARY_COUNT:-30}" -gt 0 ]]; then
    echo
    "$root/bench/cli/library_throughput.sh" "$build" "$jobs" "${LIBRARY_COUNT:-30}"
fi
if [[ "${RAW_COUNT:-8}" -gt 0 ]]; then
    echo
    "$root/bench/cli/raw_throughput.sh" "$build" 2 "${RAW_COUNT:-8}"
fi
if [[ "${LARGE:-1}" -gt 0 ]]; then
    echo
    "$root/bench/cli/large_pictures.sh" "$build"
fi
if [[ "${CALIBRATION_FRAMES:-16}" -gt 0 ]]; then
    echo
    "$root/bench/calibration/calibration_speed.sh" "$build" "$jobs" "${CALIBRATION_FRAMES:-16}"
fi
