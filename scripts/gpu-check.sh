#!/usr/bin/env bash
# One prepared check for a machine with one GPU (H100/H200), Python's torch
# 2.x with CUDA, nvcc, CMake, no network, nothing installable; at most about
# 8 minutes with the build. Run scripts/gpu-check-prepare.sh beforehand where
# there is network and carry .gpu-debs/ along.
#
#   scripts/gpu-check.sh
#
# 1. unpacks .gpu-debs/debs into a private prefix (never into /);
# 2. builds lumora without the converter against the machine's Python torch
#    (torch.utils.cmake_prefix_path) with LUMORA_CUDA=ON;
# 3. runs gpu_test (device text, channels-last stack, float16 training with
#    the grad scaler and its skipped steps, continuum removal in and out of
#    CUDA, cache release);
# 4. trains the sample scene in fp32 and with --fp16 --few_labels (the
#    recipe's spectral head then runs under mixed precision, and
#    lumora-predict must score as the run did; Python's torch.load with
#    weights_only=True reads each best_model.pth), fits a short class
#    tree and runs lumora-predict --routing all (Python checks the bundle);
# 5. times 20 training epochs at 145 x 145 x 200 in fp32 and fp16 and the
#    network's step next to the Python reference under the same torch.
# Without a GPU it says so, runs what it can and names what it skipped.
#
# Environment: LUMORA_TORCH_PYTHON  interpreter whose torch to build against
#              (default: python3, else the 2.x that scripts/libtorch2.sh python
#              installed); LUMORA_GPU_OUT  folder for report.txt and the logs
#              (default out/gpu-check); LUMORA_GPU_BUILD  build folder
#              (default build-gpu); LUMORA_GPU_BUDGET  seconds after which the
#              optional steps are left out (default 450); LUMORA_GPU_BUILD_TIMEOUT
#              seconds the build may take (default 1800).
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${LUMORA_GPU_OUT:-$root/out/gpu-check}"
build="${LUMORA_GPU_BUILD:-$root/build-gpu}"
budget="${LUMORA_GPU_BUDGET:-450}"
carried="$root/.gpu-debs"
prefix="$build/prefix"
work="$build/runs"
logs="$out/logs"
report="$out/report.txt"
mkdir -p "$out" "$logs" "$build" "$work"
: > "$report"
t0=$SECONDS
failures=0
skipped=()

say() { echo "$*" | tee -a "$report"; }
elapsed() { echo $((SECONDS - t0)); }
# run NAME TIMEOUT COMMAND...: runs with a time limit, log in logs/NAME.log,
# one report line with the outcome and the seconds taken.
run() {
  local name="$1" limit="$2" start=$SECONDS rc
  shift 2
  timeout "$limit" "$@" > "$logs/$name.log" 2>&1
  rc=$?
  if [ $rc -eq 0 ]; then
    say "  [ok]   $name ($((SECONDS - start)) s)"
  else
    failures=$((failures + 1))
    say "  [FAIL] $name: exit $rc after $((SECONDS - start)) s (logs/$name.log):"
    tail -n 15 "$logs/$name.log" | sed 's/^/         | /' | tee -a "$report"
  fi
  return $rc
}
skip() {
  skipped+=("$1")
  say "  [skip] $1"
}
over_budget() { [ "$(elapsed)" -ge "$budget" ]; }

say "lumora GPU check, $(date -u '+%Y-%m-%d %H:%M UTC') on $(hostname)"
say "source: $(git -C "$root" rev-parse --short HEAD 2> /dev/null || echo '?') $(git -C "$root" status --porcelain 2> /dev/null | grep -q . && echo '(with local changes)')"

# --- the torch to build against -------------------------------------------
torch_python=""
for cand in "${LUMORA_TORCH_PYTHON:-}" python3 "${LUMORA_CACHE:-$HOME/.cache/lumora}/torch-2.11.0/python3"; do
  [ -n "$cand" ] || continue
  v="$("$cand" -c 'import torch; print(torch.__version__)' 2> /dev/null)" || continue
  case "$v" in 1.*) continue ;; esac
  torch_python="$cand"
  break
done
if [ -z "$torch_python" ]; then
  say "no Python with torch 2.x (set LUMORA_TORCH_PYTHON, or run scripts/libtorch2.sh python): nothing to build"
  exit 1
fi
read -r torch_version torch_cuda torch_cmake gpu_count gpu_name <<< "$("$torch_python" -c '
import torch
n = torch.cuda.device_count() if torch.cuda.is_available() else 0
name = torch.cuda.get_device_name(0).replace(" ", "_") if n else "-"
print(torch.__version__, torch.version.cuda, torch.utils.cmake_prefix_path, n, name)' 2> "$logs/torch.log")"
say "torch: $torch_version (CUDA $torch_cuda) from $torch_python"
say "cores: $(nproc); nvcc: $(nvcc --version 2> /dev/null | sed -n 's/.*release \([0-9.]*\).*/\1/p' || echo none)"
if [ "${gpu_count:-0}" -gt 0 ]; then
  gpu=1
  say "GPU: ${gpu_name//_/ } ($gpu_count visible)"
  command -v nvidia-smi > /dev/null && nvidia-smi --query-gpu=name,memory.total,driver_version --format=csv,noheader |
    sed 's/^/     /' | tee -a "$report"
else
  gpu=0
  say "GPU: none — this is a dry run: CUDA code is built and linked, the GPU cases skip, the timings are left out"
fi

# --- 1. private prefix ------------------------------------------------------
say ""
say "1. packages"
if ! compgen -G "$carried/debs/*.deb" > /dev/null; then
  say "  no $carried/debs: run scripts/gpu-check-prepare.sh where there is network"
  exit 1
fi
if [ ! -f "$prefix/.unpacked" ]; then
  rm -rf "$prefix"
  mkdir -p "$prefix"
  for deb in "$carried"/debs/*.deb; do
    if command -v dpkg-deb > /dev/null; then
      dpkg-deb -x "$deb" "$prefix"
    else  # not a Debian-based machine: a .deb is an ar archive holding data.tar.*
      member="$(ar t "$deb" | grep '^data\.tar')"
      ar p "$deb" "$member" > "$build/$member" && tar -xf "$build/$member" -C "$prefix" && rm -f "$build/$member"
    fi
  done
  # Links that name /usr/... absolutely point into the prefix instead.
  find "$prefix" -type l | while read -r link; do
    target="$(readlink "$link")"
    case "$target" in /*) [ -e "$prefix$target" ] && ln -sfn "$prefix$target" "$link" ;; esac
  done
  # pkg-config files name /usr absolutely.
  find "$prefix" -name '*.pc' -exec sed -i -e "s#=/usr#=$prefix/usr#g" -e "s#-L/usr#-L$prefix/usr#g" \
    -e "s#-I/usr#-I$prefix/usr#g" {} +
  touch "$prefix/.unpacked"
fi
arch=x86_64-linux-gnu
libdirs="$prefix/usr/lib/$arch:$prefix/lib/$arch:$prefix/usr/lib/$arch/hdf5/serial"
export LD_LIBRARY_PATH="$libdirs${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export PKG_CONFIG_PATH="$prefix/usr/lib/$arch/pkgconfig:$prefix/usr/share/pkgconfig"
pkg_config="$(command -v pkg-config || echo "$prefix/usr/bin/pkgconf")"
say "  unpacked $(ls "$carried"/debs/*.deb | wc -l) packages into $prefix (pkg-config: $pkg_config)"
missing_libs="$(ldd "$prefix/usr/lib/$arch/libmatio.so" 2> /dev/null | grep 'not found' | tr -s ' \t' ' ')"
[ -z "$missing_libs" ] || say "  warning: libmatio needs what this machine lacks:$missing_libs"

# --- 2. build ---------------------------------------------------------------
say ""
say "2. build (LUMORA_WITH_CONVERT=OFF, LUMORA_CUDA=ON, torch $torch_version)"
gen=()
command -v ninja > /dev/null && gen=(-G Ninja)
[ -f "$build/CMakeCache.txt" ] && gen=()
dirs=()
for d in "fmt_DIR=usr/lib/$arch/cmake/fmt" "GTest_DIR=usr/lib/$arch/cmake/GTest" \
  "nlohmann_json_DIR=usr/share/cmake/nlohmann_json" "CLI11_DIR=usr/share/cmake/CLI11"; do
  [ -d "$prefix/${d#*=}" ] && dirs+=("-D${d%%=*}=$prefix/${d#*=}")
done
run configure 300 cmake -S "$root" -B "$build" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$torch_cmake;$prefix/usr" "${dirs[@]}" -DZLIB_ROOT="$prefix/usr" \
  -DPKG_CONFIG_EXECUTABLE="$pkg_config" -DLUMORA_WITH_CONVERT=OFF -DLUMORA_CUDA=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_GDAL=ON -DCMAKE_DISABLE_FIND_PACKAGE_HDF5=ON \
  -DPython3_EXECUTABLE="$(command -v python3)" -DLUMORA_TORCH2_PYTHON="$torch_python" || exit 1
grep -E "^-- (LibTorch .*CUDA|Found CUDA|Found Torch|Checking for module|  Found matio)" "$logs/configure.log" |
  sed 's/^/         /' | tee -a "$report"
run build "${LUMORA_GPU_BUILD_TIMEOUT:-1800}" cmake --build "$build" -j"$(nproc)" || exit 1
bin="$build/bin"
for prog in lumora-train lumora-treefit lumora-predict; do
  libs="$(ldd "$bin/$prog" | grep -c -E 'torch_cuda|c10_cuda')"
  say "  $prog links $libs CUDA LibTorch libraries; GDAL: $(ldd "$bin/$prog" | grep -c gdal), HDF5 (through matio only): $(ldd "$bin/$prog" | grep -c hdf5)"
done

# --- 3. GPU tests -----------------------------------------------------------
say ""
say "3. gpu_test"
run gpu_test 300 "$bin/gpu_test"
grep -E '^(device|fp16):|^\[ +(OK|SKIPPED|FAILED) +\] .*\([0-9]+ ms\)|^\[  PASSED' "$logs/gpu_test.log" |
  sed 's/^/         /' | tee -a "$report"

# --- 4. the programs on the sample scene -------------------------------------
say ""
say "4. sample scene (data/sample)"
scene=(--data "$root/data/sample/data.mat" --gt "$root/data/sample/gt.mat")
py_load='import sys, torch
w = torch.load(sys.argv[1], weights_only=True)
assert type(w) is dict and all(isinstance(t, torch.Tensor) for t in w.values()), type(w)
print(len(w), "tensors")'
for mode in fp32 fp16; do
  flag=()
  [ $mode = fp16 ] && flag=(--fp16 --few_labels)
  if run "train-$mode" 300 "$bin/lumora-train" "${scene[@]}" --epochs 60 --lr 0.001 --base_filters 16 "${flag[@]}" \
    --out-dir "$work/train-$mode"; then
    say "         $(grep -m1 '^Training on' "$logs/train-$mode.log"); test: $(tail -1 "$work/train-$mode/test_results.csv" | tr -d '\r')"
    run "torch-load-best-$mode" 120 "$torch_python" -c "$py_load" "$work/train-$mode/best_model.pth"
  fi
done
if [ -f "$work/train-fp16/test_results.csv" ] &&
  run predict-fp16 300 "$bin/lumora-predict" "${scene[@]}" --model "$work/train-fp16/best_model.pth" \
    --no-maps --out-dir "$work/predict-fp16"; then
  if cmp -s "$work/train-fp16/test_results.csv" "$work/predict-fp16/test_results.csv"; then
    say "         lumora-predict scores as the run did"
  else
    failures=$((failures + 1))
    say "  [FAIL] lumora-predict scores the --fp16 --few_labels network differently from its run"
  fi
fi
if over_budget; then
  skip "treefit and predict (time budget spent)"
else
  if run treefit 300 "$bin/lumora-treefit" "${scene[@]}" --epochs 20 --lr 0.001 --base_filters 16 --ensembles 1 \
    --leaf_ensembles 1 --min_epochs 10 --val_interval 5 --routing hybrid --ssm_epochs 5 --out-dir "$work/tree"; then
    say "         $(grep -m1 -o 'Device[^│║|]*' "$logs/treefit.log" | tr -s ' ')"
    say "         $(tail -1 "$work/tree/test_results.csv" | tr -d '\r')"
    run bundle-torch-load 120 "$torch_python" "$root/tests/cli/bundle_torch_check.py" "$work/tree/spt_models.pkl" 64 16 \
      "$work/tree/warmstarted.pt"
    if run predict-all 300 "$bin/lumora-predict" "${scene[@]}" --model "$work/tree/spt_models.pkl" --routing all \
      --out-dir "$work/predict"; then
      for f in "$work"/predict/test_results_*.csv; do say "         $(tail -1 "$f" | tr -d '\r')"; done
    fi
  fi
fi

# --- 5. timings ---------------------------------------------------------------
say ""
say "5. timings at 145 x 145 x 200, 17 classes"
ref="$carried/bench/reference_net.py"
[ -f "$ref" ] || ref="$root/../shared/bench/reference_net.py"
if [ $gpu -eq 0 ]; then
  skip "timings (no GPU: CPU figures come from bench/network_step.sh and bench/train_epochs.sh)"
elif over_budget; then
  skip "timings (time budget spent)"
else
  run make-scene 120 "$bin/make_scene" "$work" 145 145 200 16
  for mode in fp32 fp16; do
    over_budget && { skip "lumora-train 20 epochs $mode (time budget spent)"; continue; }
    flag=()
    [ $mode = fp16 ] && flag=(--fp16)
    a=$(date +%s.%N)
    "$bin/lumora-train" --data "$work/data.mat" --gt "$work/gt.mat" --epochs 1 "${flag[@]}" \
      --out-dir "$work/bench-$mode-1" > "$logs/bench-train-$mode-1.log" 2>&1
    b=$(date +%s.%N)
    "$bin/lumora-train" --data "$work/data.mat" --gt "$work/gt.mat" --epochs 20 "${flag[@]}" \
      --out-dir "$work/bench-$mode-20" > "$logs/bench-train-$mode-20.log" 2>&1
    rc=$?
    c=$(date +%s.%N)
    if [ $rc -eq 0 ]; then
      say "$(awk -v a="$a" -v b="$b" -v c="$c" -v m=$mode 'BEGIN { printf "  lumora-train %s: 1 epoch %.2f s, 20 epochs %.2f s -> %.4f s per epoch", m, b - a, c - b, ((c - b) - (b - a)) / 19 }')"
    else
      failures=$((failures + 1))
      say "  [FAIL] lumora-train 20 epochs $mode (logs/bench-train-$mode-20.log)"
    fi
    run "network-step-$mode" 300 "$bin/network_step" --height 145 --width 145 --bands 200 --classes 17 --steps 20 \
      --device cuda "${flag[@]}" && say "         lumora: $(tail -1 "$logs/network-step-$mode.log")"
    if [ -f "$ref" ]; then
      run "reference-step-$mode" 300 "$torch_python" "$root/bench/reference_step.py" --reference "$ref" \
        --device cuda "${flag[@]}" --steps 20 && say "         python: $(tail -1 "$logs/reference-step-$mode.log")"
    else
      skip "Python reference $mode (reference_net.py was not carried: run scripts/gpu-check-prepare.sh)"
    fi
  done
fi

say ""
say "total $(elapsed) s; $failures failed; skipped: ${#skipped[@]}"
for s in "${skipped[@]}"; do say "  - $s"; done
say "report: $report"
[ $failures -eq 0 ]
