#!/usr/bin/env bash
# velmora-cli on pictures too large to hold whole comfortably, corrected a strip at a time:
#   (a) one 81-megapixel JPEG (11996 x 6748, a scan's size) through a lens profile of another
#       size (5998 x 3374, the flat enlarged), JPEG quality 95, against `vips copy` of the same
#       picture (decoding and encoding alone). Goals: at most 1.5 x vips copy's time, peak memory
#       under 300 MB.
#   (b) one 20000 x 20000 16-bit TIFF (2.4 GB) through a 24-megapixel profile with --crop centre,
#       beside `vips copy`. Goal: peak memory under 1 GB.
# Median of 3 runs each; peak memory is max RSS; outputs in tmpfs when there is one.
#
#   bench/cli/large_pictures.sh [BUILD_DIR]
#
# The pictures are mosaics of Debian's mate-backgrounds (installed when missing) with a lens
# falloff of about 2 EV; the 20000 x 20000 TIFF is a 6000 x 4000 one enlarged and cropped by
# vips, which needs 5 GB of room in tmpfs (or in TMPDIR) for it and its output.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
cli="$build/cli/velmora-cli"
make_photos="$build/bench/cli/velmora_make_photos"
vips=/usr/bin/vips
photos=/usr/share/backgrounds/mate/nature
for tool in "$cli" "$make_photos" "$vips" /usr/bin/time; do
    [[ -x "$tool" ]] || { echo "missing $tool; build the cli targets first (and run scripts/setup)" >&2; exit 2; }
done

source "$root/bench/bench_common.sh"
ensure_photos "$photos"
make_scratch large-pictures
mkdir -p "$work/scan" "$work/flat" "$work/frame" "$out"
big="$out_root/big"
mkdir -p "$big"

echo "Making an 81-megapixel JPEG, a 20000 x 20000 16-bit TIFF and their profiles in $work ..."
"$make_photos" --photos "$photos" --out "$work/scan" --count 1 --width 11996 --height 6748
"$make_photos" --photos "$photos" --out "$work/flat" --count 1 --width 5998 --height 3374
"$make_photos" --photos "$photos" --out "$work/frame" --count 1
"$cli" tune "$work/flat/card.jpg" --profile "$work/lens20.tif" >/dev/null
"$cli" tune "$work/frame/card.jpg" --profile "$work/lens24.tif" >/dev/null
"$vips" resize "$work/frame/photo-00.tif" "$big/enlarged.v" 5 --kernel linear
"$vips" crop "$big/enlarged.v" "$big/square.tif" 5000 0 20000 20000
rm -f "$big/enlarged.v"

# Median of 3 runs of a command, its peak memory appended to the file named first.
timed() {
    local file=$1
    shift
    median_of_3 "" peak_memory "$file" "$@"
}
largest() { sort -n "$1" | tail -1; }

scan="$work/scan/photo-00.jpg"
cat "$scan" "$big/square.tif" >/dev/null  # warm the page cache for both alike
copy_scan=$(timed "$work/rss-copy-scan" "$vips" copy "$scan" "$out/copy.jpg[Q=95]")
cli_scan=$(timed "$work/rss-cli-scan" "$cli" filter --quiet --profile "$work/lens20.tif" \
    --format jpeg --quality 95 -o "$out/scan.jpg" "$scan")
[[ -s "$out/scan.jpg" ]] || { echo "velmora-cli wrote no picture" >&2; exit 1; }
rm -f "$out"/*
copy_square=$(timed "$work/rss-copy-square" "$vips" copy "$big/square.tif" "$out/copy.tif")
rm -f "$out"/*
cli_square=$(timed "$work/rss-cli-square" "$cli" filter --quiet --profile "$work/lens24.tif" \
    --crop centre --format tiff -o "$out/square.tif" "$big/square.tif")
[[ -s "$out/square.tif" ]] || { echo "velmora-cli wrote no picture" >&2; exit 1; }

awk -v cs="$copy_scan" -v fs="$cli_scan" -v ms="$(largest "$work/rss-cli-scan")" \
    -v vs="$(largest "$work/rss-copy-scan")" -v cq="$copy_square" -v fq="$cli_square" \
    -v mq="$(largest "$work/rss-cli-square")" -v vq="$(largest "$work/rss-copy-square")" '
function verdict(ok) { return ok ? "met" : "NOT met" }
BEGIN {
    printf "\nOne 81-megapixel JPEG (11996 x 6748) through a 5998 x 3374 profile, quality 95 (median of 3)\n"
    printf "  %-40s %7.3f s  peak %5.0f MB\n", "vips copy (decoding and encoding)", cs, vs / 1024
    printf "  %-40s %7.3f s  peak %5.0f MB\n", "velmora-cli filter --profile", fs, ms / 1024
    printf "  velmora-cli / vips copy:  %5.2fx  (goal: at most 1.5x)      %s\n", fs / cs, verdict(fs / cs <= 1.5)
    printf "  peak memory:              %5.0f MB (goal: under 300 MB)     %s\n", ms / 1024, verdict(ms / 1024 < 300)
    printf "\nOne 20000 x 20000 16-bit TIFF through a 6000 x 4000 profile, --crop centre (median of 3)\n"
    printf "  %-40s %7.3f s  peak %5.0f MB\n", "vips copy (decoding and encoding)", cq, vq / 1024
    printf "  %-40s %7.3f s  peak %5.0f MB\n", "velmora-cli filter --profile", fq, mq / 1024
    printf "  peak memory:              %5.0f MB (goal: under 1 GB)       %s\n", mq / 1024, verdict(mq / 1024 < 1024)
}'
