#!/usr/bin/env bash
# Installs the machine packages the stages need, apart from running them:
# Debian packages through apt-get, the arm64 foreign architecture and qemu's
# binfmt_misc entry. scripts/test.sh runs it first for every part; each stage
# script runs it for its own part, which costs nothing once installed.
#
# Usage: bash scripts/setup.sh [PART...]   (default: all)
#   core      GoogleTest, libfaketime, llvm (object tools for the wheel checks)
#   redis     redis-server, and redis-cli for the cluster tests
#   arm64     the arm64 architecture, qemu-user with binfmt_misc, arm64 CPython 3.11 and libfaketime
#   wine      Wine (64-bit)
#   hardening valgrind, ninja and g++ for the sanitizer builds
#   chroot    debootstrap
#   browser   chromium and its driver, for the board's browser tests
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
. scripts/lib.sh

PARTS=("$@")
[ ${#PARTS[@]} -gt 0 ] || PARTS=(core redis arm64 wine hardening chroot)

# qemu-user runs arm64 programs, children included, once binfmt_misc knows it.
setup_arm64() {
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64 && apt-get update -qq || return 1
  fi
  ensure_debs qemu-user-static binfmt-support libpython3.11:arm64 libfaketime:arm64 || return 1
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || return 1
  fi
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || update-binfmts --enable qemu-aarch64
}

for part in "${PARTS[@]}"; do
  case $part in
    core) ensure_debs libgtest-dev faketime llvm ;;
    redis) ensure_debs redis-server redis-tools faketime ;;
    arm64) setup_arm64 ;;
    wine) ensure_debs wine wine64 ;;
    hardening) ensure_debs valgrind faketime ninja-build g++ ;;
    chroot) ensure_debs debootstrap ;;
    browser) ensure_debs chromium chromium-driver ;;
    *) echo "unknown part: $part"; exit 2 ;;
  esac || { echo "setup of $part failed"; exit 1; }
done
