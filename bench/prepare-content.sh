#!/usr/bin/env bash
# Makes the content the benchmarks run on: a slow diagonal pan across a real
# picture from a Debian package, as raw video (3 bytes a pixel, blue green
# red, top row first, no padding: ffmpeg's -pix_fmt bgr24), at 1920x1080 and
# at 640x360.
#
#   bench/prepare-content.sh [OUTPUT_DIR]     (default: build/bench/bench-content)
#
# Pictures used (their packages and ffmpeg come with
# scripts/install-deps.sh --bench; this script only checks for them):
#   photo         package mate-backgrounds:
#                 /usr/share/backgrounds/mate/nature/LadyBird.jpg, a 2560x1600
#                 photograph (sharp subject, blurred background, JPEG noise)
#   illustration  package desktop-base:
#                 /usr/share/desktop-base/emerald-theme/wallpaper/contents/images/2560x1440.svg,
#                 the illustrated wallpaper (smooth gradients), rendered at
#                 2560x1440 by ffmpeg's SVG decoder
#   gradient      package desktop-base:
#                 /usr/share/desktop-base/futureprototype-theme/wallpaper/contents/images/2560x1440.svg,
#                 a smooth vertical gradient from dark to greyish blue under
#                 faint curved bands, rendered the same way: long runs of
#                 one index, the GIF coder's longest matches
# For each: <name>-1920x1080.raw and <name>-640x360.raw, FRAMES frames
# (default 60) at 30 fps; the 1920x1080 window moves from the picture's top
# left corner to its bottom right, and the 640x360 frames are the same
# windows scaled down. For the video route, <name>-<size>.mp4 holds the
# same frames as h264 (yuv420p, crf 18, preset medium, the frame rate stated
# in the file).
#
# Two clips of still pictures with something moving over them, as h264
# (the GIF optimiser's content, compared with gifsicle -O3) and their first
# 60 frames decoded again as raw video (<name>-<size>.raw):
#   screen-1920x1080.mp4  a screen recording's like: the illustration as a
#                 1920x1080 desktop, a 16-pixel white square moving across
#                 it, 10 s at 15 fps
#   cartoon-640x360.mp4   a cartoon's like: a 96x96 sprite cut from the
#                 photo (the ladybird) moving over the illustration at
#                 640x360, 6 s at 25 fps
# A manifest (content.txt) records packages, versions, files and their
# checksums. The folder is build output, never committed.
set -euo pipefail

out_dir=${1:-build/bench/bench-content}
frames=${FRAMES:-60}
rate=30

log() { echo "prepare-content: $*"; }

photo=/usr/share/backgrounds/mate/nature/LadyBird.jpg
illustration=/usr/share/desktop-base/emerald-theme/wallpaper/contents/images/2560x1440.svg
gradient=/usr/share/desktop-base/futureprototype-theme/wallpaper/contents/images/2560x1440.svg
missing=()
command -v ffmpeg >/dev/null || missing+=(ffmpeg)
for file in "$photo" "$illustration" "$gradient"; do
  [ -f "$file" ] || missing+=("$file")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "prepare-content: missing ${missing[*]}; run scripts/install-deps.sh --bench as root" >&2
  exit 1
fi

mkdir -p "$out_dir"
manifest=$out_dir/content.txt
: >"$manifest"

# make_pan NAME PACKAGE FILE: the two raw files of one picture.
make_pan() {
  local name=$1 package=$2 file=$3
  local version
  version=$(dpkg-query -W -f='${Version}' "$package")
  local last=$((frames - 1))
  # The window's top left corner moves linearly, frame n of `frames`.
  local pan="crop=1920:1080:x='(iw-ow)*n/${last}':y='(ih-oh)*n/${last}'"
  local checksum line
  checksum=$(sha256sum "$file" | cut -c1-16)
  line="$name: package $package $version, file $file (sha256 $checksum...), $frames frames at $rate fps"
  log "$line"
  echo "$line" >>"$manifest"
  for size in 1920x1080 640x360; do
    local filter=$pan
    [ "$size" = 1920x1080 ] || filter="$pan,scale=${size/x/:}:flags=area"
    local raw=$out_dir/$name-$size.raw
    ffmpeg -hide_banner -loglevel error -nostdin -y -loop 1 -framerate "$rate" -i "$file" \
      -vf "$filter" -frames:v "$frames" -f rawvideo -pix_fmt bgr24 "$raw"
    local bytes want
    bytes=$(stat -c %s "$raw")
    want=$((frames * 3 * ${size%x*} * ${size#*x}))
    if [ "$bytes" -ne "$want" ]; then
      echo "prepare-content: $raw holds $bytes bytes, want $want" >&2
      exit 1
    fi
    log "  wrote $raw ($size, $frames frames, $bytes bytes)"
    echo "  $raw: $size bgr24, $frames frames" >>"$manifest"
  done
  for size in 1920x1080 640x360; do
    local clip=$out_dir/$name-$size.mp4
    ffmpeg -hide_banner -loglevel error -nostdin -y -f rawvideo -pix_fmt bgr24 -s "$size" -r "$rate" \
      -i "$out_dir/$name-$size.raw" -c:v libx264 -preset medium -crf 18 -pix_fmt yuv420p "$clip"
    log "  wrote $clip (h264, $frames frames)"
    echo "  $clip: $size h264 yuv420p, $frames frames" >>"$manifest"
  done
}

# make_moving NAME SIZE RATE FRAMES FILTER INPUT...: an h264 clip of the
# still INPUTs (each looped at RATE) through the filter graph FILTER.
make_moving() {
  local name=$1 size=$2 clip_rate=$3 count=$4 filter=$5
  shift 5
  local inputs=() file
  for file in "$@"; do inputs+=(-loop 1 -framerate "$clip_rate" -i "$file"); done
  local clip=$out_dir/$name-$size.mp4
  ffmpeg -hide_banner -loglevel error -nostdin -y "${inputs[@]}" -filter_complex "$filter" -frames:v "$count" \
    -c:v libx264 -preset medium -crf 18 -pix_fmt yuv420p -r "$clip_rate" "$clip"
  local line="$name: $size h264 yuv420p, $count frames at $clip_rate fps, from $*"
  log "  wrote $clip ($line)"
  echo "  $clip: $line" >>"$manifest"
  # Its first 60 frames decoded again, as raw video: what lodra-gif's video
  # input hands on, for the dither's figures.
  local raw=$out_dir/$name-$size.raw
  ffmpeg -hide_banner -loglevel error -nostdin -y -i "$clip" -frames:v 60 -f rawvideo -pix_fmt bgr24 "$raw"
  log "  wrote $raw (the clip's first 60 frames, decoded)"
  echo "  $raw: $size bgr24, the clip's first 60 frames decoded" >>"$manifest"
}

make_pan photo mate-backgrounds "$photo"
make_pan illustration desktop-base "$illustration"
make_pan gradient desktop-base "$gradient"
# The square crosses from near the top left to near the bottom right.
make_moving screen 1920x1080 15 150 \
  "[0]scale=1920:1080:flags=area[desk];color=c=white:s=16x16:r=15[square];[desk][square]overlay=x='120+t*165':y='90+t*85'" \
  "$illustration"
# The ladybird's 400x400 square in the photo, shrunk to 96x96, crossing
# from left to right on a wave.
make_moving cartoon 640x360 25 150 \
  "[0]scale=640:360:flags=area[back];[1]crop=400:400:1590:630,scale=96:96:flags=area[sprite];[back][sprite]overlay=x='-96+t*122':y='132+60*sin(t*2)'" \
  "$illustration" "$photo"
log "manifest: $manifest"
