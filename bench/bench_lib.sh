# Shared timing of the benches; source it from the scratch directory:
#   source "$(dirname "$0")/bench_lib.sh"
# then fill the arrays names, outputs (space-separated output files of each
# contender) and commands, and call run_rounds RUNS; walls and cpus hold the
# best wall and processor times of each contender ("failed" when it failed).

# Runs a shell command; prints its wall time and its processor time (user +
# system, children included) in seconds, or "failed failed".
cat >timer.py <<'EOF_PY'
import resource, subprocess, sys, time
t0 = time.perf_counter()
r = subprocess.run(["sh", "-c", sys.argv[1]], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
wall = time.perf_counter() - t0
ru = resource.getrusage(resource.RUSAGE_CHILDREN)
print("failed failed" if r.returncode else "%.4f %.4f" % (wall, ru.ru_utime + ru.ru_stime))
EOF_PY

# time_once "OUTPUTS" COMMAND: "wall cpu" of one run; the outputs are removed
# before and after the run, outside the timing.
time_once() {
  # shellcheck disable=SC2086
  rm -f $1
  /usr/bin/python3 timer.py "$2"
  # shellcheck disable=SC2086
  rm -f $1
}

# keep_best OLD NEW: the smaller of two times ("failed" sticks).
keep_best() {
  if [ "$1" = failed ] || [ "$2" = failed ]; then echo failed; return; fi
  if [ -z "$1" ]; then echo "$2"; return; fi
  awk -v a="$1" -v b="$2" 'BEGIN { print (b < a ? b : a) }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# run_rounds RUNS: every round runs every contender once, so that a change in
# the machine's load touches them all alike; each keeps its best time.
declare -a walls cpus
run_rounds() {
  local round i wall cpu
  for ((round = 0; round < $1; round++)); do
    for i in "${!names[@]}"; do
      read -r wall cpu < <(time_once "${outputs[$i]}" "${commands[$i]}")
      walls[$i]=$(keep_best "${walls[$i]:-}" "$wall")
      cpus[$i]=$(keep_best "${cpus[$i]:-}" "$cpu")
    done
  done
  echo
  echo "best of $1 rounds; load average now: $(cut -d' ' -f1-3 /proc/loadavg)"
}

# print_ratios WIDTH: each contender's times and their ratios to the first's.
print_ratios() {
  local w=$1 i
  printf "%-${w}s %10s %8s %12s %8s\n" "converter" "wall s" "x cp" "processor s" "x cp"
  for i in "${!names[@]}"; do
    if [ "${walls[$i]}" = failed ]; then
      printf "%-${w}s %10s\n" "${names[$i]}" failed
    else
      printf "%-${w}s %10s %8s %12s %8s\n" "${names[$i]}" "${walls[$i]}" \
        "$(ratio "${walls[$i]}" "${walls[0]}")" "${cpus[$i]}" "$(ratio "${cpus[$i]}" "${cpus[0]}")"
    fi
  done
}

# peak_memory OUTPUT COMMAND...: runs the command once (its output removed
# before and after) and prints its peak resident memory; sets rss_kb.
peak_memory() {
  local out=$1
  shift
  rm -f "$out"
  /usr/bin/time -v "$@" >/dev/null 2>time.txt || true
  rss_kb=$(awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }' time.txt)
  rm -f "$out"
  echo
  echo "korvalix peak memory: ${rss_kb} KiB ($(awk -v k="$rss_kb" 'BEGIN { printf "%.1f", k / 1024 }') MiB)"
}
