#!/usr/bin/env bash
# Runs every test: installs missing packages, checks the layers and runs the
# static analysis, builds the native, sanitizer,
# thread-sanitizer and Windows trees, runs the unit suite natively, under the
# sanitizers and under Wine, then the end-to-end suite against the built
# programs. Exits non-zero on any failure.
set -u
. "$(dirname "$0")/lib.sh"
run_started=$SECONDS

ensure_packages || { echo "package installation failed"; exit 1; }
mkdir -p "$TARN_BUILD"

status=0
step() {
  local title=$1
  shift
  echo "== $title"
  local started=$SECONDS
  if ! "$@"; then
    echo "FAILED: $title"
    status=1
  fi
  echo "-- $title: $((SECONDS - started)) s"
}

step "layers: every include points down" python3 "$TARN_ROOT/tools/check_layers.py" "$TARN_ROOT/src"
step "static analysis (clang-tidy, bug-finding checks)" "$TARN_ROOT/tools/tidy"
step "build native" build_native
step "build native (address and undefined-behaviour sanitizers)" build_asan
step "build native (thread sanitizer)" build_tsan
step "build windows" build_win
step "build fuzz targets (clang, sanitizers)" build_fuzz

wine_start
trap wine_stop EXIT

step "unit tests (native)" ctest --test-dir "$TARN_BUILD/native" -j "$(nproc)" --output-on-failure
step "unit tests (sanitizers)" env ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$TARN_BUILD/asan" -j "$(nproc)" --output-on-failure
step "unit tests (thread sanitizer)" ctest --test-dir "$TARN_BUILD/tsan" -j "$(nproc)" --output-on-failure
step "unit tests (wine)" ctest --test-dir "$TARN_BUILD/win" -j "$(nproc)" --output-on-failure
step "fault sweep (native)" "$TARN_ROOT/tools/fault-sweep" "$TARN_BUILD/native"
step "fault sweep (sanitizers)" env ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  "$TARN_ROOT/tools/fault-sweep" --stride 7 "$TARN_BUILD/asan"

e2e() {
  local binary_dir=$1
  shift
  # The tests are independent (each has its own folders): one worker a core.
  # Not under Wine: there every run's signal window lives on the one desktop
  # of the prefix, where the window and session tests' messages would reach
  # the runs of other tests.
  local workers=(-n "$(nproc)")
  [[ " $* " == *" --target=win "* ]] && workers=()
  /usr/bin/python3 -m pytest -q -p no:cacheprovider "${workers[@]}" "$TARN_ROOT/tests/e2e" --build-dir "$binary_dir" "$@"
  local rc=$?
  # 5: nothing collected for this target
  [ $rc -eq 5 ] && rc=0
  return $rc
}
# The sanitized run makes one copy at a time (-j1), the others the default
# count: the same suite holds for both.
e2e_sanitized() (
  export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
  e2e "$TARN_BUILD/asan" --target=native --copies 1
)
if [ -f "$TARN_ROOT/tests/e2e/conftest.py" ]; then
  step "end-to-end tests (wine)" e2e "$TARN_BUILD/win" --target=win
  step "end-to-end tests (native)" e2e "$TARN_BUILD/native" --target=native
  step "end-to-end tests (sanitizers, one copy at a time)" e2e_sanitized
  step "end-to-end tests (thread sanitizer)" e2e "$TARN_BUILD/tsan" --target=native
fi

# A short smoke run of each fuzz target from its seeds (tools/fuzz for long
# runs), one target a core at a time.
fuzz_smoke() {
  local failed=0 source name
  local names=()
  for source in "$TARN_ROOT"/tests/fuzz/*_fuzz.cpp; do names+=("$(basename "$source" _fuzz.cpp)"); done
  # The targets were built by the fuzz build step: no ninja runs side by side.
  printf '%s\n' "${names[@]}" | TARN_FUZZ_BUILT=1 xargs -P "$(nproc)" -I{} sh -c \
    '"$0" {} 5 >"$1/fuzz-{}.log" 2>&1 || { echo "fuzz {} failed:"; tail -40 "$1/fuzz-{}.log"; exit 1; }' \
    "$TARN_ROOT/tools/fuzz" "$TARN_BUILD" || failed=1
  return $failed
}
step "fuzz smoke runs (5 s each)" fuzz_smoke

. "$TARN_ROOT/scripts/package_test.sh"
step "packages (install, run, remove)" package_test

wine_stop
trap - EXIT
echo "-- all steps: $((SECONDS - run_started)) s"
if [ $status -eq 0 ]; then echo "ALL TESTS PASSED"; else echo "SOME TESTS FAILED"; fi
exit $status
