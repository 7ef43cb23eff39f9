#!/usr/bin/env bash
# Fetches LibTorch 2.x from the PyPI torch wheel into a cache folder outside
# the source tree and prints the CMake arguments that build lumora with it.
#
#   scripts/libtorch2.sh [cpu] [cuda] [python]      (default: cpu)
#
#   cpu     headers, CMake files, libtorch_cpu and libc10 (what a CPU-only
#           build links), and the two CUDA runtime libraries that libtorch_cpu
#           names (its profiler links CUPTI), from NVIDIA's PyPI wheels.
#           Prints -DTorch_DIR=... of a CPU-only package view: the wheel's own
#           TorchConfig.cmake requires the CUDA toolkit and libtorch_cuda.
#   cuda    also libtorch_cuda and what it links that the CUDA toolkit does not
#           ship (cuSPARSELt, NVSHMEM, cuFile); prints the wheel's own
#           Torch_DIR and -DLUMORA_CUDA=ON. Needs the CUDA toolkit (nvcc,
#           cuDNN, NCCL) installed.
#   python  the whole wheel and its pure-Python requirements, with an
#           interpreter launcher (Debian's python3 seeing torch 2.x first);
#           prints -DLUMORA_TORCH2_PYTHON=<launcher>. Importing the CUDA
#           wheel's torch needs the CUDA libraries of "cuda" and the toolkit's.
#
# Only the wanted members of the wheels are downloaded (HTTP range requests);
# each file is checked against the wheel's RECORD. Nothing is fetched when the
# cache already holds a part. Progress goes to standard error, the CMake
# arguments (one line) to standard output.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
version=2.11.0
# What torch 2.11.0 pins (through cuda-toolkit 13.0.2 and its own requirements).
cudart=(nvidia-cuda-runtime 13.0.96)
cupti=(nvidia-cuda-cupti 13.0.85)
cufile=(nvidia-cufile 1.15.1.6)
cusparselt=(nvidia-cusparselt-cu13 0.8.0)
nvshmem=(nvidia-nvshmem-cu13 3.4.5)

dir="${LUMORA_CACHE:-$HOME/.cache/lumora}/torch-$version"
# The wheel is for Debian's interpreter (its CPython tag), so that the same
# tree serves as the Python package too.
py=/usr/bin/python3
[ -x "$py" ] || py="$(command -v python3)"
members="$root/scripts/wheel_members.py"

parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(cpu)
for p in "${parts[@]}"; do
  case "$p" in
    cpu | cuda | python) ;;
    *) echo "usage: scripts/libtorch2.sh [cpu] [cuda] [python]" >&2; exit 2 ;;
  esac
done
want() { local p; for p in "${parts[@]}"; do [ "$p" = "$1" ] && return 0; done; return 1; }

log() { echo "libtorch2: $*" >&2; }

# fetch STAMP PROJECT VERSION PATTERN...: extracts the members once.
fetch() {
  local stamp="$dir/.fetched-$1" project="$2" ver="$3" url
  shift 3
  local done_text
  [ -f "$stamp" ] && return 0
  url="$("$py" "$members" --find-url "$project" "$ver")" || return 1
  done_text="$("$py" "$members" "$url" "$dir" "$@")" || return 1
  log "$project $ver: $done_text"
  touch "$stamp"
}

mkdir -p "$dir"
start=$(date +%s.%N)
before=$(du -sk "$dir" | cut -f1)

fetch torch-cpu torch "$version" 'torch/include/*' 'torch/share/cmake/*' 'torch/lib/libtorch_cpu.so' \
  'torch/lib/libc10.so' 'torch/lib/libgomp.so.1' 'torch-*.dist-info/METADATA'
fetch cudart "${cudart[@]}" 'nvidia/cu13/lib/libcudart.so.13'
fetch cupti "${cupti[@]}" 'nvidia/cu13/lib/libcupti.so.13'

# A CPU-only package view: c10 and torch_cpu as imported targets, the same
# compile definitions as the wheel's torch_cpu target. libtorch_cpu finds
# libgomp and the CUDA runtime libraries through its own RPATH
# ($ORIGIN, $ORIGIN/../../nvidia/cu13/lib), at link time and at run time.
view="$dir/cpu-cmake/Torch"
if [ ! -f "$view/TorchConfig.cmake" ]; then
  mkdir -p "$view"
  cp "$dir/torch/share/cmake/Torch/TorchConfigVersion.cmake" "$view/"
  cat > "$view/TorchConfig.cmake" <<'CMAKE'
# CPU-only view of the torch wheel's LibTorch (written by lumora's
# scripts/libtorch2.sh): the wheel's own config insists on CUDA.
get_filename_component(_torch_root "${CMAKE_CURRENT_LIST_DIR}/../../torch" ABSOLUTE)
set(TORCH_INCLUDE_DIRS "${_torch_root}/include" "${_torch_root}/include/torch/csrc/api/include")
if(NOT TARGET c10)
  add_library(c10 SHARED IMPORTED)
  set_target_properties(c10 PROPERTIES
    IMPORTED_LOCATION "${_torch_root}/lib/libc10.so"
    INTERFACE_INCLUDE_DIRECTORIES "${_torch_root}/include")
  add_library(torch_cpu SHARED IMPORTED)
  set_target_properties(torch_cpu PROPERTIES
    IMPORTED_LOCATION "${_torch_root}/lib/libtorch_cpu.so"
    INTERFACE_COMPILE_DEFINITIONS "USE_DISTRIBUTED;USE_C10D_GLOO;USE_RPC;USE_TENSORPIPE"
    INTERFACE_INCLUDE_DIRECTORIES "${TORCH_INCLUDE_DIRS}"
    INTERFACE_LINK_LIBRARIES c10)
  add_library(torch INTERFACE IMPORTED)
  set_target_properties(torch PROPERTIES INTERFACE_LINK_LIBRARIES torch_cpu)
endif()
set(TORCH_LIBRARIES torch)
set(TORCH_CXX_FLAGS "")
set(TORCH_FOUND TRUE)
CMAKE
fi
args=(-DTorch_DIR="$view")

if want cuda || want python; then
  fetch torch-cuda torch "$version" 'torch/lib/*.so' 'torch/lib/*.so.*'
  fetch cufile "${cufile[@]}" 'nvidia/cu13/lib/libcufile.so.0'
  fetch cusparselt "${cusparselt[@]}" 'nvidia/cusparselt/lib/libcusparseLt.so.0'
  fetch nvshmem "${nvshmem[@]}" 'nvidia/nvshmem/lib/libnvshmem_host.so.3'
  if want cuda; then args=(-DTorch_DIR="$dir/torch/share/cmake/Torch" -DLUMORA_CUDA=ON); fi
fi

# PyTorch 2.x is optional (the interoperability checks skip without it): a
# failure here is reported and leaves the C++ parts usable.
python_part() {
  fetch torch-python torch "$version" '*' || return 1
  local deps="$dir/python-deps" pip
  if [ ! -f "$dir/.fetched-python-deps" ]; then
    # Pure-Python requirements only: the CUDA ones come from "cuda" above and
    # the machine's CUDA toolkit; numpy from Debian (python3-numpy).
    if "$py" -m pip --version > /dev/null 2>&1; then pip=("$py" -m pip); else pip=(python3 -m pip); fi
    "${pip[@]}" install --quiet --disable-pip-version-check --no-warn-script-location --root-user-action=ignore --target "$deps" \
      'filelock' 'typing-extensions>=4.10.0' 'setuptools<82' 'sympy>=1.13.3' 'networkx>=2.5.1' 'jinja2' \
      'fsspec>=0.8.5' >&2 || return 1
    touch "$dir/.fetched-python-deps"
  fi
  cat > "$dir/python3.new" <<SH
#!/bin/sh
# Debian's python3 with the torch $version wheel ahead of python3-torch.
PYTHONPATH="$dir:$deps\${PYTHONPATH:+:\$PYTHONPATH}" exec $py "\$@"
SH
  chmod +x "$dir/python3.new"
  if ! (cd / && "$dir/python3.new" -c 'import torch; torch.ones(1)') > "$dir/python-import.log" 2>&1; then
    rm -f "$dir/python3.new" "$dir/python3"
    log "torch $version does not import here (see $dir/python-import.log)"
    return 1
  fi
  mv "$dir/python3.new" "$dir/python3"
}
if want python; then
  if python_part; then
    args+=(-DLUMORA_TORCH2_PYTHON="$dir/python3")
  else
    log "warning: no PyTorch $version: its interoperability checks will skip"
  fi
fi

end=$(date +%s.%N)
after=$(du -sk "$dir" | cut -f1)
if [ "$after" != "$before" ]; then
  log "$(awk -v a="$after" -v b="$before" -v s="$start" -v e="$end" -v d="$dir" \
    'BEGIN { printf "fetched %d MB on disk in %.1f s into %s", (a - b) / 1024, e - s, d }')"
fi
echo "${args[@]}"
