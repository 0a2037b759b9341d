#!/usr/bin/python3
"""Synthetic calibration frames of one camera, as 16-bit FITS (BITPIX 16, BZERO 32768).

    make_frames.py OUTDIR WIDTH HEIGHT [--bias N] [--darks N] [--short-darks N]
                   [--darkflats N] [--flats N] [--lights N] [--cosmics K] [--bayer] [--seed S]

Writes OUTDIR/<set>/<set>-NN.fits for the sets bias, dark (the lights' exposure), dark-short
(a quarter of it, for exposure scaling), darkflat (the flats' exposure), flat and light, and
OUTDIR/frames.json: the files of each set, their exposures, and the pixels where cosmic rays and
a satellite trail were planted, so that the comparison can tell whether a master kept them.

The camera: a bias of about 500 DN with a fixed column pattern and read noise; dark current with
hot pixels and amp glow in one corner, growing with exposure; a lens falloff of about 1 EV to
the corners, dust donuts and PRNU of about 1 % on every lit frame, with photon noise (1 e-/DN).
The flats come at two panel levels (1 and 1.25), so that scaling them matters. Every frame gets
K cosmic rays (default 4); one flat and one light also get a satellite trail. With --bayer the
frames carry BAYERPAT = 'RGGB' and each colour of the mosaic its own response.

The same seed gives the same frames whatever the counts, so a small set is a prefix of a large.
"""
import argparse
import json
import os
import sys
from datetime import datetime, timedelta

import numpy as np
from astropy.io import fits

EXPOSURE = {"bias": 0.0, "dark": 120.0, "dark-short": 30.0, "darkflat": 2.0, "flat": 2.0,
            "light": 120.0}
OBJECT = {"bias": "bias", "dark": "dark", "dark-short": "dark", "darkflat": "dark flat",
          "flat": "flat", "light": "M 42"}
BIAS_LEVEL = 500.0
READ_NOISE = 4.0
FLAT_LEVEL = 24000.0  # DN at the centre, panel level 1
SKY_LEVEL = 1500.0
CFA_RESPONSE = {(0, 0): 0.55, (0, 1): 1.0, (1, 0): 1.0, (1, 1): 0.75}  # RGGB


class Camera:
    """What stays the same from frame to frame."""

    def __init__(self, width, height, seed, bayer):
        rng = np.random.default_rng([seed, 0])
        self.shape = (height, width)
        y, x = np.mgrid[0:height, 0:width].astype(np.float32)
        cy, cx = (height - 1) / 2, (width - 1) / 2
        r = np.hypot(x - cx, y - cy)
        # cos^4 falloff with the focal length that makes the corners half the centre: 1 EV.
        focal = np.hypot(cx, cy) / np.tan(np.arccos(0.5 ** 0.25))
        light = np.cos(np.arctan(r / focal)) ** 4
        diagonal = np.hypot(width, height)
        for _ in range(max(3, width * height // 1000000)):
            dy, dx = rng.uniform(0.1, 0.9) * height, rng.uniform(0.1, 0.9) * width
            radius, depth = rng.uniform(0.008, 0.02) * diagonal, rng.uniform(0.05, 0.15)
            # Only the donut's neighbourhood: a full-frame pass per donut is slow at 24 MP.
            y0, y1 = max(0, int(dy - 2 * radius)), min(height, int(dy + 2 * radius) + 1)
            x0, x1 = max(0, int(dx - 2 * radius)), min(width, int(dx + 2 * radius) + 1)
            d = np.hypot(x[y0:y1, x0:x1] - dx, y[y0:y1, x0:x1] - dy)
            light[y0:y1, x0:x1] *= 1 - depth * np.exp(-((d - radius) / (0.3 * radius)) ** 2)
        light *= 1 + 0.01 * rng.standard_normal(self.shape, dtype=np.float32)
        if bayer:
            for (py, px), gain in CFA_RESPONSE.items():
                light[py::2, px::2] *= gain
        self.response = light.astype(np.float32)
        self.bias = (BIAS_LEVEL + 3.0 * rng.standard_normal(width, dtype=np.float32)[None, :]
                     + np.zeros(self.shape, np.float32))
        rate = np.full(self.shape, 0.05, np.float32)
        hot = rng.random(self.shape) < 1e-3
        rate[hot] = rng.uniform(1.0, 20.0, int(hot.sum()))
        glow_r = np.hypot(x - (width - 1), y)  # the top-right corner (last column, first row)
        rate += 2.0 * np.exp(-glow_r / (0.15 * width))
        self.dark_rate = rate
        self.sky = self.stars(rng, width, height)

    @staticmethod
    def stars(rng, width, height):
        sky = np.full((height, width), SKY_LEVEL, np.float32)
        count = max(20, width * height // 2000)
        stamp = np.arange(-5, 6, dtype=np.float32)
        for _ in range(count):
            sy, sx = rng.uniform(6, height - 7), rng.uniform(6, width - 7)
            iy, ix = int(sy), int(sx)
            peak = 20000.0 * rng.random() ** 3
            g = np.exp(-((stamp[:, None] + iy - sy) ** 2 + (stamp[None, :] + ix - sx) ** 2)
                       / (2 * 1.5 ** 2))
            sky[iy - 5:iy + 6, ix - 5:ix + 6] += peak * g
        return sky


def plant_cosmics(rng, data, count):
    """A few hits of one to three pixels each; returns their pixels."""
    height, width = data.shape
    pixels = []
    for _ in range(count):
        y, x = int(rng.integers(2, height - 2)), int(rng.integers(2, width - 2))
        amplitude = rng.uniform(3000, 20000)
        for k in range(int(rng.integers(1, 4))):
            data[y, x + k] += amplitude * (0.6 ** k)
            pixels.append([y, x + k])
    return pixels


def plant_trail(rng, data, amplitude):
    """A satellite: a straight line of two pixels' width across the frame."""
    height, width = data.shape
    y0, y1 = rng.uniform(0.2, 0.8, 2) * height
    xs = np.arange(width)
    ys = np.round(y0 + (y1 - y0) * xs / width).astype(int)
    pixels = []
    for dy in (0, 1):
        data[ys + dy, xs] += amplitude
        pixels += [[int(a), int(b)] for a, b in zip(ys + dy, xs)]
    return pixels


def frame(camera, kind, index, seed, cosmics):
    rng = np.random.default_rng([seed, 1 + list(EXPOSURE).index(kind), index])
    shape = camera.shape
    exposure = EXPOSURE[kind]
    electrons = camera.dark_rate * exposure
    if kind == "flat":
        level = FLAT_LEVEL * (1.0 if index % 2 == 0 else 1.25)
        electrons = electrons + level * camera.response
    elif kind == "light":
        electrons = electrons + camera.sky * camera.response
    data = camera.bias + electrons
    data += np.sqrt(electrons) * rng.standard_normal(shape, dtype=np.float32)
    data += READ_NOISE * rng.standard_normal(shape, dtype=np.float32)
    planted = plant_cosmics(rng, data, cosmics)
    trail = []
    if kind in ("flat", "light") and index == 1:
        # Some 20 sigma of the photon noise either way, so that rejection has to catch it.
        trail = plant_trail(rng, data, 3000.0 if kind == "flat" else 800.0)
    return np.clip(np.round(data), 0, 65535).astype(np.uint16), exposure, planted, trail


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("outdir")
    parser.add_argument("width", type=int)
    parser.add_argument("height", type=int)
    parser.add_argument("--bias", type=int, default=12)
    parser.add_argument("--darks", type=int, default=12)
    parser.add_argument("--short-darks", type=int, default=12)
    parser.add_argument("--darkflats", type=int, default=12)
    parser.add_argument("--flats", type=int, default=12)
    parser.add_argument("--lights", type=int, default=12)
    parser.add_argument("--cosmics", type=int, default=4)
    parser.add_argument("--bayer", action="store_true")
    parser.add_argument("--seed", type=int, default=1288)
    args = parser.parse_args()
    if args.width < 32 or args.height < 32 or (args.bayer and (args.width | args.height) & 1):
        sys.exit("frames must be at least 32 x 32, and even for a Bayer mosaic")

    camera = Camera(args.width, args.height, args.seed, args.bayer)
    counts = {"bias": args.bias, "dark": args.darks, "dark-short": args.short_darks,
              "darkflat": args.darkflats, "flat": args.flats, "light": args.lights}
    manifest = {"width": args.width, "height": args.height, "seed": args.seed,
                "bayer": "RGGB" if args.bayer else None, "exposure": EXPOSURE,
                "sets": {}, "cosmics": {}, "trail": {}}
    start = datetime(2024, 3, 1, 21, 0, 0)
    for kind, count in counts.items():
        if count <= 0:
            continue
        os.makedirs(os.path.join(args.outdir, kind), exist_ok=True)
        names = []
        for index in range(count):
            data, exposure, planted, trail = frame(camera, kind, index, args.seed, args.cosmics)
            name = os.path.join(kind, "%s-%02d.fits" % (kind, index + 1))
            header = fits.Header()
            header["EXPTIME"] = (exposure, "exposure time, s")
            header["DATE-OBS"] = (start + timedelta(minutes=3 * index)).isoformat()
            header["OBJECT"] = OBJECT[kind]
            header["IMAGETYP"] = kind
            if args.bayer:
                header["BAYERPAT"] = "RGGB"
            # astropy stores uint16 as BITPIX 16 with BZERO 32768.
            fits.PrimaryHDU(data, header).writeto(os.path.join(args.outdir, name), overwrite=True)
            names.append(name)
            manifest["cosmics"][name] = planted
            if trail:
                manifest["trail"][name] = trail
        manifest["sets"][kind] = names
    with open(os.path.join(args.outdir, "frames.json"), "w") as f:
        json.dump(manifest, f)


if __name__ == "__main__":
    main()
