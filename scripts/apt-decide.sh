# shellcheck shell=bash
# apt-decide.sh: what install-deps.sh makes of apt's output. Sourced; plain
# functions that read apt's text (run with LC_ALL=C) on stdin and print their
# answer, so they can be tested on recorded outputs (tests/install/).
#
# The trouble they deal with: a mirror in the middle of a sync can serve an
# archive's Release file with a stale i386 index (apt then fails that one
# index). The archive's amd64 index is newer, and Multi-Arch: same libraries
# must have one version on both architectures, so apt cannot install an i386
# library whose amd64 counterpart's newest version exists only for amd64.

# apt_failed_indexes < update-output
# One line per index apt-get update could not fetch: "SITE DIST INDEX", e.g.
#   deb.debian.org/debian-security bookworm-security main/binary-i386
# INDEX is "Release" when the archive's release file itself failed.
apt_failed_indexes() {
  awk '
    /Failed to fetch / {
      for (i = 1; i < NF; i++) if ($i == "fetch") break
      url = $(i + 1)
      sub(/^[a-z0-9+]+:\/\//, "", url)
      d = index(url, "/dists/")
      if (d == 0) next
      site = substr(url, 1, d - 1)
      n = split(substr(url, d + 7), part, "/")
      # dists/DIST/InRelease, or dists/DIST/COMPONENT/binary-ARCH/Packages.xz
      # (also .../binary-ARCH/by-hash/SHA256/...)
      idx = (n <= 2) ? "Release" : part[2] "/" part[3]
      print site, part[1], idx
    }' | sort -u
}

# apt_failed_dists ARCH < update-output
# The dists (suites) whose ARCH package index apt-get update could not fetch.
apt_failed_dists() {
  apt_failed_indexes | awk -v want="binary-$1" '
    { n = split($3, p, "/"); if (p[n] == want) print $2 }' | sort -u
}

# apt_update_failure < update-output
# What failed, in words for one line: the indexes, else apt's first error.
apt_update_failure() {
  local text indexes
  text=$(cat)
  indexes=$(printf '%s\n' "$text" | apt_failed_indexes |
    awk '{ printf "%s%s/%s (%s)", sep, $2, $3, $1; sep = ", " }')
  if [ -n "$indexes" ]; then
    echo "$indexes"
  else
    printf '%s\n' "$text" | grep -m 1 '^[EW]: ' || echo "no reason given"
  fi
}

# apt_pin_preferences DIST...
# apt preferences that hold DIST back below the other archives (500), for
# one transaction: candidates then come from the archives whose i386 and
# amd64 indexes agree. Below 1000, so nothing installed is downgraded. A
# sources entry names a dist by codename or by suite; both are matched.
apt_pin_preferences() {
  local dist
  for dist in "$@"; do
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 100\n\n' "$dist"
    printf 'Package: *\nPin: release a=%s\nPin-Priority: 100\n\n' "$dist"
  done
}

# apt_resolver_failed < install-output
# True when apt-get install failed on dependencies (not on a download, a
# missing package or dpkg).
apt_resolver_failed() {
  grep -qE 'held broken packages|pkgProblemResolver::Resolve generated breaks|have unmet dependencies'
}

# apt_next_step PINNED FAILED_DISTS PACKAGE... < install-output
# What to do after apt-get install PACKAGE... failed:
#   pin DIST...  retry with apt_pin_preferences DIST... (i386 packages asked
#                for, and the i386 index of DIST failed to update);
#   check-skew   see whether i386 and amd64 versions are out of step;
#   show-log     any other failure: apt's own log says it best.
# PINNED is 1 when the failed attempt was already pinned; FAILED_DISTS is a
# comma-separated list from apt_failed_dists i386, or "-".
apt_next_step() {
  local pinned=$1 dists=$2 p i386=0
  shift 2
  for p in "$@"; do
    case $p in *:i386) i386=1 ;; esac
  done
  if ! apt_resolver_failed || [ "$i386" -eq 0 ]; then
    echo show-log
  elif [ "$pinned" -eq 0 ] && [ "$dists" != - ] && [ -n "$dists" ]; then
    echo "pin ${dists//,/ }"
  else
    echo check-skew
  fi
}

# apt_i386_closure < "apt-cache depends --recurse ..." output
# The i386 packages the install would bring in (without ":i386"): apt's
# error names only some of them, and the library out of step is often deep
# in the chain.
apt_i386_closure() {
  sed -n 's/^\([^ <][^ ]*\):i386$/\1/p' | sort -u
}

# apt_skewed_libraries < "apt-cache policy NAME NAME:i386 ..." output
# One line per library whose installed amd64 package's candidate version has
# no i386 build in the package lists: "NAME VERSION I386_VERSIONS", the i386
# versions comma-separated.
apt_skewed_libraries() {
  awk '
    /^[^ ].*:$/ {
      name = substr($0, 1, length($0) - 1)
      arch = "native"
      if (name ~ /:i386$/) { arch = "i386"; sub(/:i386$/, "", name) }
      if (!(name in seen)) { seen[name] = 1; order[++count] = name }
      next
    }
    /^  Installed: / { installed[arch, name] = $2; next }
    /^  Candidate: / { candidate[arch, name] = $2; next }
    /^ (\*\*\*|   ) [^ ]+ -?[0-9]+$/ {
      if (arch == "i386") {
        v = ($1 == "***") ? $2 : $1
        if (index("," foreign[name] ",", "," v ",") == 0)
          foreign[name] = foreign[name] (foreign[name] == "" ? "" : ",") v
      }
    }
    END {
      for (i = 1; i <= count; i++) {
        name = order[i]
        have = installed["native", name]
        want = candidate["native", name]
        if (want == "" || want == "(none)") want = have
        if (have == "" || have == "(none)" || foreign[name] == "") continue
        if (index("," foreign[name] ",", "," want ",") == 0)
          print name, want, foreign[name]
      }
    }'
}

# apt_skew_paragraph LOG < apt_skewed_libraries output
# The paragraph, on one line, that explains the failure; LOG is where apt's
# own output was kept.
apt_skew_paragraph() {
  local libs
  libs=$(awk '{ v = $3; gsub(/,/, ", ", v)
                printf "%s%s %s (i386 has %s)", sep, $1, $2, v; sep = "; " }')
  echo "The i386 packages cannot be installed: the mirror's amd64 and i386" \
    "package lists are out of step (the mirror is syncing). These libraries" \
    "must have the same version on both architectures, but their amd64" \
    "version has no i386 counterpart yet: $libs. Try again later, when the" \
    "mirror has caught up (apt's own output is in $1)."
}
