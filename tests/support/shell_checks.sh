# Checks for the test scripts, sourced after ZAR_USB_NAMESPACE is set:
# `check` runs a command and compares its exit code, `contains` looks for a
# pattern in that command's output, `fail` counts a failure found otherwise,
# `finish` removes the run's namespace folder and prints the count (its
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

fail() { # description
  total=$((total + 1))
  failures=$((failures + 1))
  echo "FAILED: $1"
}

finish() {
  local base=/tmp/zar-usb-$(id -u)
  [[ ${XDG_RUNTIME_DIR:-} == /* ]] && base=$XDG_RUNTIME_DIR/zar-usb
  rm -rf "$base/ns-$ZAR_USB_NAMESPACE"
  echo "$((total - failures)) passed, $failures failed"
  [ "$failures" -eq 0 ]
}
