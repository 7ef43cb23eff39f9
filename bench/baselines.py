#!/usr/bin/python3
"""Classical baselines scored on the very pixels of a lumora run.

    bench/baselines.py --data data.mat --gt gt.mat --split RUN_DIR/split.tif \
        [--methods svm,svm_smooth3,svm_smooth5,svm_smooth7,rf] [--seed S]

Fits on the split's train and validation pixels (values 1 and 2 of
split.tif) and scores on its test pixels (value 3). Prints a header, then
one line per method: method,oa,aa,kappa,seconds (scores as fractions).
Progress and the chosen SVM parameters go to standard error.

* svm: RBF SVM, C and gamma chosen by stratified cross-validation on
  train + val, then refitted on all of them.
* svm_smoothK: that SVM's class probabilities over the whole scene, each
  class map box-averaged over K x K pixels, then the arg-max.
* rf: random forest of 500 trees.

Features are the spectra with each band standardised over all pixels of the
cube. `seconds` is what the method costs from scratch: the SVM variants each
include the shared search and fit. A method that fails prints no line; the
exit status is then 1.
"""
import argparse
import sys
import time

import numpy as np
import scipy.io
from scipy import ndimage

ALL_METHODS = ["svm", "svm_smooth3", "svm_smooth5", "svm_smooth7", "rf"]
SPLIT_TRAIN, SPLIT_VAL, SPLIT_TEST = 1, 2, 3


class InputError(Exception):
    pass


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def load_variable(path, ndim, what):
    """The last variable of `ndim` dimensions, as lumora picks it."""
    try:
        contents = scipy.io.loadmat(path)
    except NotImplementedError:
        raise InputError(f"{path}: MATLAB v7.3 (HDF5) files are not supported here; save as v5 or convert first")
    except (OSError, ValueError, TypeError) as e:
        raise InputError(f"{path}: cannot read as a MAT-file: {e}")
    found = None
    for name, value in contents.items():
        if name.startswith("__") or not isinstance(value, np.ndarray):
            continue
        if value.ndim == ndim:
            found = (name, value)
    if found is None:
        names = [n for n in contents if not n.startswith("__")]
        raise InputError(f"{path}: no {ndim}-D variable for the {what} (variables: {', '.join(names) or 'none'})")
    return found


def load_scene(data_path, gt_path):
    _, cube = load_variable(data_path, 3, "cube")
    if not np.issubdtype(cube.dtype, np.number) or np.iscomplexobj(cube):
        raise InputError(f"{data_path}: the cube is of type {cube.dtype}, not real numbers")
    cube = cube.astype(np.float64, copy=False)
    bad = np.count_nonzero(~np.isfinite(cube))
    if bad:
        raise InputError(f"{data_path}: the cube holds {bad} values that are not finite")

    gt_name, gt = load_variable(gt_path, 2, "label map")
    if not (np.issubdtype(gt.dtype, np.number) or gt.dtype == bool) or np.iscomplexobj(gt):
        raise InputError(f"{gt_path}: the label map '{gt_name}' is of type {gt.dtype}, not numbers")
    if np.issubdtype(gt.dtype, np.floating):
        bad = np.count_nonzero(~np.isfinite(gt))
        if bad:
            raise InputError(f"{gt_path}: the label map '{gt_name}' holds {bad} values that are not finite")
        gt = np.trunc(gt)
    if np.issubdtype(gt.dtype, np.unsignedinteger) and gt.size and gt.max() > np.iinfo(np.int64).max:
        raise InputError(f"{gt_path}: the label map '{gt_name}' holds class ids too large for int64")
    labels = gt.astype(np.int64)
    labels[labels <= 0] = 0
    if cube.shape[:2] != labels.shape:
        raise InputError(f"the cube is {cube.shape[0]} x {cube.shape[1]} pixels but the label map "
                         f"is {labels.shape[0]} x {labels.shape[1]}")
    return cube, labels


def load_split(path, shape):
    """split.tif as its raw 8-bit values (a colour table must not turn them into colours)."""
    try:
        from PIL import Image
    except ImportError:
        raise InputError("reading split.tif needs PIL (Debian: python3-pil)")
    try:
        with Image.open(path) as img:
            if getattr(img, "n_frames", 1) != 1:
                raise InputError(f"{path}: expected one band, found {img.n_frames} pages")
            if img.mode not in ("L", "P", "I;16", "I;16B", "I", "1"):
                raise InputError(f"{path}: expected a single-band 8-bit image, found mode {img.mode}")
            split = np.array(img)
    except InputError:
        raise
    except Exception as e:  # PIL reports unreadable files with several exception types
        raise InputError(f"{path}: cannot read the split: {e}")
    if split.ndim != 2:
        raise InputError(f"{path}: expected a single-band image, got an array of shape {split.shape}")
    if split.shape != shape:
        raise InputError(f"{path}: the split is {split.shape[0]} x {split.shape[1]} pixels but the label map "
                         f"is {shape[0]} x {shape[1]}: not the split of this scene")
    split = split.astype(np.int64)
    odd = np.setdiff1d(np.unique(split), [0, SPLIT_TRAIN, SPLIT_VAL, SPLIT_TEST])
    if odd.size:
        raise InputError(f"{path}: values other than 0-3 (unused, train, val, test): {odd[:10].tolist()}")
    return split


def standardised(cube):
    """(H*W, C) spectra, each band centred and scaled over all pixels."""
    x = cube.reshape(-1, cube.shape[2])
    mean = x.mean(axis=0)
    std = x.std(axis=0)
    std[std == 0] = 1.0  # a constant band carries nothing; keep it at zero rather than NaN
    return (x - mean) / std


def scores(truth, pred):
    """OA, AA over the classes present in truth, and Cohen's kappa."""
    classes = np.union1d(truth, pred)
    index = {c: i for i, c in enumerate(classes)}
    t = np.array([index[v] for v in truth])
    p = np.array([index[v] for v in pred])
    cm = np.zeros((len(classes), len(classes)), dtype=np.int64)
    np.add.at(cm, (t, p), 1)
    n = cm.sum()
    oa = np.trace(cm) / n
    true_counts = cm.sum(axis=1)
    present = true_counts > 0
    aa = np.mean(np.diag(cm)[present] / true_counts[present])
    pe = np.dot(true_counts, cm.sum(axis=0)) / float(n) ** 2
    kappa = (oa - pe) / (1.0 - pe) if pe < 1.0 else (1.0 if oa == 1.0 else 0.0)
    return oa, aa, kappa


def gamma_grid(n_features):
    # The numeric gammas 0.01, 0.1 and 1 suit a few unit-variance features;
    # the squared distance between standardised spectra grows with the band
    # count, so they are scaled by 3 / bands. The grid then spans two decades
    # around 'scale' (1 / bands on standardised data) without repeating it.
    return ["scale"] + [g * 3.0 / n_features for g in (0.01, 0.1, 1.0)]


class SvmModel:
    """The cross-validated SVM, fitted once and shared by the SVM variants."""

    def __init__(self, x_fit, y_fit, seed):
        from sklearn.model_selection import GridSearchCV, StratifiedKFold
        from sklearn.svm import SVC

        start = time.perf_counter()
        counts = np.unique(y_fit, return_counts=True)[1]
        folds = int(min(3, counts.min()))
        if folds >= 2:
            grid = {"C": [1, 10, 100, 1000], "gamma": gamma_grid(x_fit.shape[1])}
            search = GridSearchCV(SVC(kernel="rbf"), grid, cv=StratifiedKFold(folds, shuffle=True, random_state=seed),
                                  scoring="accuracy", n_jobs=1)
            search.fit(x_fit, y_fit)
            self.params = search.best_params_
            log(f"svm: {folds}-fold search chose C={self.params['C']}, gamma={self.params['gamma']} "
                f"(cv accuracy {search.best_score_:.4f})")
        else:
            # A class with a single fitting pixel leaves no fold for it: fall back to common defaults.
            self.params = {"C": 100, "gamma": "scale"}
            log("svm: a class has only one train/val pixel, no cross-validation possible; "
                f"using C={self.params['C']}, gamma={self.params['gamma']}")
        self.model = SVC(kernel="rbf", probability=True, random_state=seed, **self.params)
        self.model.fit(x_fit, y_fit)
        self.fit_seconds = time.perf_counter() - start
        self._scene_probs = None
        self._scene_probs_seconds = 0.0

    def predict(self, x):
        return self.model.predict(x)

    def scene_probs(self, x_all, shape):
        """(K, H, W) class probabilities of every pixel, computed once."""
        if self._scene_probs is None:
            start = time.perf_counter()
            probs = np.empty((x_all.shape[0], len(self.model.classes_)))
            step = 65536  # bounded memory on large scenes
            for i in range(0, x_all.shape[0], step):
                probs[i:i + step] = self.model.predict_proba(x_all[i:i + step])
            self._scene_probs = probs.T.reshape(-1, *shape)
            self._scene_probs_seconds = time.perf_counter() - start
        return self._scene_probs, self._scene_probs_seconds


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--data", required=True, help="MAT-file whose last 3-D variable is the H x W x C cube")
    p.add_argument("--gt", required=True, help="MAT-file whose last 2-D variable is the label map")
    p.add_argument("--split", required=True, help="split.tif of a lumora run (0 unused, 1 train, 2 val, 3 test)")
    p.add_argument("--methods", default=",".join(ALL_METHODS), help="comma-separated subset of " + ",".join(ALL_METHODS))
    p.add_argument("--seed", type=int, default=0, help="seed of the folds, the probability fit and the forest")
    args = p.parse_args()

    methods = [m.strip() for m in args.methods.split(",") if m.strip()]
    unknown = [m for m in methods if m not in ALL_METHODS]
    if unknown or not methods:
        p.error(f"unknown method(s) {', '.join(unknown) or '(none given)'}; choose from {','.join(ALL_METHODS)}")
    if args.seed < 0 or args.seed > 2**32 - 1:
        p.error("--seed must be between 0 and 2^32 - 1")

    try:
        cube, labels = load_scene(args.data, args.gt)
        split = load_split(args.split, labels.shape)
        used = split > 0
        unlabelled = np.count_nonzero(used & (labels == 0))
        if unlabelled:
            raise InputError(f"{args.split}: {unlabelled} pixels of the split are unlabelled in {args.gt}: "
                             "not the split of this label map")
        fit_mask = ((split == SPLIT_TRAIN) | (split == SPLIT_VAL)).ravel()
        test_mask = (split == SPLIT_TEST).ravel()
        y = labels.ravel()
        if not test_mask.any():
            raise InputError(f"{args.split}: no test pixels (value 3)")
        fit_classes = np.unique(y[fit_mask])
        if fit_classes.size < 2:
            raise InputError(f"{args.split}: train + val hold {fit_classes.size} class(es); at least 2 are needed")
    except InputError as e:
        sys.exit(f"baselines: {e}")

    missing = np.setdiff1d(np.unique(y[test_mask]), fit_classes)
    if missing.size:
        log(f"warning: test classes without any train/val pixel (scored as missed): {missing.tolist()}")
    log(f"{labels.shape[0]} x {labels.shape[1]} x {cube.shape[2]}: {np.count_nonzero(split == SPLIT_TRAIN)} train, "
        f"{np.count_nonzero(split == SPLIT_VAL)} val, {np.count_nonzero(test_mask)} test pixels, "
        f"{fit_classes.size} classes")

    x_all = standardised(cube)
    del cube
    x_fit, y_fit = x_all[fit_mask], y[fit_mask]
    x_test, y_test = x_all[test_mask], y[test_mask]

    print("method,oa,aa,kappa,seconds", flush=True)
    failed = []
    svm = None
    for method in methods:
        try:
            if method.startswith("svm"):
                if svm is None:
                    svm = SvmModel(x_fit, y_fit, args.seed)
                if method == "svm":
                    t0 = time.perf_counter()
                    pred = svm.predict(x_test)
                    seconds = svm.fit_seconds + time.perf_counter() - t0
                else:
                    k = int(method[len("svm_smooth"):])
                    probs, probs_seconds = svm.scene_probs(x_all, labels.shape)
                    t0 = time.perf_counter()
                    smooth = np.stack([ndimage.uniform_filter(m, size=k, mode="nearest") for m in probs])
                    pred = svm.model.classes_[np.argmax(smooth, axis=0)].ravel()[test_mask]
                    seconds = svm.fit_seconds + probs_seconds + time.perf_counter() - t0
            else:
                from sklearn.ensemble import RandomForestClassifier
                start = time.perf_counter()
                rf = RandomForestClassifier(n_estimators=500, random_state=args.seed, n_jobs=1)
                rf.fit(x_fit, y_fit)
                pred = rf.predict(x_test)
                seconds = time.perf_counter() - start
            oa, aa, kappa = scores(y_test, pred)
            print(f"{method},{oa:.6f},{aa:.6f},{kappa:.6f},{seconds:.3f}", flush=True)
        except Exception as e:  # one method's failure must not hide the others' results
            log(f"{method}: failed: {type(e).__name__}: {e}")
            failed.append(method)
    if failed:
        sys.exit(1)


if __name__ == "__main__":
    main()
