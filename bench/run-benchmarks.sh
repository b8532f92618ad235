#!/usr/bin/env bash
# Builds the benchmarks (Release), prepares the content when it is missing,
# and runs everything that gives docs/performance.md's figures, pinned to
# one core, with repetitions so that every figure comes with its spread.
#
#   bench/run-benchmarks.sh [BUILD_DIR]      (default: build/bench)
#
# Environment: REPS (repetitions, default 5), CPU (the core, default the
# last one), MAX_LOAD (wait until the 1-minute load average is below it,
# default 1.0; 0 = do not wait). Reports are kept in BUILD_DIR/bench-results/
# (console text and Google Benchmark JSON).
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$source_dir/build/bench}
reps=${REPS:-5}
cpu=${CPU:-$(($(nproc) - 1))}
max_load=${MAX_LOAD:-1.0}
results=$build/bench-results

log() { echo "run-benchmarks: $*"; }
run() {
  log "\$ $*"
  "$@"
}
quietly() {
  log "\$ $* >/dev/null"
  "$@" >/dev/null
}

quietly cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLODRA_BUILD_BENCHMARKS=ON \
  -DLODRA_BUILD_TESTS=OFF
quietly cmake --build "$build" --target colour_matching_bench export_bench lzw_bench optimiser_bench dither_bench \
  gif_optimise lodra-gif lodra_output
content=$build/bench-content
if [ ! -f "$content/photo-1920x1080.raw" ] || [ ! -f "$content/illustration-1920x1080.raw" ] ||
   [ ! -f "$content/gradient-1920x1080.raw" ] || [ ! -f "$content/gradient-640x360.mp4" ] ||
   [ ! -f "$content/screen-1920x1080.raw" ] || [ ! -f "$content/cartoon-640x360.raw" ]; then
  run "$source_dir/bench/prepare-content.sh" "$content"
fi
mkdir -p "$results"

# The machine may be shared: timings are taken when it is quiet.
wait_for_quiet() {
  [ "$max_load" != 0 ] || return 0
  local waited=0
  while awk -v l="$(cut -d' ' -f1 /proc/loadavg)" -v m="$max_load" 'BEGIN {exit !(l >= m)}'; do
    [ $waited -eq 0 ] && log "waiting for the load average to fall below $max_load ($(cut -d' ' -f1-3 /proc/loadavg))"
    waited=1
    sleep 15
  done
  log "load average $(cut -d' ' -f1-3 /proc/loadavg)"
}

# bench NAME [ARGS...] runs on the one core; bench_all_cores NAME [ARGS...]
# on every core (the optimiser's pool of 2 against its single thread).
bench() {
  local name=$1
  shift
  wait_for_quiet
  run taskset -c "$cpu" "$build/bench/$name" --benchmark_repetitions="$reps" \
    --benchmark_out="$results/$name.json" --benchmark_out_format=json "$@" | tee "$results/$name.txt"
}
bench_all_cores() {
  local name=$1
  shift
  wait_for_quiet
  run "$build/bench/$name" --benchmark_repetitions="$reps" \
    --benchmark_out="$results/$name.json" --benchmark_out_format=json "$@" | tee "$results/$name.txt"
}

bench colour_matching_bench
bench export_bench --content=photo,illustration,gradient
bench lzw_bench --content=photo,illustration,gradient
bench dither_bench --content=photo,gradient
# The plug-in's GIFs of the clips, and the optimiser against gifsicle on them;
# then both of lodra-gif's stages through lodra-gif itself.
wait_for_quiet
run "$source_dir/bench/compare-gifsicle.sh" -b "$build" | tee "$results/compare-gifsicle.txt"
wait_for_quiet
run "$source_dir/bench/compare-stages.sh" -b "$build" -n "$reps" -p "$cpu" | tee "$results/compare-stages.txt"
bench_all_cores optimiser_bench
for name in photo illustration gradient; do
  wait_for_quiet
  run "$source_dir/bench/compare-ffmpeg.sh" -b "$build" -n "$reps" -p "$cpu" -c "$name" |
    tee "$results/compare-ffmpeg-$name.txt"
done
log "reports in $results"
