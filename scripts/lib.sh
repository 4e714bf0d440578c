# Shared steps of the set-up and test commands. Sourced, not run.

TARN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TARN_BUILD=${TARN_BUILD:-$TARN_ROOT/build}
TARN_PACKAGES="g++ cmake ninja-build googletest libgtest-dev python3-pytest python3-pytest-xdist clang-tidy g++-mingw-w64-x86-64-posix wine64 wine pandoc groff-base dpkg-dev file clang libclang-rt-14-dev strace"

# Installs the Debian packages that are missing (quiet, idempotent).
ensure_packages() {
  local missing=()
  local p
  for p in $TARN_PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq >/dev/null &&
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# build NAME [cmake options...]: configures and builds one tree under build/.
build_tree() {
  local name=$1
  shift
  cmake -S "$TARN_ROOT" -B "$TARN_BUILD/$name" -G Ninja "$@" >/dev/null &&
    ninja -C "$TARN_BUILD/$name" >"$TARN_BUILD/$name.log" 2>&1 || {
      cat "$TARN_BUILD/$name.log"
      return 1
    }
}

build_native() { build_tree native -DCMAKE_BUILD_TYPE=RelWithDebInfo; }
build_asan() { build_tree asan -DCMAKE_BUILD_TYPE=Debug -DTARN_SANITIZE=ON; }
build_tsan() { build_tree tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_TSAN=ON; }
build_fuzz() {
  CC=clang CXX=clang++ build_tree fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_FUZZ=ON
}
build_win() { build_tree win -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="$TARN_ROOT/cmake/mingw-w64.cmake"; }

# Private Wine prefix inside the build folder, headless (null display driver).
export WINEPREFIX="$TARN_BUILD/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
TARN_WINESERVER_STARTED=0

wine_prepare() {
  if [ ! -f "$WINEPREFIX/.tarn-ready" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i </dev/null >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.tarn-ready"
  fi
}

# Starts one persistent wineserver for this prefix, unless one already runs.
wine_start() {
  wine_prepare
  if ! wine_server_running; then
    wineserver -p </dev/null >/dev/null 2>&1
    TARN_WINESERVER_STARTED=1
    # Start Wine's own services now, detached from our output: a service that
    # inherits a test runner's pipe would keep it open after the test ends.
    wine cmd /c exit </dev/null >/dev/null 2>&1
  fi
}

wine_server_running() {
  # A server for this prefix owns a socket under /tmp/.wine-UID/server-*.
  local dev ino
  dev=$(stat -c %d "$WINEPREFIX") ino=$(stat -c %i "$WINEPREFIX")
  ls "/tmp/.wine-$(id -u)/server-$(printf %x "$dev")-$(printf %x "$ino")/socket" >/dev/null 2>&1
}

# Stops only the server this script started.
wine_stop() {
  if [ "$TARN_WINESERVER_STARTED" = 1 ]; then
    wineserver -k >/dev/null 2>&1
    TARN_WINESERVER_STARTED=0
  fi
}
