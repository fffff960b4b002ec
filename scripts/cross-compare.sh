#!/usr/bin/env bash
# The main job on another target, compared byte for byte with this machine's own build: the
# road of the bundled burst (eddyrate-run, sbd-compose, saltmark-convert) and the report of
# every bundled message.
# Usage: cross-compare.sh NATIVE_BUILD TARGET_BUILD EXE_SUFFIX [RUNNER...]
#   RUNNER: how the target's programs are started (qemu-arm -L ..., /usr/lib/wine/wine64).
set -euo pipefail
cd "$(dirname "$0")/.."
native=$1
target=$2
suffix=$3
shift 3
runner=("$@")

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/native" "$scratch/target"

# run SIDE TOOL ARGS...: one of the programs, of this machine's build or of the target's.
run() {
  local side=$1 tool=$2
  shift 2
  case $tool in
    saltmark-convert) local dir=converter/cli ;;
    *) local dir=tools ;;
  esac
  if [ "$side" = native ]; then
    "$native/$dir/$tool" "$@"
  else
    "${runner[@]}" "$target/$dir/$tool$suffix" "$@"
  fi
}

failures=0
same() {
  if cmp -s "$scratch/native/$1" "$scratch/target/$1"; then
    echo "identical: $2"
  else
    echo "DIFFERENT: $2"
    case $1 in
      *.sbd) diff <(od -An -tx1 -v "$scratch/native/$1") <(od -An -tx1 -v "$scratch/target/$1") ;;
      *) diff "$scratch/native/$1" "$scratch/target/$1" ;;
    esac | head -20 || true
    failures=$((failures + 1))
  fi
}

burst=examples/burst-30min-10hz.csv
for side in native target; do
  out=$scratch/$side
  # Text written to standard output may end its lines in CR LF on Windows; the numbers are
  # what must agree.
  run "$side" eddyrate-run --json "$burst" | tr -d '\r' >"$out/outputs.json"
  run "$side" sbd-compose --port 5 --y81000 "$out/outputs.json" -o "$out/burst.sbd"
  run "$side" saltmark-convert "$out/burst.sbd" >"$out/burst.txt"
  for example in examples/*.sbd; do
    run "$side" saltmark-convert "$example" >"$out/$(basename "$example").txt"
  done
done

same outputs.json "eddyrate-run --json $burst (every output's bits)"
same burst.sbd "sbd-compose: the Y81000 record of those outputs"
same burst.txt "saltmark-convert: the report of that message"
for example in examples/*.sbd; do
  same "$(basename "$example").txt" "saltmark-convert $example"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures outputs differ from this machine's build" >&2
  exit 1
fi
