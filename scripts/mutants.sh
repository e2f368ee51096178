#!/usr/bin/env bash
# How sharp the suite is: applies small faults (mutants) to src/, one at a
# time, rebuilds the native build incrementally and runs its tests. A mutant
# the tests fail on is killed; one they pass survived, and shows code no test
# looks at. Maintainers run it by hand, before and after a change to the
# tests; the same mutants apply as long as src/ has the lines they name.
#
#   scripts/mutants.sh [ID...]          the mutants of scripts/mutants.txt (all,
#                                       or those given), with the totals
#   scripts/mutants.sh --generate SEED  writes scripts/mutants.txt afresh: a
#                                       sample of each kind of mutant, drawn
#                                       with that seed
#
# scripts/mutants.txt, one mutant a line, tab-separated: its id, its kind, the
# file, the exact text of the line it changes (matched by text, not by line
# number, and found once in the file) and the text that replaces it.
#
# The work happens in a copy of the tree (build/mutants/tree: the files git
# tracks or would, as they are now, uncommitted changes included) with its own
# build (build/mutants/tree/build/native: laid out as the tree's own, so that
# ccache serves it what the native build compiled); the source tree is never
# written. Each mutant
# gets MUTANT_TIME_LIMIT seconds (600) for its tests (all but the install
# test); the tests stop at the first failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
list=$root/scripts/mutants.txt
work=$root/build/mutants
build=$work/tree/build/native
limit=${MUTANT_TIME_LIMIT:-600}
jobs=$(nproc)

if [ "${1:-}" = --generate ]; then
  [ $# -eq 2 ] || { echo "usage: $0 --generate SEED" >&2; exit 2; }
  cd "$root"
  python3 - "$2" "$list" <<'EOF'
import random, re, subprocess, sys

seed, out = int(sys.argv[1]), sys.argv[2]
PER_KIND = 10
files = subprocess.run(["git", "ls-files", "src"], capture_output=True, text=True, check=True).stdout.split()
files = sorted(f for f in files if f.endswith(".cpp") and not f.startswith("src/os/win32/"))

def code_spans(line):
    """The parts of the line outside string and character literals and comments."""
    spans, start, i, quote = [], 0, 0, None
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                i += 1
            elif c == quote:
                quote, start = None, i + 1
        elif c in "\"'":
            spans.append((start, i))
            quote = c
        elif line.startswith("//", i):
            spans.append((start, i))
            return spans
        i += 1
    if quote is None:
        spans.append((start, len(line)))
    return spans

def replace_in_code(line, old, new):
    for start, end in code_spans(line):
        at = line.find(old, start, end)
        if at >= 0:
            return line[:at] + new + line[at + len(old):]
    return None

def closing(line, opening):
    depth = 0
    for i in range(opening, len(line)):
        depth += {"(": 1, ")": -1}.get(line[i], 0)
        if depth == 0:
            return i
    return None

SWAPS = {
    "comparison": [(" == ", " != "), (" != ", " == ")],
    "bound": [(" < ", " <= "), (" <= ", " < "), (" > ", " >= "), (" >= ", " > ")],
}
STATUS = {"return true;": "return false;", "return false;": "return true;", "return 0;": "return -1;",
          "return ZAR_SUCCESS;": "return ZAR_ERR_GENERAL;"}
CALL = re.compile(r"^(\s*)(?:[A-Za-z_][\w:]*(?:\.|->))*[A-Za-z_][\w:]*\(.*\);$")
NOT_CALLS = ("return", "if", "while", "for", "switch", "delete", "throw", "TraceMessage", "static_assert", "assert")

candidates = {kind: [] for kind in ("comparison", "bound", "condition", "status", "call")}
for path in files:
    lines = open(path).read().split("\n")
    counts = {}
    for line in lines:
        counts[line] = counts.get(line, 0) + 1
    for number, line in enumerate(lines):
        stripped = line.strip()
        if counts[line] != 1 or not stripped or stripped.startswith(("//", "#", "*", "/*")) or "\t" in line:
            continue
        if "TraceMessage" in line or "static_assert" in line:
            continue
        previous = lines[number - 1].rstrip() if number > 0 else ""
        for kind, swaps in SWAPS.items():
            for old, new in swaps:
                mutated = replace_in_code(line, old, new)
                if mutated and "<<" not in line and ">>" not in line and "template" not in line:
                    candidates[kind].append((path, line, mutated))
                    break
        at = line.find("if (")
        if at >= 0 and any(start <= at < end for start, end in code_spans(line)):
            end = closing(line, at + 3)
            if end is not None:
                condition = line[at + 4:end]
                candidates["condition"].append((path, line, line[:at + 4] + "!(" + condition + ")" + line[end:]))
        for old, new in STATUS.items():
            if stripped.endswith(old):
                candidates["status"].append((path, line, line[:len(line) - len(old)] + new))
        match = CALL.match(line)
        # A whole statement on its line: the line before ended one (or opened
        # a block), so the call is not the tail of a longer expression.
        if (match and not stripped.startswith(NOT_CALLS) and closing(stripped, stripped.index("(")) == len(stripped) - 2
                and (previous.endswith((";", "{", "}")) or previous.lstrip().startswith("//"))):
            candidates["call"].append((path, line, match.group(1) + ";"))

rng = random.Random(seed)
chosen = []
for kind in sorted(candidates):
    for path, line, mutated in rng.sample(candidates[kind], min(PER_KIND, len(candidates[kind]))):
        chosen.append((path, kind, line, mutated))
chosen.sort()
with open(out, "w") as listing:
    for number, (path, kind, line, mutated) in enumerate(chosen, 1):
        listing.write(f"{number}\t{kind}\t{path}\t{line}\t{mutated}\n")
print(f"{len(chosen)} mutants written to {out} (seed {seed}):",
      ", ".join(f"{kind} {min(PER_KIND, len(c))} of {len(c)}" for kind, c in sorted(candidates.items())))
EOF
  exit
fi

[ -f "$list" ] || { echo "error: $list is missing (write it with --generate SEED)" >&2; exit 1; }
"$root/scripts/install-deps.sh" test

# The copy: files that differ are copied (keeping the build's record of the
# others valid), files gone are removed.
sync_copy() {
  mkdir -p "$work/tree"
  (cd "$root" && git ls-files -z --cached --others --exclude-standard) | python3 -c '
import filecmp, os, shutil, sys
root, copy = sys.argv[1], sys.argv[2]
names = {n for n in sys.stdin.read().split("\0") if n and os.path.isfile(os.path.join(root, n))}
for name in names:
    source, target = os.path.join(root, name), os.path.join(copy, name)
    if not os.path.exists(target) or not filecmp.cmp(source, target, shallow=False):
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(source, target)
for folder, folders, files in os.walk(copy):
    if folder == copy:
        folders.remove("build") if "build" in folders else None
    for file in files:
        name = os.path.relpath(os.path.join(folder, file), copy)
        if name not in names:
            os.remove(os.path.join(folder, file))
' "$root" "$work/tree"
}

# Rewrites the line of the file in the copy; fails when the line is not
# there exactly once.
apply_mutant() { # file, line, replacement
  python3 - "$work/tree/$1" "$2" "$3" <<'EOF'
import sys
path, line, replacement = sys.argv[1:]
lines = open(path).read().split("\n")
if lines.count(line) != 1:
    sys.exit(1)
lines[lines.index(line)] = replacement
open(path, "w").write("\n".join(lines))
EOF
}

mutated=""
# The restored file is newer than the mutant's object, so that the next build
# compiles it again (a copy that kept the file's old time would leave the
# mutant in the build).
restore() { [ -z "$mutated" ] || cp "$root/$mutated" "$work/tree/$mutated"; mutated=""; }
trap 'restore' EXIT
trap 'restore; echo; echo "interrupted"; exit 130' INT TERM

# Most of the suite's time is spent waiting (for emulated power changes, other
# processes, timeouts), not computing: two programs a core. The programs that
# take seconds run first, then the others; the first failure ends the run at
# once (ctest's own stop lets the programs already running finish). The
# install test and the README's examples are left out: they check the
# packages and the documentation, which no mutant of src/ changes, and they
# are the slowest programs.
quick_tests='^(unit|c99_header|exported_names|gentl_.*|gstreamer_.*)$'
run_tests() { # log
  : >"$1"
  local deadline=$((SECONDS + limit)) phase
  for phase in "-R $quick_tests" "-E $quick_tests|^install_and_|^readme_examples$"; do
    # shellcheck disable=SC2086 # the phase is two words
    GTEST_FAIL_FAST=1 setsid ctest --test-dir "$build" --stop-on-failure --timeout "$limit" $phase \
      -j $((2 * jobs)) --output-on-failure >>"$1" 2>&1 &
    local tests=$!
    while kill -0 "$tests" 2>/dev/null; do
      if grep -q -E '\*\*\*(Failed|Timeout|Exception)' "$1" || [ "$SECONDS" -ge "$deadline" ]; then
        kill -- "-$tests" 2>/dev/null
        wait "$tests" 2>/dev/null
        return 1
      fi
      sleep 1
    done
    wait "$tests" || return 1
  done
}

sync_copy
cmake -S "$work/tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON \
  -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
echo "=== building the unchanged copy and running its tests"
cmake --build "$build" -j "$jobs" >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log"; exit 1; }
run_tests "$work/tests.log" || { tail -n 40 "$work/tests.log"; echo "error: the tests fail without a mutant" >&2; exit 1; }

killed=0 survived=0 failed=0 missing=0
while IFS=$'\t' read -r id kind file line replacement; do
  if [ $# -gt 0 ] && [[ " $* " != *" $id "* ]]; then continue; fi
  started=$SECONDS
  log=$work/mutant-$id.log
  mutated=$file
  if ! apply_mutant "$file" "$line" "$replacement"; then
    result="line not found"
    missing=$((missing + 1))
  elif ! cmake --build "$build" -j "$jobs" >"$log" 2>&1; then
    result="build failed"
    failed=$((failed + 1))
  elif run_tests "$log"; then
    result=SURVIVED
    survived=$((survived + 1))
  else
    result=killed
    killed=$((killed + 1))
  fi
  restore
  printf '%3s %-10s %-8s %4ds  %s: %s\n' "$id" "$kind" "$result" $((SECONDS - started)) "$file" \
    "$(sed 's/^ *//' <<<"$replacement")"
done <"$list"
# The unchanged files compiled again: the build is left as the tree is.
cmake --build "$build" -j "$jobs" >/dev/null 2>&1 || true
echo "=== $killed killed, $survived survived, $failed did not build, $missing not found" \
  "(of $((killed + survived + failed + missing)))"
