#!/usr/bin/env bash
# Makes Debian packages present, going on where apt itself could: a package mirror caught
# mid-sync serves one index with the wrong size ("File has unexpected size ... Mirror sync in
# progress?") and `apt-get update` then exits 100, although every other index downloaded and apt
# can install from them. Shared by the README's quick start, .ci/run and .ci/enable-i386.sh.
#
# usage (as root): packaging/apt-install.sh [--backports] [-o APT_OPTION]... PACKAGE...
#        packaging/apt-install.sh --print-archive   (prints "<archive URI> <release>" and exits)
#   Packages already installed cost nothing: without one missing, apt is not even asked to update.
#   The lists are updated (tried a few times); indexes that still fail are named in one line and
#   the install goes on with what apt has. Where the install fails for unmet dependencies (the
#   two halves of a Multi-Arch: same library at different versions, when one architecture's
#   security index is missing), it is tried again with the machine's own release as the target
#   release (-t bookworm on Debian 12); only then does the script fail, naming what it could not
#   install.
#   --backports  installs from the release's backports suite, added for the run from the
#                machine's own sources (the first non-security URI) and removed again after; a
#                package counts as present only when a backports version of it is installed.
#   -o OPTION    passed to every apt-get call (a private apt state, for instance); a private
#                Dir::State::status also names the dpkg database that is asked what is installed.
#   APT_INSTALL_TRIES (default 3) and APT_INSTALL_PAUSE (seconds, default 5) set the retries
#   of the update.
set -uo pipefail

me=apt-install
die() {
  echo "$me: $*" >&2
  exit 1
}

backports=
print_archive=
apt_options=()
packages=()
while (($#)); do
  case $1 in
    --backports) backports=1 ;;
    --print-archive) print_archive=1 ;;
    -o) (($# >= 2)) || die "-o needs an option"; apt_options+=(-o "$2"); shift ;;
    -o*) apt_options+=(-o "${1#-o}") ;;
    -*) die "unknown option $1 (usage: apt-install.sh [--backports] [-o APT_OPTION]... PACKAGE...)" ;;
    *) packages+=("$1") ;;
  esac
  shift
done
((${#packages[@]})) || [[ -n $print_archive ]] || die "no package named (usage: apt-install.sh [--backports] [-o APT_OPTION]... PACKAGE...)"

tries=${APT_INSTALL_TRIES:-3}
pause=${APT_INSTALL_PAUSE:-5}

# The value apt has for one configuration item, with the options given.
apt_config() {
  apt-config "${apt_options[@]}" shell value "$1" 2>/dev/null | sed -n "s/^value='\(.*\)'$/\1/p"
}

# What dpkg database to ask: the private one where the options name a private status file.
dpkg_query=(dpkg-query)
status_file=$(apt_config Dir::State::status/f)
if [[ -n $status_file && $status_file != /var/lib/dpkg/status ]]; then
  dpkg_query+=(--admindir="$(dirname "$status_file")")
fi

# True when the package (NAME or NAME:ARCH) is installed, from backports where that is asked for.
present() {
  local state
  state=$("${dpkg_query[@]}" -W -f='${db:Status-Status} ${Version}' "$1" 2>/dev/null) || return 1
  [[ $state == installed\ * ]] || return 1
  [[ -z $backports || $state == *bpo* ]]
}


# The machine's own sources, one "URI SUITE" line each, in the order apt reads them: one-line
# (deb ...) and deb822 (.sources) files alike.
list_sources() {
  local main parts f
  main=$(apt_config Dir::Etc::sourcelist/f)
  parts=$(apt_config Dir::Etc::sourceparts/d)
  for f in "$main" "$parts"/*.list "$parts"/*.sources; do
    [[ -f $f ]] || continue
    if [[ $f == *.sources ]]; then
      awk 'function flush(  n, i, s) {
             if (deb && uri != "" && suites != "") { n = split(suites, s, " "); for (i = 1; i <= n; i++) print uri, s[i] }
             deb = 0; uri = ""; suites = ""
           }
        /^[ \t]*$/ { flush(); next }
        /^Types:/ { deb = ($0 ~ /[: \t]deb([ \t]|$)/); next }
        /^URIs:/ { sub(/^[^:]*:[ \t]*/, ""); split($0, u, " "); uri = u[1]; next }
        /^Suites:/ { sub(/^[^:]*:[ \t]*/, ""); suites = $0; next }
        END { flush() }' "$f"
    else
      # deb [options] URI SUITE COMPONENT...
      sed -n 's/^[ \t]*deb[ \t]\+\(\[[^]]*\][ \t]\+\)\?\([^ \t]\+\)[ \t]\+\([^ \t]\+\).*/\2 \3/p' "$f"
    fi
  done
}

# The release the machine itself runs (bookworm on Debian 12): the one os-release names where a
# source has it, or else the suite of the first source that is neither security nor updates nor
# backports.
own_release() {
  local named uri suite first=
  named=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
  while read -r uri suite; do
    case $suite in *-security | *-updates | *-backports | */*) continue ;; esac
    if [[ -n $named && $suite == "$named" ]]; then
      echo "$suite"
      return
    fi
    [[ -n $first ]] || first=$suite
  done < <(list_sources)
  echo "${first:-$named}"
}

# The URI of that release's archive: the first source of the release itself.
own_archive() {
  local uri suite
  while read -r uri suite; do
    [[ $suite == "$release" ]] || continue
    echo "$uri"
    return
  done < <(list_sources)
}

release=$(own_release)
[[ -n $release ]] || die "cannot tell this machine's release from its apt sources"
if [[ -n $print_archive ]]; then
  archive=$(own_archive)
  [[ -n $archive ]] || die "no archive among this machine's apt sources"
  echo "$archive $release"
  exit 0
fi

missing=()
for p in "${packages[@]}"; do present "$p" || missing+=("$p"); done
if ((${#missing[@]} == 0)); then
  echo "$me: already installed: ${packages[*]}"
  exit 0
fi

added_source=
cleanup() { [[ -z $added_source ]] || rm -f "$added_source"; }
trap cleanup EXIT
if [[ -n $backports ]]; then
  archive=$(own_archive)
  [[ -n $archive ]] || die "no archive among this machine's apt sources to take $release-backports from"
  if ! list_sources | grep -q " $release-backports\$"; then
    added_source=$(apt_config Dir::Etc::sourceparts/d)/tarvisk-$release-backports.sources
    printf 'Types: deb\nURIs: %s\nSuites: %s-backports\nComponents: main\nSigned-By: %s\n' \
      "$archive" "$release" /usr/share/keyrings/debian-archive-keyring.gpg >"$added_source" ||
      die "cannot add the $release-backports suite ($added_source)"
  fi
fi

export DEBIAN_FRONTEND=noninteractive
log=$(mktemp) || die "cannot make a temporary file"
trap 'cleanup; rm -f "$log"' EXIT

# Updates the lists, tried again a few times. What still fails is named, and apt goes on with
# the lists that did download: those are as current as the mirror.
updated=
for ((try = 1; try <= tries; try++)); do
  if apt-get "${apt_options[@]}" update >"$log" 2>&1; then
    updated=1
    break
  fi
  ((try < tries)) && sleep "$pause"
done
if [[ -z $updated ]]; then
  failed=$(sed -n 's/^E: Failed to fetch \([^ ]*\).*/\1/p' "$log" | sort -u | paste -sd' ')
  if [[ -z $failed ]]; then
    cat "$log" >&2
    die "apt-get update failed $tries times without naming an index; going on with the lists apt has"
  fi
  echo "$me: apt-get update: these indexes failed to download (tried $tries times), going on without them: $failed"
fi

target=()
[[ -z $backports ]] || target=(-t "$release-backports")
install() {
  apt-get "${apt_options[@]}" install -y "$@" "${missing[@]}" >"$log" 2>&1
}
if install "${target[@]}"; then
  echo "$me: installed: ${missing[*]}"
  exit 0
fi
if [[ -z $backports ]] && grep -q -E 'unmet dependencies|held broken packages' "$log"; then
  echo "$me: unmet dependencies; trying again with -t $release"
  if install -t "$release"; then
    echo "$me: installed with -t $release: ${missing[*]}"
    exit 0
  fi
fi
tail -n 20 "$log" >&2
unknown=$(sed -n "s/^E: Unable to locate package \(.*\)/\1/p; s/^E: Package '\([^']*\)' has no installation candidate/\1/p" "$log" | paste -sd' ')
[[ -z $unknown ]] || die "no source holds these packages: $unknown"
die "cannot install: ${missing[*]}"
