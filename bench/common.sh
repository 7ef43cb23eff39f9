# Shared by the benchmark scripts (sourced). The programs keep large freed
# blocks for reuse; the Python references run as they are and with freed
# memory kept too (the C library's own settings: large blocks from the heap,
# never trimmed), so that a ratio cannot hide where the speed comes from.
KEPT_MEMORY=(env GLIBC_TUNABLES=glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=1099511627776)

# measure LABEL COMMAND...: runs the command, prints its output, then one line
# (on standard error) with wall seconds, user and sys CPU seconds and peak
# RSS (GNU time).
measure() {
  local label="$1" t
  shift
  t="$(mktemp)"
  /usr/bin/time -f '%e %U %S %M' -o "$t" "$@"
  # A failed command adds a line of its own before the figures.
  read -r wall user sys rss < <(tail -n 1 "$t")
  rm -f "$t"
  printf '  [%s] wall %.2f s, CPU user %.1f s / sys %.1f s, peak RSS %d MiB\n' "$label" "$wall" "$user" "$sys" \
    $((rss / 1024)) >&2
}
