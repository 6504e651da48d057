#!/usr/bin/env bash
# Installs what is missing, builds, runs every test label, then the sanitizer and fuzz passes.
# Ends with the line "N passed, N failed" over all passes; exits non-zero on any failure.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

"$root/scripts/install-deps.sh" || { echo "0 passed, 1 failed"; exit 1; }

jobs=$(nproc)
build=$root/build
asan=$root/build-asan
fuzz=$root/build-fuzz
passed=0
failed=0
status=0

note_failure() { failed=$((failed + 1)); status=1; echo "test.sh: $1 failed" >&2; }

# ctest_pass DIR ARGS...: runs ctest and adds its counts to the totals.
ctest_pass() {
  local dir=$1; shift
  local log
  log=$(mktemp)
  ctest --test-dir "$dir" --output-on-failure --timeout 900 -j"$jobs" "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  rm -f "$log"
  if [[ -n "$line" ]]; then
    local bad total
    bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    [[ $bad -eq 0 && $rc -ne 0 ]] && note_failure "ctest $*"
    [[ $bad -ne 0 ]] && status=1
  elif [[ $rc -ne 0 ]]; then
    note_failure "ctest $*"
  fi
}

build_tree() {  # build_tree DIR CMAKE-ARGS...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null && cmake --build "$dir" -j"$jobs"
}

if build_tree "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
  for label in unit integration interop gui package; do
    echo "== $label"
    ctest_pass "$build" -L "^$label\$"
  done
else
  note_failure "build"
fi

echo "== unit (address and undefined-behaviour sanitizers)"
if build_tree "$asan" -DCMAKE_BUILD_TYPE=Debug -DIX_SANITIZE=ON -DIX_BUILD_DEMO=OFF; then
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest_pass "$asan" -L '^unit$'
else
  note_failure "sanitizer build"
fi

if [[ -n "$(find "$root/fuzz" -mindepth 2 -name CMakeLists.txt 2>/dev/null)" ]]; then
  echo "== fuzz"
  if CC=clang CXX=clang++ build_tree "$fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIX_BUILD_FUZZ=ON \
      -DIX_BUILD_TESTS=OFF -DIX_BUILD_DEMO=OFF; then
    ctest_pass "$fuzz" -L '^fuzz$'
  else
    note_failure "fuzz build"
  fi
fi

echo "$passed passed, $failed failed"
exit $status
