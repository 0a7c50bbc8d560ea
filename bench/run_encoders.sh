#!/usr/bin/env bash
# Builds the output library in release mode (build-bench/) and runs the
# encoder throughput benchmark against it.
#   bash bench/run_encoders.sh [width height [repeats]]
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build="$src/build-bench"
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORV_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target korvlib >/dev/null
g++ -std=c++20 -O2 -Wall -Wextra -Wshadow -I"$src" "$src/bench/encoders_bench.cpp" \
  "$build/libkorvlib.a" -o "$build/encoders_bench"
"$build/encoders_bench" "$@"
