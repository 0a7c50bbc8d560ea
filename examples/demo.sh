#!/usr/bin/env bash
# Converts the sample images shipped here and shows what the program prints and
# the FITS header it writes (one 80-column card a line, up to END).
#   bash examples/demo.sh [path/to/korvalix]
set -eu

here=$(cd "$(dirname "$0")" && pwd)
bin=$(readlink -f "${1:-build/korvalix}")
[ -x "$bin" ] || { echo "no program at $bin (build it first: make build)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/korv-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

show_header() {
  local f=$1 i=0 card
  while :; do
    card=$(dd if="$f" bs=80 skip=$i count=1 2>/dev/null | tr -c '\040-\176' '_')
    [ -n "$card" ] || break
    printf '%s\n' "$card"
    [ "${card:0:8}" = "END     " ] && break
    i=$((i + 1))
  done
}

demo() {
  local input=$1 output=$2
  shift 2
  cp "$here/$input" .
  echo "\$ korvalix $input $*"
  local status=0
  "$bin" "$input" "$@" || status=$?
  echo "(exit status $status)"
  if [ -f "$output" ]; then
    echo
    echo "--- header of $output ($(stat -c %s "$output") bytes) ---"
    show_header "$output"
  fi
  echo
}

demo m51_sample.pgm m51_sample.fit HD20240315,21.3045,120 "Y+OBSERVER='Demo'"
demo colour_bars.ppm colour_bars.fit Z2

echo "\$ korvalix notes.abc"
: >notes.abc
status=0
"$bin" notes.abc || status=$?
echo "(exit status $status: unknown format, nothing written)"
