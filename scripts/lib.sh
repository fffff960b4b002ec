# Helpers the scripts share; sourced from the repository's root (`. scripts/lib.sh`).

# The build folder of a configure preset (CMakePresets.json), relative to the root.
preset_dir() {
  cmake -DPRESET="$1" -P cmake/preset_dir.cmake
}

# configure PRESET FOLDER [CMAKE ARGUMENTS...]: configures FOLDER as the preset says; the
# arguments after it (-DNAME=VALUE) go to CMake after the preset's and win over them.
configure() {
  local preset=$1 folder=$2
  shift 2
  cmake --preset "$preset" -B "$folder" "$@"
}

# A private wine prefix whose server stays up until wine_stop, so that each program run under
# wine does not pay for wine's start-up. WINE names the loader (default: Debian's wine64).
wine_start() {
  local wine=${WINE:-/usr/lib/wine/wine64}
  WINEPREFIX=$(mktemp -d)
  export WINEPREFIX WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or browser engine is wanted
  # Persistent first: `wineserver -p` refuses (exit 2) when wineboot's own server still runs.
  /usr/lib/wine/wineserver -p
  "$wine" wineboot --init >/dev/null 2>&1
}

wine_stop() {
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}

# time_rounds ROUNDS OURS...: the numpy/scipy peer (bench/scipy_peer.py, Debian's Python, its
# burst function timed in process so that Python's start-up is not counted) and OURS, a
# command printing "WALL_MS CPU_MS [NOTE]", alternately ROUNDS times each, so that a changing
# load on a shared machine falls on both alike. Prints a line per round and leaves the times
# in peer_wall, peer_cpu, ours_wall and ours_cpu for print_medians.
time_rounds() {
  local rounds=$1 round wall cpu note
  shift
  peer_wall=() peer_cpu=() ours_wall=() ours_cpu=()
  for round in $(seq "$rounds"); do
    read -r wall cpu < <(/usr/bin/python3 bench/scipy_peer.py --ms "${PEER_REPEATS:-30}")
    peer_wall+=("$wall") peer_cpu+=("$cpu")
    read -r wall cpu note < <("$@")
    ours_wall+=("$wall") ours_cpu+=("$cpu")
    printf 'round %d: peer %.2f ms (cpu %.2f), eddyRate %.2f ms (cpu %.2f)%s\n' "$round" \
      "${peer_wall[-1]}" "${peer_cpu[-1]}" "${ours_wall[-1]}" "${ours_cpu[-1]}" "${note:+ $note}"
  done
}

# print_medians LABEL WHAT: the median times of time_rounds and the ratio ours / peer.
print_medians() {
  /usr/bin/python3 - "${peer_wall[*]}" "${peer_cpu[*]}" "${ours_wall[*]}" "${ours_cpu[*]}" \
    "$1" "$2" <<'PY'
import statistics, sys
pw, pc, ow, oc = (statistics.median(map(float, a.split())) for a in sys.argv[1:5])
label, what = sys.argv[5:7]
print(f"peer (numpy/scipy): {pw:.2f} ms wall, {pc:.2f} ms cpu per 30-min 10 Hz burst (median)")
print(f"{label + ':':<19} {ow:.2f} ms wall, {oc:.2f} ms cpu {what}")
print(f"ratio eddyRate / peer: {ow / pw:.3f} wall, {oc / pc:.3f} cpu (goal: at most 0.2)")
PY
}
