#!/usr/bin/env bash
# Installs everything the build and the tests need, from Debian's archive, on
# Debian bookworm (amd64), as root. Safe to run again: when everything is in
# place it only checks and returns.
#
# What it sets up:
#  - the native toolchain and libraries (g++, CMake, giflib, GoogleTest,
#    Google Benchmark, FFmpeg's libraries for lodra-gif's video input);
#  - ffmpeg itself and desktop-base, whose pictures the video tests make
#    their clips from;
#  - the i686 MinGW-w64 cross toolchain;
#  - Wine (32-bit loader and the 64-bit wineserver);
#  - the ja_JP.UTF-8 locale: the dialog test runs Wine in it, so that the
#    ANSI code page is 932 as on the plug-in's users' systems and the
#    dialog's Japanese texts survive DialogBoxParamA;
#  - giflib's Debian source package, unpacked in /usr/local/src/lodra-deps,
#    from which the Windows build compiles its giflib;
#  - where this kernel cannot run 32-bit x86 programs itself (some virtual
#    machines lack the 32-bit compat mode entirely), QEMU's user-mode
#    emulator registered with binfmt_misc for 32-bit x86 ELF files, so the
#    32-bit Wine loader runs under emulation. Bookworm's QEMU 7.2 cannot host
#    Wine (it ignores MAP_FIXED_NOREPLACE, and Wine then fails to map its
#    shared user data), so QEMU comes from trixie, through a sources entry
#    pinned low enough that nothing else is taken from there.
#
# A mirror in the middle of a sync can fail an index (apt-get update is
# tried again, then the script goes on), and can leave an archive's i386
# libraries a version behind its amd64 ones, which apt cannot install
# together. The install then holds that archive back for the one transaction
# and takes its updates on a later run; scripts/apt-decide.sh reads apt's
# output for these decisions.
#
# Environment:
#   LODRA_APT_UPDATE_RETRIES  times a failed apt-get update is tried again (3)
#   LODRA_APT_RETRY_PAUSE     seconds between the tries (5)
#   LODRA_DEPS_ASSUME_MISSING packages to treat as missing, to try the update
#                             and install steps on a machine that has them all
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=apt-decide.sh
source "$(dirname "${BASH_SOURCE[0]}")/apt-decide.sh"

# --native: only what the native build needs (the demo export), not the
# Windows toolchain, Wine or the emulator. --bench: everything, and what
# only the benchmarks use: the photograph they pan across (mate-backgrounds,
# 46 MB) and gifsicle, which the GIF optimiser is measured against.
native_only=0
bench=0
case "${1:-}" in
  --native) native_only=1 ;;
  --bench) bench=1 ;;
esac

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps.sh: must run as root" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive

DEPS_DIR=/usr/local/src/lodra-deps
TRIXIE_SOURCES=/etc/apt/sources.list.d/lodra-trixie.sources
TRIXIE_PIN=/etc/apt/preferences.d/lodra-trixie
BOOKWORM_SRC=/etc/apt/sources.list.d/lodra-bookworm-src.sources
QEMU=/usr/bin/qemu-i386
QEMU_MIN_VERSION=1:9
BINFMT_DIR=/proc/sys/fs/binfmt_misc
BINFMT_NAME=qemu-i386
# 32-bit x86 ELF executables and shared objects (e_type 2 or 3, e_machine 3).
BINFMT_RULE=":${BINFMT_NAME}:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:${QEMU}:F"

# apt's logs and the preferences handed to it, in a folder of this run's own:
# root must not write through names another user could have made first.
# A failed run keeps it: its messages point at apt's log there.
APT_WORK=$(mktemp -d /tmp/lodra-apt.XXXXXX)
trap 'status=$?; [ "$status" -ne 0 ] || rm -rf "$APT_WORK"' EXIT
APT_LOG=$APT_WORK/apt.log
APT_UPDATE_LOG=$APT_WORK/apt-update.log
APT_PREFS=$APT_WORK/apt-preferences
# The i386 dists whose updates the last install went without (see apt_install).
HELD_BACK=$DEPS_DIR/apt-held-back
APT_UPDATE_RETRIES=${LODRA_APT_UPDATE_RETRIES:-3}
APT_RETRY_PAUSE=${LODRA_APT_RETRY_PAUSE:-5}

# What the native build and its tests need (also all that --native installs).
NATIVE_PACKAGES=(
  cmake ninja-build make g++ pkg-config
  libgif-dev googletest libgtest-dev
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
  ffmpeg desktop-base
)
# The rest of a full install: the benchmarks, the Windows cross toolchain and
# Wine, the reliability checks, the dialog test's locale, dpkg-dev for
# apt-get source and the Debian package (with help2man and man-db).
MORE_PACKAGES=(
  dpkg-dev libbenchmark-dev
  gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
  wine wine64 wine32:i386
  clang-14 libclang-rt-14-dev llvm-14 valgrind
  locales
  help2man man-db
)

log() { echo "install-deps: $*"; }

is_installed() {
  [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null)" = "ii " ]
}

# apt-get update, tried again while it fails. A mirror in the middle of a
# sync fails an index now and then; apt keeps the old one (or none), and
# whether the packages can still be installed is for apt_install to find out.
apt_updated=0
failed_i386_dists=
apt_update() {
  local try=0 tries
  [ "$apt_updated" -eq 0 ] || return 0
  log "apt-get update"
  until LC_ALL=C apt-get update -qq > "$APT_UPDATE_LOG" 2>&1; do
    if [ "$try" -ge "$APT_UPDATE_RETRIES" ]; then
      [ "$try" -eq 0 ] && tries="1 try" || tries="$((try + 1)) tries"
      log "apt-get update failed ($tries) on $(apt_update_failure < "$APT_UPDATE_LOG"); going on with the package lists apt has"
      break
    fi
    try=$((try + 1))
    log "apt-get update failed; trying again in ${APT_RETRY_PAUSE}s ($try of $APT_UPDATE_RETRIES)"
    sleep "$APT_RETRY_PAUSE"
  done
  failed_i386_dists=$(apt_failed_dists i386 < "$APT_UPDATE_LOG" | paste -sd , -)
  apt_updated=1
}

# Explains on stderr why apt could not install the i386 packages among
# PACKAGE..., when it is that the amd64 and i386 versions are out of step.
# Fails when it is not.
explain_skew() { # apt-option... -- package...
  local opts=() i386=() pairs=() names skew p
  while [ "$1" != -- ]; do opts+=("$1"); shift; done
  shift
  for p in "$@"; do
    case $p in *:i386) i386+=("$p") ;; esac
  done
  names=$(LC_ALL=C apt-cache "${opts[@]}" depends --recurse --no-recommends --no-suggests \
            --no-conflicts --no-breaks --no-replaces --no-enhances "${i386[@]}" |
          apt_i386_closure) || return 1
  [ -n "$names" ] || return 1
  for p in $names; do pairs+=("$p" "$p:i386"); done
  skew=$(LC_ALL=C apt-cache "${opts[@]}" policy "${pairs[@]}" | apt_skewed_libraries) || return 1
  [ -n "$skew" ] || return 1
  log "$(apt_skew_paragraph "$APT_LOG" <<< "$skew")" | fold -s -w 78 | sed 's/ *$//' >&2
}

# apt-get install PACKAGE..., or exit with apt's log or the reason. When the
# i386 index of an archive did not update, that archive's newest amd64
# libraries have no i386 counterpart here; then the install is tried again
# with that archive held back, and the next run takes its updates.
apt_install() { # package...
  local opts=() pinned=0 next
  while ! LC_ALL=C apt-get install -y -q --no-install-recommends "${opts[@]}" "$@" > "$APT_LOG" 2>&1; do
    next=$(apt_next_step "$pinned" "${failed_i386_dists:--}" "$@" < "$APT_LOG")
    case $next in
      pin\ *)
        # shellcheck disable=SC2086 # one word per dist
        apt_pin_preferences ${next#pin } > "$APT_PREFS"
        opts=(-o "Dir::Etc::Preferences=$APT_PREFS")
        pinned=1
        log "the i386 index of ${next#pin } did not update: installing with ${next#pin } held back, so the i386 libraries come without its newest updates until the mirror is in step (running this script again then takes them)"
        ;;
      check-skew)
        explain_skew "${opts[@]}" -- "$@" || cat "$APT_LOG" >&2
        exit 1
        ;;
      *)
        cat "$APT_LOG" >&2
        exit 1
        ;;
    esac
  done
  if [ "$pinned" -eq 1 ]; then
    mkdir -p "$DEPS_DIR"
    echo "${next#pin }" > "$HELD_BACK"
  fi
}

write_if_changed() { # path content
  if [ ! -f "$1" ] || [ "$(cat "$1")" != "$2" ]; then
    printf '%s\n' "$2" > "$1"
    apt_updated=0
  fi
}

# --- Debian packages -------------------------------------------------------
PACKAGES=("${NATIVE_PACKAGES[@]}")
[ "$bench" -eq 0 ] || PACKAGES+=(mate-backgrounds gifsicle)
if [ "$native_only" -eq 0 ]; then
  PACKAGES+=("${MORE_PACKAGES[@]}")
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    log "adding the i386 architecture (for Wine's 32-bit loader)"
    dpkg --add-architecture i386
  fi
fi

# An earlier install went without an archive's newest i386 updates; once the
# i386 indexes update again, take them (apt upgrades the amd64 side with them).
if [ "$native_only" -eq 0 ] && [ -f "$HELD_BACK" ]; then
  apt_update
  if [ -n "$failed_i386_dists" ]; then
    log "the i386 index of $failed_i386_dists still does not update: the i386 libraries stay without $(cat "$HELD_BACK")'s newest updates for now"
  else
    log "the i386 indexes update again: taking $(cat "$HELD_BACK")'s updates of the i386 libraries"
    mapfile -t i386_installed < <(dpkg-query -W -f='${db:Status-Abbrev}${binary:Package}\n' |
                                  sed -n 's/^ii *\(.*:i386\)$/\1/p')
    if (apt_install --only-upgrade "${i386_installed[@]}"); then
      rm -f "$HELD_BACK"
    else
      log "the i386 libraries stay as they are; the next run tries again"
    fi
  fi
fi

missing=()
for p in "${PACKAGES[@]}"; do
  case " ${LODRA_DEPS_ASSUME_MISSING:-} " in
    *" $p "*) missing+=("$p") ;;
    *) is_installed "$p" || missing+=("$p") ;;
  esac
done
if [ "${#missing[@]}" -gt 0 ]; then
  apt_update
  log "installing ${missing[*]}"
  apt_install "${missing[@]}"
fi

if [ "$native_only" -eq 1 ]; then
  log "native dependencies present"
  exit 0
fi

# --- the Japanese locale for the dialog test --------------------------------
JA_LOCALE="ja_JP.UTF-8 UTF-8"
if ! locale -a 2> /dev/null | grep -qx 'ja_JP\.utf8'; then
  log "generating the ja_JP.UTF-8 locale"
  if ! grep -qx "$JA_LOCALE" /etc/locale.gen; then
    echo "$JA_LOCALE" >> /etc/locale.gen
  fi
  locale-gen > "$APT_WORK/locale.log" 2>&1 || { cat "$APT_WORK/locale.log" >&2; exit 1; }
fi

# --- giflib sources for the Windows build ----------------------------------
gif_version=$(dpkg-query -W -f='${source:Version}' libgif-dev)
if [ "$(cat "$DEPS_DIR/giflib.version" 2>/dev/null)" != "$gif_version" ] ||
   [ ! -f "$DEPS_DIR/giflib/gif_lib.h" ]; then
  write_if_changed "$BOOKWORM_SRC" "Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
  apt_update
  log "fetching giflib $gif_version sources"
  work=$(mktemp -d)
  (cd "$work" && apt-get source -qq "giflib=$gif_version" > apt-source.log 2>&1) ||
    { cat "$work/apt-source.log" >&2; exit 1; }
  mkdir -p "$DEPS_DIR"
  rm -rf "$DEPS_DIR/giflib"
  src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'giflib-*' | head -n 1)
  mv "$src" "$DEPS_DIR/giflib"
  echo "$gif_version" > "$DEPS_DIR/giflib.version"
  rm -rf "$work"
fi

# --- 32-bit x86 programs (Wine's loader) -----------------------------------
runs_i386() { /lib/ld-linux.so.2 --version > /dev/null 2>&1; }

qemu_ok() {
  is_installed qemu-user &&
    dpkg --compare-versions "$(dpkg-query -W -f='${Version}' qemu-user)" ge "$QEMU_MIN_VERSION"
}

binfmt_ok() {
  [ -f "$BINFMT_DIR/$BINFMT_NAME" ] &&
    grep -qx enabled "$BINFMT_DIR/$BINFMT_NAME" &&
    grep -qx "interpreter $QEMU" "$BINFMT_DIR/$BINFMT_NAME"
}

if ! runs_i386 || { [ -f "$BINFMT_DIR/$BINFMT_NAME" ] && ! binfmt_ok; }; then
  log "this kernel does not run 32-bit x86 programs: using QEMU's user-mode emulator"
  if ! qemu_ok; then
    write_if_changed "$TRIXIE_SOURCES" "Types: deb
URIs: http://deb.debian.org/debian
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
    # Below bookworm's 500: nothing is taken from trixie unless asked for.
    write_if_changed "$TRIXIE_PIN" "Package: *
Pin: release n=trixie
Pin-Priority: 100"
    apt_update
    log "installing qemu-user from trixie"
    apt_install qemu-user/trixie
  fi
  if [ ! -f "$BINFMT_DIR/register" ]; then
    mount -t binfmt_misc binfmt_misc "$BINFMT_DIR"
  fi
  if ! binfmt_ok; then
    if [ -f "$BINFMT_DIR/$BINFMT_NAME" ]; then
      echo -1 > "$BINFMT_DIR/$BINFMT_NAME"
    fi
    echo "$BINFMT_RULE" > "$BINFMT_DIR/register"
    # Also at boot, where systemd-binfmt runs.
    mkdir -p /etc/binfmt.d
    echo "$BINFMT_RULE" > /etc/binfmt.d/lodra-qemu-i386.conf
  fi
  if ! runs_i386; then
    echo "install-deps.sh: 32-bit x86 programs still do not run" >&2
    exit 1
  fi
fi

log "all dependencies present"
