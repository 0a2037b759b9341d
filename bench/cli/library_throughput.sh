#!/usr/bin/env bash
# What choosing and blending lens profiles adds to a batch: `velmora-cli filter --profiles` over
# a library of three lenses at five apertures each, on 24-megapixel JPEGs (6000 x 4000) carrying
# a camera's EXIF, some at measured apertures and some between them, JPEG to JPEG (quality 95),
# against
#   (a) the same batch sorted by hand: one `velmora-cli filter --profile` run per profile, each
#       picture with the profile of its nearest measured aperture, run one after another, and
#   (b) the whole batch through one profile (no choice at all: a lower bound, not a goal).
# Goal: (a) at most 1.02 x, that is choosing and blending adds at most 2 %. Prints the peak
# memory (max RSS) too.
#
#   bench/cli/library_throughput.sh [BUILD_DIR] [JOBS] [COUNT]
#
# BUILD_DIR defaults to "build"; JOBS to the number of cores; COUNT, the pictures, to 30.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
jobs="${2:-$(nproc)}"
count="${3:-30}"
cli="$build/cli/velmora-cli"
make_photos="$build/bench/cli/velmora_make_photos"
gnu_time=/usr/bin/time
photos=/usr/share/backgrounds/mate/nature

for tool in "$cli" "$make_photos" "$gnu_time" /usr/bin/exiv2; do
    [[ -x "$tool" ]] || { echo "missing $tool; build the cli targets first (and run scripts/setup)" >&2; exit 2; }
done
source "$root/bench/bench_common.sh"
ensure_photos "$photos"
make_scratch library-throughput
mkdir -p "$work/lib" "$work/dcim"

lenses=("RF15-35mm F2.8 L IS USM" "RF50mm F1.2 L USM" "RF85mm F1.2 L USM")
measured=(2.8 4 5.6 8 11)
# Every third picture between two measured apertures (a third of a stop off), the rest at one.
between=(3.2 4.5 6.3 9 10)

photo_count=$(( count < 6 ? count : 6 ))
echo "Making $photo_count photographs of 6000 x 4000 and a card, tuning 15 profiles in $work ..."
"$make_photos" --photos "$photos" --out "$work" --count "$photo_count" --jobs "$jobs"
rm -f "$work"/photo-*.tif
for l in 0 1 2; do
    for n in "${measured[@]}"; do
        "$cli" tune "$work/card.jpg" --profile "$work/lib/lens$l-f$n.tif" --make Canon \
            --model "Canon EOS R5" --lens "${lenses[$l]}" --focal-length $((35 + 25 * l)) \
            --f-number "$n" >/dev/null
    done
done

# The pictures: copies of the photographs, each with the EXIF of its lens and aperture; the
# profile of its nearest measured aperture noted for the sorted runs.
declare -A group
for ((i = 0; i < count; i++)); do
    name=$(printf "IMG_%04d.JPG" "$i")
    cp "$work/photo-$(printf %02d $(( i % photo_count )))".jpg "$work/dcim/$name"
    l=$(( i % 3 ))
    k=$(( (i / 3) % 5 ))
    n=${measured[$k]}
    (( i % 3 == 2 )) && n=${between[$k]}
    exiv2 -M"set Exif.Image.Make Ascii Canon" -M"set Exif.Image.Model Ascii Canon EOS R5" \
        -M"set Exif.Photo.LensModel Ascii ${lenses[$l]}" \
        -M"set Exif.Photo.FocalLength Rational $((35 + 25 * l))/1" \
        -M"set Exif.Photo.FNumber Rational $(awk -v n="$n" 'BEGIN { printf "%d/10", n * 10 }')" \
        "$work/dcim/$name"
    group["$work/lib/lens$l-f${measured[$k]}.tif"]+="$work/dcim/$name "
done

# Every run must write all the pictures.
check_written() {
    local written
    written=$(find "$out" -name "*.jpg" | wc -l)
    [[ "$written" -eq "$count" ]] || { echo "$1 wrote $written of $count pictures" >&2; exit 1; }
}

library_run() {
    peak_memory "$work/library.rss" "$cli" filter --profiles "$work/lib" \
        --format jpeg --quality 95 --jobs "$jobs" --quiet -d "$out" "$work"/dcim/*.JPG
    check_written --profiles
}
sorted_runs() {
    local profile
    for profile in "${!group[@]}"; do
        # shellcheck disable=SC2086
        peak_memory "$work/sorted.rss" "$cli" filter --profile "$profile" \
            --format jpeg --quality 95 --jobs "$jobs" --quiet -d "$out" ${group[$profile]}
    done
    check_written "the sorted runs"
}
one_profile_run() {
    peak_memory "$work/one.rss" "$cli" filter --profile "$work/lib/lens1-f4.tif" \
        --format jpeg --quality 95 --jobs "$jobs" --quiet -d "$out" "$work"/dcim/*.JPG
    check_written "one profile"
}

echo "Timing $count pictures, $jobs jobs, median of 3 runs each ..."
t_library=$(median_of_3 "$out" library_run)
t_sorted=$(median_of_3 "$out" sorted_runs)
t_one=$(median_of_3 "$out" one_profile_run)
largest() { sort -n "$1" | tail -1; }

echo
echo "velmora-cli filter --profiles, $count pictures of 24 MP, 3 lenses x 5 apertures, $jobs jobs:"
printf '  %-52s %8s s  peak %5d MB\n' "--profiles (choose and blend)" "$t_library" \
    $(( $(largest "$work/library.rss") / 1024 ))
printf '  %-52s %8s s  peak %5d MB\n' "(a) sorted by hand, ${#group[@]} runs of --profile" "$t_sorted" \
    $(( $(largest "$work/sorted.rss") / 1024 ))
printf '  %-52s %8s s  peak %5d MB\n' "(b) one profile for all (no choice)" "$t_one" \
    $(( $(largest "$work/one.rss") / 1024 ))
ratio=$(awk -v a="$t_library" -v b="$t_sorted" 'BEGIN { printf "%.3f", a / b }')
lower=$(awk -v a="$t_library" -v b="$t_one" 'BEGIN { printf "%.3f", a / b }')
met=$(awk -v r="$ratio" 'BEGIN { print (r <= 1.02 ? "MET" : "NOT MET") }')
echo "  --profiles / sorted by hand: $ratio x (goal <= 1.02: $met)"
echo "  --profiles / one profile:    $lower x (what reading 15 profiles and blending costs)"
