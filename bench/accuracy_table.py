#!/usr/bin/python3
"""The table of bench/accuracy.sh: gathers each method's per-seed scores
from its folder under OUT, prints one Markdown table (mean ± sample std over
the seeds) and writes OUT/accuracy.md and OUT/accuracy.csv.

    bench/accuracy_table.py --out OUT --seed 42 --seeds 3 --methods LIST [--title TEXT]

OUT/runs.tsv (written by accuracy.sh) names each lumora run: method, kind
(train, treefit or baseline), exit status, start and end time, log, folder.
Baseline results are OUT/baselines/seed_S.csv as bench/baselines.py prints
them. A method whose run failed, or lacks a seed's result, is shown as
failed with its log: never as a score.
"""
import argparse
import csv
import math
import os
import statistics
import sys

# The columns of test_results.csv holding OA, AA and kappa.
COLUMNS = {
    "train": ("test_oa", "test_aa", "test_kappa"),
    "treefit": ("OA", "AA", "kappa"),
    "baseline": ("oa", "aa", "kappa"),
}


class Missing(Exception):
    pass


def read_runs(path):
    runs = {}
    if not os.path.exists(path):
        return runs
    with open(path, newline="") as f:
        for row in csv.reader(f, delimiter="\t"):
            if len(row) != 7:
                continue
            method, kind, rc, start, end, log, folder = row
            try:
                seconds = float(end) - float(start)
            except ValueError:
                seconds = math.nan
            runs[method] = {"kind": kind, "rc": int(rc), "seconds": seconds, "log": log, "dir": folder}
    return runs


def checked_scores(row, columns, where):
    values = []
    for col in columns:
        text = (row.get(col) or "").strip()
        try:
            v = float(text)
        except ValueError:
            raise Missing(f"{where}: column {col} holds '{text}', not a number")
        low = -1.0 if col.lower().endswith("kappa") else 0.0
        if not (math.isfinite(v) and low <= v <= 1.0):
            raise Missing(f"{where}: {col} = {text} is outside [{low:g}, 1]")
        values.append(v)
    return values


def seed_folder(folder, seed, n_seeds, name):
    """A seed's file of a --runs run: run_SEED/NAME, or NAME itself when a
    single run wrote straight into the folder."""
    path = os.path.join(folder, f"run_{seed}", name)
    if not os.path.exists(path) and n_seeds == 1:
        path = os.path.join(folder, name)
    return path


def lumora_scores(run, seed, n_seeds):
    path = seed_folder(run["dir"], seed, n_seeds, "test_results.csv")
    if not os.path.exists(path):
        raise Missing(f"no {path}")
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    if len(rows) != 1:
        raise Missing(f"{path}: expected one row of scores, found {len(rows)}")
    return checked_scores(rows[0], COLUMNS[run["kind"]], path)


def baseline_scores(out, method, seed):
    path = os.path.join(out, "baselines", f"seed_{seed}.csv")
    if not os.path.exists(path):
        raise Missing(f"no {path}")
    with open(path, newline="") as f:
        rows = [r for r in csv.DictReader(f) if r.get("method") == method]
    if len(rows) != 1:
        raise Missing(f"{path}: no line for {method}")
    scores = checked_scores(rows[0], COLUMNS["baseline"], path)
    try:
        seconds = float(rows[0]["seconds"])
    except (TypeError, ValueError):
        seconds = math.nan
    return scores, seconds


def read_split(path):
    import numpy as np
    from PIL import Image

    with Image.open(path) as img:
        return np.array(img)


def split_notes(runs, seeds, n_seeds):
    """Lines naming any lumora run whose split differs from the baselines'
    (or train_default's): their scores would not be on the same pixels."""
    reference = runs.get("baselines", {}).get("dir") or runs.get("train_default", {}).get("dir")
    if not reference:
        return []
    notes = []
    for method, run in runs.items():
        if run["kind"] == "baseline" or run["dir"] == reference:
            continue
        for seed in seeds:
            ref = seed_folder(reference, seed, n_seeds, "split.tif")
            mine = seed_folder(run["dir"], seed, n_seeds, "split.tif")
            if not (os.path.exists(ref) and os.path.exists(mine)):
                continue
            try:
                a, b = read_split(ref), read_split(mine)
                same = a.shape == b.shape and (a == b).all()
            except Exception as e:  # an unreadable split is reported, not fatal to the table
                notes.append(f"{method}, seed {seed}: split not compared ({e})")
                continue
            if not same:
                notes.append(f"{method}, seed {seed}: its split.tif differs from {ref}: not the same pixels")
    return notes


def spread(values, scale, digits):
    mean = statistics.fmean(values) * scale
    if len(values) < 2:
        return f"{mean:.{digits}f} ± –"
    return f"{mean:.{digits}f} ± {statistics.stdev(values) * scale:.{digits}f}"


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--out", required=True)
    p.add_argument("--seed", type=int, required=True, help="first seed")
    p.add_argument("--seeds", type=int, required=True, help="number of seeds")
    p.add_argument("--methods", required=True, help="comma-separated, in table order")
    p.add_argument("--title", default="")
    args = p.parse_args()
    if args.seeds < 1:
        p.error("--seeds must be at least 1")

    seeds = list(range(args.seed, args.seed + args.seeds))
    runs = read_runs(os.path.join(args.out, "runs.tsv"))
    methods = [m for m in args.methods.split(",") if m]

    table = []  # (method, cells or None, failure text)
    raw = []  # per-seed rows of accuracy.csv
    for method in methods:
        per_seed, seconds, failure = [], [], None
        if method in runs:  # a lumora run
            run = runs[method]
            if run["rc"] != 0:
                failure = f"failed (exit {run['rc']}), see {run['log']}"
            else:
                for seed in seeds:
                    try:
                        per_seed.append((seed, lumora_scores(run, seed, args.seeds)))
                    except Missing as e:
                        failure = f"failed ({e}), see {run['log']}"
                        break
                seconds = [run["seconds"] / args.seeds]
        elif "baselines" in runs:
            for seed in seeds:
                try:
                    scores, sec = baseline_scores(args.out, method, seed)
                except Missing:
                    log = os.path.join(args.out, "baselines", f"seed_{seed}.log")
                    failure = f"failed (seed {seed}), see {log}"
                    break
                per_seed.append((seed, scores))
                seconds.append(sec)
        else:
            failure = f"failed: not run (no record in {os.path.join(args.out, 'runs.tsv')})"

        if failure:
            table.append((method, None, failure))
            raw += [[method, seed, "failed", "", "", "", ""] for seed in seeds]
            continue
        oa, aa, kappa = ([s[i] for _, s in per_seed] for i in range(3))
        wall = statistics.fmean(seconds) if seconds and all(math.isfinite(s) for s in seconds) else math.nan
        table.append((method, [spread(oa, 100, 2), spread(aa, 100, 2), spread(kappa, 1, 4),
                               f"{wall:.1f}" if math.isfinite(wall) else "?"], None))
        per_run = seconds if len(seconds) == len(per_seed) else seconds * len(per_seed)
        for (seed, (o, a, k)), sec in zip(per_seed, per_run):
            raw.append([method, seed, "ok", f"{o:.6f}", f"{a:.6f}", f"{k:.6f}", f"{sec:.3f}"])

    lines = []
    if args.title:
        lines += [f"**{args.title}**", ""]
    lines += ["| method | OA (%) | AA (%) | κ | wall s per run |", "|---|---|---|---|---|"]
    for method, cells, failure in table:
        lines.append(f"| {method} | " + (" | ".join(cells) if cells else f"{failure} | | |") + " |")
    notes = split_notes(runs, seeds, args.seeds)
    if notes:
        lines += [""] + [f"* {n}" for n in notes]
    text = "\n".join(lines) + "\n"

    with open(os.path.join(args.out, "accuracy.md"), "w") as f:
        f.write(text)
    with open(os.path.join(args.out, "accuracy.csv"), "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["method", "seed", "status", "oa", "aa", "kappa", "seconds"])
        w.writerows(raw)
    print()
    print(text, end="")
    print(f"\n(written to {os.path.join(args.out, 'accuracy.md')} and accuracy.csv)")
    if any(failure for _, _, failure in table):
        sys.exit(1)


if __name__ == "__main__":
    main()
