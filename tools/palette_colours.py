#!/usr/bin/env python3
"""Writes the 48 class colours of lumora/maps/palette.cpp.

The list starts with Sasha Trubetskoy's "20 simple distinct colours" less
the greys, navy, apricot, black and white, and goes on, colour by colour,
with the point of an sRGB grid (lightness 30..95) farthest in CIELAB (D65,
CIE76 distance) from every colour chosen so far and from black, white and
the two greys the maps use for other things.
"""


def srgb_to_lab(c):
    def lin(u):
        u /= 255.0
        return u / 12.92 if u <= 0.04045 else ((u + 0.055) / 1.055) ** 2.4

    r, g, b = (lin(float(v)) for v in c)
    x = (0.4124 * r + 0.3576 * g + 0.1805 * b) / 0.95047
    y = 0.2126 * r + 0.7152 * g + 0.0722 * b
    z = (0.0193 * r + 0.1192 * g + 0.9505 * b) / 1.08883

    def f(t):
        return t ** (1 / 3) if t > 0.008856 else 7.787 * t + 16 / 116

    fx, fy, fz = f(x), f(y), f(z)
    return (116 * fy - 16, 500 * (fx - fy), 200 * (fy - fz))


def distance(a, b):
    return sum((p - q) ** 2 for p, q in zip(a, b)) ** 0.5


SEED = ["e6194b", "3cb44b", "ffe119", "4363d8", "f58231", "911eb4", "42d4f4", "f032e6", "bfef45", "fabed4",
        "469990", "dcbeff", "9a6324", "fffac8", "800000", "aaffc3", "808000"]
AVOID = [(0, 0, 0), (255, 255, 255), (128, 128, 128), (169, 169, 169)]
STEPS = [0, 34, 68, 102, 136, 170, 204, 238, 255]


def main():
    colours = [tuple(int(h[i:i + 2], 16) for i in (0, 2, 4)) for h in SEED]
    labs = [srgb_to_lab(c) for c in colours + AVOID]
    grid = [(r, g, b) for r in STEPS for g in STEPS for b in STEPS]
    candidates = {c: srgb_to_lab(c) for c in grid if 30 <= srgb_to_lab(c)[0] <= 95}
    while len(colours) < 48:
        best = max(candidates, key=lambda c: min(distance(candidates[c], lab) for lab in labs))
        colours.append(best)
        labs.append(candidates[best])
    print(",\n".join(", ".join("0x%02x%02x%02x" % c for c in colours[i:i + 10]) for i in range(0, 48, 10)))


if __name__ == "__main__":
    main()
