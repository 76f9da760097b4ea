#!/usr/bin/env bash
# Set-up, build and run for a Debian machine.
#   ./ravik.sh run                 install what is missing, build, start the program with simulated devices
#   ./ravik.sh test [--no-sanitize]  install what is missing, build, run every test (plain build, then
#                                  AddressSanitizer + UndefinedBehaviorSanitizer build, then the
#                                  window-free threaded units under ThreadSanitizer)
# Both are incremental: a second run rebuilds only what changed.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(build-essential cmake pkg-config qtbase5-dev qtbase5-dev-tools libgtest-dev libbenchmark-dev
          libcli11-dev libqcustomplot-dev help2man nlohmann-json3-dev xvfb xauth libhdf5-dev
          hdf5-tools python3-numpy python3-h5py python3-tables python3-pytest python3-dask
          python3-distributed python3-nbclient python3-nbformat python3-ipykernel python3-matplotlib
          lintian pybind11-dev python3-pybind11 hdf5-filter-plugin bitshuffle python3-hdf5plugin
          liblz4-dev)
JOBS=${JOBS:-2}
# The tests of the units that run threads of their own without the window (the window's tests
# would mostly report the toolkit's own threads).
TSAN_TESTS=(test_threads test_merge test_mergetree test_decodeahead test_resume test_korbalt_api test_korbalt_stream
            test_ravik_merge test_ravik_record test_monitor test_ravik_record_monitor test_recordqueue
            test_chain test_measurements)

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
}

build() {  # build <dir> [cmake options...]
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$JOBS"
}

case "${1:-}" in
  run)
    install_missing
    build build
    if [ -n "${DISPLAY:-}" ]; then
      exec build/app/ravik -s
    fi
    echo "No display, so no window (start it on a desktop with: build/app/ravik -s)."
    echo "Recording 5 s of the simulated devices without a window instead, into build/demo:"
    mkdir -p build/demo
    build/cli/ravik-record -s --seconds 5 --text build/demo/run.txt --bin build/demo/run.bin \
      --tmp build/demo
    echo
    echo "First lines of build/demo/run.txt (time in ps, channel):"
    head -n 10 build/demo/run.txt
    ;;
  test)
    install_missing
    build build
    (cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$JOBS")
    # The Python reader and the Dask example, on outputs of the programs just built (Debian's
    # Python, which has the packages above). Status 5 means no test was collected.
    RAVIK_BUILD="$PWD/build" /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests \
      || { rc=$?; [ $rc -eq 5 ] || exit $rc; }
    if [ "${2:-}" != "--no-sanitize" ]; then
      build build-asan -DRAVIK_SANITIZE=ON -DRAVIK_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
      # Leaks are checked too; the suppressions name what the platform plugin keeps for good.
      (cd build-asan && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 \
         LSAN_OPTIONS=suppressions="$PWD/../tests/lsan.supp" UBSAN_OPTIONS=print_stacktrace=1 \
         ctest --output-on-failure -j"$JOBS")
      cmake -S . -B build-tsan -DRAVIK_SANITIZE_THREAD=ON -DRAVIK_BUILD_BENCH=OFF >/dev/null
      cmake --build build-tsan -j"$JOBS" --target "${TSAN_TESTS[@]}"
      # Each runs five times, so that a race that shows once in a few runs fails the command.
      (cd build-tsan && TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/../tests/tsan.supp" \
         ctest --output-on-failure --repeat until-fail:5 -j"$JOBS" -R "^($(IFS='|'; echo "${TSAN_TESTS[*]}"))\$")
    fi
    ;;
  *)
    sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
