#!/usr/bin/env bash
# The Debian package, as a user meets it:
#   deb_test.sh BUILD_DIR DIST_DIR MODULE_DIR
# builds the package (target dist_deb), checks what it holds and what it
# depends on, then, as root, installs it with apt, exports the demo with the
# installed program (which must find its module by itself), finds its man
# page, removes the package and checks that nothing of it is left.
# Exit 77 (skipped) only for the install part when not root.
set -uo pipefail

build=$1 dist=$2 module_dir=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

mkdir -p "$dist"
rm -f "$dist"/lodra-gif_*.deb
if ! cmake --build "$build" --target dist_deb > "$dist/deb-build.log" 2>&1; then
  cat "$dist/deb-build.log"
  echo "FAIL: building the package"
  exit 1
fi
debs=("$dist"/lodra-gif_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: want one lodra-gif_*.deb in $dist"; exit 1; }
deb=${debs[0]}
arch=$(dpkg --print-architecture)
version=$(dpkg-deb -f "$deb" Version)
[ "$(basename "$deb")" = "lodra-gif_${version}_${arch}.deb" ] || fail "file name $(basename "$deb")"

# ------------------------------------------------------------- what it holds
have=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' | sort)
want=$(printf '%s\n' /usr/bin/lodra-gif "/usr/$module_dir/lodra_output.so" "/usr/$module_dir/lodra_video.so" \
  /usr/share/doc/lodra-gif/README.md /usr/share/doc/lodra-gif/THIRD-PARTY-NOTICES.txt \
  /usr/share/doc/lodra-gif/copyright /usr/share/man/man1/lodra-gif.1.gz | sort)
[ "$have" = "$want" ] || fail "contents: have
$have
want
$want"

# Worked out from the binaries: the C and C++ run-times and FFmpeg's
# libraries (the video input) at least, with
# versions, none typed by hand.
depends=$(dpkg-deb -f "$deb" Depends)
depends_names=$(sed 's/ ([^)]*)//g; s/, /\n/g' <<< "$depends")
for lib in libc6 libstdc++6 libavformat59 libavcodec59 libswscale6 libavutil57; do
  grep -qxF "$lib" <<< "$depends_names" || fail "Depends lacks $lib: $depends"
done

# The description: the summary, then the text in lines a terminal shows
# whole (strings that CMake had made a list showed as one line with
# semicolons in it).
description=$(dpkg-deb -f "$deb" Description)
[ "$(head -n 1 <<< "$description")" = "turn video into animated GIFs through the lodra output plug-in" ] ||
  fail "Description's summary: $(head -n 1 <<< "$description")"
[ "$(wc -l <<< "$description")" -ge 4 ] || fail "Description in fewer than 3 lines after the summary: $description"
long=$(tail -n +2 <<< "$description")
grep -q ';' <<< "$long" && fail "a semicolon in the Description: $long"
awk 'length($0) > 79 || !/^ [^ ]/ { exit 1 }' <<< "$long" || fail "Description lines not one space and at most 79 columns: $long"
grep -q "^ lodra-gif exports video" <<< "$long" || fail "Description's text: $long"

# The man page is --help's text: every option --help lists is in it.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
man_text=$(zcat "$unpacked/usr/share/man/man1/lodra-gif.1.gz" | sed 's/\\-/-/g')
options=$("$build/host/lodra-gif" --help | grep -oE '^ +(-[a-z], )?--[a-z-]+' | grep -oE -- '--[a-z-]+' | sort -u)
[ -n "$options" ] || fail "no options found in --help"
for option in $options; do
  grep -q -- "$option" <<< "$man_text" || fail "the man page lacks $option"
done
grep -q '^\.TH LODRA-GIF "1"' <<< "$man_text" || fail "the man page has no .TH LODRA-GIF 1 header"
# Each line of --help's examples is a line of the page as man shows it, to
# be copied as it is.
shown=$(MANWIDTH=80 man -l "$unpacked/usr/share/man/man1/lodra-gif.1.gz" 2> /dev/null | sed 's/^ *//')
examples=$("$build/host/lodra-gif" --help | sed -n '/^Examples:$/,$p' | tail -n +2 | sed 's/^ *//' | grep -v '^$')
[ "$(wc -l <<< "$examples")" -ge 10 ] || fail "--help has fewer than 10 lines of examples"
while IFS= read -r line; do
  grep -qxF -- "$line" <<< "$shown" || fail "the man page does not show the example line: $line"
done <<< "$examples"

# ------------------------------------------------------ installed and removed
if [ "$(id -u)" -ne 0 ]; then
  echo "not root: the package was checked, but not installed"
  [ "$failures" -eq 0 ] || exit 1
  exit 77
fi
if dpkg-query -W -f='${db:Status-Abbrev}' lodra-gif 2> /dev/null | grep -q '^ii'; then
  fail "lodra-gif is installed on this machine already; not touching it"
  exit 1
fi
# Another package manager at work (an unattended upgrade, a second suite)
# holds dpkg's lock for a while: wait for it rather than fail.
lock_wait=(-o DPkg::Lock::Timeout=300)
if ! apt-get install "${lock_wait[@]}" -y -q --no-install-recommends "$deb" > "$dist/deb-install.log" 2>&1; then
  cat "$dist/deb-install.log"
  fail "apt-get install $deb"
  exit 1
fi
listed=$(dpkg -L lodra-gif)
work=$(mktemp -d)
if (cd "$work" && lodra-gif -o demo.gif > out.txt 2>&1); then
  head -c 6 "$work/demo.gif" | grep -q GIF89a || fail "the installed lodra-gif wrote no GIF"
else
  fail "the installed lodra-gif failed: $(cat "$work/out.txt")"
fi
rm -rf "$work"
man -w lodra-gif > /dev/null 2>&1 || fail "man -w lodra-gif finds no page"

apt-get remove "${lock_wait[@]}" -y -q lodra-gif > "$dist/deb-remove.log" 2>&1 ||
  fail "apt-get remove lodra-gif: $(cat "$dist/deb-remove.log")"
while IFS= read -r path; do
  case "$path" in
    /.|/usr|/usr/bin|/usr/lib|/usr/lib/*-linux-gnu|/usr/share|/usr/share/doc|/usr/share/man|/usr/share/man/man1) ;;
    *) [ -e "$path" ] && fail "left behind after removal: $path" ;;
  esac
done <<< "$listed"

[ "$failures" -eq 0 ] || exit 1
echo "the package: $(basename "$deb"), Depends: $depends; installed, used and removed cleanly"
