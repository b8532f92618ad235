#!/usr/bin/env bash
# Runs a 32-bit Windows program under Wine, in a private prefix.
#
#   wine-run.sh PREFIX PROGRAM [ARGS...]   run PROGRAM, exit with its status
#   wine-run.sh PREFIX --init              create the prefix (once), start its server
#   wine-run.sh PREFIX --stop              stop the prefix's wineserver
#
# CTest uses it as the emulator of the Windows build. The prefix is a 32-bit
# one, made once by wineboot and marked ready; the display driver is Wine's
# null driver, so windows and dialogs can be created with no X server. The
# wineserver is kept alive between test programs (starting Wine's services
# costs seconds, more under emulation) and stopped by --stop at the end of a
# run; should that not happen it goes away by itself a minute after its last
# program. Wine's own messages are off; LODRA_WINEDEBUG=err+all (a WINEDEBUG
# value) brings them back.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: wine-run.sh PREFIX (PROGRAM [ARGS...] | --init | --stop)" >&2
  exit 2
fi
prefix=$1
shift

export WINEPREFIX=$prefix
export WINEARCH=win32
export WINEDEBUG=${LODRA_WINEDEBUG:--all}
# No Mono or Gecko installers, no desktop menu entries.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

ready=$prefix/.lodra-ready

init_prefix() {
  if [ -f "$ready" ]; then
    return
  fi
  mkdir -p "$(dirname "$prefix")"
  exec 9> "$prefix.lock"
  flock 9
  if [ ! -f "$ready" ]; then
    rm -rf "$prefix"
    wine wineboot.exe --init 9>&-
    wine reg.exe add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f > /dev/null 9>&-
    # The registry reaches the disk when the server ends.
    wineserver -w
    touch "$ready"
  fi
  exec 9>&-
}

# Starts the prefix's server, persistent, unless it is running, and then
# Wine's services. Both are detached from our output: CTest waits for every
# process holding a test's output pipe, and they outlive the test.
start_server() {
  if wineserver -p60 < /dev/null > /dev/null 2>&1; then
    wine cmd.exe /c exit 0 < /dev/null > /dev/null 2>&1
  fi
}

case $1 in
  --init)
    init_prefix
    start_server
    ;;
  --stop)
    if [ -d "$prefix" ]; then
      wineserver -k 2> /dev/null || true
      wineserver -w 2> /dev/null || true
    fi
    ;;
  *)
    init_prefix
    start_server
    exec wine "$@"
    ;;
esac
