#!/usr/bin/env bash
# Developer front door: ./dev.sh test | demo | build | sanitize [address|thread] | fuzz [seconds] | bench |
#                       crash [rounds] | soak [minutes] | install DIR | deb | system
# (fuzz runs FUZZ_JOBS targets at a time, default 1; corpora grow in build-fuzz/corpus)
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)

BUILD_PKGS=(build-essential cmake pkg-config libcurl4-openssl-dev libcjson-dev liblzma-dev
            libgtest-dev libbenchmark-dev libcpp-httplib-dev libxml2-dev libssl-dev libseccomp-dev
            xz-utils libgtk2.0-dev libsystemd-dev)
TEST_PKGS=(iproute2 procps openssl dbus-daemon xvfb xdotool imagemagick fonts-wqy-zenhei desktop-file-utils)
FUZZ_PKGS=(clang libclang-rt-14-dev)
# The packages' own build needs only what the installed programs link (debian/control).
DEB_PKGS=(debhelper devscripts lintian build-essential cmake pkgconf libcurl4-openssl-dev libcjson-dev
          liblzma-dev libssl-dev libseccomp-dev libsystemd-dev libgtk2.0-dev)
SYSTEM_PKGS=(mmdebstrap systemd-container util-linux)
JOBS=${JOBS:-$(nproc)}
# Most end-to-end tests spend their time waiting on the portal's timers, not on the processor, so
# CTest runs four times as many at once as there are cores (on two cores the sanitizer runs then
# keep both busy; more at once gains nothing).
CTEST_JOBS=${CTEST_JOBS:-$((4 * $(nproc)))}

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

# The module helper's own user and the window's group (conf/orvane.sysusers): the service loads no
# algorithm module without the user, so every run that starts it needs both. Fresh machines and CI
# run as root; elsewhere sudo asks.
ensure_system_users() {
  if getent passwd orvane-zsm >/dev/null && getent group orvane >/dev/null; then
    return 0
  fi
  echo "== creating the system user orvane-zsm and group orvane"
  if command -v systemd-sysusers >/dev/null; then
    as_root systemd-sysusers "$ROOT/conf/orvane.sysusers"
  else
    getent group orvane >/dev/null || as_root groupadd --system orvane
    getent passwd orvane-zsm >/dev/null ||
      as_root useradd --system --no-create-home --home-dir / --shell /usr/sbin/nologin --user-group orvane-zsm
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

# run_ctest DIR [ctest args...]
run_ctest() {
  local dir=$1; shift
  ctest --test-dir "$dir" --output-on-failure -j "$CTEST_JOBS" --timeout 600 "$@"
}

# fuzz_one NAME SECONDS: runs one target on its kept corpus plus its seeds; log in build-fuzz/logs.
fuzz_one() {
  local name=$1 secs=$2 seeds=()
  mkdir -p "build-fuzz/corpus/$name" build-fuzz/logs build-fuzz/artifacts
  [ -d "fuzz/seeds/${name#fuzz_}" ] && seeds=("fuzz/seeds/${name#fuzz_}")
  # Scratch files go to memory when it can be had: the stores' writes flush to disk, which would
  # slow the targets that write files twenty-fold. Standard output is closed for the same reason.
  local scratch=${TMPDIR:-/tmp}
  [ -d /dev/shm ] && [ -w /dev/shm ] && scratch=/dev/shm
  TMPDIR=$scratch "build-fuzz/fuzz/$name" -max_total_time="$secs" -print_final_stats=1 -close_fd_mask=1 \
    -artifact_prefix="build-fuzz/artifacts/$name-" "build-fuzz/corpus/$name" "${seeds[@]}" \
    >"build-fuzz/logs/$name.log" 2>&1
}

# run_fuzzers SECONDS: builds every target with clang and runs each for SECONDS, FUZZ_JOBS at a
# time (default 1), then prints executions and corpus size per target. Fails when one crashed.
run_fuzzers() {
  local secs=$1 jobs=${FUZZ_JOBS:-1} names=() name running=0 failed=0
  CC=clang CXX=clang++ cmake -S "$ROOT" -B build-fuzz -DORVANE_WERROR=ON -DORVANE_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build-fuzz -j "$JOBS" --target orvane_fuzzers
  for f in build-fuzz/fuzz/fuzz_*; do [ -x "$f" ] && names+=("$(basename "$f")"); done
  for name in "${names[@]}"; do
    echo "== $name for ${secs}s"
    ( rc=0; fuzz_one "$name" "$secs" || rc=$?; echo "$rc" >"build-fuzz/logs/$name.rc" ) &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then wait -n || true; running=$((running - 1)); fi
  done
  wait
  printf '\n%-26s %12s %10s %12s  %s\n' target executions corpus "corpus bytes" result
  for name in "${names[@]}"; do
    local log="build-fuzz/logs/$name.log" execs units bytes rc result
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    units=$(find "build-fuzz/corpus/$name" -type f | wc -l)
    bytes=$(find "build-fuzz/corpus/$name" -type f -printf '%s\n' | awk '{n += $1} END {print n + 0}')
    rc=$(cat "build-fuzz/logs/$name.rc" 2>/dev/null || echo 1)
    result=ok
    if [ "$rc" != 0 ]; then result="FAILED (see $log)"; failed=1; fi
    printf '%-26s %12s %10s %12s  %s\n' "$name" "${execs:-?}" "$units" "$bytes" "$result"
  done
  return "$failed"
}

# build_debs: builds the binary packages from a copy of the work tree (tracked and new files, as
# they are now), so the build leaves nothing in the tree, and puts them with their .buildinfo and
# .changes in build/deb/; lintian then judges them, failing on any error or warning.
build_debs() {
  local src=build/deb-src out=build/deb version
  version=$(dpkg-parsechangelog -S Version)
  rm -rf "$src" "$out"
  mkdir -p "$src/orvane" "$out"
  git ls-files -z --cached --others --exclude-standard | xargs -0 cp -P --parents -t "$src/orvane" 2>/dev/null ||
    { echo "== cannot copy the work tree" >&2; return 1; }
  ( cd "$src/orvane" &&
    DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=$JOBS}" dpkg-buildpackage -b -us -uc )
  mv "$src"/*.deb "$src"/*.buildinfo "$src"/*.changes "$out"/
  ls -l "$out"
  lintian --fail-on error,warning --info --display-info "$out"/orvane_"${version}"_*.changes
  tests/package/check-debs.sh "$out"
}

# sweep_system_runs: what a system test run that was killed outright (SIGKILL) left behind: its
# container, simulator, namespace and run folder, each named in build/system/run-PID/.
sweep_system_runs() {
  local run pid
  for run in build/system/run-*/; do
    [ -d "$run" ] || continue
    pid=${run%/}; pid=${pid##*-}
    kill -0 "$pid" 2>/dev/null && continue
    echo "== removing what system test run $pid left"
    for pid in $(cat "$run/pid1" "$run/nspawn.pid" "$run/sim.pid" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
    [ -s "$run/netns" ] && ip netns del "$(cat "$run/netns")" 2>/dev/null || true
    rm -rf "$run"
  done
}

# phase NAME COMMAND...: runs a step of ./dev.sh system and prints its time.
phase() {
  local name=$1 start=$SECONDS rc=0; shift
  "$@" || rc=$?
  echo "== phase $name: $((SECONDS - start)) s"
  return "$rc"
}

# run_system: the packages on a booted Debian 12 (tests/system). ORVANE_SYSTEM_DEBS names a folder
# of packages built already; otherwise ./dev.sh deb builds them. Fails, never skips, where the
# machine cannot boot containers.
run_system() {
  local start=$SECONDS rc=0
  if [ -z "${ORVANE_SYSTEM_DEBS:-}" ]; then
    phase "packages (./dev.sh deb)" "$ROOT/dev.sh" deb
  fi
  phase "system test build" build_targets build system_SystemTest
  sweep_system_runs
  phase "system test (root, boot, scenarios)" build/tests/system/system_SystemTest || rc=$?
  sweep_system_runs
  echo "== ./dev.sh system: $((SECONDS - start)) s in all"
  return "$rc"
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
    ensure_system_users
    configure_build build
    run_ctest build
    ;;
  demo)
    install_missing "${BUILD_PKGS[@]}" "${TEST_PKGS[@]}"
    ensure_system_users
    build_targets build orvane_install_tree portal-sim
    "$ROOT/tools/demo.sh" build
    ;;
  sanitize)
    install_missing "${BUILD_PKGS[@]}" "${TEST_PKGS[@]}"
    ensure_system_users
    for kind in ${1:-address thread}; do
      # The suite needs neither the benchmarks nor the fuzz targets: they are left out here. Line
      # tables (-g1) are all a sanitizer report needs, and they build and link much faster than -g.
      configure_build "build-$kind" -DORVANE_SANITIZE="$kind" -DCMAKE_BUILD_TYPE=Debug -DORVANE_BENCH=OFF \
        -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1
      # The soak judges memory only in the plain build; ./dev.sh soak runs it under a sanitizer
      # build by hand (ORVANE_SOAK_MINUTES with build-*/tests/soak_SoakTest).
      run_ctest "build-$kind" -LE soak
    done
    ;;
  fuzz)
    install_missing "${BUILD_PKGS[@]}" "${FUZZ_PKGS[@]}"
    run_fuzzers "${1:-60}"
    ;;
  bench)
    install_missing "${BUILD_PKGS[@]}"
    install_missing "${TEST_PKGS[@]}"
    ensure_system_users
    configure_build build -DCMAKE_BUILD_TYPE=Release -DORVANE_BENCH=ON
    # One table; the micro-benchmarks (build/bench/bench_*) stay there to be run by hand.
    build/bench/bench_BenchTable
    ;;
  crash)
    # Kill rounds of the service (log-in, keep-alive, log-out) and of the client's update run.
    install_missing "${BUILD_PKGS[@]}" "${TEST_PKGS[@]}"
    ensure_system_users
    build_targets build e2e_CrashSafetyTest e2e_UpdateCrashTest
    export ORVANE_CRASH_ROUNDS=${1:-100}
    build/tests/e2e_CrashSafetyTest
    build/tests/e2e_UpdateCrashTest
    ;;
  soak)
    install_missing "${BUILD_PKGS[@]}" "${TEST_PKGS[@]}"
    ensure_system_users
    build_targets build soak_SoakTest
    ORVANE_SOAK_MINUTES=${1:-30} build/tests/soak_SoakTest
    ;;
  system)
    install_missing "${BUILD_PKGS[@]}" "${TEST_PKGS[@]}" "${SYSTEM_PKGS[@]}"
    run_system
    ;;
  install)
    install_missing "${BUILD_PKGS[@]}"
    configure_build build
    cmake --install build --prefix "${1:?install needs a directory}"
    ;;
  deb)
    install_missing "${DEB_PKGS[@]}"
    build_debs
    ;;
  *)
    echo "usage: $0 test|demo|build|sanitize [address|thread]|fuzz [seconds]|bench|crash [rounds]|soak [minutes]|install DIR|deb|system" >&2
    exit 2
    ;;
esac
