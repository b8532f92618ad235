#!/usr/bin/env bash
# Exports the same raw frames with ffmpeg's GIF encoder (fixed 8-bit rgb8
# palette) and with our command-line host through the plug-in, one after the
# other, each run pinned to the same single core, and prints frames per
# second, their ratio, peak memory and output sizes side by side.
#
#   bench/compare-ffmpeg.sh [-b BUILD_DIR] [-c CONTENT] [-n RUNS] [-p CPU] [-V] [SIZE...]
#
#   -b  the native build tree holding host/lodra-gif and bench-content/
#       (default: build/bench, as bench/run-benchmarks.sh makes it)
#   -c  content name from bench/prepare-content.sh (default: photo)
#   -n  runs of each program per size, alternating (default: 3); the report
#       gives the median and the range
#   -p  the core both programs are pinned to (default: the last one)
#   -V  the video route only (below)
#   SIZE  1920x1080 and/or 640x360 (default: both), for both routes
#
# The two commands, run with /usr/bin/time for elapsed time, CPU time (user +
# system: on a shared machine, closer to what a core of its own would give)
# and peak memory:
#   ffmpeg -f rawvideo -pix_fmt bgr24 -s WxH -r 30 -i FRAMES.raw -pix_fmt rgb8 OUT.gif
#   lodra-gif --size WxH --rate 30 -o OUT.gif FRAMES.raw
# lodra-gif optimises its GIF as it writes it (its default), so the
# optimiser shares the one core too. Both outputs are checked: each must
# decode (ffprobe) to every input frame.
#
# Then the video route, on CONTENT-SIZE.mp4 (the same frames as h264), all
# cores allowed: lodra-gif reading the file itself, against the pipe
#   ffmpeg -i CLIP.mp4 -f rawvideo -pix_fmt bgr24 - | lodra-gif --size WxH --rate 30 -o OUT.gif -
# and against ffmpeg -i CLIP.mp4 -pix_fmt rgb8 OUT.gif.
set -euo pipefail

build=build/bench
content=photo
runs=3
cpu=$(($(nproc) - 1))
video_only=0
while getopts "b:c:n:p:V" option; do
  case $option in
    b) build=$OPTARG ;;
    c) content=$OPTARG ;;
    n) runs=$OPTARG ;;
    p) cpu=$OPTARG ;;
    V) video_only=1 ;;
    *) sed -n '2,27p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1920x1080 640x360)
video_sizes=("${sizes[@]}")
[ "$video_only" -eq 0 ] || sizes=()
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
# frames per second for a time; a file's size in MiB; a peak RSS (KiB) in MiB
fps() { awk -v f="$frames" -v t="$1" 'BEGIN {printf "%.1f", f / t}'; }
mib() { awk -v b="$(stat -c %s "$1")" 'BEGIN {printf "%.1f", b / 1048576}'; }
rss() { awk -v k="$1" 'BEGIN {printf "%.1f MiB", k / 1024}'; }
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
  # A lower time is a higher rate: the range of rates is the range of times reversed.
  ff_fps="$(fps "$ff_med") [$(fps "$ff_max")..$(fps "$ff_min")]"
  our_fps="$(fps "$our_med") [$(fps "$our_max")..$(fps "$our_min")]"
  ratio=$(awk -v a="$ff_med" -v b="$our_med" -v c="$ff_cpu" -v d="$our_cpu" 'BEGIN {printf "%.2fx (%.2fx)", a / b, c / d}')
  row "$size" "$frames" "$ff_fps" "$our_fps" "$ratio" "$(mib "$ff_gif")" "$(mib "$our_gif")" "$(rss "$ff_rss")" "$(rss "$our_rss")"
  row "" "" "($(fps "$ff_cpu"))" "($(fps "$our_cpu"))" "" "" "" "" ""
done
echo "compare-ffmpeg: outputs in $work; $(uptime)"

# ------------------------------------------------------------ the video route
# A video file: lodra-gif opening it itself (decoding on a second thread,
# overlapped with encoding) against the same frames through a pipe from
# ffmpeg, and against ffmpeg's own GIF. Both cores are allowed, since the
# point is the overlap; each run is timed alone, the three alternating.
for size in "${video_sizes[@]}"; do
  clip=$content_dir/$content-$size.mp4
  if [ ! -f "$clip" ]; then
    echo "compare-ffmpeg: $clip is missing: run bench/prepare-content.sh $content_dir" >&2
    exit 1
  fi
  frames=$(decoded_frames "$clip")
  video_gif=$work/video-$content-$size.gif
  pipe_gif=$work/pipe-$content-$size.gif
  ff_gif=$work/ffmpeg-video-$content-$size.gif
  echo
  echo "video route: $clip ($frames frames), cores $(taskset -pc $$ | sed 's/.*: //'), $runs runs each"
  echo "  video: $host -o OUT.gif $clip"
  echo "  pipe:  ffmpeg -i $clip -f rawvideo -pix_fmt bgr24 - | $host --size $size --rate 30 -o OUT.gif -"
  echo "  ffmpeg: ffmpeg -i $clip -pix_fmt rgb8 OUT.gif"
  for route in video pipe ffmpeg; do : >"$work/$route.times"; done
  for ((i = 0; i < runs; i++)); do
    /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" "$host" -o "$video_gif" "$clip" 2>/dev/null
    tail -1 "$work/time.txt" >>"$work/video.times"
    /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" bash -c \
      "ffmpeg -nostdin -v error -i '$clip' -f rawvideo -pix_fmt bgr24 - | '$host' --size $size --rate 30 -o '$pipe_gif' - 2>/dev/null"
    tail -1 "$work/time.txt" >>"$work/pipe.times"
    /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" \
      ffmpeg -nostdin -hide_banner -loglevel error -y -i "$clip" -pix_fmt rgb8 "$ff_gif"
    tail -1 "$work/time.txt" >>"$work/ffmpeg.times"
  done
  for gif in "$video_gif" "$pipe_gif" "$ff_gif"; do
    got=$(decoded_frames "$gif")
    [ "$got" = "$frames" ] || { echo "compare-ffmpeg: $gif decodes to $got frames, want $frames" >&2; exit 1; }
  done
  cmp -s "$video_gif" "$pipe_gif" && same="byte for byte the same GIF" || same="GIFs differ (conversion rounding)"
  printf '%-7s | %-21s | %-12s | %-10s | %s\n' route "frames/s real [range]" "CPU s" "GIF MiB" "peak RSS"
  for route in video pipe ffmpeg; do
    read -r med min max < <(cut -d' ' -f1 "$work/$route.times" | stats)
    cpu=$(awk '{print $2 + $3}' "$work/$route.times" | stats | cut -d' ' -f1)
    rss=$(cut -d' ' -f4 "$work/$route.times" | stats | cut -d' ' -f1)
    gif=$video_gif
    [ "$route" = pipe ] && gif=$pipe_gif
    [ "$route" = ffmpeg ] && gif=$ff_gif
    printf '%-7s | %-21s | %-12s | %-10s | %s\n' "$route" \
      "$(fps "$med") [$(fps "$max")..$(fps "$min")]" "$cpu" "$(mib "$gif")" "$(rss "$rss")"
    eval "${route}_med=$med"
  done
  awk -v v="$video_med" -v p="$pipe_med" -v f="$ffmpeg_med" \
    'BEGIN {printf "video route: %.2fx the pipe route, %.2fx ffmpeg (real time medians)\n", p / v, f / v}'
  echo "video and pipe routes: $same"
done
