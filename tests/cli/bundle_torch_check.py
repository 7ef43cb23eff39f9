"""Loads a tree bundle with Python's torch.load and checks its documented
layout: the six keys (the pixel split last), the node entries with their
forests, and weights that fit the stored sizes; both it and the encoder
weights file load with weights_only=True. Exits 77 (skipped) when torch is
not installed.
usage: bundle_torch_check.py PATH/TO/spt_models.pkl D_MODEL D_STATE [ENCODER.pt]"""
import pickletools
import sys
import zipfile

try:
    import torch
except ImportError:
    print("torch missing: skipped")
    sys.exit(77)

FOREST_KEYS = ["state_dict", "global_to_local", "local_to_global", "num_classes", "num_bands", "num_filters",
               "num_blocks", "base_filters"]
NODE_KEYS = ["forests", "router_state", "node_classes", "num_classes", "num_bands", "num_filters", "num_blocks",
             "base_filters", "d_model"]


def check_tree(node):
    assert list(node)[:3] == ["classes", "left", "right"], list(node)
    assert all(isinstance(c, int) for c in node["classes"])
    if node["left"] is not None:
        assert sorted(node["left"]["classes"] + node["right"]["classes"]) == sorted(node["classes"])
        check_tree(node["left"])
        check_tree(node["right"])


SAFE_GLOBALS = {"torch._utils _rebuild_tensor_v2", "collections OrderedDict"}


def weights_only_load(path):
    """torch.load(path, weights_only=True). PyTorch 1.x's weights-only loader
    cannot read real numbers at all (no BINFLOAT); there the pickle is checked
    to name nothing beyond what that loader allows, then loaded plainly."""
    if int(torch.__version__.split(".")[0]) >= 2:
        return torch.load(path, weights_only=True)
    with zipfile.ZipFile(path) as z:
        pickle = z.read(next(n for n in z.namelist() if n.endswith("/data.pkl")))
    for op, arg, _ in pickletools.genops(pickle):
        if op.name == "GLOBAL":
            assert arg in SAFE_GLOBALS or (arg.startswith("torch ") and arg.endswith("Storage")), arg
        assert op.name not in ("INST", "OBJ", "NEWOBJ", "NEWOBJ_EX", "STACK_GLOBAL", "EXT1", "EXT2", "EXT4"), op.name
    return torch.load(path)


def main(path, d_model, d_state, encoder=None):
    bundle = weights_only_load(path)
    assert list(bundle) == ["trained_models", "tree", "ssm_state", "d_model", "d_state", "split"], list(bundle)
    split = bundle["split"]
    assert list(split) == ["train_ratio", "val_ratio", "seed"], list(split)
    assert isinstance(split["train_ratio"], float) and isinstance(split["val_ratio"], float)
    assert isinstance(split["seed"], int)
    assert bundle["d_model"] == d_model and bundle["d_state"] == d_state
    check_tree(bundle["tree"])
    assert all(isinstance(t, torch.Tensor) and t.device.type == "cpu" for t in bundle["ssm_state"].values())
    assert "root" in bundle["trained_models"]
    for node_id, entry in bundle["trained_models"].items():
        assert list(entry) == NODE_KEYS, (node_id, list(entry))
        assert entry["num_classes"] == len(entry["node_classes"]) + 1
        for forest in entry["forests"]:
            assert list(forest) == FOREST_KEYS, list(forest)
            weights = forest["state_dict"]
            # The last layer emits one score per local class, 0 included.
            last = [k for k in weights if k.endswith(".weight")][-1]
            assert weights[last].shape[0] == forest["num_classes"], (last, weights[last].shape)
            assert sorted(forest["local_to_global"]) == list(range(1, forest["num_classes"]))
            assert sorted(forest["local_to_global"].values()) == sorted(entry["node_classes"])
        if entry["router_state"] is not None:
            assert all(isinstance(t, torch.Tensor) for t in entry["router_state"].values())
    if encoder:
        weights = torch.load(encoder, weights_only=True)
        assert type(weights) is dict and list(weights) == list(bundle["ssm_state"]), list(weights)
        assert all(torch.equal(weights[k], bundle["ssm_state"][k]) for k in weights)
    print("bundle ok:", ", ".join(bundle["trained_models"]))


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4] if len(sys.argv) > 4 else None)
