#!/usr/bin/env bash
# packaging/apt-install.sh against a package mirror caught mid-sync, with no network: a private
# apt state and dpkg root, local file: sources, one of which lists a wrong size for its index.
#
# usage: apt_install_test.sh <source-dir>

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

source_dir=$(realpath "$1")
install_script=$source_dir/packaging/apt-install.sh
make_repo=$source_dir/packaging/local-apt-repo.sh
for tool in apt-get apt-config dpkg-deb dpkg-query; do
  command -v "$tool" >/dev/null || skip "$tool is missing: not a Debian system"
done
enter_workdir

# A package with one file and the given control fields.
make_deb() {
  local name=$1 version=$2 depends=${3:-} root=deb-$1-$2
  mkdir -p "$root/DEBIAN" "$root/usr/share/$name"
  echo "$name $version" >"$root/usr/share/$name/version"
  {
    printf 'Package: %s\nVersion: %s\nArchitecture: all\nMaintainer: Tarvisk tests <tests@example.invalid>\n' "$name" "$version"
    [[ -z $depends ]] || printf 'Depends: %s\n' "$depends"
    printf 'Description: a package for the apt-install test\n'
  } >"$root/DEBIAN/control"
  dpkg-deb --build --root-owner-group "$root" "$name-$version.deb" >/dev/null || fail "dpkg-deb cannot build $name"
}

# The machine's release holds probe 1.0; its updates suite holds probe 2.0, which needs a
# version of probe-dep that no index has, as when the security suite's i386 index is missing.
make_deb probe 1.0
make_deb probe 2.0 "probe-dep (= 2.0)"
mkdir -p etc/sources.list.d state/lists/partial cache/archives/partial root/var/lib/dpkg/info root/var/lib/dpkg/updates
: >root/var/lib/dpkg/status
{
  bash "$make_repo" repo/main testing-release probe-1.0.deb
  bash "$make_repo" repo/updates testing-release-updates probe-2.0.deb
  bash "$make_repo" --wrong-size repo/mid-sync testing-release-security
} >etc/sources.list || fail "cannot make the local repositories"

apt_options=(
  -o "Dir::State=$WORK/state" -o "Dir::State::status=$WORK/root/var/lib/dpkg/status"
  -o "Dir::Cache=$WORK/cache" -o "Dir::Etc::sourcelist=$WORK/etc/sources.list"
  -o "Dir::Etc::sourceparts=$WORK/etc/sources.list.d" -o "Dir::Etc::preferencesparts=$WORK/etc/none"
  -o APT::Architecture=amd64 -o APT::Architectures=amd64 -o Debug::NoLocking=1
  -o "DPkg::Options::=--root=$WORK/root" -o "DPkg::Options::=--force-script-chrootless"
  -o "DPkg::Options::=--force-not-root"
)
run_install() {
  RUN_STATUS=0
  APT_INSTALL_TRIES=2 APT_INSTALL_PAUSE=0 bash "$install_script" "${apt_options[@]}" "$@" >out 2>err || RUN_STATUS=$?
}

# The broken index is named, the update goes on, and the unmet dependency of the newest
# version is met by the machine's own release.
run_install probe
((RUN_STATUS == 0)) || fail "apt-install.sh exited with $RUN_STATUS: $(tail -n 5 out err)"
grep -q "failed to download.*file:$WORK/repo/mid-sync/dists/testing-release-security/main/binary-amd64/Packages" out ||
  fail "the failed index is not named: $(cat out)"
(($(grep -c 'failed to download' out) == 1)) || fail "the failed indexes take more than one line: $(cat out)"
grep -q -- "-t testing-release" out || fail "the unmet dependency was not retried with the own release: $(cat out)"
[[ $(cat root/usr/share/probe/version 2>/dev/null) == "probe 1.0" ]] || fail "probe 1.0 was not installed in the private root"
echo "PASS: a mid-sync index is named and skipped, and an unmet dependency is installed from the own release"

# Installed already: nothing is asked of apt, not even an update.
rm -rf state/lists
run_install probe
((RUN_STATUS == 0)) || fail "an installed package made apt-install.sh exit with $RUN_STATUS: $(cat out err)"
[[ ! -e state/lists ]] || fail "apt-install.sh updated the lists although every package was installed"
echo "PASS: a package already installed costs no update"

# A package that no source holds fails, naming it.
run_install probe no-such-package
((RUN_STATUS != 0)) || fail "apt-install.sh exited with 0 for a package no source holds"
grep -q "apt-install: no source holds these packages: no-such-package" err ||
  fail "the failure does not name the package: $(tail -n 3 err)"
echo "PASS: a package that no source holds fails with its name"
