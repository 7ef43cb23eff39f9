#!/usr/bin/env bash
# Accuracy on one scene and one labelling protocol, over several seeds, all
# methods on the same pixels: lumora-train as it comes and with the few-labels
# recipe, lumora-treefit with the recipe, and the classical baselines of
# bench/baselines.py scored on each seed's split.tif of the lumora-train run.
# Prints one table (OA, AA, kappa as mean ± sample std over the seeds, wall
# seconds per run) and writes it to OUT/accuracy.md, the per-seed values to
# OUT/accuracy.csv.
#
#   bench/accuracy.sh --data D --gt G (--per-class N [--val-per-class V] | --ratio R)
#       [--seeds 3] [--seed 42] [--epochs E] [--methods LIST] [--out OUT] [--build build]
#
# --per-class N: N training and V validation pixels per class (V default 5);
# --ratio R: a fraction R of each class for training, lumora's default for
# validation. --epochs is passed to the lumora runs (for quick checks).
# --methods is a comma-separated subset of the default, all of:
#   train_default,train_fewlabels,treefit_fewlabels,svm,svm_smooth3,svm_smooth5,svm_smooth7,rf
# Without train_default, baselines get their splits from a 1-epoch
# lumora-train run with the same split options (OUT/split_only).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
python=/usr/bin/python3 # Debian's, with scikit-learn (python3-sklearn)

all_methods=(train_default train_fewlabels treefit_fewlabels svm svm_smooth3 svm_smooth5 svm_smooth7 rf)
baseline_methods=(svm svm_smooth3 svm_smooth5 svm_smooth7 rf)

usage() {
  echo "accuracy.sh: $1" >&2
  sed -n '/^#   bench/,/^#       \[/p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

data="" gt="" per_class="" val_per_class="" ratio="" seeds=3 seed=42 epochs="" out="" build="$root/build"
methods_arg="$(IFS=,; echo "${all_methods[*]}")"
while [ $# -gt 0 ]; do
  if [ "$1" = -h ] || [ "$1" = --help ]; then
    sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d' | sed 's/^# \{0,1\}//'
    exit 0
  fi
  [ $# -ge 2 ] || usage "$1 needs a value"
  case "$1" in
    --data) data="$2" ;;
    --gt) gt="$2" ;;
    --per-class) per_class="$2" ;;
    --val-per-class) val_per_class="$2" ;;
    --ratio) ratio="$2" ;;
    --seeds) seeds="$2" ;;
    --seed) seed="$2" ;;
    --epochs) epochs="$2" ;;
    --methods) methods_arg="$2" ;;
    --out) out="$2" ;;
    --build) build="$2" ;;
    *) usage "unknown option $1" ;;
  esac
  shift 2
done

is_count() { [[ "$1" =~ ^[0-9]+$ ]] && [ "$((10#$1))" -ge "${2:-1}" ]; }
if [ -z "$data" ] || [ -z "$gt" ]; then usage "--data and --gt are required"; fi
[ -f "$data" ] || usage "no data file $data"
[ -f "$gt" ] || usage "no label file $gt"
if [ -n "$per_class" ] && [ -n "$ratio" ]; then usage "give --per-class or --ratio, not both"; fi
if [ -z "$per_class" ] && [ -z "$ratio" ]; then usage "give --per-class N or --ratio R"; fi
if [ -n "$per_class" ]; then
  is_count "$per_class" || usage "--per-class must be a whole number of at least 1"
  val_per_class="${val_per_class:-5}"
  is_count "$val_per_class" 0 || usage "--val-per-class must be a whole number"
  protocol=(--train_per_class "$per_class" --val_per_class "$val_per_class")
  protocol_text="$per_class train + $val_per_class val pixels per class"
else
  [ -z "$val_per_class" ] || usage "--val-per-class goes with --per-class"
  "$python" -c 'import sys; r = float(sys.argv[1]); sys.exit(0 if 0 < r < 1 else 1)' "$ratio" 2>/dev/null ||
    usage "--ratio must be a fraction between 0 and 1"
  protocol=(--train_ratio "$ratio")
  protocol_text="train ratio $ratio (lumora's default val ratio)"
fi
is_count "$seeds" || usage "--seeds must be a whole number of at least 1"
is_count "$seed" 0 || usage "--seed must be a whole number"
epoch_opts=()
if [ -n "$epochs" ]; then
  is_count "$epochs" || usage "--epochs must be a whole number of at least 1"
  epoch_opts=(--epochs "$epochs")
fi

IFS=, read -r -a requested <<<"$methods_arg"
for m in "${requested[@]}"; do
  [ -z "$m" ] || [[ " ${all_methods[*]} " == *" $m "* ]] || usage "unknown method '$m' (known: ${all_methods[*]})"
done
methods=() # in the table's fixed order, whatever order they were asked in
for m in "${all_methods[@]}"; do
  if [[ ",$methods_arg," == *",$m,"* ]]; then methods+=("$m"); fi
done
[ ${#methods[@]} -gt 0 ] || usage "--methods selects nothing"
baselines=()
for m in "${methods[@]}"; do
  if [[ " ${baseline_methods[*]} " == *" $m "* ]]; then baselines+=("$m"); fi
done

# A fresh folder: results left by an earlier run must never be read as this one's.
if [ -z "$out" ]; then
  out="$(mktemp -d "${TMPDIR:-/tmp}/lumora-accuracy.XXXXXX")"
elif [ -e "$out" ] && [ -n "$(ls -A "$out" 2>/dev/null)" ]; then
  echo "accuracy.sh: $out is not empty; give a new --out folder" >&2
  exit 2
fi
mkdir -p "$out/logs"
out="$(cd "$out" && pwd)"
data="$(realpath "$data")" gt="$(realpath "$gt")"
runs_tsv="$out/runs.tsv"
: >"$runs_tsv"

common=(--data "$data" --gt "$gt" --seed "$seed" --runs "$seeds" "${protocol[@]}" ${epoch_opts[@]+"${epoch_opts[@]}"})
echo "Scene $data, $protocol_text, seeds $seed..$((seed + seeds - 1)), out $out"

# run_lumora METHOD KIND PROGRAM ARGS...: one multi-seed lumora run, timed,
# its output in OUT/logs/METHOD.log; a line of runs.tsv records how it ended.
run_lumora() {
  local method="$1" kind="$2" program="$3" log="$out/logs/$1.log" start end rc
  shift 3
  echo "== $method: $program $*" | tee "$log"
  if [ ! -x "$build/bin/$program" ]; then
    echo "$build/bin/$program not found (build lumora first, or give --build)" | tee -a "$log"
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$method" "$kind" 127 0 0 "$log" "$out/$method" >>"$runs_tsv"
    return 0
  fi
  start="$(date +%s.%N)"
  set +e
  "$build/bin/$program" "$@" --out-dir "$out/$method" >>"$log" 2>&1
  rc=$?
  set -e
  end="$(date +%s.%N)"
  if [ "$rc" -eq 0 ]; then echo "   done"; else echo "   FAILED (exit $rc), see $log"; fi
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$method" "$kind" "$rc" "$start" "$end" "$log" "$out/$method" >>"$runs_tsv"
}

for m in "${methods[@]}"; do
  case "$m" in
    train_default) run_lumora "$m" train lumora-train "${common[@]}" --no-maps ;;
    train_fewlabels) run_lumora "$m" train lumora-train "${common[@]}" --no-maps --few_labels ;;
    treefit_fewlabels) run_lumora "$m" treefit lumora-treefit "${common[@]}" --few_labels ;;
  esac
done

if [ ${#baselines[@]} -gt 0 ]; then
  split_dir="$out/train_default"
  if [[ " ${methods[*]} " != *" train_default "* ]]; then
    # The split is drawn from the seed and the split options alone, before
    # training, so one epoch is enough to get the same pixels.
    split_dir="$out/split_only"
    echo "== split_only: lumora-train for the baselines' splits" | tee "$out/logs/split_only.log"
    if [ -x "$build/bin/lumora-train" ]; then
      "$build/bin/lumora-train" --data "$data" --gt "$gt" --seed "$seed" --runs "$seeds" "${protocol[@]}" \
        --epochs 1 --no-maps --out-dir "$split_dir" >>"$out/logs/split_only.log" 2>&1 ||
        echo "   lumora-train failed (exit $?), see $out/logs/split_only.log; the splits it wrote are still used"
    else
      echo "$build/bin/lumora-train not found" | tee -a "$out/logs/split_only.log"
    fi
  fi
  mkdir -p "$out/baselines"
  blist="$(IFS=,; echo "${baselines[*]}")"
  for ((s = seed; s < seed + seeds; s++)); do
    split="$split_dir/run_$s/split.tif"
    # One run writes straight into its folder.
    if [ ! -f "$split" ] && [ "$seeds" -eq 1 ]; then split="$split_dir/split.tif"; fi
    log="$out/baselines/seed_$s.log"
    echo "== baselines, seed $s: $blist on $split" | tee "$log"
    if [ ! -f "$split" ]; then
      echo "no split.tif for seed $s in $split_dir (the lumora-train run failed, or was built without GDAL)" |
        tee -a "$log"
      echo 1 >"$out/baselines/seed_$s.rc"
      continue
    fi
    set +e
    "$python" "$root/bench/baselines.py" --data "$data" --gt "$gt" --split "$split" --methods "$blist" --seed "$s" \
      >"$out/baselines/seed_$s.csv" 2>>"$log"
    rc=$?
    set -e
    echo "$rc" >"$out/baselines/seed_$s.rc"
    if [ "$rc" -ne 0 ]; then echo "   FAILED (exit $rc), see $log"; fi
  done
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' baselines baseline 0 0 0 "$out/baselines" "$split_dir" >>"$runs_tsv"
fi

title="$(basename "$data") / $(basename "$gt"): $protocol_text; seeds $seed..$((seed + seeds - 1))"
[ -z "$epochs" ] || title+="; $epochs epochs"
"$python" "$root/bench/accuracy_table.py" --out "$out" --seed "$seed" --seeds "$seeds" \
  --methods "$(IFS=,; echo "${methods[*]}")" --title "$title"
