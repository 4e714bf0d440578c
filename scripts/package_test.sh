# Packaging step of the test command; sourced by scripts/test.sh after the
# builds, while its wineserver runs. Packs the native and Windows build trees,
# installs the .deb into this machine, runs the installed program, checks its
# manual page and completion and removes the package again; unpacks the .zip
# and runs its tarn.exe under Wine.

package_test() {
  local version dir=$TARN_BUILD/package-test
  version=$(sed -n 's/^project(tarn VERSION \([0-9.]*\).*/\1/p' "$TARN_ROOT/CMakeLists.txt")
  rm -rf "$dir" && mkdir -p "$dir" || return 1
  {
    (cd "$TARN_BUILD/native" && cpack -B "$dir") && (cd "$TARN_BUILD/win" && cpack -B "$dir")
  } >"$dir/cpack.log" 2>&1 || {
    cat "$dir/cpack.log"
    return 1
  }
  local rc=0
  package_deb_test "$dir"/tarn_"$version"_*.deb "$version" || rc=1
  package_zip_test "$dir/tarn-$version-win64.zip" || rc=1
  return $rc
}

# package_mirror_check COMMAND...: COMMAND SOURCE TARGET makes a copy of a
# small tree.
package_mirror_check() {
  local work rc=0
  work=$(mktemp -d)
  mkdir -p "$work/source/docs"
  echo hello >"$work/source/readme.txt"
  echo notes >"$work/source/docs/notes.txt"
  if ! "$@" "$work/source" "$work/target" >"$work/output" 2>&1 || ! diff -r "$work/source" "$work/target"; then
    echo "$* did not mirror a small tree:"
    cat "$work/output"
    rc=1
  fi
  rm -rf "$work"
  return $rc
}

package_deb_test() {
  local deb=$1 version=$2 sudo="" field rc=0
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  for field in Package Version Maintainer Depends Description; do
    [ -n "$(dpkg-deb -f "$deb" "$field")" ] || { echo "$deb has no $field field"; rc=1; }
  done
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || { echo "$deb is not version $version"; rc=1; }
  dpkg-deb -f "$deb" Depends | grep -q libc6 || { echo "$deb does not depend on libc6"; rc=1; }
  if $sudo dpkg -i "$deb" >/dev/null; then
    package_installed_test "$version" || rc=1
  else
    rc=1
  fi
  $sudo dpkg -r tarn >/dev/null || rc=1
  [ ! -e /usr/bin/tarn ] || { echo "dpkg -r left /usr/bin/tarn"; rc=1; }
  return $rc
}

package_installed_test() {
  local version=$1 manual=/usr/share/man/man1/tarn.1.gz page warnings switch completion rc=0
  package_mirror_check /usr/bin/tarn || rc=1
  [ -f "$manual" ] || { echo "the package has no $manual"; return 1; }
  warnings=$(zcat "$manual" | groff -t -ww -man -Tutf8 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$manual: $warnings"; rc=1; }
  page=$(zcat "$manual" | groff -t -man -Tutf8 -P-cbou 2>/dev/null)
  grep -q "tarn $version" <<<"$page" || { echo "$manual does not name version $version"; rc=1; }
  # Every switch of the usage text is in the manual.
  for switch in $(/usr/bin/tarn | sed -n 's/^  \(-[a-z]\)  .*/\1/p'); do
    grep -q -- "^ *$switch  " <<<"$page" || { echo "$manual does not describe $switch"; rc=1; }
  done
  completion=$(bash -c '. /usr/share/bash-completion/completions/tarn
    COMP_WORDS=(tarn -d); COMP_CWORD=1; _tarn; echo "${COMPREPLY[*]}"')
  [ "$completion" = "-d" ] || { echo "completion of tarn -d gave: $completion"; rc=1; }
  # After the source and the target, a filter completes to names below the source.
  completion=$(cd "$(mktemp -d)" && mkdir -p src/tools && bash -c '. /usr/share/bash-completion/completions/tarn
    COMP_WORDS=(tarn src dst +to); COMP_CWORD=3; _tarn; echo "${COMPREPLY[*]}"')
  [ "$completion" = "+tools/" ] || { echo "completion of tarn src dst +to gave: $completion"; rc=1; }
  return $rc
}

package_zip_test() {
  local zip=$1 work top file rc=0
  work=$(mktemp -d)
  top=$work/$(basename "$zip" .zip)
  /usr/bin/python3 -m zipfile -e "$zip" "$work" || rc=1
  for file in tarn.exe tarn.html LICENSE.txt; do
    [ -f "$top/$file" ] || { echo "$zip has no $(basename "$top")/$file"; rc=1; }
  done
  package_mirror_check wine "$top/tarn.exe" || rc=1
  /usr/bin/python3 -m pytest -q -p no:cacheprovider "$TARN_ROOT/tests/e2e/test_windows_resources.py" \
    --build-dir "$top" --target=win || rc=1
  rm -rf "$work"
  return $rc
}
