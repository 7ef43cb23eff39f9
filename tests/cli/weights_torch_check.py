"""Loads weights lumora wrote (best_model.pth) with Python's
torch.load(weights_only=True) and checks they are a plain dict of CPU tensors
with exactly the keys, in order, listed one a line in KEYS_FILE. Exits 77
(skipped) when torch cannot be imported.
usage: weights_torch_check.py WEIGHTS KEYS_FILE"""
import sys

try:
    import torch
except ImportError:
    print("torch missing: skipped")
    sys.exit(77)


def main(path, keys_file):
    with open(keys_file) as f:
        keys = f.read().split()
    weights = torch.load(path, weights_only=True)
    assert type(weights) is dict, type(weights)
    assert list(weights) == keys, f"keys differ:\n{list(weights)}\n{keys}"
    for k, t in weights.items():
        assert isinstance(t, torch.Tensor) and t.device.type == "cpu" and not t.requires_grad, k
    print(f"torch {torch.__version__}: {len(weights)} tensors")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
