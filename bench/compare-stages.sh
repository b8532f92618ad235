#!/usr/bin/env bash
# lodra-gif's two stages around the plug-in, measured through lodra-gif
# itself, one run of everything side by side:
#
#   sizes     each clip of bench/prepare-content.sh exported from its h264
#             file with --no-optimize (the plug-in's GIF) and as by default
#             (optimised), and the --no-optimize GIF through gifsicle -O3;
#             each optimised GIF is checked to play as the plug-in's
#             (gif_optimise --plays-as) and never to be larger
#   cost      each 1920x1080 raw clip exported with and without
#             optimisation, RUNS alternating runs each on every core (wall
#             time, the median): the optimised export's time against the
#             plug-in's alone
#   dither    photo and gradient 1920x1080 raw, --dither none against
#             --dither ordered (both --no-optimize, pinned to one core,
#             RUNS alternating runs): the export's time a frame and the
#             GIF's size, which grow as the plug-in codes a busier picture,
#             and the quarter-area PSNR of each GIF against the source
#             frames (both shrunk by 2x2 means; ffmpeg's psnr filter over
#             the whole clip). Then the dither's own time a frame: the
#             same two exports of the photo with every channel made 0 or
#             255, which the dither reads and writes but leaves as they
#             are, so that the plug-in's work is the same in both (CPU
#             time, user and system)
#
#   bench/compare-stages.sh [-b BUILD_DIR] [-n RUNS] [-p CPU] [sizes|cost|dither]...
#
#   -b  the native build tree with host/lodra-gif, bench/gif_optimise and
#       bench-content/ (default: build/bench, as bench/run-benchmarks.sh
#       makes it)
#   -n  runs of each command in the timed parts (default: 5)
#   -p  the core the dither's runs are pinned to (default: the last one)
#   the parts to run (default: all three)
set -euo pipefail

build=build/bench
runs=5
cpu=$(($(nproc) - 1))
while getopts "b:n:p:" option; do
  case $option in
    b) build=$OPTARG ;;
    n) runs=$OPTARG ;;
    p) cpu=$OPTARG ;;
    *) sed -n '2,30p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(sizes cost dither)

host=$build/host/lodra-gif
checker=$build/bench/gif_optimise
content_dir=${LODRA_BENCH_CONTENT:-$build/bench-content}
work=$build/bench-stages
mkdir -p "$work"
for tool in gifsicle ffmpeg taskset /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "compare-stages: $tool is missing (scripts/install-deps.sh --bench)" >&2; exit 1; }
done
for program in "$host" "$checker"; do
  [ -x "$program" ] || { echo "compare-stages: $program is missing: build the bench tree first" >&2; exit 1; }
done

# median / min / max of the numbers on standard input
stats() { sort -g | awk '{v[NR]=$1} END {m=(NR%2)?v[(NR+1)/2]:(v[NR/2]+v[NR/2+1])/2; printf "%s %s %s\n", m, v[1], v[NR]}'; }
size() { stat -c %s "$1"; }
need() { [ -f "$1" ] || { echo "compare-stages: $1 is missing: run bench/prepare-content.sh" >&2; exit 1; }; }
# timed FILE COMMAND...: appends "elapsed user system" to FILE
timed() {
  local file=$1
  shift
  /usr/bin/time -f '%e %U %S' -o "$work/time.txt" "$@" 2>"$work/stderr.txt" >/dev/null
  tail -1 "$work/time.txt" >>"$file"
}

echo "compare-stages: $(uptime)"
echo "compare-stages: $("$host" --version | head -1); $(gifsicle --version | head -1); $(ffmpeg -version | head -1)"

part_sizes() {
  echo
  echo "sizes: lodra-gif CLIP.mp4 [--no-optimize] -o OUT.gif; gifsicle -O3 the --no-optimize GIF (bytes)"
  printf '%-24s | %12s | %20s | %20s | %s\n' clip "plug-in's" "optimised" "gifsicle -O3" "optimised against gifsicle"
  local clip
  for clip in photo-1920x1080 illustration-1920x1080 gradient-1920x1080 photo-640x360 illustration-640x360 \
    gradient-640x360 screen-1920x1080 cartoon-640x360; do
    local video=$content_dir/$clip.mp4 plain=$work/$clip.plain.gif optimised=$work/$clip.optimised.gif
    local theirs=$work/$clip.gifsicle.gif
    need "$video"
    "$host" --no-optimize -o "$plain" "$video" 2>/dev/null
    "$host" -o "$optimised" "$video" 2>/dev/null
    gifsicle -O3 "$plain" -o "$theirs"
    "$checker" --plays-as "$optimised" "$plain" >/dev/null
    local p o g
    p=$(size "$plain") o=$(size "$optimised") g=$(size "$theirs")
    [ "$o" -le "$p" ] || { echo "compare-stages: $optimised ($o bytes) is larger than $plain ($p)" >&2; exit 1; }
    awk -v c="$clip" -v p="$p" -v o="$o" -v g="$g" 'BEGIN {
      printf "%-24s | %12d | %11d (%5.1f%%) | %11d (%5.1f%%) | %+.1f%%\n", c, p, o, 100 * o / p, g, 100 * g / p, 100 * o / g - 100 }'
  done
  echo "every optimised GIF plays as its --no-optimize one (gif_optimise --plays-as) and is no larger"
}

part_cost() {
  echo
  echo "cost: lodra-gif --size 1920x1080 --rate 30 [--no-optimize] -o OUT.gif CLIP.raw, every core ($(nproc)),"
  echo "      $runs alternating runs; wall time median [min..max]"
  printf '%-24s | %6s | %-24s | %-24s | %s\n' clip frames "--no-optimize" "optimised" "ratio"
  local clip
  for clip in photo-1920x1080 illustration-1920x1080 gradient-1920x1080 screen-1920x1080; do
    local raw=$content_dir/$clip.raw
    need "$raw"
    local frames=$(($(size "$raw") / (3 * 1920 * 1080)))
    cat "$raw" >/dev/null  # from the page cache, both
    : >"$work/plain.times"
    : >"$work/optimised.times"
    local i
    for ((i = 0; i < runs; i++)); do
      timed "$work/plain.times" "$host" --size 1920x1080 --rate 30 --no-optimize -o "$work/cost.gif" "$raw"
      timed "$work/optimised.times" "$host" --size 1920x1080 --rate 30 -o "$work/cost.gif" "$raw"
    done
    local pm pn px om on ox
    read -r pm pn px < <(cut -d' ' -f1 "$work/plain.times" | stats)
    read -r om on ox < <(cut -d' ' -f1 "$work/optimised.times" | stats)
    printf '%-24s | %6d | %-24s | %-24s | %s\n' "$clip" "$frames" "$pm s [$pn..$px]" "$om s [$on..$ox]" \
      "$(awk -v a="$om" -v b="$pm" 'BEGIN {printf "%.2fx", a / b}')"
  done
}

part_dither() {
  echo
  echo "dither: lodra-gif --size 1920x1080 --rate 30 --no-optimize --dither none|ordered -o OUT.gif CLIP.raw,"
  echo "        pinned to core $cpu, $runs alternating runs (wall time median); quarter-area PSNR against the source"
  printf '%-20s | %-14s | %-14s | %-20s | %-10s | %-10s | %s\n' clip "none s, MiB" "ordered s, MiB" "export time added" \
    "none dB" "ordered dB" "gain"
  local clip mode i
  for clip in photo-1920x1080 gradient-1920x1080; do
    local raw=$content_dir/$clip.raw
    need "$raw"
    local frames=$(($(size "$raw") / (3 * 1920 * 1080)))
    cat "$raw" >/dev/null
    for mode in none ordered; do : >"$work/$mode.times"; done
    for ((i = 0; i < runs; i++)); do
      for mode in none ordered; do
        timed "$work/$mode.times" taskset -c "$cpu" "$host" --size 1920x1080 --rate 30 --no-optimize --dither "$mode" \
          -o "$work/$clip.$mode.gif" "$raw"
      done
    done
    local none ordered psnr_none psnr_ordered
    none=$(cut -d' ' -f1 "$work/none.times" | stats | cut -d' ' -f1)
    ordered=$(cut -d' ' -f1 "$work/ordered.times" | stats | cut -d' ' -f1)
    for mode in none ordered; do
      # The GIF's pictures and the source's, frame by frame, each shrunk by
      # 2x2 means. The GIF is decoded to raw frames first: read as a GIF,
      # its hundredths would pair its frames with the source's thirtieths
      # by time, some with their neighbours.
      ffmpeg -nostdin -v error -y -i "$work/$clip.$mode.gif" -vsync passthrough -f rawvideo -pix_fmt bgr24 \
        "$work/decoded.raw"
      ffmpeg -nostdin -hide_banner -f rawvideo -pix_fmt bgr24 -s 1920x1080 -r 30 -i "$work/decoded.raw" \
        -f rawvideo -pix_fmt bgr24 -s 1920x1080 -r 30 -i "$raw" \
        -lavfi "[0]format=rgb24,scale=960:540:flags=area[a];[1]format=rgb24,scale=960:540:flags=area[b];[a][b]psnr" \
        -f null - 2>"$work/psnr.txt"
      rm -f "$work/decoded.raw"
      local value
      value=$(sed -n 's/.*PSNR r:.* average:\([0-9.]*\).*/\1/p' "$work/psnr.txt" | tail -1)
      [ -n "$value" ] || { echo "compare-stages: no PSNR for $clip $mode" >&2; cat "$work/psnr.txt" >&2; exit 1; }
      eval "psnr_$mode=$value"
    done
    awk -v c="$clip" -v n="$none" -v o="$ordered" -v f="$frames" -v pn="$psnr_none" -v po="$psnr_ordered" \
      -v bn="$(size "$work/$clip.none.gif")" -v bo="$(size "$work/$clip.ordered.gif")" 'BEGIN {
      printf "%-20s | %-14s | %-14s | %-20s | %-10.2f | %-10.2f | %+.2f dB\n", c, sprintf("%s, %.1f", n, bn / 1048576),
        sprintf("%s, %.1f", o, bo / 1048576), sprintf("%.2f ms a frame", 1000 * (o - n) / f), pn, po, po - pn }'
  done

  # The dither's own time: channels at 0 or 255 only, which it leaves.
  local binary=$work/photo-binary-1920x1080.raw
  ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt bgr24 -s 1920x1080 -i "$content_dir/photo-1920x1080.raw" \
    -vf "lutrgb=r='if(gt(val,127),255,0)':g='if(gt(val,127),255,0)':b='if(gt(val,127),255,0)'" \
    -f rawvideo -pix_fmt bgr24 "$binary"
  local frames=$(($(size "$binary") / (3 * 1920 * 1080)))
  for mode in none ordered; do : >"$work/$mode.times"; done
  for ((i = 0; i < 2 * runs; i++)); do
    for mode in none ordered; do
      timed "$work/$mode.times" taskset -c "$cpu" "$host" --size 1920x1080 --rate 30 --no-optimize --dither "$mode" \
        -o "$work/binary.$mode.gif" "$binary"
    done
  done
  cmp -s "$work/binary.none.gif" "$work/binary.ordered.gif" ||
    { echo "compare-stages: the dither changed a picture of channels at 0 and 255" >&2; exit 1; }
  local none ordered
  none=$(awk '{print $2 + $3}' "$work/none.times" | stats | cut -d' ' -f1)
  ordered=$(awk '{print $2 + $3}' "$work/ordered.times" | stats | cut -d' ' -f1)
  awk -v n="$none" -v o="$ordered" -v f="$frames" -v r="$((2 * runs))" 'BEGIN {
    printf "the dither itself: the photo with channels at 0 or 255 (the same GIF either way), CPU time median of %d runs:\n", r
    printf "  --dither none %.3f s, --dither ordered %.3f s: %.2f ms a frame\n", n, o, 1000 * (o - n) / f }'
}

for part in "${parts[@]}"; do
  case $part in
    sizes) part_sizes ;;
    cost) part_cost ;;
    dither) part_dither ;;
    *) echo "compare-stages: no part called $part (sizes, cost, dither)" >&2; exit 2 ;;
  esac
done
echo
echo "compare-stages: outputs in $work; $(uptime)"
