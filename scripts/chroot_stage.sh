#!/usr/bin/env bash
# The newest interpreters, as a user of Debian unstable gets them: a Debian sid
# chroot (debootstrap --variant=minbase, cached under build/chroot-sid) with
# python3.14, python3.15, their venv packages and libfaketime, and in it the
# Python suite (scripts/suite.sh) on the manylinux2014 x86_64 wheel under each.
# The redis and MCP cases do not run here: they run once, in their own stages
# on the host (sid's redis-server also crashes under libfaketime).
#
# Usage: bash scripts/chroot_stage.sh [WHEEL]   (default: the one in dist/wheels)
#        bash scripts/chroot_stage.sh --prepare   (only make the chroot, e.g.
#        while other stages run: it mostly waits on the network)
# Needs root (debootstrap, chroot, mounts). HALVEX_CHROOT_PYTHONS picks the
# interpreters. /proc and /dev are mounted only while the suites run.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
ROOT=$PWD
BUILD=$ROOT/build
. scripts/lib.sh

CHROOT=$BUILD/chroot-sid
VERSIONS=${HALVEX_CHROOT_PYTHONS:-$CHROOT_PYTHONS}
PREPARE_ONLY=0
[ "${1:-}" = --prepare ] && { PREPARE_ONLY=1; shift; }
WHEEL=${1:-}
if [ "$PREPARE_ONLY" -eq 0 ] && [ -z "$WHEEL" ]; then WHEEL=$(find_wheel manylinux_2_17_x86_64) || exit 1; fi
[ "$PREPARE_ONLY" -eq 1 ] || [ -f "$WHEEL" ] || { echo "no wheel at $WHEEL"; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "the chroot stage needs root"; exit 1; }
[ "$(uname -m)" = x86_64 ] || { echo "the chroot stage runs the x86_64 wheel: x86_64 hosts only"; exit 1; }
bash scripts/setup.sh chroot || exit 1

# The first Debian mirror the host's own apt configuration names (not its
# security archive): deb822 .sources files, then one-line sources.list files.
host_mirror() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && awk '
      /^[[:space:]]*$/ { if (uri != "" && suites !~ /-security/) { print uri; exit } uri = ""; suites = "" }
      tolower($1) == "uris:" { uri = $2 }
      tolower($1) == "suites:" { suites = $0 }
      END { if (uri != "" && suites !~ /-security/) print uri }' "$f"
  done
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
    | awk '$1 == "deb" && $0 !~ /-security/ { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }'
}

PACKAGES=ca-certificates
for v in $VERSIONS; do PACKAGES+=",python$v,python$v-venv"; done
PACKAGES+=",libfaketime"

make_chroot() {
  local mirror tmp=$CHROOT.new
  # The cached chroot serves while it has every package wanted.
  local have p missing=0
  have=$(cat "$CHROOT/.halvex-packages" 2>/dev/null)
  for p in ${PACKAGES//,/ }; do [[ ",$have," == *",$p,"* ]] || missing=1; done
  [ "$missing" -eq 1 ] || return 0
  mirror=$(host_mirror | head -1)
  [ -n "$mirror" ] || { echo "no Debian mirror in the host's apt configuration"; return 1; }
  rm -rf "$tmp" "$CHROOT"
  echo "debootstrap sid (minbase) with $PACKAGES"
  debootstrap --variant=minbase --include="$PACKAGES" sid "$tmp" "$mirror" >"$BUILD/chroot-sid.log" 2>&1 \
    || { tail -20 "$BUILD/chroot-sid.log"; rm -rf "$tmp"; return 1; }
  # The unstable suite's Release file may be past its Valid-Until date on a
  # mirror snapshot; apt inside would then refuse every update.
  echo 'Acquire::Check-Valid-Until "false";' >"$tmp/etc/apt/apt.conf.d/99halvex-no-valid-until"
  echo "$PACKAGES" >"$tmp/.halvex-packages"
  mv "$tmp" "$CHROOT"
}

# The host's own CA certificates (a network that re-signs TLS needs them for
# pip inside), refreshed on every run.
copy_certificates() {
  mkdir -p "$CHROOT/usr/local/share/ca-certificates"
  if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null; then
    cp /usr/local/share/ca-certificates/*.crt "$CHROOT/usr/local/share/ca-certificates/"
  fi
  chroot "$CHROOT" update-ca-certificates >/dev/null 2>&1
}

MOUNTED=()
unmount_all() {
  local i
  for ((i = ${#MOUNTED[@]} - 1; i >= 0; i--)); do
    umount -l "${MOUNTED[i]}" 2>/dev/null
  done
  MOUNTED=()
}
trap unmount_all EXIT
trap 'exit 130' INT TERM

mount_for_run() {
  mount -t proc proc "$CHROOT/proc" && MOUNTED+=("$CHROOT/proc") || return 1
  mount --rbind /dev "$CHROOT/dev" && mount --make-rslave "$CHROOT/dev" && MOUNTED+=("$CHROOT/dev")
}

# The project's tests and scripts and the wheel, copied in afresh.
copy_project() {
  local dest=$CHROOT/halvex
  rm -rf "$dest/src" && mkdir -p "$dest/src" "$dest/src/wheel" || return 1
  tar -C "$ROOT" --exclude=__pycache__ --exclude=.hypothesis -cf - tests scripts reference \
    | tar -C "$dest/src" -xf - || return 1
  cp "$WHEEL" "$dest/src/wheel/"
}

stage "sid chroot (build/chroot-sid)" make_chroot || exit 1
stage "host CA certificates" copy_certificates || exit 1
[ "$PREPARE_ONLY" -eq 0 ] || exit 0
stage "project into the chroot" copy_project || exit 1
stage "mount /proc and /dev" mount_for_run || exit 1
whl=/halvex/src/wheel/$(basename "$WHEEL")
for v in $VERSIONS; do
  # pip inside uses its own CA bundle unless told; the system one now holds
  # the host's certificates too.
  stage "[sid] Python suite on CPython $v" chroot "$CHROOT" /usr/bin/env -i \
    PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    PIP_CERT=/etc/ssl/certs/ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1 \
    bash /halvex/src/scripts/suite.sh "$whl" --venv "/halvex/venv-$v" "/usr/bin/python$v"
done
unmount_all
stage_summary "chroot"
