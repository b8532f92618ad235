#!/usr/bin/env bash
# Exports the built-in demo animation to out/demo.gif through the plug-in.
# On a fresh Debian bookworm machine, as root, this one command installs
# what is missing (scripts/install-deps.sh), builds the native
# configuration in build/native (only the plug-in and lodra-gif) and runs
# lodra-gif, which prints what it wrote; the last line is the GIF's full path.
#
#   bash scripts/export-demo.sh [--mask] [--loop N] [lodra-gif options...]
#
#   --mask      mask mode: the scrolling rainbow seen through a bouncing
#               round window, the rest transparent
#   --loop N    play N more times after the first (0, the default: forever)
#
# Any other argument goes to lodra-gif as well (bash scripts/export-demo.sh
# --help-host lists them), e.g. --size 160x90 --rate 10 for a smaller GIF, or
# -o FILE to write FILE instead of out/demo.gif. Exits with lodra-gif's
# status, or 1 when installing or building fails.
set -uo pipefail

# Paths in the arguments are the caller's: the script stays in the folder it
# was started from and names its own files by their full paths.
root=$(cd "$(dirname "$0")/.." && pwd) || exit 1
build=$root/build/native
host=$build/host/lodra-gif
default_output=$root/out/demo.gif

say() { echo "export-demo: $*" >&2; }

usage() {
  sed -n '2,/^set -uo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
}

# The GIF lodra-gif will write: out/demo.gif unless an -o among the
# arguments says otherwise (the last one counts, as for lodra-gif).
output=$default_output
show_host_help=0
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case ${args[i]} in
    --) break ;;
    -h | --help) usage; exit 0 ;;
    --help-host) show_host_help=1 ;;
    -o | --output) ((i + 1 < ${#args[@]})) && output=${args[i + 1]}; i=$((i + 1)) ;;
    --output=*) output=${args[i]#--output=} ;;
    -o?*) output=${args[i]#-o} ;;
    # Their values are not ours to read.
    --size | --rate | --loop | --frames | --module) i=$((i + 1)) ;;
  esac
done

# --- what the build needs ---------------------------------------------------
if [ "$(id -u)" -eq 0 ]; then
  bash "$root/scripts/install-deps.sh" --native < /dev/null >&2 || { say "installing the dependencies failed"; exit 1; }
elif sudo -n true 2> /dev/null; then
  sudo bash "$root/scripts/install-deps.sh" --native < /dev/null >&2 || { say "installing the dependencies failed"; exit 1; }
else
  say "not root, so nothing is installed; should the build fail, run scripts/install-deps.sh as root"
fi

# --- the plug-in and the host -----------------------------------------------
log=$build/export-demo.log
mkdir -p "$build"
say "building lodra_output and lodra-gif in $build"
# Warnings are not errors here, whatever an earlier test run left in the
# cache: a newer compiler's warning must not stop the export.
if ! (cd "$root" && cmake --preset native -B "$build" -DLODRA_WARNINGS_AS_ERRORS=OFF) \
       < /dev/null > "$log" 2>&1 ||
   ! cmake --build "$build" --target lodra_output lodra-gif -j "$(nproc 2> /dev/null || echo 2)" \
       < /dev/null >> "$log" 2>&1; then
  tail -n 40 "$log" >&2
  say "the build failed; the whole log is in $log"
  exit 1
fi

if [ "$show_host_help" -eq 1 ]; then
  exec "$host" --help
fi

# --- the export ---------------------------------------------------------------
if [ "$output" = "$default_output" ]; then
  mkdir -p "$(dirname "$output")"
fi
passed=()
for arg in "$@"; do
  [ "$arg" = --help-host ] || passed+=("$arg")
done
# -o first, so that one given by the caller wins. Standard input is the
# caller's: INPUT "-" reads raw frames from it.
"$host" -o "$default_output" "${passed[@]}"
status=$?
# After Ctrl-C (130) the GIF holds the frames done so far.
if { [ "$status" -eq 0 ] || [ "$status" -eq 130 ]; } && [ -f "$output" ]; then
  realpath "$output"
fi
exit "$status"
