#!/usr/bin/env bash
# Reliability checks beyond the ordinary suite, native only:
#   sanitize  the native build with AddressSanitizer and UndefinedBehaviorSanitizer
#             (LODRA_SANITIZE) and its whole CTest suite
#   valgrind  Valgrind's memcheck over the export's test programs and the
#             export fuzz target's inputs, in a plain native build
#   fuzz      the fuzz targets built with clang's libFuzzer, each run for a
#             bounded time from its corpus and regression inputs
# Any finding fails the run. With no arguments, all three run in that order.
#
#   scripts/reliability.sh [sanitize|valgrind|fuzz]...
#
# Environment:
#   LODRA_FUZZ_SECONDS  seconds of fuzzing per target (default 60)
#   LODRA_BUILD_ROOT    where the build trees go (default build), as
#                       reliability-sanitize, reliability-valgrind, reliability-fuzz
#
# A fuzzing finding is left in the fuzz build tree as findings/<target>/crash-*
# (or leak-*, timeout-*); replay it with the target's program, and once it is
# understood keep it in fuzz/regression/<corpus>/ so the suite replays it.
# Needs clang-14, libclang-rt-14-dev and valgrind (scripts/install-deps.sh).
set -uo pipefail

cd "$(dirname "$0")/.."
source_dir=$(pwd)
root=${LODRA_BUILD_ROOT:-build}
mkdir -p "$root"
root=$(cd "$root" && pwd)
fuzz_seconds=${LODRA_FUZZ_SECONDS:-60}
jobs=$(nproc 2> /dev/null || echo 2)
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(sanitize valgrind fuzz)

passed=0
failed=0
summaries=()
pass() { passed=$((passed + 1)); summaries+=("ok      $1"); }
fail() { failed=$((failed + 1)); summaries+=("FAILED  $1"); }
elapsed() { echo "$(($(date +%s) - $1)) s"; }

# configure DIR [cmake options...]; build DIR [targets...]
configure() {
  local dir=$1
  shift
  cmake -S "$source_dir" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLODRA_BUILD_TESTS=ON "$@" \
    > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
}
build() {
  local dir=$1
  shift
  local targets=()
  for t in "$@"; do targets+=(--target "$t"); done
  cmake --build "$dir" -j "$jobs" "${targets[@]}"
}

# ------------------------------------------------------------- sanitizers
run_sanitize() {
  local start dir=$root/reliability-sanitize
  start=$(date +%s)
  echo "=== sanitize: ASan + UBSan build and suite in $dir"
  if ! configure "$dir" -DLODRA_SANITIZE=ON -DLODRA_WARNINGS_AS_ERRORS=ON || ! build "$dir"; then
    fail "sanitize: build ($(elapsed "$start"))"
    return
  fi
  # Leaks are findings too; the first report of any kind ends the program.
  # The packaging tests are left to the plain build: they install what they
  # pack.
  local log=$dir/ctest.log
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -LE dist -j "$jobs" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  local line
  line=$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1)
  if [ "$status" -eq 0 ] && [ -n "$line" ]; then
    pass "sanitize: $line ($(elapsed "$start"))"
  else
    fail "sanitize: ${line:-ctest ran no tests} ($(elapsed "$start"))"
  fi
}

# ---------------------------------------------------------------- valgrind
run_valgrind() {
  local start dir=$root/reliability-valgrind
  start=$(date +%s)
  echo "=== valgrind: memcheck in $dir"
  if ! command -v valgrind > /dev/null; then
    fail "valgrind: not installed"
    return
  fi
  local programs=(tests/output_pass_test tests/fault_injection_test tests/drills_test fuzz/export_fuzz)
  if ! configure "$dir" -DLODRA_WARNINGS_AS_ERRORS=ON ||
     ! build "$dir" output_pass_test fault_injection_test drills_test export_fuzz; then
    fail "valgrind: build ($(elapsed "$start"))"
    return
  fi
  local program args
  for program in "${programs[@]}"; do
    args=()
    # The export fuzz target replays its kept inputs: many exports of every kind.
    if [ "$program" = fuzz/export_fuzz ]; then
      args=("$source_dir/fuzz/corpus/export")
      [ -d "$source_dir/fuzz/regression/export" ] && args+=("$source_dir/fuzz/regression/export")
    fi
    local log=$dir/valgrind-$(basename "$program").log
    local one
    one=$(date +%s)
    # nouserintercepts: the programs' own replacements of operator new (the
    # fault injection's) stay theirs; the standard allocator is still checked.
    valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect \
      --errors-for-leak-kinds=definite,indirect --track-origins=yes --soname-synonyms=somalloc=nouserintercepts \
      --log-file="$log" "$dir/$program" "${args[@]}" > "$log.out" 2>&1
    local status=$?
    local summary
    summary=$(grep -E 'ERROR SUMMARY' "$log" | sed 's/^==[0-9]*== //')
    if [ "$status" -eq 0 ]; then
      pass "valgrind: $program: $summary ($(elapsed "$one"))"
    elif [ "$status" -eq 99 ]; then
      cat "$log"
      fail "valgrind: $program: $summary ($(elapsed "$one"))"
    else
      cat "$log.out"
      fail "valgrind: $program: the program itself failed, status $status ($(elapsed "$one"))"
    fi
  done
}

# ----------------------------------------------------------------- fuzzing
# target:corpus folder
fuzz_targets=(splice_fuzz:splice export_fuzz:export options_fuzz:options lzw_fuzz:lzw lzw_decode_fuzz:lzw_decode
              optimiser_fuzz:optimiser video_fuzz:video)

run_fuzz() {
  local start dir=$root/reliability-fuzz
  start=$(date +%s)
  echo "=== fuzz: libFuzzer builds in $dir, $fuzz_seconds s a target"
  local clang=${LODRA_CLANG:-clang-14} clangxx=${LODRA_CLANGXX:-clang++-14}
  if ! command -v "$clangxx" > /dev/null; then
    fail "fuzz: $clangxx not installed"
    return
  fi
  local names=()
  for entry in "${fuzz_targets[@]}"; do names+=("${entry%%:*}"); done
  if ! CC=$clang CXX=$clangxx configure "$dir" -DLODRA_SANITIZE=ON -DLODRA_FUZZ=ON ||
     ! build "$dir" "${names[@]}"; then
    fail "fuzz: build ($(elapsed "$start"))"
    return
  fi
  # Symbolised stacks in reports, where the symboliser is installed.
  local symbolizer
  symbolizer=$(command -v llvm-symbolizer-14 || command -v llvm-symbolizer || true)
  [ -n "$symbolizer" ] && export ASAN_SYMBOLIZER_PATH=$symbolizer

  local entry name corpus
  for entry in "${fuzz_targets[@]}"; do
    name=${entry%%:*}
    corpus=${entry##*:}
    # New inputs collect in a folder of the build tree (the first folder is
    # the one libFuzzer writes to); the kept ones are only read.
    local work=$dir/findings/$name
    mkdir -p "$work/corpus"
    local folders=("$work/corpus" "$source_dir/fuzz/corpus/$corpus")
    [ -d "$source_dir/fuzz/regression/$corpus" ] && folders+=("$source_dir/fuzz/regression/$corpus")
    local log=$work/fuzz.log one
    one=$(date +%s)
    echo "--- $name: $fuzz_seconds s"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$dir/fuzz/$name" -max_total_time="$fuzz_seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$work/" "${folders[@]}" > "$log" 2>&1
    local status=$?
    local tried
    tried=$(grep -E '^stat::number_of_executed_units:' "$log" | tail -n 1 | awk '{print $2}')
    if [ "$status" -eq 0 ]; then
      pass "fuzz: $name: ${tried:-?} inputs tried, no finding ($(elapsed "$one"))"
    else
      grep -v -E '^#[0-9]+|^INFO:' "$log" | tail -n 60
      local artifact
      artifact=$(grep -o -E "Test unit written to .*" "$log" | tail -n 1 | sed 's/Test unit written to //')
      fail "fuzz: $name: finding after ${tried:-?} inputs: ${artifact:-see $log} ($(elapsed "$one"))"
    fi
  done
}

overall=$(date +%s)
for step in "${steps[@]}"; do
  case $step in
    sanitize) run_sanitize ;;
    valgrind) run_valgrind ;;
    fuzz) run_fuzz ;;
    *)
      echo "reliability.sh: unknown step $step (sanitize, valgrind, fuzz)" >&2
      exit 2
      ;;
  esac
done

echo
echo "=== Reliability summary ($(elapsed "$overall"))"
printf '%s\n' "${summaries[@]}"
echo "reliability: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
