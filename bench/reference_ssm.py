#!/usr/bin/env python3
"""Python/PyTorch reference of the fingerprint encoder, for side-by-side timing.

Builds the same layers as lumora's SpectralSSM (continuum removal left out)
and times (1) one pre-training epoch over N pixel spectra in shuffled batches
(forward, linear head, cross-entropy, backward, AdamW step) and (2) the
fingerprint map of an S x S scene in bands of 32 rows, in evaluation mode
without gradients. Run with Debian's python3-torch:

    /usr/bin/python3 bench/reference_ssm.py --pixels 20000 --bands 200 --side 145

Prints one JSON line.
"""
import argparse, json, os, statistics, time
import torch
import torch.nn as nn


def branch(f, k):
    p = (k - 1) // 2
    return nn.Sequential(nn.Conv1d(1, f, k, padding=p), nn.BatchNorm1d(f), nn.GELU(),
                         nn.Conv1d(f, f, k, padding=p), nn.BatchNorm1d(f), nn.GELU())


class SSM(nn.Module):
    def __init__(self, d_model=64, d_state=16):
        super().__init__()
        t = 3 * d_state
        self.narrow_branch, self.mid_branch, self.wide_branch = branch(d_state, 7), branch(d_state, 15), branch(d_state, 31)
        self.se_gate = nn.Sequential(nn.AdaptiveAvgPool1d(1), nn.Flatten(), nn.Linear(t, t // 2), nn.GELU(),
                                     nn.Linear(t // 2, t), nn.Sigmoid())
        self.out_proj = nn.Sequential(nn.Linear(t, d_model), nn.LayerNorm(d_model))

    def forward(self, x):
        x = x.unsqueeze(1)
        f = torch.cat([self.narrow_branch(x), self.mid_branch(x), self.wide_branch(x)], 1)
        return self.out_proj((f * self.se_gate(f).unsqueeze(-1)).mean(2))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--pixels", type=int, default=20000)
    ap.add_argument("--bands", type=int, default=200)
    ap.add_argument("--side", type=int, default=145)
    ap.add_argument("--batch", type=int, default=512)
    ap.add_argument("--threads", type=int, default=os.cpu_count())
    a = ap.parse_args()
    torch.set_num_threads(a.threads)
    torch.manual_seed(0)
    ssm, head = SSM(), nn.Linear(64, 17)
    opt = torch.optim.AdamW(list(ssm.parameters()) + list(head.parameters()), lr=1e-3, weight_decay=1e-4)
    crit = nn.CrossEntropyLoss()
    x = torch.randn(a.pixels, a.bands)
    y = torch.randint(1, 17, (a.pixels,))
    epochs = []
    for _ in range(3):
        t = time.perf_counter()
        ssm.train(); head.train()
        perm = torch.randperm(a.pixels)
        for s in range(0, a.pixels, a.batch):
            idx = perm[s:s + a.batch]
            loss = crit(head(ssm(x[idx])), y[idx])
            opt.zero_grad(); loss.backward(); opt.step()
        epochs.append(time.perf_counter() - t)
    scene = torch.randn(a.bands, a.side, a.side)
    maps = []
    ssm.eval()
    for _ in range(3):
        t = time.perf_counter()
        fp = torch.zeros(a.side, a.side, 64)
        with torch.no_grad():
            for r in range(0, a.side, 32):
                chunk = scene[:, r:r + 32, :]
                rows = chunk.permute(1, 2, 0).reshape(-1, a.bands)
                fp[r:r + 32] = ssm(rows).reshape(chunk.shape[1], a.side, 64)
        maps.append(time.perf_counter() - t)
    print(json.dumps(dict(torch=torch.__version__, threads=a.threads, pixels=a.pixels, bands=a.bands,
                          batch_size=a.batch, epoch_median_s=statistics.median(epochs),
                          fp_map_side=a.side, fp_map_median_s=statistics.median(maps))))


if __name__ == "__main__":
    main()
