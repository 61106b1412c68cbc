#!/usr/bin/env bash
# Stands in for the tests of a cross build when no emulator runs the target's programs.
# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
REQUIRED_SWITCH=TARVISK_CROSS_REQUIRED
skip "'${1:?emulator}' is not installed (Debian: qemu-user), so nothing built here can run"
