"""Converts a small ENVI scene with lumora-convert and reads the results back
with scipy.io.loadmat and json: values, element types and metadata must
survive. Exits 77 (skipped) when numpy or scipy is not installed.
usage: convert_scipy_check.py PATH/TO/lumora-convert"""
import json
import os
import subprocess
import sys
import tempfile

try:
    import numpy as np
    import scipy.io
except ImportError:
    print("numpy/scipy missing: skipped")
    sys.exit(77)


def main(program):
    with tempfile.TemporaryDirectory() as tmp:
        lines, samples, bands = 6, 7, 5
        cube = (np.arange(lines * samples * bands, dtype=np.int32).reshape(lines, samples, bands) * 37 % 5000 - 900)
        cube = cube.astype("<i2")
        # Band-interleaved-by-line with a 16-byte header offset and a scale factor.
        with open(os.path.join(tmp, "scene.bil"), "wb") as f:
            f.write(b"\0" * 16)
            f.write(cube.transpose(0, 2, 1).tobytes())
        with open(os.path.join(tmp, "scene.hdr"), "w") as f:
            f.write("ENVI\ndescription = {scipy check}\nsamples = %d\nlines = %d\nbands = %d\n"
                    "header offset = 16\ndata type = 2\ninterleave = bil\nbyte order = 0\n"
                    "reflectance scale factor = 10000\nwavelength = {450, 550.5, 650, 750, 850}\n"
                    % (samples, lines, bands))
        labels = (np.arange(lines * samples).reshape(lines, samples) % 4).astype(np.uint16)
        scipy.io.savemat(os.path.join(tmp, "labels.mat"), {"labels": labels, "gt": labels + 1})
        out = os.path.join(tmp, "out")
        run = subprocess.run([program, "--img", os.path.join(tmp, "scene.hdr"), "--gt",
                              os.path.join(tmp, "labels.mat"), "--out-dir", out, "--gt-key", "truth"],
                             capture_output=True, text=True)
        assert run.returncode == 0, run.stderr

        data = scipy.io.loadmat(os.path.join(out, "data.mat"))["data"]
        expected = cube.astype(np.float32) / np.float32(10000)
        assert data.dtype == np.float32, data.dtype
        assert data.shape == (lines, samples, bands), data.shape
        assert np.array_equal(data, expected), "cube values differ"
        gt = scipy.io.loadmat(os.path.join(out, "gt.mat"))
        assert "truth" in gt, list(gt)
        assert gt["truth"].dtype == np.uint16 and np.array_equal(gt["truth"], labels + 1)

        with open(os.path.join(out, "metadata.json")) as f:
            meta = json.load(f)
        assert list(meta) == ["image", "conversion", "ground_truth"], list(meta)
        assert meta["image"]["wavelength"] == ["450", "550.5", "650", "750", "850"]
        assert meta["image"]["reflectance scale factor"] == "10000"
        assert meta["conversion"]["output_gt_key"] == "truth"
        assert meta["conversion"]["output_data_shape"] == [lines, samples, bands]
        assert meta["ground_truth"]["mat_key"] == "gt"
    print("ok")


if __name__ == "__main__":
    main(sys.argv[1])
