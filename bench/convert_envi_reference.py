#!/usr/bin/python3
"""Python counterpart of `lumora-convert` for an ENVI cube and a PNG label map:
spectral's ENVI reader, PIL for the PNG, scipy.io.savemat with compression,
json.dump for the metadata and the same summary statistics."""
import json
import os
import sys
import time

import numpy as np
import scipy.io
import spectral.io.envi as envi
from PIL import Image

FIELDS = ["description", "samples", "lines", "bands", "header offset", "data type", "interleave",
          "byte order", "wavelength", "wavelength units", "band names", "map info",
          "coordinate system string", "default bands", "fwhm", "reflectance scale factor", "sensor type"]


def main(hdr, gt_path, out_dir):
    start = time.time()
    img = envi.open(hdr, os.path.splitext(hdr)[0] + ".img")
    data = np.asarray(img.load())
    meta = {k: img.metadata[k] for k in FIELDS if k in img.metadata}
    meta["_source_format"] = "ENVI"
    meta["_source_file"] = os.path.abspath(hdr)
    print(f"  Loaded: shape={data.shape} dtype={data.dtype}")
    gt = np.array(Image.open(gt_path))
    gt_meta = {"_source_file": os.path.abspath(gt_path), "_source_format": "image"}
    print(f"  Loaded: shape={gt.shape} dtype={gt.dtype}")
    os.makedirs(out_dir, exist_ok=True)
    scipy.io.savemat(os.path.join(out_dir, "data.mat"), {"data": data}, do_compression=True)
    scipy.io.savemat(os.path.join(out_dir, "gt.mat"), {"gt": gt}, do_compression=True)
    doc = {"image": meta,
           "conversion": {"output_data_key": "data", "output_data_shape": list(data.shape),
                          "output_data_dtype": str(data.dtype), "output_gt_key": "gt",
                          "output_gt_shape": list(gt.shape), "output_gt_dtype": str(gt.dtype)},
           "ground_truth": gt_meta}
    with open(os.path.join(out_dir, "metadata.json"), "w") as f:
        json.dump(doc, f, indent=2, default=str)
    print("    Value range  : [%.4g, %.4g]" % (data.min(), data.max()))
    values = np.unique(gt)
    for v in values:
        print(f"      class {v}: {int((gt == v).sum()):>8,} px")
    print(f"    Elapsed: {time.time() - start:.2f}s")


if __name__ == "__main__":
    main(*sys.argv[1:4])
