#!/bin/sh
# velmora-cli's masters, and tune + filter with darks and bias, against ccdproc and a numpy
# reading of the rejection rules (bench/calibration/compare_peers.py, all but Siril) on small
# frames: 10 of each kind at 300 x 200 and a Bayer set. Exits 77 (skipped) when Debian's python3
# lacks numpy, astropy or ccdproc.
# Usage: test_calibration_peers.sh VELMORA_CLI
set -eu
cli=$(readlink -f "$1")
bench=$(cd "$(dirname "$0")/../../bench/calibration" && pwd)
python=/usr/bin/python3  # Debian's packages are there, not in a pyenv that may shadow it
for module in numpy astropy ccdproc; do
    if ! "$python" -c "import $module" 2>/dev/null; then
        echo "skipped: python3-$module is not installed"
        exit 77
    fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" "$bench/make_frames.py" "$work/frames" 300 200 --bias 10 --darks 10 --short-darks 10 \
    --darkflats 10 --flats 10 --lights 10
"$python" "$bench/make_frames.py" "$work/bayer" 300 200 --bayer --bias 0 --darks 0 \
    --short-darks 0 --darkflats 0 --flats 6 --lights 0
"$python" "$bench/compare_peers.py" --cli "$cli" --frames "$work/frames" \
    --bayer-frames "$work/bayer" --work "$work/results" --only masters,rejection,calibration
