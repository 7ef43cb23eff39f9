#!/usr/bin/env python3
"""The Python reference network's training step and evaluation forward on a
chosen device, optionally with float16 autocast and PyTorch's GradScaler: the
counterpart of `network_step --device cuda [--fp16]`. The network itself is
imported from reference_net.py (given by path), unchanged.

usage: reference_step.py --reference PATH/reference_net.py [--device cuda] [--fp16]
                         [--height 145] [--width 145] [--bands 200] [--classes 17] [--steps 20]
Prints one JSON line with the median and minimum seconds per step."""
import argparse
import importlib.util
import json
import os
import statistics
import time

import torch
import torch.nn as nn


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--reference", required=True)
    ap.add_argument("--device", default="cpu")
    ap.add_argument("--fp16", action="store_true")
    ap.add_argument("--height", type=int, default=145)
    ap.add_argument("--width", type=int, default=145)
    ap.add_argument("--bands", type=int, default=200)
    ap.add_argument("--classes", type=int, default=17)
    ap.add_argument("--steps", type=int, default=20)
    ap.add_argument("--threads", type=int, default=os.cpu_count())
    a = ap.parse_args()

    spec = importlib.util.spec_from_file_location("reference_net", a.reference)
    ref = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(ref)

    torch.set_num_threads(a.threads)
    dev = torch.device(a.device)
    cuda = dev.type == "cuda"
    sync = torch.cuda.synchronize if cuda else (lambda: None)
    torch.manual_seed(42)
    net = ref.Net(a.bands, a.classes).to(dev)
    x = torch.randn(1, a.bands, a.height, a.width, device=dev)
    y = torch.randint(0, a.classes, (1, a.height, a.width), device=dev)
    opt = torch.optim.AdamW(net.parameters(), lr=1e-4, weight_decay=1e-4)
    crit = nn.CrossEntropyLoss(ignore_index=0)
    amp = a.fp16 and cuda
    scaler = torch.amp.GradScaler("cuda", enabled=amp)
    train, evals, skipped = [], [], 0
    net.train()
    for _ in range(a.steps):
        t = time.perf_counter()
        opt.zero_grad()
        with torch.autocast(dev.type, dtype=torch.float16, enabled=amp):
            loss = crit(net(x), y)
        scaler.scale(loss).backward()
        before = scaler.get_scale() if amp else 1.0
        scaler.step(opt)
        scaler.update()
        sync()
        train.append(time.perf_counter() - t)
        skipped += amp and scaler.get_scale() < before
    net.eval()
    with torch.no_grad():
        for _ in range(a.steps):
            t = time.perf_counter()
            with torch.autocast(dev.type, dtype=torch.float16, enabled=amp):
                net(x)
            sync()
            evals.append(time.perf_counter() - t)
    print(json.dumps(dict(torch=torch.__version__, device=str(dev), fp16=amp, threads=a.threads,
                          train_step_median_s=statistics.median(train), train_step_min_s=min(train),
                          eval_forward_median_s=statistics.median(evals), eval_forward_min_s=min(evals),
                          skipped_steps=int(skipped), shape=[1, a.bands, a.height, a.width])))


if __name__ == "__main__":
    main()
