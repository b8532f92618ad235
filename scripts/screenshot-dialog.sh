#!/usr/bin/env bash
# Takes the picture of the settings dialog, docs/config-dialog.png: the real
# dialog of the built Windows module, opened under Wine as the host opens it.
# Run by hand (not part of CI), as root, after building the Windows
# configuration:
#
#   scripts/screenshot-dialog.sh [BUILD_DIR [LOOP_COUNT USE_MASK]]
#
# BUILD_DIR defaults to build/windows; the dialog shows LOOP_COUNT (default
# 0) and USE_MASK (default 0) as it would after the host handed them back.
#
# How: Wine draws on an Xvfb screen with its X11 driver, inside a virtual
# desktop the size of that screen (no window manager is needed, and Wine
# draws the caption itself), in the Japanese locale so that the ANSI code
# page is 932 as on the plug-in's users' systems (DialogBoxParamA turns the
# template's texts into that code page). The dialog's font, "ＭＳ Ｐゴシック",
# is not on Linux: a Wine font replacement maps it to IPAPGothic, a
# proportional Japanese Gothic of much the same proportions.
# tests/tools/open_dialog.cpp opens the dialog and prints where it is;
# ImageMagick's import takes the screen, cropped to it.
#
# Installs (from Debian): xvfb, xauth, fonts-ipafont-gothic, imagemagick; the
# Japanese locale comes from scripts/install-deps.sh. The Wine prefix is
# BUILD_DIR/wine-prefix-screenshot, apart from the tests' prefix (which uses
# Wine's null display driver); delete it to start afresh.
set -euo pipefail

log() { echo "screenshot-dialog: $*"; }

# The part that talks to the X server: this script again, inside xvfb-run.
if [ "${1:-}" = "--inside-x" ]; then
  if [ ! -f "$WINEPREFIX/.lodra-ready" ]; then
    log "making the Wine prefix $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    wine wineboot.exe --init
    # Debian's Wine leaves its own TrueType fonts out of the prefix; the
    # caption's close button is drawn with Marlett.
    cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    wine reg.exe add 'HKCU\Software\Wine\Fonts\Replacements' /v 'ＭＳ Ｐゴシック' /d IPAPGothic /f > /dev/null
    wine reg.exe add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f > /dev/null
    wine reg.exe add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$LODRA_SCREEN" /f > /dev/null
    wineserver -w
    touch "$WINEPREFIX/.lodra-ready"
  fi
  coproc helper { wine "$LODRA_HELPER" "$LODRA_MODULE" "$LODRA_LOOP_COUNT" "$LODRA_USE_MASK"; }
  # shellcheck disable=SC2154 # helper_PID is set by coproc
  helper_out=${helper[0]} helper_in=${helper[1]} helper_pid=$helper_PID
  # The helper's line ends in CR LF.
  if ! IFS=$' \t\r' read -r -t 120 x y width height <&"$helper_out"; then
    echo "screenshot-dialog: the dialog did not open" >&2
    exit 1
  fi
  log "dialog at $x,$y, $width x $height pixels"
  sleep 2  # let the desktop finish drawing
  import -window root -crop "${width}x${height}+${x}+${y}" +repage -strip "png8:$LODRA_OUT"
  echo >&"$helper_in"
  wait "$helper_pid" || { echo "screenshot-dialog: the helper failed" >&2; exit 1; }
  wineserver -k 2> /dev/null || true
  exit 0
fi

self=$(realpath "$0")
cd "$(dirname "$self")/.."
build=${1:-build/windows}
out=docs/config-dialog.png
screen=640x480

packages=(xvfb xauth fonts-ipafont-gothic imagemagick)
missing=()
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2> /dev/null)" = "ii " ] || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "screenshot-dialog: missing ${missing[*]}; run as root to install them" >&2
    exit 1
  fi
  log "installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
    > /tmp/lodra-screenshot-apt.log 2>&1 || { cat /tmp/lodra-screenshot-apt.log >&2; exit 1; }
fi
if ! locale -a | grep -qx 'ja_JP\.utf8'; then
  echo "screenshot-dialog: no ja_JP.UTF-8 locale; run scripts/install-deps.sh" >&2
  exit 1
fi

if [ ! -d "$build" ]; then
  cmake --preset windows -B "$build"
fi
cmake --build "$build" --target lodra_output lodra_open_dialog
module=$build/plugin/lodra_output.auo
opener=$build/tests/lodra_open_dialog.exe
if [ ! -f "$module" ] || [ ! -f "$opener" ]; then
  echo "screenshot-dialog: module or helper not built" >&2
  exit 1
fi
mkdir -p "$(dirname "$out")"

WINEPREFIX=$(realpath "$build")/wine-prefix-screenshot
LODRA_OUT=$(realpath "$out")
LODRA_MODULE=$(realpath "$module")
LODRA_HELPER=$(realpath "$opener")
export WINEPREFIX LODRA_OUT LODRA_MODULE LODRA_HELPER
export WINEARCH=win32
export WINEDEBUG=${LODRA_WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LC_ALL=ja_JP.UTF-8
export LODRA_SCREEN=$screen
export LODRA_LOOP_COUNT=${2:-0} LODRA_USE_MASK=${3:-0}

xvfb-run -a -s "-screen 0 ${screen}x24" bash "$self" --inside-x
log "wrote $out ($(stat -c %s "$out") bytes)"
