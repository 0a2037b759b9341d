#!/usr/bin/env bash
# Quality of velmora-cli's corrections on real photographs with a lens's falloff, and the speed
# of gain mode against plain. Prints the tables and whether each goal is met.
#
#   bench/quality/quality.sh [BUILD_DIR] [ROUNDS]
#
# BUILD_DIR defaults to "build" (needs velmora-cli, velmora_quality, velmora_bench_gain_passes);
# ROUNDS, the timed batches per mode, to 5. The photographs are Debian's mate-backgrounds
# (/usr/share/backgrounds/mate/nature/*.jpg), installed here when missing. Pictures and maps go
# to a temporary folder, removed after; set KEEP=1 to keep it, FIGURE=FILE.png to also draw the
# gain-vs-add figure.
#
# Then velmora_lens_quality measures lens profiles: LENSES (default 3) real lenses from lensfun's
# data (Debian liblensfun-data-v1, installed when missing), each on LENS_PICTURES (default 1)
# mosaics of 6000 x 4000, and a lens with a colour cast. LENSES=0 leaves that part out.
#
# Last, velmora_aperture_quality measures pictures taken between two measured apertures, on
# APERTURE_LENSES (default 8) lenses from lensfun's data at 3000 x 2000, pictures with EXIF
# written by exiv2 (Debian package exiv2, installed when missing), corrected three ways: (a) the
# nearest profile (filter --profile), (b) a library of the two neighbouring apertures only, which
# filter --profiles blends linearly in log2 f-number, and (c) a library of the neighbours and the
# next measured aperture on each side, from which filter --profiles takes its default, the
# monotone cubic in log2 f-number (the blend where only the two neighbours are measured). It
# prints the goal (b's corner errors at most half a's), the same rule for c, c against b, and a
# cross-check of both against its own computation from the profiles' TIFFs. APERTURE_LENSES=0
# leaves that part out.
#
# Then velmora_raw_quality measures raw profiles: RAW_LENSES (default 2) lenses from lensfun's
# data, their falloff made to differ per colour, through which 14-bit Bayer DNGs of 6000 x 4000
# are written (grey cards and a mosaic of the photographs in linear light, with photon noise and
# a black level per position); velmora-cli tunes on a card and corrects the light and a second
# card, against the ideal gain of the smoothed card and the falloff left per colour; last, a
# dark current (hot pixels, amp glow) is removed with --dark. RAW_LENSES=0 leaves that part out.
# Last, calibration/calibration_quality.sh compares master, tune and filter on calibration frames
# with ccdproc, a numpy reading of the rejection rules and Siril; CALIBRATION=0 leaves it out.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
rounds="${2:-5}"
cli="$build/cli/velmora-cli"
quality="$build/bench/cli/velmora_quality"
passes="$build/bench/cli/velmora_bench_gain_passes"
photos=/usr/share/backgrounds/mate/nature

for tool in "$cli" "$quality" "$passes"; do
    [[ -x "$tool" ]] || { echo "missing $tool; build the cli targets first" >&2; exit 2; }
done
lens_quality="$build/bench/cli/velmora_lens_quality"
aperture_quality="$build/bench/cli/velmora_aperture_quality"
lensfun=/usr/share/lensfun/version_1
lenses="${LENSES:-3}"
aperture_lenses="${APERTURE_LENSES:-8}"
raw_quality="$build/bench/cli/velmora_raw_quality"
raw_lenses="${RAW_LENSES:-2}"
if [[ "$lenses" -gt 0 ]]; then
    [[ -x "$lens_quality" ]] || { echo "missing $lens_quality; build the cli targets first" >&2; exit 2; }
fi
if [[ "$aperture_lenses" -gt 0 ]]; then
    [[ -x "$aperture_quality" ]] || { echo "missing $aperture_quality; build the cli targets first" >&2; exit 2; }
fi
if [[ "$raw_lenses" -gt 0 ]]; then
    [[ -x "$raw_quality" ]] || { echo "missing $raw_quality; build the cli targets first" >&2; exit 2; }
fi

source "$root/bench/bench_common.sh"
ensure_photos "$photos"
if [[ "$lenses" -gt 0 || "$aperture_lenses" -gt 0 || "$raw_lenses" -gt 0 ]] && ! compgen -G "$lensfun/*.xml" >/dev/null; then
    echo "Installing lensfun's lens data (Debian package liblensfun-data-v1) ..."
    install_packages liblensfun-data-v1
fi
if [[ "$aperture_lenses" -gt 0 ]] && ! command -v exiv2 >/dev/null; then
    echo "Installing the exiv2 tool (Debian package exiv2) ..."
    install_packages exiv2
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-quality.XXXXXX")"
if [[ "${KEEP:-0}" == 1 ]]; then
    echo "Pictures and maps are kept in $work"
else
    trap 'rm -rf "$work"' EXIT
fi

figure=()
[[ -n "${FIGURE:-}" ]] && figure=(--figure "$FIGURE")

# Qt wants a private runtime folder even offscreen; the work folder is one (mode 0700).
XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$work}" QT_QPA_PLATFORM=offscreen "$quality" --cli "$cli" --photos "$photos" --work "$work" \
    --rounds "$rounds" "${figure[@]}"
echo
echo "Core passes alone (Google Benchmark):"
"$passes" --benchmark_min_time=0.5 2>/dev/null | sed 's/^/  /'

if [[ "$lenses" -gt 0 ]]; then
    echo
    echo "Lens profiles on 24-megapixel photographs through real lenses (lensfun):"
    mkdir -p "$work/lenses"
    "$lens_quality" --cli "$cli" --photos "$photos" --lensfun "$lensfun" --work "$work/lenses" \
        --lenses "$lenses" --pictures "${LENS_PICTURES:-1}"
fi

if [[ "$aperture_lenses" -gt 0 ]]; then
    echo
    echo "Pictures between two measured apertures: the nearest profile, the blend and the cubic (lensfun):"
    mkdir -p "$work/apertures"
    "$aperture_quality" --cli "$cli" --photos "$photos" --lensfun "$lensfun" \
        --work "$work/apertures" --lenses "$aperture_lenses"
fi

if [[ "$raw_lenses" -gt 0 ]]; then
    echo
    echo "Raw profiles on 24-megapixel Bayer DNGs through real lenses, per colour (lensfun):"
    mkdir -p "$work/raw"
    "$raw_quality" --cli "$cli" --photos "$photos" --lensfun "$lensfun" --work "$work/raw" \
        --lenses "$raw_lenses"
fi

if [[ "${CALIBRATION:-1}" != 0 ]]; then
    echo
    echo "Calibration frames (masters, darks, bias) against ccdproc, numpy and Siril:"
    "$root/bench/calibration/calibration_quality.sh" "$build"
fi
