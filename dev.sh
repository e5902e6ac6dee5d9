#!/usr/bin/env bash
# Developer front door: ./dev.sh test | demo | build | sanitize [address|thread] | fuzz [seconds] | bench | install DIR
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)

BUILD_PKGS=(build-essential cmake pkg-config libcurl4-openssl-dev libcjson-dev liblzma-dev
            libgtest-dev libbenchmark-dev libcpp-httplib-dev libxml2-dev libssl-dev libseccomp-dev
            xz-utils libgtk2.0-dev)
TEST_PKGS=(iproute2 procps xvfb xdotool imagemagick fonts-wqy-zenhei desktop-file-utils)
FUZZ_PKGS=(clang libclang-rt-14-dev)
JOBS=${JOBS:-$(nproc)}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages that are not installed yet.
install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    as_root apt-get update -qq
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# configure_build DIR [cmake args...]
configure_build() {
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -DORVANE_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

# build_targets DIR TARGET...: configures DIR and builds only the named targets.
build_targets() {
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -DORVANE_WERROR=ON >/dev/null
  cmake --build "$dir" -j "$JOBS" --target "$@"
}

run_ctest() {
  ctest --test-dir "$1" --output-on-failure -j "$JOBS" --timeout 600
}

cmd=${1:-test}
shift || true
case "$cmd" in
  build)
    install_missing "${BUILD_PKGS[@]}"
    configure_build build
    ;;
  test)
    install_missing "${BUILD_PKGS[@]}" "${TEST_PKGS[@]}"
    configure_build build
    run_ctest build
    ;;
  demo)
    install_missing "${BUILD_PKGS[@]}" "${TEST_PKGS[@]}"
    build_targets build orvane_install_tree portal-sim
    "$ROOT/tools/demo.sh" build
    ;;
  sanitize)
    install_missing "${BUILD_PKGS[@]}" "${TEST_PKGS[@]}"
    for kind in ${1:-address thread}; do
      # The suite needs neither the benchmarks nor the fuzz targets: they are left out here.
      configure_build "build-$kind" -DORVANE_SANITIZE="$kind" -DCMAKE_BUILD_TYPE=Debug -DORVANE_BENCH=OFF
      run_ctest "build-$kind"
    done
    ;;
  fuzz)
    install_missing "${BUILD_PKGS[@]}" "${FUZZ_PKGS[@]}"
    CC=clang CXX=clang++ configure_build build-fuzz -DORVANE_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
    secs=${1:-60}
    for f in build-fuzz/fuzz/fuzz_*; do
      [ -x "$f" ] || continue
      name=$(basename "$f")
      mkdir -p "build-fuzz/corpus/$name"
      seeds=()
      [ -d "fuzz/seeds/${name#fuzz_}" ] && seeds=("fuzz/seeds/${name#fuzz_}")
      echo "== $name for ${secs}s"
      "$f" -max_total_time="$secs" -print_final_stats=1 "build-fuzz/corpus/$name" "${seeds[@]}"
    done
    ;;
  bench)
    install_missing "${BUILD_PKGS[@]}"
    install_missing "${TEST_PKGS[@]}"
    configure_build build -DCMAKE_BUILD_TYPE=Release -DORVANE_BENCH=ON
    # One table; the micro-benchmarks (build/bench/bench_*) stay there to be run by hand.
    build/bench/bench_BenchTable
    ;;
  install)
    install_missing "${BUILD_PKGS[@]}"
    configure_build build
    cmake --install build --prefix "${1:?install needs a directory}"
    ;;
  *)
    echo "usage: $0 test|demo|build|sanitize [address|thread]|fuzz [seconds]|bench|install DIR" >&2
    exit 2
    ;;
esac
