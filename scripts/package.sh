#!/usr/bin/env bash
# Builds the packages from this source tree: the Linux .deb and the Windows
# .zip, each from its own release build tree, into build/packages.
set -eu
. "$(dirname "$0")/lib.sh"
ensure_packages
mkdir -p "$TARN_BUILD"

# package NAME [cmake options...]: builds the program and its manual in
# build/NAME (not the tests: installing does not wait for them) and packs it.
package() {
  local name=$1
  shift
  local tree=$TARN_BUILD/$name
  {
    cmake -S "$TARN_ROOT" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "$@" &&
      ninja -C "$tree" tarn tarn_manual &&
      (cd "$tree" && cpack -B "$TARN_BUILD/packages")
  } >"$tree.log" 2>&1 || {
    cat "$tree.log"
    return 1
  }
}

rm -rf "$TARN_BUILD/packages"
package package-linux
package package-win -DCMAKE_TOOLCHAIN_FILE="$TARN_ROOT/cmake/mingw-w64.cmake"
ls -1 "$TARN_BUILD"/packages/tarn*.deb "$TARN_BUILD"/packages/tarn*.zip
