#!/usr/bin/env bash
# velmora-cli's calibration frames against independent peers (compare_peers.py): masters
# against ccdproc's Combiner and a numpy reading of the rejection rules, tune + filter against
# ccdproc's subtract_dark and flat_correct, filter against Siril's preprocess. Prints one row
# per check with whether its goal is met; exits 1 when velmora-cli misses one.
#
#   bench/calibration/calibration_quality.sh [BUILD_DIR]
#
# BUILD_DIR defaults to "build". The frames (make_frames.py) are CALIBRATION_WIDTH x
# CALIBRATION_HEIGHT (default 1500 x 1000), CALIBRATION_COUNT (default 12) of each kind, and
# a Bayer (RGGB) set of flats; they go to a temporary folder, removed after (KEEP=1 keeps it).
# Peers that are missing are installed (python3-ccdproc, python3-tifffile, siril), or skipped.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
cli="$build/cli/velmora-cli"
here="$root/bench/calibration"
python=/usr/bin/python3  # Debian's packages (astropy, ccdproc) are there, not in a pyenv
width="${CALIBRATION_WIDTH:-1500}"
height="${CALIBRATION_HEIGHT:-1000}"
count="${CALIBRATION_COUNT:-12}"
[[ -x "$cli" ]] || { echo "missing $cli; build the cli targets first" >&2; exit 2; }

source "$root/bench/bench_common.sh"
if ! "$python" -c "import numpy, astropy" 2>/dev/null; then
    echo "Installing numpy and astropy (Debian packages python3-numpy, python3-astropy) ..."
    install_packages python3-numpy python3-astropy
fi
"$python" -c "import ccdproc" 2>/dev/null || { echo "Installing ccdproc (Debian package python3-ccdproc) ..."; install_packages python3-ccdproc || true; }
"$python" -c "import tifffile" 2>/dev/null || { echo "Installing tifffile (Debian package python3-tifffile) ..."; install_packages python3-tifffile || true; }
command -v siril-cli >/dev/null || { echo "Installing Siril (Debian package siril) ..."; install_packages siril || true; }

work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-calibration.XXXXXX")"
if [[ "${KEEP:-0}" == 1 ]]; then
    echo "Frames and results are kept in $work"
else
    trap 'rm -rf "$work"' EXIT
fi

echo "Making $count frames of each kind, $width x $height, in $work ..."
"$python" "$here/make_frames.py" "$work/frames" "$width" "$height" --bias "$count" \
    --darks "$count" --short-darks "$count" --darkflats "$count" --flats "$count" --lights "$count"
"$python" "$here/make_frames.py" "$work/bayer" "$(( width / 2 * 2 ))" "$(( height / 2 * 2 ))" --bayer \
    --bias 0 --darks 0 --short-darks 0 --darkflats 0 --flats "$count" --lights 0
"$python" "$here/compare_peers.py" --cli "$cli" --frames "$work/frames" --bayer-frames "$work/bayer" \
    --work "$work/results"
