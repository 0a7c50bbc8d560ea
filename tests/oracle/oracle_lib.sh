# Shared start of the peer cross-check scripts: the program under test, the
# tools they need, a scratch directory to work in and a failure counter.
#   source oracle_lib.sh; oracle_start tool...
PY=/usr/bin/python3
failures=0

oracle_start() {
  : "${KORV_BINARY:?KORV_BINARY must name the built program}"
  KORV_BINARY=$(readlink -f "$KORV_BINARY")
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool"; exit 1; }
  done
  $PY -c 'import astropy.io.fits, numpy' || { echo "missing astropy for $PY"; exit 1; }
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  cd "$work" || exit 1
}

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
