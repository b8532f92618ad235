#!/usr/bin/env bash
# Installs everything the build and the tests need, from Debian's archive, on
# Debian bookworm (amd64), as root. Safe to run again: when everything is in
# place it only checks and returns.
#
# What it sets up:
#  - the native toolchain and libraries (g++, CMake, giflib, GoogleTest,
#    Google Benchmark);
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
set -euo pipefail

# --native: only what the native build needs (the demo export), not the
# Windows toolchain, Wine or the emulator.
native_only=0
if [ "${1:-}" = --native ]; then
  native_only=1
fi

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

PACKAGES=(
  cmake ninja-build make g++ dpkg-dev
  libgif-dev googletest libgtest-dev libbenchmark-dev
  gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
  wine wine64 wine32:i386
  clang-14 libclang-rt-14-dev llvm-14 valgrind
  locales
)

log() { echo "install-deps: $*"; }

is_installed() {
  [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null)" = "ii " ]
}

apt_updated=0
apt_update() {
  if [ "$apt_updated" -eq 0 ]; then
    log "apt-get update"
    apt-get update -qq
    apt_updated=1
  fi
}

write_if_changed() { # path content
  if [ ! -f "$1" ] || [ "$(cat "$1")" != "$2" ]; then
    printf '%s\n' "$2" > "$1"
    apt_updated=0
  fi
}

# --- Debian packages -------------------------------------------------------
if [ "$native_only" -eq 1 ]; then
  PACKAGES=(cmake ninja-build make g++ libgif-dev googletest libgtest-dev)
elif ! dpkg --print-foreign-architectures | grep -qx i386; then
  log "adding the i386 architecture (for Wine's 32-bit loader)"
  dpkg --add-architecture i386
  apt_updated=0
fi

missing=()
for p in "${PACKAGES[@]}"; do
  is_installed "$p" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  apt_update
  log "installing ${missing[*]}"
  apt-get install -y -qq --no-install-recommends "${missing[@]}" > /tmp/lodra-apt.log 2>&1 ||
    { cat /tmp/lodra-apt.log >&2; exit 1; }
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
  locale-gen > /tmp/lodra-locale.log 2>&1 || { cat /tmp/lodra-locale.log >&2; exit 1; }
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
    apt-get install -y -qq --no-install-recommends qemu-user/trixie > /tmp/lodra-apt.log 2>&1 ||
      { cat /tmp/lodra-apt.log >&2; exit 1; }
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
