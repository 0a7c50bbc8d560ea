#!/usr/bin/env bash
# Runs every fuzz target for a bounded time. Usage: fuzz/run.sh BUILD_DIR SECONDS_PER_TARGET
# Seeds: fuzz/corpus/<target> (ours) and the shared sample corpus of the family.
# Any crash, sanitizer report, timeout or memory blow-up fails the run; the
# offending input is left in fuzz/findings/<target>/.
set -uo pipefail
build=${1:-build-fuzz}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
shared="$root/../shared/corpus"
status=0

seed_dirs() {
  case "$1" in
    pnm) echo "$root/fuzz/corpus/pnm $shared/pnm" ;;
    fit) echo "$root/fuzz/corpus/fit $shared/fits" ;;
    *) echo "$root/fuzz/corpus/$1" ;;
  esac
}

for target in "$build"/fuzz_*; do
  [ -x "$target" ] || continue
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
