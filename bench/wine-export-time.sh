#!/usr/bin/env bash
# Per-frame time of an export by the Windows build under Wine (Wine's imaging
# library codes the GIF), next to the native build on the same frames.
#
#   bench/wine-export-time.sh [-w WINDOWS_BUILD] [-b NATIVE_BUILD] [-c CONTENT] [-s SIZE] [-f FRAMES] [-n RUNS]
#
#   -w  the i686 MinGW build tree with host/lodra-gif.exe and
#       plugin/lodra_output.auo (default: build/windows)
#   -b  the native build tree with host/lodra-gif and bench-content/
#       (default: build/bench, as bench/run-benchmarks.sh makes it)
#   -c  content (default: photo), -s size (default: 640x360), -f frames
#       (default: 30), -n runs (default: 3)
#
# Each run is the host's own account of the export ("made in S s"), so Wine's
# start-up is not counted. Where this machine runs 32-bit programs only
# through an emulator (see scripts/install-deps.sh), the Windows figure is
# the emulator's, not a Windows machine's.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
windows=build/windows
native=build/bench
content=photo
size=640x360
frames=30
runs=3
while getopts "w:b:c:s:f:n:" option; do
  case $option in
    w) windows=$OPTARG ;;
    b) native=$OPTARG ;;
    c) content=$OPTARG ;;
    s) size=$OPTARG ;;
    f) frames=$OPTARG ;;
    n) runs=$OPTARG ;;
    *) sed -n '2,16p' "$0" >&2; exit 2 ;;
  esac
done

raw=${LODRA_BENCH_CONTENT:-$native/bench-content}/$content-$size.raw
[ -f "$raw" ] || { echo "wine-export-time: $raw is missing: run bench/prepare-content.sh" >&2; exit 1; }
for file in "$windows/host/lodra-gif.exe" "$windows/plugin/lodra_output.auo" "$native/host/lodra-gif"; do
  [ -f "$file" ] || { echo "wine-export-time: $file is missing: build it first" >&2; exit 1; }
done
raw=$(realpath "$raw")
work=$(realpath "$windows")/bench-wine
mkdir -p "$work"
# The host finds the module next to itself.
cp "$windows/host/lodra-gif.exe" "$windows/plugin/lodra_output.auo" "$work/"
prefix=$work/wine-prefix
wine_run=$source_dir/cmake/wine-run.sh

if ! "$wine_run" "$prefix" --init >"$work/init.log" 2>&1; then
  echo "wine-export-time: Wine cannot start here:" >&2
  tail -n 5 "$work/init.log" >&2
  exit 1
fi

# seconds from "made in S s" on the host's last line
made_in() { sed -n 's/.*made in \([0-9.]*\) s.*/\1/p' "$1" | tail -1; }

echo "wine-export-time: $(uptime)"
echo "wine-export-time: $content $size, $frames frames, $runs runs; $(wine --version)"
for ((i = 1; i <= runs; i++)); do
  "$wine_run" "$prefix" "$work/lodra-gif.exe" --size "$size" --rate 30 --frames "$frames" \
    -o "Z:$work/wine.gif" "Z:$raw" 2>"$work/wine.log" >/dev/null
  "$native/host/lodra-gif" --size "$size" --rate 30 --frames "$frames" -o "$work/native.gif" "$raw" \
    2>"$work/native.log" >/dev/null
  awk -v w="$(made_in "$work/wine.log")" -v n="$(made_in "$work/native.log")" -v f="$frames" -v i="$i" \
    'BEGIN {printf "  run %d: Wine %.1f ms a frame, native %.2f ms a frame (%.0fx)\n", i, 1000*w/f, 1000*n/f, w/n}'
done
for gif in wine native; do
  got=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 \
    "$work/$gif.gif")
  [ "$got" = "$frames" ] || { echo "wine-export-time: $gif.gif decodes to $got frames, want $frames" >&2; exit 1; }
done
"$wine_run" "$prefix" --stop >/dev/null 2>&1 || true
echo "wine-export-time: both GIFs decode to $frames frames; $(uptime)"
