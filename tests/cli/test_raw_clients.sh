#!/bin/sh
# The DNGs that velmora-cli writes from a raw file, opened by the raw converters a user has:
# dcraw reads back the very samples written; darktable and RawTherapee develop the evenly lit
# card, corrected, with its corners within 0.1 EV of its centre, and the original-plus-GainMap
# DNG as the corrected one (darktable applies GainMaps; RawTherapee 5.9 ignores them, which is
# reported, not failed). A converter that is not installed is skipped.
# Usage: test_raw_clients.sh VELMORA_CLI VELMORA_RAW_DNGS
set -eu
cli=$(readlink -f "$1")
dngs=$(readlink -f "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# The converters' settings and caches stay in here, not in the user's.
export XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache"
fail() { echo "FAIL: $*" >&2; exit 1; }
has() { command -v "$1" >/dev/null; }
passed=""

has python3 || fail "python3 is missing; it reads the DNGs and measures the developed pictures"
"$dngs" make "$work" 0 600 400
"$cli" tune card.dng --profile lens.tif >/dev/null
"$cli" filter --quiet --profile lens.tif -o corrected.dng card.dng
"$cli" filter --quiet --profile lens.tif --gain-map -o gain-map.dng card.dng

cat >measure.py <<'EOF'
import array, math, os, struct, subprocess, sys

def run(*args):
    return subprocess.run([str(a) for a in args], check=True, capture_output=True,
                          env=dict(os.environ, VIPS_WARNING="0")).stdout

def strips(path):
    """IFD0's samples, as the DNG stores them (uncompressed, 16 bits)."""
    data = open(path, "rb").read()
    e = "<" if data[:2] == b"II" else ">"
    ifd = struct.unpack(e + "I", data[4:8])[0]
    tags = {}
    for i in range(struct.unpack(e + "H", data[ifd:ifd + 2])[0]):
        tag, kind, count, value = struct.unpack(e + "HHI4s", data[ifd + 2 + 12 * i:][:12])
        if tag in (273, 279):
            size = 2 if kind == 3 else 4
            raw = value if size * count <= 4 else data[struct.unpack(e + "I", value)[0]:]
            tags[tag] = struct.unpack(e + ("H" if size == 2 else "I") * count, raw[:size * count])
    samples = array.array("H", b"".join(data[o:o + n] for o, n in zip(tags[273], tags[279])))
    if (e == ">") != (sys.byteorder == "big"):
        samples.byteswap()
    return samples

def dcraw(path):
    pgm = run("dcraw", "-D", "-4", "-t", "0", "-c", path).split(b"\n", 3)
    samples = array.array("H", pgm[3])
    if sys.byteorder == "little":
        samples.byteswap()
    return samples

def corners(path):
    """EV of a window at each corner against one at the centre: luminance, then each band.
    A float TIFF is linear Rec. 709 (darktable's export here); any other goes through its own
    ICC profile to XYZ."""
    bands = path + ".v"
    if b"FLOAT" in run("vipsheader", "-f", "format", path):
        run("vips", "copy", path, bands)
        with open(path + ".mat", "w") as f:
            f.write("3 1\n0.2126 0.7152 0.0722\n")
        run("vips", "recomb", path, path + ".y.v", path + ".mat")
    else:
        run("vips", "icc_import", path, bands, "--pcs", "xyz", "--embedded")
        run("vips", "extract_band", bands, path + ".y.v", 1)
    w, h = int(run("vipsheader", "-f", "width", bands)), int(run("vipsheader", "-f", "height", bands))
    ww, wh, mx, my = w // 20, h // 20, w // 100, h // 100

    def means(x, y):
        out = []
        for image in (path + ".y.v", bands):
            run("vips", "crop", image, path + ".c.v", x, y, ww, wh)
            run("vips", "stats", path + ".c.v", path + ".csv")
            rows = open(path + ".csv").read().split("\n")[1:]
            out += [float(r.split()[4]) for r in rows if r.strip()]
        return out

    centre = means((w - ww) // 2, (h - wh) // 2)
    return [[math.log2(a / b) for a, b in zip(means(x, y), centre)]
            for x, y in ((mx, my), (w - mx - ww, my), (mx, h - my - wh), (w - mx - ww, h - my - wh))]

def show(evs):
    return "  ".join("%+.3f" % c[0] for c in evs)

def off(a, b):
    return max(abs(x - y) for ca, cb in zip(a, b) for x, y in zip(ca, cb))

if sys.argv[1] == "samples":  # samples DNG EXPECTED_DNG
    if dcraw(sys.argv[2]) != strips(sys.argv[3]):
        sys.exit("FAIL: dcraw -D reads other samples from %s than %s holds" % (sys.argv[2], sys.argv[3]))
else:  # develop NAME CORRECTED GAIN_MAP ORIGINAL must|may
    name = sys.argv[2]
    corrected, gain_map, original = (corners(p) for p in sys.argv[3:6])
    print("%s corners vs centre, EV (TL TR BL BR luminance): corrected %s; gain-map %s; "
          "original %s" % (name, show(corrected), show(gain_map), show(original)))
    if max(c[0] for c in original) > -0.3:
        sys.exit("FAIL: %s develops the uncorrected card with a corner less than 0.3 EV darker "
                 "than its centre: something evened it out, or the measurement is blind" % name)
    if off(corrected, [[0] * 4] * 4) > 0.1:
        sys.exit("FAIL: %s develops the corrected card with a corner more than 0.1 EV off its "
                 "centre in luminance or in a colour" % name)
    if off(gain_map, corrected) <= 0.1:
        print("%s applies the GainMap opcodes: the gain-map DNG develops as the corrected one" % name)
    elif off(gain_map, original) <= 0.02 and sys.argv[6] == "may":
        print("%s ignores GainMap opcodes: the gain-map DNG develops as the original" % name)
    else:
        sys.exit("FAIL: %s develops the gain-map DNG neither as the corrected DNG nor as the "
                 "original (its GainMaps were not applied, or applied wrongly)" % name)
EOF

if has dcraw; then
    python3 measure.py samples corrected.dng corrected.dng
    python3 measure.py samples gain-map.dng card.dng  # the raw data kept as they were
    echo "dcraw reads the corrected samples, and the gain-map DNG's original ones"
    passed="$passed dcraw"
else
    echo "skipped: dcraw is not installed"
fi

if has exiftool; then
    for dng in corrected.dng gain-map.dng; do
        said=$(exiftool -validate -warning -error -a -s3 "$dng")
        [ "$said" = OK ] || fail "exiftool -validate on $dng: $said"
    done
    echo "exiftool validates both DNGs without a warning"
    passed="$passed exiftool"
else
    echo "skipped: exiftool is not installed"
fi

if has darktable-cli || has rawtherapee-cli; then
    has vips || fail "vips is missing (libvips-tools); it measures the developed pictures"
fi

if has darktable-cli; then
    # No scene-referred defaults (exposure, filmic): developed linearly, in floats that do not
    # clip the bright card.
    for dng in corrected gain-map card; do
        darktable-cli "$dng.dng" "dt-$dng.tif" --icc-type LIN_REC709 --apply-custom-presets false \
            --core --configdir "$work/darktable" --cachedir "$work/darktable-cache" \
            --conf plugins/imageio/format/tiff/bpp=32 --conf plugins/darkroom/workflow=none \
            >dt.log 2>&1 || { cat dt.log >&2; fail "darktable-cli could not develop $dng.dng"; }
        [ -f "dt-$dng.tif" ] || { cat dt.log >&2; fail "darktable-cli wrote nothing for $dng.dng"; }
    done
    python3 measure.py develop darktable-cli dt-corrected.tif dt-gain-map.tif dt-card.tif must
    passed="$passed darktable-cli"
else
    echo "skipped: darktable-cli is not installed"
fi

if has rawtherapee-cli; then
    # The neutral profile, 1.5 EV darker so that the 16-bit output does not clip.
    printf '[Exposure]\nCompensation=-1.5\n' >darker.pp3
    for dng in corrected gain-map card; do
        rawtherapee-cli -o "rt-$dng.tif" -p darker.pp3 -t -Y -c "$dng.dng" >rt.log 2>&1 ||
            { cat rt.log >&2; fail "rawtherapee-cli could not develop $dng.dng"; }
        [ -f "rt-$dng.tif" ] || { cat rt.log >&2; fail "rawtherapee-cli wrote nothing for $dng.dng"; }
    done
    python3 measure.py develop rawtherapee-cli rt-corrected.tif rt-gain-map.tif rt-card.tif may
    passed="$passed rawtherapee-cli"
else
    echo "skipped: rawtherapee-cli is not installed"
fi

echo "raw clients passed:${passed:- none}"
