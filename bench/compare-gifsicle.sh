#!/usr/bin/env bash
# The GIF optimiser against gifsicle -O3 on the plug-in's own GIFs: for each
# clip, lodra-gif --no-optimize writes the plug-in's GIF, then our
# optimiser (bench's gif_optimise, alone) and gifsicle -O3 each make it
# smaller. (bench/compare-stages.sh measures the optimiser inside
# lodra-gif.)
# Prints the sizes, each as a share of the input and ours against
# gifsicle's, and the times (elapsed and CPU, user + system); then checks,
# untimed, that our output plays as the input does.
#
#   bench/compare-gifsicle.sh [-b BUILD_DIR] [-w WORKERS] [CLIP...]
#
#   -b  the native build tree holding host/lodra-gif, bench/gif_optimise and
#       bench-content/ (default: build/bench, as bench/run-benchmarks.sh
#       makes it)
#   -w  the optimiser's pool (default: one worker a processor)
#   CLIP  names of bench/prepare-content.sh's clips (default:
#       photo-1920x1080 screen-1920x1080 cartoon-640x360)
#
# The plug-in's GIF of each clip is kept as bench-content/CLIP.gif, which
# bench/optimiser_bench times the optimiser on.
set -euo pipefail

build=build/bench
workers=
while getopts "b:w:" option; do
  case $option in
    b) build=$OPTARG ;;
    w) workers=--workers=$OPTARG ;;
    *) sed -n '2,20p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
clips=("$@")
[ ${#clips[@]} -gt 0 ] || clips=(photo-1920x1080 screen-1920x1080 cartoon-640x360)

content_dir=${LODRA_BENCH_CONTENT:-$build/bench-content}
work=$build/bench-compare
mkdir -p "$work"
for tool in gifsicle /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "compare-gifsicle: $tool is missing (scripts/install-deps.sh --bench)" >&2; exit 1; }
done

# timed LABEL COMMAND...: runs it, prints "LABEL: E s elapsed, C s CPU".
timed() {
  local label=$1
  shift
  /usr/bin/time -f "%e %U %S" -o "$work/time.txt" "$@" > "$work/$label.txt"
  awk -v label="$label" '{printf "  %-10s %6.2f s elapsed, %6.2f s CPU\n", label, $1, $2 + $3}' "$work/time.txt"
}
size() { stat -c %s "$1"; }

for clip in "${clips[@]}"; do
  video=$content_dir/$clip.mp4
  [ -f "$video" ] || { echo "compare-gifsicle: $video is missing; run bench/prepare-content.sh" >&2; exit 1; }
  plugin=$content_dir/$clip.gif
  ours=$work/$clip.optimised.gif
  theirs=$work/$clip.gifsicle.gif
  echo "$clip:"
  timed lodra-gif "$build/host/lodra-gif" --no-optimize "$video" -o "$plugin"
  # shellcheck disable=SC2086
  timed optimiser "$build/bench/gif_optimise" $workers "$plugin" "$ours"
  timed gifsicle gifsicle -O3 "$plugin" -o "$theirs"
  awk -v input="$(size "$plugin")" -v ours="$(size "$ours")" -v theirs="$(size "$theirs")" 'BEGIN {
    printf "  sizes: plug-in %d, ours %d (%.1f%%), gifsicle -O3 %d (%.1f%%); ours %+.1f%% against gifsicle\n",
      input, ours, 100 * ours / input, theirs, 100 * theirs / input, 100 * ours / theirs - 100 }'
  sed 's/^/  /' "$work/optimiser.txt"
  # Then, untimed, that it plays as the input does.
  "$build/bench/gif_optimise" --check "$plugin" "$work/$clip.checked.gif" | sed -n 's/^check/  check/p'
  rm -f "$work/$clip.checked.gif"
done
