#!/usr/bin/python3
"""A generated scene that is hard with few labels: crop fields at different
growth stages.

    bench/hard_scene.py OUT_DIR [--seed 0] [--size 96x96] [--bands 120]

Writes OUT_DIR/data.mat (`data`, H x W x C float32 reflectance) and
OUT_DIR/gt.mat (`gt`, H x W uint8, 0 = unlabelled), then prints the pixel
count of each class.

Fields are Voronoi cells of irregular size, several per class, some left
unlabelled (meadow, fallow), with roads along part of their borders. Classes
2 and 3 differ only by a 4 nm red-edge shift, 2 and 4 only by the depth of
the 1200 nm water band, so a handful of labelled pixels leaves them close.
Per-field brightness, cover and red-edge jitter, a smooth texture, mixed
pixels at every border and band-dependent noise keep the rest from being
trivial. The same seed gives the same files.
"""
import argparse
import os
import sys

import numpy as np
import scipy.io
from scipy import ndimage
from scipy.spatial import cKDTree

CLASS_NAMES = {
    1: "wheat, tillering",
    2: "wheat, heading",
    3: "wheat, heading (later sown)",
    4: "barley, heading",
    5: "maize, senescent",
    6: "ploughed soil",
}
# Field kinds drawn without a label: they shape the scene but are never scored.
UNLABELLED_KINDS = ("meadow", "fallow")


def gauss(lam, centre, width):
    return np.exp(-0.5 * ((lam - centre) / width) ** 2)


def sigmoid(lam, centre, width):
    return 1.0 / (1.0 + np.exp(-(lam - centre) / width))


def soil(lam, clay=0.0, moisture=1.0):
    r = 0.10 + 0.22 * sigmoid(lam, 900.0, 300.0)
    r = r - 0.03 * moisture * gauss(lam, 1420.0, 40.0) - 0.06 * moisture * gauss(lam, 1920.0, 50.0)
    return r - clay * gauss(lam, 2205.0, 25.0)


def leaf(lam, red_edge, nir, chlorophyll=1.0, water=1.0, band1200=0.10, cellulose=0.0):
    """Dense canopy: green peak, red well, sigmoid red edge, NIR plateau and
    the water bands, each absorption as a fractional depth."""
    visible = 0.05 + 0.06 * chlorophyll * gauss(lam, 550.0, 35.0) - 0.025 * chlorophyll * gauss(lam, 670.0, 25.0)
    visible += (1.0 - chlorophyll) * 0.08 * sigmoid(lam, 560.0, 30.0)  # yellowing: red no longer absorbed
    r = visible + (nir - visible) * sigmoid(lam, red_edge, 14.0)
    r = r * (1.0 - 0.45 * sigmoid(lam, 1350.0, 90.0))  # leaf water lowers the whole SWIR
    depth = (0.05 * water * gauss(lam, 970.0, 30.0) + band1200 * water * gauss(lam, 1190.0, 40.0) +
             0.55 * water * gauss(lam, 1450.0, 60.0) + 0.70 * water * gauss(lam, 1940.0, 70.0) +
             cellulose * gauss(lam, 2100.0, 60.0))
    return r * (1.0 - np.clip(depth, 0.0, 0.95))


# (cover, red edge nm, NIR plateau, chlorophyll, water, 1200 nm depth, cellulose, soil clay)
KINDS = {
    1: (0.45, 712.0, 0.42, 1.0, 1.0, 0.10, 0.00, 0.02),
    2: (0.85, 722.0, 0.46, 1.0, 1.0, 0.10, 0.00, 0.02),
    3: (0.85, 726.0, 0.46, 1.0, 1.0, 0.10, 0.00, 0.02),
    4: (0.85, 722.0, 0.46, 1.0, 1.0, 0.14, 0.00, 0.02),
    5: (0.70, 705.0, 0.38, 0.35, 0.45, 0.08, 0.10, 0.02),
    6: (0.00, 720.0, 0.40, 1.0, 1.0, 0.10, 0.00, 0.05),
    "meadow": (0.95, 718.0, 0.50, 1.0, 1.1, 0.10, 0.00, 0.02),
    "fallow": (0.15, 705.0, 0.30, 0.6, 0.6, 0.08, 0.05, 0.00),
}


def field_spectra(lam, kind, rng):
    """Spectrum of one field and its change per unit of cover (for the
    per-pixel texture), with this field's own jitter."""
    cover, red_edge, nir, chl, water, b1200, cell, clay = KINDS[kind]
    cover = float(np.clip(cover + rng.normal(0.0, 0.03), 0.0, 1.0)) if cover > 0 else 0.0
    red_edge += rng.normal(0.0, 1.5)
    nir *= rng.uniform(0.97, 1.03)
    b1200 *= rng.uniform(0.95, 1.05)
    veg = leaf(lam, red_edge, nir, chl, water, b1200, cell)
    ground = soil(lam, clay=clay * rng.uniform(0.8, 1.2), moisture=rng.uniform(0.6, 1.4))
    spectrum = cover * veg + (1.0 - cover) * ground
    # Bare soil gets its texture from clods and moisture, not from cover.
    per_cover = veg - ground if cover > 0 else 0.3 * ground
    brightness = rng.uniform(0.88, 1.12)
    return brightness * spectrum, brightness * per_cover


def road(lam):
    return 0.08 + 0.07 * sigmoid(lam, 800.0, 400.0) - 0.01 * gauss(lam, 1700.0, 80.0)


def spread_seeds(rng, n, h, w, min_gap):
    """Field centres no closer than min_gap (rejection sampling, relaxed when
    the scene is crowded), so no field shrinks to a few pixels."""
    seeds = []
    gap = min_gap
    tries = 0
    while len(seeds) < n:
        p = rng.uniform([0.0, 0.0], [h, w])
        if all(np.hypot(*(p - q)) >= gap for q in seeds):
            seeds.append(p)
        tries += 1
        if tries % 2000 == 0:
            gap *= 0.9
    return np.array(seeds)


def make_scene(h, w, c, seed):
    rng = np.random.default_rng(seed)
    lam = np.linspace(400.0, 2500.0, c)
    classes = sorted(CLASS_NAMES)

    # Fields: about one per 250 pixels, at least two per class plus two unlabelled.
    n_fields = max(2 * len(classes) + 2, int(round(h * w / 250.0)))
    n_unlabelled = max(2, n_fields // 8)
    kinds = [classes[i % len(classes)] for i in range(n_fields - n_unlabelled)]
    kinds += [UNLABELLED_KINDS[i % len(UNLABELLED_KINDS)] for i in range(n_unlabelled)]
    rng.shuffle(kinds)
    seeds = spread_seeds(rng, n_fields, h, w, min_gap=0.6 * np.sqrt(h * w / n_fields))

    # Nearest and second-nearest centre of every pixel, and the distance to
    # the border between them (the bisector), which decides the roads.
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float64) + 0.5
    pts = np.stack([yy.ravel(), xx.ravel()], axis=1)
    dist, nearest = cKDTree(seeds).query(pts, k=2)
    first, second = nearest[:, 0], nearest[:, 1]
    d_first, d_second = dist[:, 0] ** 2, dist[:, 1] ** 2
    gap = np.linalg.norm(seeds[first] - seeds[second], axis=1)
    to_border = (d_second - d_first) / (2.0 * gap)
    # About 60 % of the borders carry a road; on the others two fields touch.
    has_road = rng.random((n_fields, n_fields)) < 0.6
    has_road = np.triu(has_road, 1)
    has_road = has_road | has_road.T
    on_road = (to_border < 0.9) & has_road[first, second]

    owner = np.where(on_road, n_fields, first).reshape(h, w)  # index n_fields = road

    spectra = np.empty((n_fields + 1, c))
    per_cover = np.zeros((n_fields + 1, c))
    for i, kind in enumerate(kinds):
        spectra[i], per_cover[i] = field_spectra(lam, kind, rng)
    spectra[n_fields] = road(lam) * rng.uniform(0.95, 1.05)

    # Mixed pixels: every pixel takes a little of its neighbours' surfaces.
    abundance = np.empty((n_fields + 1, h, w))
    for i in range(n_fields + 1):
        abundance[i] = ndimage.gaussian_filter((owner == i).astype(np.float64), sigma=0.6, mode="nearest")
    abundance /= abundance.sum(axis=0, keepdims=True)
    a = abundance.reshape(n_fields + 1, -1).T  # (H*W, F+1)

    # Smooth texture: patchy cover inside a field and a little shading.
    def texture(sigma):
        t = ndimage.gaussian_filter(rng.standard_normal((h, w)), sigma=sigma, mode="reflect")
        return (t / (t.std() + 1e-12)).ravel()

    cover_shift = 0.06 * texture(1.5)
    shading = 1.0 + 0.04 * texture(3.0)
    cube = (a @ spectra + cover_shift[:, None] * (a @ per_cover)) * shading[:, None]

    # Sensor noise, worse where the atmosphere leaves little light.
    sigma_band = 0.010 * (1.0 + 2.5 * gauss(lam, 1400.0, 40.0) + 3.0 * gauss(lam, 1900.0, 60.0) +
                          0.8 * sigmoid(lam, 2300.0, 80.0))
    cube += rng.standard_normal(cube.shape) * sigma_band[None, :]
    cube = np.clip(cube, 0.0, None).reshape(h, w, c).astype(np.float32)

    label_of = np.array([k if isinstance(k, int) else 0 for k in kinds] + [0], dtype=np.uint8)
    gt = label_of[owner]
    return cube, gt, lam


def parse_size(text):
    try:
        h, w = (int(v) for v in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected HxW, e.g. 96x96, got '{text}'")
    if h < 64 or w < 64:
        raise argparse.ArgumentTypeError(f"the scene must be at least 64x64 (the network needs 16 x 32), got {text}")
    return h, w


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("out_dir")
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--size", type=parse_size, default=(96, 96), help="HxW (default 96x96, at least 64x64)")
    p.add_argument("--bands", type=int, default=120)
    args = p.parse_args()
    if args.seed < 0:
        p.error("--seed must not be negative")
    if args.bands < 10:
        p.error("--bands must be at least 10")
    h, w = args.size
    cube, gt, lam = make_scene(h, w, args.bands, args.seed)
    if not np.isfinite(cube).all():
        sys.exit("hard_scene: the generated cube holds non-finite values")
    os.makedirs(args.out_dir, exist_ok=True)
    scipy.io.savemat(os.path.join(args.out_dir, "data.mat"), {"data": cube}, do_compression=True)
    scipy.io.savemat(os.path.join(args.out_dir, "gt.mat"), {"gt": gt}, do_compression=True)
    print(f"{h} x {w} x {args.bands} (400-2500 nm), seed {args.seed} -> {args.out_dir}/data.mat, gt.mat")
    ids, counts = np.unique(gt, return_counts=True)
    for k, n in zip(ids, counts):
        name = "unlabelled (roads, meadow, fallow)" if k == 0 else CLASS_NAMES[int(k)]
        print(f"  class {int(k)}: {int(n):6d} pixels  {name}")


if __name__ == "__main__":
    main()
