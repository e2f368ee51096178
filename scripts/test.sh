#!/usr/bin/env bash
# Builds and runs every test three ways: natively, under ASan+UBSan, and as
# Windows programs (mingw-w64) under Wine; runs the fuzz programs for a fixed
# time each. Also builds the benchmarks.
#   test.sh           everything
#   test.sh --quick   the native build and its tests only
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
quick=false
case "${1:-}" in
"") ;;
--quick) quick=true ;;
*)
  echo "usage: $0 [--quick]" >&2
  exit 2
  ;;
esac
"$root/scripts/install-deps.sh" test

jobs=$(nproc)

# The summary at the end: each stage (a build and what runs on it) starts
# with stage_start and ends with stage_done, which notes its counts and time.
summary=()
stage_start() { started=$SECONDS; }
stage_done() { # name, passed, failed, note
  summary+=("$(printf '%-7s %5d passed %4d failed %5ds  %s' "$1" "$2" "$3" $((SECONDS - started)) "${4:-}")")
}
print_summary() {
  local status=$?
  [ ${#summary[@]} -eq 0 ] || { echo "=== summary"; printf '%s\n' "${summary[@]}"; }
  [ "$status" -eq 0 ] || echo "=== FAILED (exit $status)"
}
trap print_summary EXIT

# Every build compiles through ccache (its cache in the user's ccache folder,
# or CCACHE_DIR): a later run compiles only what changed since, in any build.
build() { # name, cmake options...
  stage_start
  local dir=build/$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}
# Runs a build's tests: GoogleTest cases are counted from the programs' own
# closing lines in ctest's record of their output (several ctest entries may
# run one program), the test programs from ctest's own count.
run_tests() { # name
  echo "=== tests: $1"
  local log=$root/build/$1/ctest.log status=0
  ctest --test-dir "build/$1" --output-on-failure --timeout 600 -j "$jobs" | tee "$log" || status=$?
  local passed failed programs
  read -r passed failed < <(sed -n -e 's/^\[  PASSED  \] \([0-9]*\) tests*\.$/\1 0/p' \
    -e 's/^\[  FAILED  \] \([0-9]*\) tests*, listed below:$/0 \1/p' "build/$1/Testing/Temporary/LastTest.log" |
    awk '{p += $1; f += $2} END {print p + 0, f + 0}')
  programs=$(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests* failed out of \([0-9]*\)/\1 of \2 test programs failed/p' "$log")
  stage_done "$1" "$passed" "$failed" "$programs"
  return "$status"
}

build native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DZAR_USB_BENCHMARKS=ON
run_tests native
$quick && exit 0

# Python: the zar_usb package installed as a user would, offline, into a
# virtual environment that takes numpy and pytest from Debian; its tests
# against the native build's library and zarusb.
python_venv=build/python/venv
[ -x "$python_venv/bin/python" ] || /usr/bin/python3 -m venv --system-site-packages "$python_venv"
"$python_venv/bin/pip" install --quiet --no-build-isolation --no-index --force-reinstall --no-deps ./python
echo "=== tests: python"
ZAR_USB_LIBRARY="$root/build/native/bin/libzar_usb.so" ZARUSB="$root/build/native/bin/zarusb" \
  "$python_venv/bin/python" -m pytest -p no:cacheprovider -q python/tests

# One build under the sanitizers, clang's, for the tests and the fuzz
# programs alike.
build asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DBUILD_TESTING=ON \
  -DZAR_USB_SANITIZE=ON -DZAR_USB_FUZZ=ON
cmake --build build/asan -j "$jobs" --target zar_usb_fuzzers
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 run_tests asan

# Fuzzing: each program of fuzz/ runs for 30 s from its seeds in fuzz/corpus
# and what earlier runs added in build/fuzz/corpus (kept there, minimized
# before each run), with its dictionary when it has one, as many side by side
# as there are cores; a crash, a hang of 10 s or a broken promise fails the run.
fuzz() { # name; its output in build/fuzz/<name>.log, its exit code in .status
  local name=$1 dict=()
  [ -f "fuzz/$name.dict" ] && dict=(-dict="fuzz/$name.dict")
  local grown=build/fuzz/corpus/$name status=0
  mkdir -p "$grown"
  # The run starts from what earlier runs found, without the inputs that
  # later ones made redundant.
  rm -rf "$grown.min" && mkdir "$grown.min"
  "build/asan/bin/fuzz_$name" -merge=1 "$grown.min" "$grown" >"build/fuzz/$name.log" 2>&1 &&
    rm -rf "$grown" && mv "$grown.min" "$grown"
  "build/asan/bin/fuzz_$name" -max_total_time=30 -timeout=10 -print_final_stats=1 "${dict[@]}" \
    -artifact_prefix="build/fuzz/$name-" "$grown" "fuzz/corpus/$name/" >"build/fuzz/$name.log" 2>&1 ||
    status=$?
  echo "$status" >"build/fuzz/$name.status"
}
stage_start
mkdir -p build/fuzz
rm -f build/fuzz/*.status
names=()
for seeds in fuzz/corpus/*/; do
  names+=("$(basename "$seeds")")
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 1; done
  fuzz "${names[-1]}" &
done
wait
fuzzed=0 failed=0
for name in "${names[@]}"; do
  log=build/fuzz/$name.log
  if [ "$(cat "build/fuzz/$name.status")" != 0 ]; then
    tail -n 60 "$log"
    echo "=== fuzz: $name FAILED (input kept as build/fuzz/$name-*)"
    failed=$((failed + 1))
    continue
  fi
  fuzzed=$((fuzzed + 1))
  echo "=== fuzz: $name: $(sed -n 's/^stat::number_of_executed_units: *//p' "$log") runs," \
       "$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")/s, corpus $(ls "build/fuzz/corpus/$name" | wc -l) inputs"
done
stage_done fuzz "$fuzzed" "$failed" "fuzz programs"
[ "$failed" -eq 0 ] || exit 1

build wine -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
export WINEPREFIX="$root/build/wine/prefix" WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/.zar-usb-ready" ]; then
  echo "=== creating the Wine prefix"
  wineboot -i >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.zar-usb-ready"
fi
# One wineserver, with its services, for the whole run instead of one start-up
# per test program. They are started here, away from ctest's output pipes:
# a service that inherited a test's pipe would keep ctest waiting for its end.
wineserver -p </dev/null >/dev/null 2>&1 || true # one left running serves as well
wine cmd /c exit </dev/null >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null || true; print_summary' EXIT
run_tests wine
