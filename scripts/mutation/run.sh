#!/usr/bin/env bash
# Mutation check: do the tests catch deliberate faults in the code they guard?
#
#   scripts/mutation/run.sh [faults.tsv] [ID-regex]
#
# Makes a clean copy of this repository's HEAD once (a git worktree in build-mutation/tree, reset
# to HEAD on later runs), configures and builds it with the dev preset (its own build/). Then for
# each fault (those whose id matches ID-regex, when given): checks that its text occurs exactly
# once, puts it in with a literal replace, builds incrementally, runs the tests it names (in a
# private desktop session for `desktop` faults) and restores the file: `caught` when they fail,
# `missed` when they pass. Results go to build-mutation/results.tsv, output to
# build-mutation/logs/ID.log. It assumes the unmutated tests pass (scripts/test.sh). A full run
# takes hours, so it runs by hand, outside CI.
set -euo pipefail

repo=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
faults=$(realpath "${1:-$repo/scripts/mutation/faults.tsv}")
only=${2:-}
out=$repo/build-mutation
tree=$out/tree
mkdir -p "$out/logs"
exec 9>"$out/lock"  # one run at a time: they would share the copy
flock -n 9 || { echo "another mutation run is using $out" >&2; exit 1; }
start=$SECONDS

head=$(git -C "$repo" rev-parse HEAD)
if [ -e "$tree/.git" ]; then
  git -C "$tree" checkout -q -f --detach "$head"
else
  git -C "$repo" worktree prune
  git -C "$repo" worktree add -q --detach "$tree" "$head"
fi
cd "$tree"
# Same compile flags as the dev preset, so the compiler cache fills the copy from earlier builds; lld
# links the many test binaries a fault in a library touches in a fraction of the time.
[ -f build/build.ninja ] ||
  cmake --preset dev -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld \
    >"$out/logs/configure.log"
echo "building the copy of ${head:0:12} in $tree"
if ! cmake --build --preset dev >"$out/logs/build.log" 2>&1; then
  echo "the unmutated copy does not build: see $out/logs/build.log" >&2
  exit 1
fi

applied=""  # the file that holds a fault now: restored however the script ends
restore() {
  if [ -n "$applied" ]; then git -C "$tree" checkout -q -- "$applied"; fi
  applied=""
}
trap restore EXIT
trap 'exit 130' INT TERM

# Replaces the one occurrence of $2 in the file $1 by $3, literally; else fails, saying why.
replace_once() {
  python3 - "$@" <<'PY'
import sys
path, match, replacement = sys.argv[1:4]
try:
    with open(path, encoding="utf-8", newline="") as f:
        text = f.read()
except OSError as e:
    sys.exit(f"{path}: {e.strerror}")
if text.count(match) != 1:
    sys.exit(f"found {text.count(match)} times")
with open(path, "w", encoding="utf-8", newline="") as f:
    f.write(text.replace(match, replacement))
PY
}

# The build targets of the tests matching the ctest regex $1: their executables (which depend on the
# programs they start), or everything when a script runs them.
test_binaries() {
  ctest --preset dev -N -R "$1" --show-only=json-v1 | python3 -c '
import json, os, sys
tests = json.load(sys.stdin)["tests"]
commands = {os.path.basename(t["command"][0]) for t in tests if t.get("command")}
scripted = any(c.endswith(".sh") or c in ("bash", "sh", "node") for c in commands)
print("all" if scripted else " ".join(sorted(commands)))'
}

printf 'id\tresult\tfile\ttests\twhy\n' >"$out/results.tsv"
caught=0 missed=0 skipped=0
while IFS=$'\t' read -r -u 3 id file match replacement tests why desktop; do
  [[ -z "$id" || "$id" == \#* ]] && continue
  [[ -n "$only" && ! "$id" =~ $only ]] && continue
  log=$out/logs/$id.log
  if ! found=$(replace_once "$file" "$match" "$replacement" 2>&1); then
    result="skipped: match not unique ($found)"
  else
    applied=$file
    targets=$(test_binaries "$tests")
    if [ -z "$targets" ]; then
      result="skipped: no test matches $tests"
    elif ! cmake --build --preset dev --target $targets >"$log" 2>&1; then
      result="skipped: does not build"
    else
      run=(ctest --preset dev -R "$tests" --timeout 120)
      if [ "$desktop" = desktop ]; then run=(scripts/with-desktop-session.sh "${run[@]}"); fi
      if "${run[@]}" >>"$log" 2>&1; then result=missed; else result=caught; fi
    fi
    restore
  fi
  case $result in caught) caught=$((caught + 1)) ;; missed) missed=$((missed + 1)) ;;
    *) skipped=$((skipped + 1)) ;; esac
  echo "$id $result"
  printf '%s\t%s\t%s\t%s\t%s\n' "$id" "$result" "$file" "$tests" "$why" >>"$out/results.tsv"
done 3<"$faults"

elapsed=$((SECONDS - start))
echo "caught $caught, missed $missed, skipped $skipped of $((caught + missed + skipped))"
printf 'elapsed: %dh %02dm %02ds (results in %s)\n' $((elapsed / 3600)) $((elapsed % 3600 / 60)) \
  $((elapsed % 60)) "$out/results.tsv"
