#!/usr/bin/env bash
# Runs the fuzz targets within one shared time budget.
# Usage: fuzz/run.sh BUILD_DIR TOTAL_SECONDS [TARGET ...]
# The budget is divided equally among the targets run (all of them when none is
# named; at least 5 s each), so adding targets never lengthens a CI run.
# Seeds: fuzz/corpus/<target> (ours), plus the shared sample corpus folders
# named one per line in fuzz/corpus/<target>.shared.
# Any crash, sanitizer report, timeout or memory blow-up fails the run; the
# offending input is left in fuzz/findings/<target>/.
set -uo pipefail
build=${1:-build-fuzz}
total=${2:-300}
shift 2 2>/dev/null || shift $#
root=$(cd "$(dirname "$0")/.." && pwd)
shared="$root/../shared/corpus"
status=0

targets=()
if [ $# -gt 0 ]; then
  for name in "$@"; do targets+=("$build/fuzz_$name"); done
else
  for target in "$build"/fuzz_*; do [ -f "$target" ] && [ -x "$target" ] && targets+=("$target"); done
fi
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz targets in $build"; exit 1; }
seconds=$(( total / ${#targets[@]} ))
[ "$seconds" -ge 5 ] || seconds=5

seed_dirs() {
  echo "$root/fuzz/corpus/$1"
  local list="$root/fuzz/corpus/$1.shared"
  [ -f "$list" ] && while read -r d; do [ -n "$d" ] && echo "$shared/$d"; done <"$list"
}

for target in "${targets[@]}"; do
  [ -x "$target" ] || { echo "!! no target $target"; status=1; continue; }
  name=$(basename "$target"); name=${name#fuzz_}
  work=$(mktemp -d); findings="$root/fuzz/findings/$name"; mkdir -p "$findings"
  seeds=()
  for d in $(seed_dirs "$name"); do [ -d "$d" ] && seeds+=("$d"); done
  echo "== fuzz $name for ${seconds}s (seeds: ${seeds[*]:-none})"
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=1048576 \
        -print_final_stats=1 -artifact_prefix="$findings/" "$work" "${seeds[@]}" \
        >"$work.log" 2>&1; then
    echo "!! fuzz $name found a problem:"; tail -n 40 "$work.log"; status=1
  else
    grep -E 'stat::number_of_executed_units|stat::average_exec_per_sec|cov:' "$work.log" | tail -n 3
  fi
  rm -rf "$work" "$work.log"
  rmdir "$findings" 2>/dev/null || true
done
exit $status
