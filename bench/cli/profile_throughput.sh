#!/usr/bin/env bash
# Throughput of `velmora-cli filter --profile` on 24-megapixel photographs (6000 x 4000), JPEG to
# JPEG (quality 95) and 16-bit TIFF to 16-bit TIFF, against
#   (a) decoding and encoding the same pictures alone, through the same strip pipeline
#       (PhotoFile::Open, WritePhoto) and the same number at a time (velmora_codec_only),
#   (b) the `vips` command-line tool multiplying each picture by a gain image made once from the
#       profile, one process per picture, the same number at a time, and
#   (c) ImageMagick dividing each picture by the flat (-compose DivideSrc), one process each.
# Goals: velmora-cli at most 1.15x codec-only, at most vips's time, ImageMagick at least 2.5x
# velmora-cli's time. Also prints the peak memory (max RSS) of velmora-cli and codec-only.
#
#   bench/cli/profile_throughput.sh [BUILD_DIR] [JOBS] [COUNT]
#
# BUILD_DIR defaults to "build"; JOBS to the number of cores; COUNT, the photographs, to 12.
# The photographs are 2 x 2 mosaics of Debian's mate-backgrounds (installed when missing) with a
# lens falloff of about 2 EV, and the profile is tuned by velmora-cli on a noisy grey card shot
# through the same lens. Inputs go to a temporary folder, outputs to tmpfs when there is one.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
jobs="${2:-$(nproc)}"
count="${3:-12}"
cli="$build/cli/velmora-cli"
codec="$build/bench/cli/velmora_codec_only"
make_photos="$build/bench/cli/velmora_make_photos"
# /usr/local/bin may hold stand-ins of these names; the benchmark needs the real ones.
magick=/usr/bin/convert
vips=/usr/bin/vips
gnu_time=/usr/bin/time
photos=/usr/share/backgrounds/mate/nature

for tool in "$cli" "$codec" "$make_photos" "$magick" "$vips" "$gnu_time"; do
    [[ -x "$tool" ]] || { echo "missing $tool; build the cli targets first (and run scripts/setup)" >&2; exit 2; }
done

source "$root/bench/bench_common.sh"
ensure_photos "$photos"
make_scratch profile-throughput

echo "Making $count photographs of 6000 x 4000 (JPEG and 16-bit TIFF) in $work ..."
"$make_photos" --photos "$photos" --out "$work" --count "$count" --jobs "$jobs"
"$cli" tune "$work/card.jpg" --profile "$work/lens.tif" >/dev/null
"$make_photos" --gains "$work/lens.tif" --out "$work"

largest() { sort -n "$1" | tail -1; }

# One `vips` process per picture. A float gain makes a float picture: JPEG saving casts it to
# 8 bits itself, but TIFF would keep floats, so 16-bit pictures go through a cast to 16 bits,
# by way of libvips's own format in the (tmpfs) output folder.
vips_one() {
    local input=$1 format=$2 name
    name="$(basename "$input")"
    if [[ "$format" == jpeg ]]; then
        "$vips" multiply "$input" "$work/gain.v" "$out/$name.jpg[Q=95]"
    else
        "$vips" multiply "$input" "$work/gain.v" "$out/$name.v"
        "$vips" cast "$out/$name.v" "$out/$name.tif" ushort
        rm -f "$out/$name.v"
    fi
}
export -f vips_one
export vips work out

magick_one() {
    local input=$1 format=$2 name
    name="$(basename "$input")"
    if [[ "$format" == jpeg ]]; then
        "$magick" "$input" "$work/flat8.png" -compose DivideSrc -composite -quality 95 "$out/$name.jpg"
    else
        "$magick" "$input" "$work/flat16.tif" -compose DivideSrc -composite -depth 16 "$out/$name.tif"
    fi
}
export -f magick_one
export magick

# Every contender's outputs must all be there.
check_written() {
    local who=$1 suffix=$2 written
    written=$(find "$out" -name "*.$suffix" | wc -l)
    [[ "$written" -eq "$count" ]] || { echo "$who wrote $written of $count pictures" >&2; exit 1; }
}

results=()
for format in jpeg tiff; do
    suffix=jpg
    [[ "$format" == tiff ]] && suffix=tif
    pictures=("$work"/photo-*."$suffix")
    list="$work/list-$format"
    printf '%s\0' "${pictures[@]}" >"$list"
    cat "${pictures[@]}" >/dev/null  # warm the page cache for every contender alike
    echo "Timing $format: codec only, velmora-cli, vips (3 runs each), ImageMagick (1 run) ..."

    codec_time=$(median_of_3 "$out" peak_memory "$work/rss-codec-$format" \
        "$codec" --jobs "$jobs" --format "$format" --quality 95 --output-dir "$out" "${pictures[@]}")
    check_written "codec only" "$suffix"
    cli_time=$(median_of_3 "$out" peak_memory "$work/rss-cli-$format" \
        "$cli" filter --quiet --profile "$work/lens.tif" --format "$format" --quality 95 \
        --jobs "$jobs" --output-dir "$out" "${pictures[@]}")
    check_written velmora-cli "$suffix"
    # shellcheck disable=SC2016  # $1 and $2 are the inner shell's
    vips_time=$(median_of_3 "$out" \
        xargs -0 -a "$list" -P "$jobs" -I{} bash -c 'vips_one "$1" "$2"' _ {} "$format")
    check_written vips "$suffix"

    # ImageMagick takes many seconds; one run is enough.
    rm -rf "$out"
    mkdir -p "$out"
    sync
    start=$(now)
    # shellcheck disable=SC2016  # $1 and $2 are the inner shell's
    xargs -0 -a "$list" -P "$jobs" -I{} bash -c 'magick_one "$1" "$2"' _ {} "$format"
    magick_time=$(seconds "$start" "$(now)")
    check_written ImageMagick "$suffix"
    rm -rf "$out"

    results+=("$format $codec_time $cli_time $vips_time $magick_time $(largest "$work/rss-codec-$format") $(largest "$work/rss-cli-$format")")
done

printf '%s\n' "${results[@]}" | awk -v n="$count" -v j="$jobs" '
function verdict(ok) { return ok ? "met" : "NOT met" }
{
    title = $1 == "jpeg" ? "JPEG to JPEG (quality 95)" : "16-bit TIFF to 16-bit TIFF"
    c = $2; f = $3; v = $4; m = $5
    printf "\n%d photographs of 6000 x 4000, %s, %d at a time (median of 3 runs; ImageMagick 1 run)\n", n, title, j
    printf "  %-44s %8.3f s  %6.2f pictures/s\n", "decode + encode only (the same pipeline)", c, n / c
    printf "  %-44s %8.3f s  %6.2f pictures/s\n", "velmora-cli filter --profile", f, n / f
    printf "  %-44s %8.3f s  %6.2f pictures/s\n", "vips multiply by a gain image", v, n / v
    printf "  %-44s %8.3f s  %6.2f pictures/s\n", "ImageMagick -compose DivideSrc", m, n / m
    printf "  peak memory (max RSS): velmora-cli %.0f MB, codec only %.0f MB\n", $7 / 1024, $6 / 1024
    printf "  velmora-cli / codec only:   %5.2fx  (goal: at most 1.15x)  %s\n", f / c, verdict(f / c <= 1.15)
    printf "  velmora-cli / vips:         %5.2fx  (goal: at most 1x)     %s\n", f / v, verdict(f / v <= 1.0)
    printf "  ImageMagick / velmora-cli:  %5.2fx  (goal: at least 2.5x)  %s\n", m / f, verdict(m / f >= 2.5)
}'
