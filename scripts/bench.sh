#!/usr/bin/env bash
# Builds in release mode and runs the benchmarks: all of bench/, or the areas named
# (scripts/bench.sh text transport). Comparisons print "bench NAME ours=... peer=... ratio=... goal=...".
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
build=$root/build-release
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DIX_BUILD_BENCH=ON -DIX_BUILD_TESTS=OFF \
  -DIX_BUILD_DEMO=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

areas=("$@")
if [[ ${#areas[@]} -eq 0 ]]; then
  for d in "$root"/bench/*/; do areas+=("$(basename "$d")"); done
fi
for area in "${areas[@]}"; do
  [[ -d "$root/bench/$area" ]] || { echo "bench.sh: no benchmark area '$area'" >&2; exit 2; }
  echo "== $area"
  if [[ -x "$root/bench/$area/run.sh" ]]; then
    # An area that needs a server or a peer tool drives its own run.
    "$root/bench/$area/run.sh" "$build"
  else
    for exe in "$build/bench/$area"/bench_*; do
      [[ -x "$exe" && -f "$exe" ]] && "$exe"
    done
  fi
done
