#!/usr/bin/env bash
# Builds and tests both configurations:
#   native   Linux, with the stand-in for the Windows APIs
#   windows  32-bit Windows with i686 MinGW-w64, its tests run under Wine
#   reliability  sanitizers, Valgrind and bounded fuzzing (scripts/reliability.sh)
# installing what is missing first (as root). Warnings are errors. Exits
# non-zero if anything fails to configure, build or pass.
#
#   scripts/test.sh [native|windows|reliability]...
#
# The build trees go to build/<configuration>, or under $LODRA_BUILD_ROOT.
set -uo pipefail

cd "$(dirname "$0")/.." || exit 1
root=${LODRA_BUILD_ROOT:-build}
configs=("$@")
[ ${#configs[@]} -gt 0 ] || configs=(native windows reliability)
jobs=$(nproc 2> /dev/null || echo 2)

if [ "$(id -u)" -eq 0 ]; then
  bash scripts/install-deps.sh || exit 1
elif sudo -n true 2> /dev/null; then
  sudo bash scripts/install-deps.sh || exit 1
else
  echo "test.sh: not root, so not installing anything (scripts/install-deps.sh needs root)"
fi

status=0
passed=0
failed=0
summaries=()
for config in "${configs[@]}"; do
  if [ "$config" = reliability ]; then
    # Sanitizers over the native suite, Valgrind, and bounded fuzzing.
    echo "=== reliability: sanitizers, valgrind and fuzzing in $root/reliability-*"
    if LODRA_BUILD_ROOT=$root bash scripts/reliability.sh; then
      summaries+=("reliability: every check passed")
    else
      summaries+=("reliability: FAILED (see its summary above)")
      status=1
    fi
    continue
  fi
  dir=$root/$config
  echo "=== $config: configure, build and test in $dir"
  extra=()
  # The benchmarks are built (not run) so they keep compiling.
  [ "$config" = native ] && extra=(-DLODRA_BUILD_BENCHMARKS=ON)
  if ! cmake --preset "$config" -B "$dir" -DLODRA_WARNINGS_AS_ERRORS=ON "${extra[@]}"; then
    summaries+=("$config: configure FAILED")
    status=1
    continue
  fi
  if ! cmake --build "$dir" -j "$jobs"; then
    summaries+=("$config: build FAILED")
    status=1
    continue
  fi
  log=$dir/ctest.log
  ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs" 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  # "100% tests passed, 0 tests failed out of 14"
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    summaries+=("$config: ctest ran no tests")
    status=1
    continue
  fi
  summaries+=("$config: $line")
  read -r f n < <(sed -E 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1 \2/' <<< "$line")
  passed=$((passed + n - f))
  failed=$((failed + f))
done

echo
echo "=== Summary"
printf '%s\n' "${summaries[@]}"
if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then
  echo "FAILED: see above"
fi
echo "tests: $passed passed, $failed failed"
exit "$status"
