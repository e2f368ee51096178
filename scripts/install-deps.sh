#!/usr/bin/env bash
# Installs what a job needs on Debian 12 (as root, or with sudo), and nothing
# more; does nothing when everything is already there.
#   install-deps.sh build   the library, zarusb and the demo
#   install-deps.sh test    everything scripts/test.sh builds and runs
#   install-deps.sh ci      the same, and GStreamer plugins the tests do not
#                           use, which they must not be disturbed by
set -euo pipefail
group=${1:-test}

# Building the library and its tools.
build_packages=(cmake ninja-build g++ nlohmann-json3-dev libcli11-dev libstb-dev)
# Tests and benchmarks, natively and under the sanitizers.
test_packages=(googletest libgtest-dev libbenchmark-dev clang libclang-rt-14-dev)
# The compiler cache: a later run compiles only what changed.
cache_packages=(ccache)
# Camera features by name: Aravis' GenICam engine.
features_packages=(libaravis-dev)
# The Windows build under Wine.
windows_packages=(mingw-w64 g++-mingw-w64-x86-64-posix wine wine64 binutils)
# The install test: examples built with pkg-config, Debian packages made and installed.
packaging_packages=(pkgconf dpkg-dev file)
# The API reference, made by Doxygen from the headers (built when Doxygen is found).
docs_packages=(doxygen)
# The Python package: its virtual environment, build backend and tests.
python_packages=(python3-numpy python3-pytest python3-venv python3-setuptools python3-wheel)
# The GStreamer element and its pipelines in the tests.
gstreamer_packages=(libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools gstreamer1.0-plugins-base
                    gstreamer1.0-plugins-good)
# Plugins many GStreamer users have: loaded by a test, some of them leak or
# load drivers of their own.
other_gstreamer_packages=(gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly)

case "$group" in
build) packages=("${build_packages[@]}") ;;
test | ci)
  packages=("${build_packages[@]}" "${test_packages[@]}" "${cache_packages[@]}" "${windows_packages[@]}"
            "${features_packages[@]}" "${packaging_packages[@]}" "${docs_packages[@]}" "${python_packages[@]}"
            "${gstreamer_packages[@]}")
  [ "$group" = ci ] && packages+=("${other_gstreamer_packages[@]}")
  ;;
*)
  echo "usage: $0 build|test|ci" >&2
  exit 2
  ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "error: these Debian packages are missing: ${missing[*]}" >&2
    echo "       install them as root (apt-get install ${missing[*]}), or run this script as root" >&2
    exit 1
  fi
  sudo=sudo
fi
if ! { $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; }; then
  echo "error: could not install the Debian packages ${missing[*]}" >&2
  echo "       (apt-get failed: see its message above); install them by hand and run again" >&2
  exit 1
fi
