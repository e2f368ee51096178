# Checks for the test scripts: `check` runs a command and compares its exit code, `contains` looks for a pattern
# in its output, `check_output` and `check_rows` (for each row of a table) do both, `fail` counts a failure found
# otherwise, `poll` waits for a condition, `finish` removes the run's namespace folder and prints the count (its
# status is the script's).
failures=0
total=0
output=""

check() { # description, expected exit code, command...
  local what=$1 expected=$2
  total=$((total + 1))
  shift 2
  output=$("$@" 2>&1)
  local code=$?
  if [ "$code" -ne "$expected" ]; then
    echo "FAILED: $what (exit $code, expected $expected): $output"
    failures=$((failures + 1))
  fi
}

contains() { # description, pattern (grep's basic expression)
  total=$((total + 1))
  if ! grep -q -- "$2" <<<"$output"; then
    echo "FAILED: $1: '$2' not in: $output"
    failures=$((failures + 1))
  fi
}

check_output() { # description, pattern, command...: the command succeeds, and its output holds the pattern
  check "$1" 0 "${@:3}"
  contains "$1" "$2"
}

# Each row of standard input, "EXIT~ARGUMENTS~PATTERN", run as COMMAND...
# ARGUMENTS (split at blanks, never expanded as file names): its exit code,
# and that its output holds the pattern when the row gives one.
check_rows() { # label for the failures, command...
  local - label=$1 code arguments pattern
  set -f
  shift
  while IFS='~' read -r code arguments pattern; do
    check "$label$arguments" "$code" "$@" $arguments </dev/null
    [ -z "$pattern" ] || contains "$label$arguments" "$pattern"
  done
}

poll() { # tries, command...: runs the command every 0.1 s until it succeeds, at most that many times
  for _ in $(seq "$1"); do "${@:2}" && return; sleep 0.1; done
  return 1
}

fail() { # description
  total=$((total + 1))
  failures=$((failures + 1))
  echo "FAILED: $1"
}

# The build installed and then moved (nothing may depend on the prefix), in a namespace of the run's own,
# with neither GENICAM_ROOT nor LD_LIBRARY_PATH: sets work (a folder removed at exit) and prefix.
install_moved() { # namespace prefix, build folder, cmake
  export ZAR_USB_NAMESPACE="$1-$$-$RANDOM"
  unset GENICAM_ROOT LD_LIBRARY_PATH ZAR_USB_EMULATION
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  check "install" 0 "$3" --install "$2" --prefix "$work/staged"
  mv "$work/staged" "$work/prefix"
  prefix=$work/prefix
}

# A PNG file's width, height, bit depth and colour type.
png_header() { od -An -tu1 -j16 -N10 "$1" | awk '{print $3*256+$4, $7*256+$8, $9, $10}'; }

finish() {
  local base=/tmp/zar-usb-$(id -u)
  [[ ${XDG_RUNTIME_DIR:-} == /* ]] && base=$XDG_RUNTIME_DIR/zar-usb
  rm -rf "$base/ns-$ZAR_USB_NAMESPACE"
  echo "$((total - failures)) passed, $failures failed"
  [ "$failures" -eq 0 ]
}
