#!/usr/bin/env bash
# Exports the same raw frames with ffmpeg's GIF encoder (fixed 8-bit rgb8
# palette) and with our command-line host through the plug-in, one after the
# other, each run pinned to the same single core, and prints frames per
# second, their ratio, peak memory and output sizes side by side.
#
#   bench/compare-ffmpeg.sh [-b BUILD_DIR] [-c CONTENT] [-n RUNS] [-p CPU] [SIZE...]
#
#   -b  the native build tree holding host/lodra-gif and bench-content/
#       (default: build/bench, as bench/run-benchmarks.sh makes it)
#   -c  content name from bench/prepare-content.sh (default: photo)
#   -n  runs of each program per size, alternating (default: 3); the report
#       gives the median and the range
#   -p  the core both programs are pinned to (default: the last one)
#   SIZE  1920x1080 and/or 640x360 (default: both)
#
# The two commands, run with /usr/bin/time for elapsed time, CPU time (user +
# system: on a shared machine, closer to what a core of its own would give)
# and peak memory:
#   ffmpeg -f rawvideo -pix_fmt bgr24 -s WxH -r 30 -i FRAMES.raw -pix_fmt rgb8 OUT.gif
#   lodra-gif --size WxH --rate 30 -o OUT.gif FRAMES.raw
# Both outputs are checked: each must decode (ffprobe) to every input frame.
set -euo pipefail

build=build/bench
content=photo
runs=3
cpu=$(($(nproc) - 1))
while getopts "b:c:n:p:" option; do
  case $option in
    b) build=$OPTARG ;;
    c) content=$OPTARG ;;
    n) runs=$OPTARG ;;
    p) cpu=$OPTARG ;;
    *) sed -n '2,20p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1920x1080 640x360)
rate=30

host=$build/host/lodra-gif
content_dir=${LODRA_BENCH_CONTENT:-$build/bench-content}
work=$build/bench-compare
mkdir -p "$work"

for tool in ffmpeg ffprobe taskset /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "compare-ffmpeg: $tool is missing (apt-get install ffmpeg time util-linux)" >&2; exit 1; }
done
[ -x "$host" ] || { echo "compare-ffmpeg: $host is missing: build the native tree first" >&2; exit 1; }

# median / min / max of the numbers on standard input
stats() { sort -g | awk '{v[NR]=$1} END {m=(NR%2)?v[(NR+1)/2]:(v[NR/2]+v[NR/2+1])/2; printf "%s %s %s\n", m, v[1], v[NR]}'; }

decoded_frames() {
  ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$1"
}

echo "compare-ffmpeg: $(uptime)"
echo "compare-ffmpeg: $(ffmpeg -version | head -1); pinned to core $cpu; $runs runs each, alternating"
row() { printf '%-9s %6s | %-21s %-21s %-15s | %-10s %-10s | %-8s %-8s\n' "$@"; }
echo "frames/s: real time median [slowest..fastest] of $runs runs, then (CPU time median); ratio = lodra-gif / ffmpeg"
row size frames "ffmpeg rgb8 fps" "lodra-gif fps" "ratio" "ffmpeg GIF" "lodra GIF" "ffmpeg" "lodra"
row "" "" "" "" "" "MiB" "MiB" "peak RSS" "peak RSS"
for size in "${sizes[@]}"; do
  raw=$content_dir/$content-$size.raw
  [ -f "$raw" ] || { echo "compare-ffmpeg: $raw is missing: run bench/prepare-content.sh $content_dir" >&2; exit 1; }
  width=${size%x*}
  height=${size#*x}
  frames=$(($(stat -c %s "$raw") / (3 * width * height)))
  cat "$raw" >/dev/null  # both read it from the page cache
  ff_gif=$work/ffmpeg-$content-$size.gif
  our_gif=$work/lodra-$content-$size.gif
  : >"$work/ffmpeg.times"
  : >"$work/lodra.times"
  for ((i = 0; i < runs; i++)); do
    /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" taskset -c "$cpu" \
      ffmpeg -nostdin -hide_banner -loglevel error -y -f rawvideo -pix_fmt bgr24 -s "$size" -r "$rate" \
      -i "$raw" -pix_fmt rgb8 "$ff_gif"
    tail -1 "$work/time.txt" >>"$work/ffmpeg.times"
    /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" taskset -c "$cpu" \
      "$host" --size "$size" --rate "$rate" -o "$our_gif" "$raw" 2>/dev/null
    tail -1 "$work/time.txt" >>"$work/lodra.times"
  done
  for gif in "$ff_gif" "$our_gif"; do
    got=$(decoded_frames "$gif")
    [ "$got" = "$frames" ] || { echo "compare-ffmpeg: $gif decodes to $got frames, want $frames" >&2; exit 1; }
  done
  read -r ff_med ff_min ff_max < <(cut -d' ' -f1 "$work/ffmpeg.times" | stats)
  read -r our_med our_min our_max < <(cut -d' ' -f1 "$work/lodra.times" | stats)
  ff_cpu=$(awk '{print $2 + $3}' "$work/ffmpeg.times" | stats | cut -d' ' -f1)
  our_cpu=$(awk '{print $2 + $3}' "$work/lodra.times" | stats | cut -d' ' -f1)
  ff_rss=$(cut -d' ' -f4 "$work/ffmpeg.times" | stats | cut -d' ' -f1)
  our_rss=$(cut -d' ' -f4 "$work/lodra.times" | stats | cut -d' ' -f1)
  fps() { awk -v f="$frames" -v t="$1" 'BEGIN {printf "%.1f", f / t}'; }
  # A lower time is a higher rate: the range of rates is the range of times reversed.
  ff_fps="$(fps "$ff_med") [$(fps "$ff_max")..$(fps "$ff_min")]"
  our_fps="$(fps "$our_med") [$(fps "$our_max")..$(fps "$our_min")]"
  ratio=$(awk -v a="$ff_med" -v b="$our_med" -v c="$ff_cpu" -v d="$our_cpu" 'BEGIN {printf "%.2fx (%.2fx)", a / b, c / d}')
  mib() { awk -v b="$(stat -c %s "$1")" 'BEGIN {printf "%.1f", b / 1048576}'; }
  rss() { awk -v k="$1" 'BEGIN {printf "%.1f MiB", k / 1024}'; }
  row "$size" "$frames" "$ff_fps" "$our_fps" "$ratio" "$(mib "$ff_gif")" "$(mib "$our_gif")" "$(rss "$ff_rss")" "$(rss "$our_rss")"
  row "" "" "($(fps "$ff_cpu"))" "($(fps "$our_cpu"))" "" "" "" "" ""
done
echo "compare-ffmpeg: outputs in $work; $(uptime)"
