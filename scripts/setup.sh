#!/usr/bin/env bash
# Installs what is missing, builds the Linux and Windows programs and, when
# the program is built, mirrors a small sample tree with it.
set -eu
. "$(dirname "$0")/lib.sh"
ensure_packages
mkdir -p "$TARN_BUILD"
build_native
build_win
echo "built: $TARN_BUILD/native and $TARN_BUILD/win"
if [ -x "$TARN_BUILD/native/tarn" ]; then
  demo=$(mktemp -d)
  mkdir -p "$demo/source/docs"
  echo "hello" >"$demo/source/readme.txt"
  echo "notes" >"$demo/source/docs/notes.txt"
  echo "\$ tarn $demo/source $demo/target"
  "$TARN_BUILD/native/tarn" "$demo/source" "$demo/target" || true
  rm -rf "$demo"
fi
