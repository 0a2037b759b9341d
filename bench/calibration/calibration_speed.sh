#!/usr/bin/env bash
# Speed of velmora-cli's calibration frames on 24 megapixels (6000 x 4000, 16-bit FITS):
#   (1) a median master of FRAMES (default 16) darks by `velmora-cli master`, against siril-cli
#       stacking the same sequence by median (no normalisation, no rejection) on as many
#       cores; Siril's link of the files into a sequence is timed on its own, the stacking
#       compared. Goals: velmora-cli at least as fast as Siril's stacking, its peak memory
#       (max RSS) under 1 GB.
#   (2) LIGHTS (default 8) lights calibrated with a dark and a flat by `velmora-cli filter`,
#       against ccdproc in Python (subtract_dark, flat_correct, write). Goal: at least 20x as
#       fast.
# Each peer that is not installed is installed (siril, python3-ccdproc), or its row skipped.
#
#   bench/calibration/calibration_speed.sh [BUILD_DIR] [JOBS] [FRAMES] [LIGHTS]
#
# BUILD_DIR defaults to "build", JOBS to the number of cores. Velmora and Siril are timed as
# the median of 3 runs, ccdproc once. Frames go to a temporary folder, removed after.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
jobs="${2:-$(nproc)}"
frames="${3:-16}"
lights="${4:-8}"
cli="$build/cli/velmora-cli"
here="$root/bench/calibration"
python=/usr/bin/python3  # Debian's packages (astropy, ccdproc) are there, not in a pyenv
[[ -x "$cli" ]] || { echo "missing $cli; build the cli targets first" >&2; exit 2; }

source "$root/bench/bench_common.sh"
if ! "$python" -c "import numpy, astropy" 2>/dev/null; then
    echo "Installing numpy and astropy (Debian packages python3-numpy, python3-astropy) ..."
    install_packages python3-numpy python3-astropy
fi
command -v siril-cli >/dev/null || { echo "Installing Siril (Debian package siril) ..."; install_packages siril || true; }
"$python" -c "import ccdproc" 2>/dev/null || { echo "Installing ccdproc (Debian package python3-ccdproc) ..."; install_packages python3-ccdproc || true; }
make_scratch calibration-speed
mkdir -p "$out"

echo "Making $frames darks and $lights lights of 6000 x 4000 in $work ..."
"$python" "$here/make_frames.py" "$work" 6000 4000 --bias 0 --darks "$frames" --short-darks 0 \
    --darkflats 1 --flats 1 --lights "$lights"
darks=("$work"/dark/dark-*.fits)
light_files=("$work"/light/light-*.fits)
cat "${darks[@]}" "${light_files[@]}" >/dev/null  # from the page cache for every contender

# "SECONDS MB" of one run, its output folder emptied first and pending writes flushed.
timed() {
    rm -rf "${out:?}"/*
    sync
    local start
    start=$(now)
    /usr/bin/time -f %M -o "$work/rss" "$@" >"$work/last.log" 2>&1 ||
        { echo "failed: $*" >&2; tail -5 "$work/last.log" >&2; return 1; }
    echo "$(seconds "$start" "$(now)") $(( $(cat "$work/rss") / 1024 ))"
}
# The median time of three runs, and the largest peak memory.
three() {
    local runs
    runs=$( { timed "$@" && timed "$@" && timed "$@"; } ) || return 1
    echo "$(echo "$runs" | awk '{print $1}' | sort -n | sed -n 2p) $(echo "$runs" | awk '{print $2}' | sort -n | tail -1)"
}

echo
echo "(1) median master of $frames frames of 6000 x 4000, $jobs at a time (median of 3 runs)"
velmora_master=""
if read -r vm_s vm_mb < <(three "$cli" master --method median --jobs "$jobs" \
        --output "$out/master.fits" "${darks[@]}"); then
    velmora_master=1
    cp "$out/master.fits" "$work/velmora-master.fits"
    printf '  %-46s %8.3f s  peak %6d MB\n' "velmora-cli master --method median" "$vm_s" "$vm_mb"
else
    echo "  velmora-cli master failed: goal NOT met"
fi
if command -v siril-cli >/dev/null; then
    mkdir -p "$work/siril/frames"
    ln -s "${darks[@]}" "$work/siril/frames/"
    export XDG_CONFIG_HOME="$work/siril/config"  # Siril's settings stay out of the user's
    printf 'requires 1.0.0\nsetcpu %d\nset32bits\nsetext fits\ncd frames\nlink dark -out=../seq\n' \
        "$jobs" >"$work/siril/link.ssf"
    printf 'requires 1.0.0\nsetcpu %d\nset32bits\nsetext fits\ncd seq\nstack dark median -nonorm -out=%s\n' \
        "$jobs" "$out/siril.fits" >"$work/siril/stack.ssf"
    siril=""
    if read -r sl_s sl_mb < <(cd "$work/siril" && timed siril-cli -s link.ssf) &&
        read -r ss_s ss_mb < <(cd "$work/siril" && three siril-cli -s stack.ssf); then
        siril=1
        cp "$out/siril.fits" "$work/siril-master.fits"
        printf '  %-46s %8.3f s  peak %6d MB  (once)\n' "siril-cli link (the sequence)" "$sl_s" "$sl_mb"
        printf '  %-46s %8.3f s  peak %6d MB\n' "siril-cli stack median -nonorm" "$ss_s" "$ss_mb"
    else
        echo "  skipped: siril-cli failed"
    fi
    if [[ -n "$velmora_master" && -n "$siril" ]]; then
        # Siril's 32-bit results are the DN divided by 65535.
        agree=$("$python" -c '
import sys, numpy as np
from astropy.io import fits
v = fits.getdata(sys.argv[1]).astype(np.float64)
s = fits.getdata(sys.argv[2]).astype(np.float64) * 65535
print("%.2g" % (np.abs(v - s) / np.maximum(np.abs(v), 1)).max())' \
            "$work/velmora-master.fits" "$work/siril-master.fits")
        awk -v v="$vm_s" -v s="$ss_s" -v a="$agree" 'BEGIN {
            printf "\n  Siril stacking time / velmora-cli:      %6.2fx  (goal: at least 1x)  %s\n", s / v, (s / v >= 1 ? "goal met" : "goal NOT met")
            printf "  the two medians differ by at most %s relative (Siril x 65535)\n", a }'
    fi
else
    echo "  skipped: siril-cli is not installed"
fi
if [[ -n "$velmora_master" ]]; then
    awk -v m="$vm_mb" 'BEGIN { printf "  velmora-cli peak memory:               %6d MB  (goal: under 1024 MB) %s\n", m, (m < 1024 ? "goal met" : "goal NOT met") }'
fi

echo
echo "(2) $lights lights of 6000 x 4000 calibrated with a dark and a flat"
dark="$work/dark/dark-01.fits"
flat="$work/flat/flat-01.fits"
darkflat="$work/darkflat/darkflat-01.fits"
velmora_filter=""
if "$cli" tune "$flat" --dark "$darkflat" --level mean --smooth 0 --profile "$work/profile.tif" \
        >"$work/tune.log" 2>&1; then
    if read -r vf_s vf_mb < <(three "$cli" filter --quiet --profile "$work/profile.tif" \
            --dark "$dark" --jobs "$jobs" --output-dir "$out" "${light_files[@]}"); then
        velmora_filter=1
        printf '  %-46s %8.3f s  peak %6d MB\n' "velmora-cli filter --dark" "$vf_s" "$vf_mb"
    else
        echo "  velmora-cli filter failed: goal NOT met"
    fi
else
    echo "  velmora-cli tune --dark failed: goal NOT met"
    tail -2 "$work/tune.log" | sed 's/^/    /'
fi
if "$python" -c "import ccdproc" 2>/dev/null; then
    # The flat made ready once, outside the timing, as velmora's tune does it.
    "$python" -W ignore - "$flat" "$darkflat" "$work/flat-ready.fits" <<'EOF'
import sys
import astropy.units as u
import ccdproc
from astropy.nddata import CCDData
flat, darkflat = (CCDData.read(p, unit="adu") for p in sys.argv[1:3])
ccdproc.subtract_dark(flat, darkflat, exposure_time="EXPTIME", exposure_unit=u.s).write(
    sys.argv[3], overwrite=True)
EOF
    cat >"$work/ccdproc_batch.py" <<'EOF'
import os, sys
import astropy.units as u
import ccdproc
from astropy.nddata import CCDData
out, dark, flat = sys.argv[1], CCDData.read(sys.argv[2], unit="adu"), CCDData.read(sys.argv[3], unit="adu")
for path in sys.argv[4:]:
    light = ccdproc.subtract_dark(CCDData.read(path, unit="adu"), dark, exposure_time="EXPTIME",
                                  exposure_unit=u.s)
    ccdproc.flat_correct(light, flat).write(os.path.join(out, os.path.basename(path)), overwrite=True)
EOF
    read -r cp_s cp_mb < <(timed "$python" -W ignore "$work/ccdproc_batch.py" "$out" "$dark" \
        "$work/flat-ready.fits" "${light_files[@]}")
    printf '  %-46s %8.3f s  peak %6d MB  (once)\n' "ccdproc subtract_dark + flat_correct + write" "$cp_s" "$cp_mb"
    if [[ -n "$velmora_filter" ]]; then
        awk -v v="$vf_s" -v c="$cp_s" 'BEGIN {
            printf "\n  ccdproc time / velmora-cli:             %6.1fx  (goal: at least 20x)  %s\n", c / v, (c / v >= 20 ? "goal met" : "goal NOT met") }'
    fi
else
    echo "  skipped: python3-ccdproc is not installed"
fi
