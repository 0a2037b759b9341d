#!/usr/bin/env bash
# Whether two builds of velmora-cli write the same bytes: runs both on the same pictures through
# every kind of lens-profile correction (the profile's own size and others, larger and smaller,
# a centred crop, 8 and 16 bits, light and code values, luminance and colour, grey and alpha,
# every format, metadata carried, a library's blends and cubics) and compares every output with
# cmp. For a change that must not alter results, such as a new pipeline.
#
#   bench/cli/same_bytes.sh OLD_BUILD_DIR [NEW_BUILD_DIR]
#
# NEW_BUILD_DIR defaults to "build". The pictures are made by NEW's velmora_make_photos from
# Debian's mate-backgrounds (installed when missing). Exits 1 when any output differs.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
old="$(cd "$1" && pwd)/cli/velmora-cli"
new_build="$(cd "${2:-$root/build}" && pwd)"
new="$new_build/cli/velmora-cli"
make_photos="$new_build/bench/cli/velmora_make_photos"
photos=/usr/share/backgrounds/mate/nature
for tool in "$old" "$new" "$make_photos" /usr/bin/vips /usr/bin/exiv2; do
    [[ -x "$tool" ]] || { echo "missing $tool" >&2; exit 2; }
done

source "$root/bench/bench_common.sh"
ensure_photos "$photos"
make_scratch same-bytes
in="$work/in"
mkdir -p "$in/big" "$in/small" "$in/lib" "$out"

echo "Making pictures in $in ..."
"$make_photos" --photos "$photos" --out "$in/big" --count 3 --width 3000 --height 2000
"$make_photos" --photos "$photos" --out "$in/small" --count 1 --width 1500 --height 1000
"$new" tune "$in/big/card.jpg" --profile "$in/lens.tif" >/dev/null
"$new" tune "$in/small/card.jpg" --profile "$in/small-lens.tif" >/dev/null
vips colourspace "$in/big/photo-00.jpg" "$in/grey.jpg" b-w
vips bandjoin_const "$in/big/photo-01.jpg" "$in/alpha.png" 255
vips crop "$in/big/photo-02.jpg" "$in/crop.jpg" 0 156 3000 1688
cp "$in/big/photo-00.jpg" "$in/exif.jpg"
exiv2 -M"set Exif.Image.Make Velmora Optics" -M"set Exif.Image.Orientation 6" \
    -M"set Iptc.Application2.Caption A caption" "$in/exif.jpg"
for f in 2 2.8 4; do
    "$new" tune "$in/big/card.jpg" --profile "$in/lib/f$f.tif" --make Canon --model "EOS R5" \
        --lens "RF50mm" --focal-length 50 --f-number "$f" --smooth $((RANDOM % 3 + 2)) >/dev/null
done
for f in 2.4 3.2 2.8 8; do
    for suffix in jpg tif; do
        cp "$in/big/photo-01.$suffix" "$in/lib-f$f.$suffix"
        exiv2 -M"set Exif.Image.Make Canon" -M"set Exif.Image.Model EOS R5" \
            -M"set Exif.Photo.LensModel RF50mm" -M"set Exif.Photo.FocalLength 50/1" \
            -M"set Exif.Photo.FNumber ${f/./}/$([[ $f == *.* ]] && echo 10 || echo 1)" \
            "$in/lib-f$f.$suffix"
    done
done

cases=(
    "same size, JPEG|--profile $in/lens.tif --format jpeg $in/big/photo-00.jpg $in/big/photo-01.jpg $in/big/photo-02.jpg"
    "same size, 16-bit TIFF|--profile $in/lens.tif --format tiff $in/big/photo-00.tif $in/big/photo-01.tif $in/big/photo-02.tif"
    "smaller pictures|--profile $in/lens.tif --format png $in/small/photo-00.jpg"
    "larger pictures|--profile $in/small-lens.tif --format jpeg $in/big/photo-00.jpg $in/big/photo-01.jpg"
    "larger 16-bit pictures|--profile $in/small-lens.tif --format tiff $in/big/photo-00.tif $in/big/photo-01.tif"
    "code values|--profile $in/lens.tif --space code --format png $in/big/photo-02.jpg $in/big/photo-01.tif $in/small/photo-00.jpg"
    "luminance|--profile $in/lens.tif --correct luminance --format png $in/big/photo-00.jpg $in/big/photo-01.tif"
    "colour|--profile $in/small-lens.tif --correct colour --format png $in/big/photo-00.jpg $in/big/photo-01.tif"
    "centred crop|--profile $in/lens.tif --crop centre --format jpeg $in/crop.jpg"
    "grey and alpha|--profile $in/lens.tif --format png $in/grey.jpg $in/alpha.png"
    "BMP|--profile $in/lens.tif --format bmp $in/big/photo-02.jpg $in/grey.jpg"
    "metadata into PNG|--profile $in/lens.tif --format png $in/exif.jpg"
    "metadata into TIFF|--profile $in/lens.tif --format tiff $in/exif.jpg"
    "library, JPEG|--profiles $in/lib --format jpeg $in/lib-f2.4.jpg $in/lib-f3.2.jpg $in/lib-f2.8.jpg $in/lib-f8.jpg"
    "library, linear blend|--profiles $in/lib --interpolate linear --format png $in/lib-f3.2.jpg"
    "library, 16 bits|--profiles $in/lib --format tiff $in/lib-f2.4.tif $in/lib-f3.2.tif"
)

failed=0
n=0
for entry in "${cases[@]}"; do
    title="${entry%%|*}"
    read -r -a arguments <<<"${entry#*|}"
    n=$((n + 1))
    for who in old new; do
        mkdir -p "$out/$n-$who"
        cli=$old
        [[ $who == new ]] && cli=$new
        "$cli" filter --quiet --jobs 2 --output-dir "$out/$n-$who" "${arguments[@]}" >/dev/null 2>"$out/$n-$who.err" ||
            { echo "  $title: $who failed: $(cat "$out/$n-$who.err")"; failed=1; }
    done
    verdict=same
    [[ -n "$(ls "$out/$n-old")" ]] || { verdict="NOTHING WRITTEN"; failed=1; }
    for file in "$out/$n-old"/*; do
        [[ -e "$file" ]] || continue
        other="$out/$n-new/$(basename "$file")"
        if [[ ! -f "$other" ]] || ! cmp -s "$file" "$other"; then
            verdict="DIFFERENT: $(basename "$file")"
            failed=1
        fi
    done
    [[ "$(ls "$out/$n-old" | wc -l)" -eq "$(ls "$out/$n-new" | wc -l)" ]] || { verdict="DIFFERENT: file count"; failed=1; }
    printf '  %-26s %2d outputs: %s\n' "$title" "$(ls "$out/$n-old" | wc -l)" "$verdict"
done
exit "$failed"
