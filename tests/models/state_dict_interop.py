"""State dicts between lumora and Python's PyTorch: a file lumora saves loads
with torch.load(weights_only=True) (same keys in the same order, equal
values), a plain dict of tensors and a state_dict() saved as it is (an
OrderedDict carrying _metadata) load into lumora's network and come back
equal, and anything holding other objects is refused naming the file. Exits
77 (skipped) when torch cannot be imported.
usage: state_dict_interop.py PATH/TO/state_dict_tool [SHARED_DIR]"""
import collections
import os
import subprocess
import sys
import tempfile

try:
    import torch
except ImportError:
    print("torch missing: skipped")
    sys.exit(77)

DTYPES = {"Float": torch.float32, "Long": torch.int64, "Double": torch.float64}


def read_dump(path):
    entries = collections.OrderedDict()
    with open(path) as f:
        for line in f:
            key, dtype, shape, values = line.rstrip("\n").split("\t")
            shape = [int(s) for s in shape.split(",")] if shape else []
            flat = [float(v) for v in values.split(" ")] if values else []
            entries[key] = torch.tensor(flat, dtype=torch.float64).to(DTYPES[dtype]).reshape(shape)
    return entries


def same(a, b, what):
    assert list(a) == list(b), f"{what}: keys differ\n{list(a)}\n{list(b)}"
    for k in a:
        assert a[k].dtype == b[k].dtype, f"{what}: {k} dtype {a[k].dtype} vs {b[k].dtype}"
        assert a[k].shape == b[k].shape, f"{what}: {k} shape {a[k].shape} vs {b[k].shape}"
        assert torch.equal(a[k], b[k]), f"{what}: {k} values differ"


def run(tool, *args, ok=True):
    r = subprocess.run([tool, *args], capture_output=True, text=True)
    if ok and r.returncode != 0:
        raise AssertionError(f"{args[0]} failed ({r.returncode}): {r.stderr}")
    return r


def main(tool, shared):
    with tempfile.TemporaryDirectory() as tmp:
        p = lambda name: os.path.join(tmp, name)

        # lumora -> Python
        run(tool, "save", p("lumora.pth"), p("lumora.txt"))
        loaded = torch.load(p("lumora.pth"), weights_only=True)
        assert type(loaded) is dict, type(loaded)
        expected = read_dump(p("lumora.txt"))
        same(loaded, expected, "lumora -> torch.load")
        assert any(k.endswith("num_batches_tracked") and int(v) == 1 for k, v in loaded.items())
        assert not any(t.requires_grad for t in loaded.values())

        # Python -> lumora -> Python
        torch.manual_seed(0)
        mine = {k: (torch.randint(0, 100, v.shape) if v.dtype == torch.int64 else torch.randn(v.shape))
                for k, v in loaded.items()}
        torch.save(mine, p("python.pth"))
        run(tool, "load", p("python.pth"), p("back.pth"), p("back.txt"))
        same(read_dump(p("back.txt")), mine, "torch.save -> lumora")
        same(torch.load(p("back.pth"), weights_only=True), mine, "torch.save -> lumora -> torch.load")

        # What state_dict() returns, saved as it is: an OrderedDict with _metadata.
        ordered = collections.OrderedDict(mine)
        ordered._metadata = collections.OrderedDict([("", {"version": 1}), ("encoder", {"version": 1})])
        torch.save(ordered, p("ordered.pth"))
        run(tool, "load", p("ordered.pth"), p("back2.pth"), p("back2.txt"))
        same(read_dump(p("back2.txt")), mine, "torch.save(OrderedDict) -> lumora")

        # Objects other than tensors and plain containers are refused, naming the file.
        odd = dict(mine)
        odd["counts"] = collections.Counter("abc")
        torch.save(odd, p("odd.pth"))
        r = run(tool, "load", p("odd.pth"), p("x.pth"), p("x.txt"), ok=False)
        assert r.returncode == 1, r.returncode
        for piece in ("error: ", p("odd.pth"), "collections.Counter"):
            assert piece in r.stderr, f"{piece!r} missing from {r.stderr!r}"
        assert not os.path.exists(p("x.pth"))

        # A Python mapping with other content is refused naming the file.
        bad = dict(mine)
        bad["epoch"] = 3
        torch.save(bad, p("bad.pth"))
        r = run(tool, "load", p("bad.pth"), p("x.pth"), p("x.txt"), ok=False)
        assert r.returncode == 1 and p("bad.pth") in r.stderr, r.stderr

        # Strict loading: a missing entry is named.
        partial = dict(mine)
        del partial["decoder.final.bias"]
        torch.save(partial, p("partial.pth"))
        r = run(tool, "load", p("partial.pth"), p("x.pth"), p("x.txt"), ok=False)
        assert r.returncode == 1 and 'Missing key(s) in state_dict: "decoder.final.bias".' in r.stderr, r.stderr

        # The default network's keys and shapes equal the Python reference's.
        ref = os.path.join(shared, "bench", "reference_net.py") if shared else ""
        if ref and os.path.exists(ref):
            sys.path.insert(0, os.path.dirname(ref))
            import reference_net
            for bands, classes in ((200, 17), (103, 10)):
                net = reference_net.Net(bands, classes)
                theirs = [(k, list(v.shape)) for k, v in net.state_dict().items()]
                out = run(tool, "keys", str(bands), str(classes)).stdout.splitlines()
                ours = [(k, [int(s) for s in shape.split(",")] if shape else [])
                        for k, shape in (line.split("\t") for line in out)]
                assert ours == theirs, f"keys differ from the reference for {bands} bands"
        else:
            print("reference network not found: key comparison skipped")
    print("state dict interop: ok")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else "")
