#!/usr/bin/python3
"""velmora-cli's calibration frames against independent peers, on frames from make_frames.py.

    compare_peers.py --cli VELMORA_CLI --frames DIR --work DIR
                     [--only masters,rejection,calibration,siril] [--bayer-frames DIR] [--jobs N]

  masters      master mean and median of each set against ccdproc's Combiner (with --scale,
               against the Combiner's scaling; per CFA position on --bayer-frames), and the
               same frames in other encodings (BITPIX 8, 32, -32, TIFF): the distance from the
               peer's double result in float32 ulps, goal 0.5 (rounded once to float32).
  rejection    sigma-clip and winsorized masters against this file's own numpy reading of the
               rules, with VREJECT, and how many planted cosmic rays and trail pixels each keeps.
  calibration  tune + filter against ccdproc's subtract_dark and flat_correct, plain and with
               --bias --dark-scale exposure: the largest relative difference where the flat is
               above a tenth of its mean, goal 1e-4.
  siril        filter against Siril's preprocess of the same lights with the same masters: the
               spread of the ratio once one scale per frame is divided out, goal 1e-4.

Prints one row per check and exits 1 when velmora-cli misses a goal; a missing peer is a row
saying so, never a failure.
"""
import argparse
import glob
import json
import os
import shutil
import subprocess
import sys

try:
    import numpy as np
    from astropy.io import fits
except ImportError as missing:
    print("skipped: python3-%s is not installed" % missing.name.split(".")[0])
    sys.exit(0)

try:
    import astropy.units as u
    import ccdproc
    from astropy.nddata import CCDData
except ImportError:
    ccdproc = None

try:
    import tifffile
except ImportError:
    tifffile = None

# Half an ulp: the double result rounded once to float32; the slack is the peers' own double
# rounding, far below it.
ULP_GOAL = 0.5
ULP_SLACK = 1e-3
ULP_TEXT = "<= 0.5 ulp"
RELATIVE_GOAL = 1e-4


class Report:
    def __init__(self):
        self.met = self.missed = self.skipped = 0

    def row(self, group, check, figure, goal, ok, note=""):
        ok = None if ok is None else bool(ok)
        verdict = {True: "goal met", False: "goal NOT met", None: "info"}[ok]
        if ok is True:
            self.met += 1
        elif ok is False:
            self.missed += 1
        print("%-11s %-58s %-26s %-16s %s%s" % (group, check, figure, goal, verdict,
                                             "  (" + note + ")" if note else ""), flush=True)

    def skip(self, group, check, why):
        self.skipped += 1
        print("%-11s %-58s skipped: %s" % (group, check, why), flush=True)


class Failed(Exception):
    pass


def run(command, cwd=None):
    try:
        done = subprocess.run([str(c) for c in command], capture_output=True, text=True, cwd=cwd)
    except OSError as error:
        raise Failed("`%s` could not run: %s" % (command[0], error))
    if done.returncode != 0:
        said = (done.stderr.strip() or done.stdout.strip()).splitlines()
        raise Failed("`%s` exited %d: %s" % (" ".join(map(str, command)), done.returncode,
                                              said[-1] if said else "nothing said"))
    return done.stdout


def read(path):
    with fits.open(path) as hdul:
        return hdul[0].data.astype(np.float64), hdul[0].header


def read_set(root, names):
    return np.array([read(os.path.join(root, n))[0] for n in names])


def ulps_off(ours, reference):
    """|ours - reference| in float32 ulps at the reference, which is a double."""
    spacing = np.spacing(np.abs(reference).astype(np.float32)).astype(np.float64)
    return np.abs(ours - reference) / spacing


def master(cli, out, frames, method, scale="none", low=None, high=None, jobs=None):
    command = [cli, "master", "--method", method, "--scale", scale, "--output", out]
    if low is not None:
        command += ["--low", low, "--high", high]
    if jobs:
        command += ["--jobs", jobs]
    run(command + list(frames))
    return out


def frame_scales(stack, scale, bayer):
    """Factors making each frame's mean (median) the first frame's, per CFA position."""
    if scale == "none":
        return np.ones(stack.shape[:1] + (2, 2) if bayer else stack.shape[:1])
    stat = np.mean if scale == "mean" else np.median
    if not bayer:
        levels = np.array([stat(f) for f in stack])
        return levels[0] / levels
    levels = np.array([[[stat(f[py::2, px::2]) for px in (0, 1)] for py in (0, 1)]
                       for f in stack])
    return levels[0] / levels


def apply_scales(stack, scales):
    if scales.ndim == 1:
        return stack * scales[:, None, None]
    out = stack.copy()
    for py in (0, 1):
        for px in (0, 1):
            out[:, py::2, px::2] *= scales[:, py, px][:, None, None]
    return out


# --- The rejection rules, read independently of velmora's code. Places are columns. -------

def column_median(values, counts):
    """Median of each column's first counts values once sorted (NaNs sort last)."""
    ordered = np.sort(values, axis=0)
    cols = np.arange(values.shape[1])
    return 0.5 * (ordered[(counts - 1) // 2, cols] + ordered[counts // 2, cols])


def sigma_clip(stack, low, high):
    values = stack.reshape(stack.shape[0], -1)
    kept = np.ones(values.shape, bool)
    active = np.arange(values.shape[1])
    while active.size:
        v, k = values[:, active], kept[:, active]
        x = np.where(k, v, np.nan)
        n = k.sum(axis=0)
        m = column_median(x, n)
        mean = np.nansum(x, axis=0) / n
        s = np.sqrt(np.nansum((x - mean) ** 2, axis=0) / n)
        out = k & ((v < m - low * s) | (v > m + high * s))
        kept[:, active] = k & ~out
        active = active[out.any(axis=0)]
    result = np.nansum(np.where(kept, values, np.nan), axis=0) / kept.sum(axis=0)
    return result.reshape(stack.shape[1:]), int((~kept).sum())


def winsorize(stack, low, high):
    """Returns the mean of the winsorized values, the spread s they ended on, and how many
    values were moved (winsorized's rejected)."""
    values = stack.reshape(stack.shape[0], -1).copy()
    places = values.shape[1]
    spread = np.zeros(places)
    last_lo, last_hi = np.full(places, np.nan), np.full(places, np.nan)
    active = np.arange(places)
    for _ in range(100):
        if not active.size:
            break
        w = values[:, active]
        m = column_median(w, np.full(active.size, w.shape[0]))
        s = w.std(axis=0)
        lo, hi = m - low * s, m + high * s
        spread[active] = s
        beyond = ((w < lo) | (w > hi)).any(axis=0)
        values[:, active] = np.clip(w, lo, hi)
        settled = (np.abs(lo - last_lo[active]) < 1e-6 * s) & (np.abs(hi - last_hi[active]) < 1e-6 * s)
        last_lo[active], last_hi[active] = lo, hi
        active = active[beyond & ~settled]
    changed = int((values != stack.reshape(values.shape)).sum())
    return values.mean(axis=0).reshape(stack.shape[1:]), spread.reshape(stack.shape[1:]), changed


def survivors(result, stack, names, planted):
    """Of the planted pixels standing out by more than 10 sigma of the other frames there, how
    many a master still shows: more than half the hit's share of a plain mean left."""
    index = {n: i for i, n in enumerate(names)}
    considered = kept = 0
    n = stack.shape[0]
    for name, pixels in planted.items():
        if name not in index or not pixels:
            continue
        i = index[name]
        ys, xs = np.array(pixels).T
        others = np.delete(stack[:, ys, xs], i, axis=0)
        base, sd = others.mean(axis=0), others.std(axis=0)
        excess = stack[i, ys, xs] - base
        strong = excess > 10 * np.maximum(sd, 1.0)
        considered += int(strong.sum())
        kept += int((strong & (result[ys, xs] - base > 0.5 * excess / n)).sum())
    return kept, considered


# --- The checks. ---------------------------------------------------------------------------

def ccd(data, header=None):
    return CCDData(np.asarray(data, np.float64), unit="adu", meta=header)


def check_masters(args, report, manifest):
    if ccdproc is None:
        report.skip("masters", "masters against ccdproc's Combiner", "python3-ccdproc is not installed")
        return
    work = os.path.join(args.work, "masters")
    os.makedirs(work, exist_ok=True)
    rows = [("bias", "mean", "none"), ("bias", "median", "none"),
            ("dark", "mean", "none"), ("dark", "median", "none"),
            ("flat", "mean", "none"), ("flat", "median", "none"),
            ("flat", "mean", "mean"), ("flat", "median", "median")]
    for kind, method, scale in rows:
        names = manifest["sets"].get(kind, [])
        if not names:
            continue
        check = "%s %s, --scale %s vs Combiner" % (kind, method, scale)
        stack = read_set(args.frames, names)
        combiner = ccdproc.Combiner([ccd(f) for f in stack])
        if scale != "none":
            combiner.scaling = frame_scales(stack, scale, False)
        reference = (combiner.average_combine() if method == "mean"
                     else combiner.median_combine()).data
        compare_master(args, report, "masters", check, work, names, method, scale, reference, len(names))

    if args.bayer_frames:
        bayer = json.load(open(os.path.join(args.bayer_frames, "frames.json")))
        names = bayer["sets"].get("flat", [])
        stack = read_set(args.bayer_frames, names)
        scales = frame_scales(stack, "median", True)
        reference = np.zeros(stack.shape[1:])
        for py in (0, 1):
            for px in (0, 1):
                combiner = ccdproc.Combiner([ccd(f[py::2, px::2]) for f in stack])
                combiner.scaling = scales[:, py, px]
                reference[py::2, px::2] = combiner.median_combine().data
        compare_master(args, report, "masters", "RGGB flat median, --scale median per CFA position",
                       work, [os.path.join(args.bayer_frames, n) for n in names], "median",
                       "median", reference, len(names), root="")

    # The same values in each encoding a frame may come in must make the same master.
    names = manifest["sets"]["bias"][:6]
    stack = read_set(args.frames, names)
    encodings = [("BITPIX 8", np.uint8, stack / 4), ("BITPIX 32", np.int32, stack * 3 - 1000),
                 ("BITPIX -32", np.float32, stack * 0.25), ("16-bit TIFF", np.uint16, stack),
                 ("float TIFF", np.float32, stack * 0.25)]
    for label, dtype, values in encodings:
        check = "bias mean from %s frames vs Combiner" % label
        if label.endswith("TIFF") and tifffile is None:
            report.skip("masters", check, "python3-tifffile is not installed")
            continue
        values = np.clip(np.round(values), 0, 255) if dtype is np.uint8 else values
        files = []
        for i, frame in enumerate(values.astype(dtype)):
            path = os.path.join(work, "encoded-%s-%d" % (label.replace(" ", ""), i))
            if label.endswith("TIFF"):
                path += ".tif"
                tifffile.imwrite(path, frame)
            else:
                path += ".fits"
                fits.PrimaryHDU(frame).writeto(path, overwrite=True)
            files.append(path)
        reference = ccdproc.Combiner([ccd(f) for f in values.astype(dtype)]).average_combine().data
        compare_master(args, report, "masters", check, work, files, "mean", "none", reference,
                       len(files), root="")

    check = "bias median written as float TIFF vs as FITS"
    if tifffile is None:
        report.skip("masters", check, "python3-tifffile is not installed")
        return
    frames = [os.path.join(args.frames, n) for n in names]
    try:
        as_fits = read(master(args.cli, os.path.join(work, "bias.fits"), frames, "median",
                              jobs=args.jobs))[0]
        as_tiff = tifffile.imread(master(args.cli, os.path.join(work, "bias.tif"), frames,
                                         "median", jobs=args.jobs))
    except Failed as failure:
        report.row("masters", check, "-", "the same floats", False, str(failure))
        return
    same = as_tiff.dtype == np.float32 and as_tiff.shape == as_fits.shape and np.array_equal(
        as_tiff.astype(np.float64), as_fits)
    report.row("masters", check, "%s %s" % (as_tiff.dtype, "x".join(map(str, as_tiff.shape))),
               "the same floats", same, "" if same else "values or rows differ")


def compare_master(args, report, group, check, work, names, method, scale, reference, count,
                   root=None, low=None, high=None):
    out = os.path.join(work, "%s-%s-%s-%d.fits" % (os.path.basename(names[0]).split(".")[0],
                                                  method, scale, count))
    frames = [os.path.join(args.frames if root is None else root, n) for n in names]
    try:
        master(args.cli, out, frames, method, scale, low, high, args.jobs)
        data, header = read(out)
    except Failed as failure:
        report.row(group, check, "-", ULP_TEXT, False, str(failure))
        return
    notes = header_faults(header, method, count, low, high)
    if data.shape != reference.shape:
        report.row(group, check, "shape %s" % (data.shape,), ULP_TEXT, False,
                   "the peer's is %s" % (reference.shape,))
        return
    off = ulps_off(data, reference)
    notes += ulp_notes(off, data, reference, "peer")
    report.row(group, check, "%.3f ulp" % off.max(), ULP_TEXT,
               off.max() <= ULP_GOAL + ULP_SLACK and not notes, "; ".join(notes))


def ulp_notes(off, data, reference, peer):
    far = off > ULP_GOAL + ULP_SLACK
    if not far.any():
        return []
    where = np.unravel_index(int(np.argmax(off)), off.shape)
    return ["%d places beyond; at (y %d, x %d) velmora %.9g, %s %.9g" % (
        int(far.sum()), where[0], where[1], data[where], peer, reference[where])]


def header_faults(header, method, count, low, high):
    faults = []
    wanted = {"VMETHOD": method, "NCOMBINE": count}
    if method in ("sigma-clip", "winsorized"):
        wanted.update(VLOW=3.0 if low is None else low, VHIGH=3.0 if high is None else high)
    for card, value in wanted.items():
        got = header.get(card)
        if isinstance(value, float) and got is not None:
            matches = isinstance(got, (int, float)) and abs(got - value) < 1e-9
        else:
            matches = got == value
        if not matches:
            faults.append("header %s = %r, not %r" % (card, got, value))
    if "VREJECT" not in header:
        faults.append("no VREJECT card")
    if not header.get("HISTORY"):
        faults.append("no HISTORY")
    return faults


def check_rejection(args, report, manifest):
    work = os.path.join(args.work, "rejection")
    os.makedirs(work, exist_ok=True)
    planted = manifest["cosmics"]
    # K far from 3 only below the median, so that --low and --high swapped keep the rays.
    rows = [("bias", "sigma-clip", "none", None, None), ("dark", "sigma-clip", "none", 4.0, 2.5),
            ("flat", "sigma-clip", "median", None, None), ("light", "sigma-clip", "none", None, None),
            ("bias", "winsorized", "none", None, None), ("flat", "winsorized", "mean", 3.5, 2.5),
            ("light", "winsorized", "none", None, None)]
    for kind, method, scale, low, high in rows:
        names = manifest["sets"].get(kind, [])
        if len(names) < 3:
            continue
        options = "" if low is None else " --low %g --high %g" % (low, high)
        check = "%s %s%s, --scale %s vs numpy" % (kind, method, options, scale)
        stack = read_set(args.frames, names)
        stack = apply_scales(stack, frame_scales(stack, scale, False))
        k_low, k_high = (3.0, 3.0) if low is None else (low, high)
        out = os.path.join(work, "%s-%s-%s.fits" % (kind, method, scale))
        try:
            master(args.cli, out, [os.path.join(args.frames, n) for n in names], method, scale,
                   low, high, args.jobs)
            data, header = read(out)
        except Failed as failure:
            report.row("rejection", check, "-", ULP_TEXT, False, str(failure))
            continue
        notes = header_faults(header, method, len(names), low, high)
        if method == "sigma-clip":
            reference, rejected = sigma_clip(stack, k_low, k_high)
            allowed = np.zeros(reference.shape)
        else:
            reference, spread, rejected = winsorize(stack, k_low, k_high)
            # The stop rule leaves the limits free to move by 1e-6 s: so may the mean.
            allowed = 1e-6 * spread
        if header.get("VREJECT") != rejected:
            notes.append("VREJECT = %r, the rule rejects (moves) %d" % (header.get("VREJECT"), rejected))
        off = np.where(np.abs(data - reference) > allowed, ulps_off(data, reference), 0)
        notes += ulp_notes(off, data, reference, "numpy")
        kept, considered = survivors(data, stack, names, planted)
        plain, _ = survivors(stack.mean(axis=0), stack, names, planted)
        own, _ = survivors(reference, stack, names, planted)
        trail = survivors(data, stack, names, manifest["trail"])
        plain_trail = survivors(stack.mean(axis=0), stack, names, manifest["trail"])
        report.row("rejection", check, "%.3f ulp" % off.max(), ULP_TEXT,
                   off.max() <= ULP_GOAL + ULP_SLACK and not notes, "; ".join(notes))
        figure = "%d of %d kept" % (kept, considered)
        note = "numpy's rule keeps %d, a plain mean %d; trail pixels kept %d of %d (plain mean %d)" % (
            own, plain, trail[0], trail[1], plain_trail[0])
        report.row("rejection", "  planted cosmic rays in that master", figure, "as numpy's rule",
                   kept == own, note)


def write_masters(args, manifest):
    """Masters made here (float32 FITS, EXPTIME kept), so that tune and filter are tried
    alone, on the encoding a master comes in."""
    folder = os.path.join(args.work, "calibration")
    os.makedirs(folder, exist_ok=True)
    paths = {}
    for kind in ("bias", "dark", "dark-short", "darkflat", "flat"):
        names = manifest["sets"][kind]
        stack = read_set(args.frames, names)
        header = read(os.path.join(args.frames, names[0]))[1]
        header.add_history("mean of %d frames" % len(names))
        paths[kind] = os.path.join(folder, "master-%s.fits" % kind)
        fits.PrimaryHDU(stack.mean(axis=0).astype(np.float32), header).writeto(paths[kind],
                                                                              overwrite=True)
    return paths


def ccdproc_calibrated(masters, lights, bias_scaled):
    def load(path):
        data, header = read(path)
        return ccd(data, header)
    dark_options = dict(exposure_time="EXPTIME", exposure_unit=u.s)
    flat = load(masters["flat"])
    if bias_scaled:
        bias = load(masters["bias"])
        dark = load(masters["dark-short"]).subtract(bias)
        dark.meta = load(masters["dark-short"]).meta
        flat = ccdproc.subtract_dark(ccdproc.subtract_bias(flat, bias), dark, scale=True,
                                     **dark_options)
    else:
        dark = load(masters["dark"])
        flat = ccdproc.subtract_dark(flat, load(masters["darkflat"]), **dark_options)
    out = []
    for light in lights:
        light = load(light)
        if bias_scaled:
            light = ccdproc.subtract_dark(ccdproc.subtract_bias(light, bias), dark, scale=True,
                                          **dark_options)
        else:
            light = ccdproc.subtract_dark(light, dark, **dark_options)
        out.append(ccdproc.flat_correct(light, flat).data)
    return out, flat.data


def velmora_calibrated(args, masters, lights, bias_scaled, folder):
    os.makedirs(folder, exist_ok=True)
    profile = os.path.join(folder, "profile.tif")
    if bias_scaled:
        darks = ["--dark", masters["dark-short"], "--bias", masters["bias"], "--dark-scale", "exposure"]
    else:
        darks = ["--dark", masters["dark"]]
    tune_darks = darks if bias_scaled else ["--dark", masters["darkflat"]]
    run([args.cli, "tune", masters["flat"], "--profile", profile, "--level", "mean",
         "--smooth", "0"] + tune_darks)
    jobs = ["--jobs", args.jobs] if args.jobs else []
    run([args.cli, "filter", "--quiet", "--profile", profile, "--output-dir", folder] + darks
        + jobs + lights)
    return [os.path.join(folder, os.path.basename(p) + ".fits") for p in lights]


def check_calibration(args, report, manifest, masters):
    lights = [os.path.join(args.frames, n) for n in manifest["sets"]["light"]]
    results = {}
    for bias_scaled, label in ((False, "--dark"), (True, "--bias --dark-scale exposure")):
        check = "tune + filter %s vs ccdproc" % label
        goal = "<= %g relative" % RELATIVE_GOAL
        try:
            written = velmora_calibrated(args, masters, lights, bias_scaled, os.path.join(
                args.work, "calibration", "scaled" if bias_scaled else "plain"))
            outputs = [read(p) for p in written]
        except (Failed, OSError) as failure:
            report.row("calibration", check, "-", goal, False, str(failure))
            continue
        results[bias_scaled] = outputs
        if ccdproc is None:
            report.skip("calibration", check, "python3-ccdproc is not installed")
            continue
        references, flat = ccdproc_calibrated(masters, lights, bias_scaled)
        lit = flat > 0.1 * flat.mean()
        worst, note = 0.0, ""
        for path, (data, _), reference in zip(written, outputs, references):
            # Relative to at least 1 DN, so that a value near 0 does not blow it up.
            relative = np.where(lit, np.abs(data - reference) / np.maximum(np.abs(reference), 1.0), 0)
            where = np.unravel_index(int(np.argmax(relative)), relative.shape)
            if relative[where] > worst:
                worst = relative[where]
                note = "%s at (y %d, x %d): velmora %.7g, ccdproc %.7g" % (
                    os.path.basename(path), where[0], where[1], data[where], reference[where])
        report.row("calibration", check, "%.2e" % worst, goal, worst <= RELATIVE_GOAL,
                   note if worst > RELATIVE_GOAL else "")

    if False in results:
        faults = []
        for light, (_, header) in zip(lights, results[False]):
            source = read(light)[1]
            for card in ("EXPTIME", "DATE-OBS", "OBJECT"):
                if header.get(card) != source.get(card):
                    faults.append("%s: %s = %r, not %r" % (os.path.basename(light), card,
                                                           header.get(card), source.get(card)))
            if header.get("BITPIX") != -32:
                faults.append("%s: BITPIX %r" % (os.path.basename(light), header.get("BITPIX")))
            if not header.get("HISTORY"):
                faults.append("%s: no HISTORY" % os.path.basename(light))
        report.row("calibration", "calibrated lights: BITPIX -32, cards carried, HISTORY",
                   "%d faults" % len(faults), "none", not faults, "; ".join(faults[:3]))
    return results.get(False)


def siril_calibrated(masters, lights, folder):
    """Siril's preprocess of the lights with the master dark and the flat; None when it fails."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, "lights"))
    for i, light in enumerate(lights):
        os.symlink(os.path.abspath(light), os.path.join(folder, "lights", "light-%02d.fits" % (i + 1)))
    # Siril's preprocess takes a flat that is already calibrated: the master flat less the
    # master dark flat, as velmora's tune does it.
    flat = read(masters["flat"])[0] - read(masters["darkflat"])[0]
    fits.PrimaryHDU(flat.astype(np.float32)).writeto(os.path.join(folder, "flat.fits"))
    # Siril 1.0's preprocess always applies its cosmetic correction (hot pixels found in the
    # dark) with -dark=; the dark given as -bias= is subtracted the same, without it.
    script = ["requires 1.0.0", "set32bits", "setext fits", "cd lights", "link light -out=../seq",
              "cd ../seq",
              "preprocess light -bias=%s -flat=../flat.fits" % os.path.abspath(masters["dark"])]
    with open(os.path.join(folder, "calibrate.ssf"), "w") as f:
        f.write("\n".join(script) + "\n")
    with open(os.path.join(folder, "siril.log"), "w") as log:
        done = subprocess.run([shutil.which("siril-cli"), "-s", "calibrate.ssf"], cwd=folder,
                              stdout=log, stderr=subprocess.STDOUT,
                              env=dict(os.environ, XDG_CONFIG_HOME=os.path.join(folder, "config")))
    outputs = sorted(glob.glob(os.path.join(folder, "seq", "pp_light_*.fits")))
    if done.returncode != 0 or len(outputs) != len(lights):
        return None, flat
    return [read(p)[0] for p in outputs], flat


def ratio_spread(ours, theirs, lit):
    """The largest distance of theirs / ours from its median, frame by frame, and the median
    scale."""
    spread, scales = 0.0, []
    for a, b in zip(ours, theirs):
        ratio = b[lit] / a[lit]
        scales.append(np.median(ratio))
        spread = max(spread, float(np.abs(ratio / scales[-1] - 1).max()))
    return spread, float(np.median(scales))


def check_siril(args, report, manifest, masters, velmora_lights):
    check = "filter --dark vs Siril preprocess, one scale a frame"
    if not shutil.which("siril-cli"):
        report.skip("siril", check, "siril-cli is not installed")
        return
    lights = [os.path.join(args.frames, n) for n in manifest["sets"]["light"]]
    folder = os.path.join(args.work, "siril")
    siril, flat = siril_calibrated(masters, lights, folder)
    if siril is None:
        report.skip("siril", check, "siril-cli failed, see %s/siril.log" % folder)
        return
    lit = flat > 0.1 * flat.mean()
    goal = "<= %g" % RELATIVE_GOAL
    if ccdproc is not None:
        spread, scale = ratio_spread(ccdproc_calibrated(masters, lights, False)[0], siril, lit)
        report.row("siril", "  (peers) Siril vs ccdproc, one scale a frame", "%.2e" % spread, goal,
                   None, "Siril / ccdproc = 1 / %.6g" % (1 / scale))
    if velmora_lights is None:
        report.skip("siril", check, "velmora-cli's calibrated lights are missing")
        return
    spread, scale = ratio_spread([data for data, _ in velmora_lights], siril, lit)
    report.row("siril", check, "%.2e" % spread, goal, spread <= RELATIVE_GOAL,
               "Siril / velmora = 1 / %.6g" % (1 / scale))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--cli", required=True)
    parser.add_argument("--frames", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--only", default="masters,rejection,calibration,siril",
                        help="the groups of checks to run, comma-separated")
    parser.add_argument("--bayer-frames")
    parser.add_argument("--jobs")
    args = parser.parse_args()
    groups = set(args.only.split(","))
    manifest = json.load(open(os.path.join(args.frames, "frames.json")))
    os.makedirs(args.work, exist_ok=True)
    report = Report()
    print("Frames of %d x %d from %s; velmora-cli %s" % (manifest["width"], manifest["height"],
                                                        args.frames, args.cli))
    print("%-11s %-58s %-26s %-16s %s" % ("", "check", "velmora-cli", "goal", "verdict"))
    if "masters" in groups:
        check_masters(args, report, manifest)
    if "rejection" in groups:
        check_rejection(args, report, manifest)
    if "calibration" in groups or "siril" in groups:
        masters = write_masters(args, manifest)
        calibrated = check_calibration(args, report, manifest, masters)
        if "siril" in groups:
            check_siril(args, report, manifest, masters, calibrated)
    print("\n%d goals met, %d NOT met, %d skipped" % (report.met, report.missed, report.skipped))
    sys.exit(1 if report.missed else 0)


if __name__ == "__main__":
    main()
