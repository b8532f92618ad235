#!/usr/bin/env bash
# scripts/apt-decide.sh over the apt outputs recorded here (README.md says
# how each was made): what install-deps.sh makes of a mirror out of step.
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR source=../../scripts/apt-decide.sh
source "$here/../../scripts/apt-decide.sh"

# function | recorded input | arguments | want: the output's lines joined by
# "; " ("" for none), or "has: NAME..." for names that must each begin a line.
cases=(
  # Which indexes failed, and for which dists the i386 one did.
  "apt_failed_indexes | update-index-failed.txt  |      | deb.debian.org/debian-security bookworm-security main/binary-i386"
  "apt_failed_indexes | update-unreachable.txt   |      | mirror.invalid/debian bookworm Release"
  "apt_failed_indexes | update-no-permission.txt |      | "
  "apt_failed_dists   | update-index-failed.txt  | i386 | bookworm-security"
  "apt_failed_dists   | update-index-failed.txt  | amd64 | "
  "apt_failed_dists   | update-unreachable.txt   | i386 | "
  "apt_update_failure | update-index-failed.txt  |      | bookworm-security/main/binary-i386 (deb.debian.org/debian-security)"
  "apt_update_failure | update-no-permission.txt |      | E: Could not open lock file /var/lib/apt/lists/lock - open (13: Permission denied)"

  # After a failed install: hold the archive back, look for the skew, or
  # leave it to apt's log.
  "apt_next_step | install-plain-failed.txt | 0 bookworm-security wine32:i386 | pin bookworm-security"
  "apt_next_step | install-plain-failed.txt | 0 bookworm-security,trixie-security cmake wine32:i386 | pin bookworm-security trixie-security"
  "apt_next_step | install-plain-failed.txt | 0 - wine32:i386                 | check-skew"
  "apt_next_step | install-plain-failed.txt | 0 bookworm-security cmake       | show-log"
  "apt_next_step | install-pinned-skew.txt  | 1 bookworm-security wine32:i386 | check-skew"
  "apt_next_step | install-unknown.txt      | 0 bookworm-security lodra-no-such-package wine32:i386 | show-log"
  "apt_next_step | install-pinned-ok.txt    | 1 bookworm-security wine32:i386 | show-log"

  # Which libraries are out of step: libssl3 is deep in Wine's dependencies,
  # not named by apt's error.
  "apt_i386_closure     | depends-wine32.txt     | | has: wine32 libwine libssl3 zlib1g"
  "apt_skewed_libraries | policy-pinned-skew.txt | | libssl3 3.0.22-1~deb12u2 3.0.20-1~deb12u2,3.0.17-1~deb12u2"
  "apt_skewed_libraries | policy-pinned-ok.txt   | | "
  "apt_skewed_libraries | policy-plain.txt       | | has: libssl3 zlib1g liblzma5 libexpat1"
)

trim() { local s=${1#"${1%%[! ]*}"}; echo "${s%"${s##*[! ]}"}"; }

failed=0
for c in "${cases[@]}"; do
  IFS='|' read -r fn input args want <<< "$c"
  fn=$(trim "$fn") input=$(trim "$input") args=$(trim "$args") want=$(trim "$want")
  # shellcheck disable=SC2086 # the arguments are words
  have=$($fn $args < "$here/$input")
  if [ "${want#has: }" != "$want" ]; then
    for name in ${want#has: }; do
      if ! grep -q "^$name\( \|$\)" <<< "$have"; then
        echo "FAIL $fn < $input: have no $name, want it"
        failed=$((failed + 1))
      fi
    done
    continue
  fi
  have=$(awk '{ printf "%s%s", sep, $0; sep = "; " }' <<< "$have")
  if [ "$have" != "$want" ]; then
    echo "FAIL $fn $args < $input: have \"$have\", want \"$want\""
    failed=$((failed + 1))
  fi
done
echo "${#cases[@]} cases, $failed failed"
[ "$failed" -eq 0 ]
