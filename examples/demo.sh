#!/usr/bin/env bash
# Shows what the program prints: its usage, then the refusal of an unknown format.
set -u
program="${1:-build/korvalix}"
program="$(cd "$(dirname "$program")" && pwd)/$(basename "$program")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "\$ korvalix"
"$program"
echo "(exit status $?)"
echo
echo "\$ korvalix x.abc"
: > x.abc
"$program" x.abc
echo "(exit status $?)"
