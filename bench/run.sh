#!/usr/bin/env bash
# shellcheck disable=SC2154  # expected_files and the like come from each volume's expected file
# Builds chkmend and damaged FAT32 volumes, then times the recovery, warm and cold, against the
# cost of reading the volume and of writing the same files with other tools, and counts what
# the recovery reads from the volume. Not a test: nothing fails on a time.
# Usage: bench/run.sh [--keep] [--runs N] [--runs-million N] [--kind K]... [--check-only]
#   --keep            reuse volumes already built in bench/work/ (they take minutes to make)
#   --runs N          timed runs per command (default 5); warm runs follow one warm-up run
#   --runs-million N  the same for the million volume (default 3: a run takes a minute or more)
#   --kind K          a volume kind of make_volume.py, repeatable (default: large, orphans and
#                     million)
#   --check-only      stop after the correctness check and the read count, time nothing
# Environment: BENCH_WORK (default bench/work), BENCH_BUILD (default build-bench),
#              BENCH_OUT (where the outputs go; default a folder in /dev/shm, so that the
#              times show the tools' own cost rather than the disk's; "work" puts them on disk),
#              CHKMEND (a chkmend binary to time instead of building one),
#              BENCH_TIMEOUT (seconds one chkmend run may take, default 900: past it the
#              volume's chkmend timings are skipped and the report says so).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
work=$(realpath -m "${BENCH_WORK:-bench/work}")
build=${BENCH_BUILD:-build-bench}
limit=${BENCH_TIMEOUT:-900}
runs=5
runs_million=3
keep=0
kinds=()
check_only=0
while [ $# -gt 0 ]; do
  case $1 in
    --keep) keep=1 ;;
    --runs) runs=$2; shift ;;
    --runs-million) runs_million=$2; shift ;;
    --kind) kinds+=("$2"); shift ;;
    --check-only) check_only=1 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done

[ ${#kinds[@]} -gt 0 ] || kinds=(large orphans million)
tools=(mcopy fsck.fat mkfs.fat python3 /usr/bin/time cc timeout)
[ "$check_only" = 1 ] || tools+=(hyperfine)
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/setup.sh, apt-get)" >&2; exit 2; }
done

if [ -z "${CHKMEND:-}" ]; then
  [ -f "$build/CMakeCache.txt" ] ||
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target chkmend >/dev/null
  CHKMEND=$repo/$build/chkmend
fi
CHKMEND=$(realpath "$CHKMEND")

if [ "${BENCH_OUT:-}" = work ] || [ ! -w /dev/shm ]; then
  out_base=$work
else
  out_base=${BENCH_OUT:-/dev/shm/chkmend-bench}
fi

mkdir -p "$work"
shim=$work/readcount.so
cc -O2 -shared -fPIC -o "$shim" bench/readcount.c -ldl
cache="python3 $repo/bench/cache.py"

for kind in "${kinds[@]}"; do
  # Volumes made before the generator recorded what a reader needs are made again.
  if [ "$keep" = 0 ] || ! grep -qs '^needed_bytes=' "$work/$kind/expected"; then
    python3 bench/make_volume.py "$kind" "$work"
  fi
done

export MTOOLS_SKIP_CHECK=1
results=$work/results.md
: >"$results"
status=0

for kind in "${kinds[@]}"; do
  dir=$work/$kind
  img=$dir/damaged.img
  run=$out_base/$kind-run
  rm -rf "$run" && mkdir -p "$run"
  # shellcheck disable=SC1091
  . "$dir/expected"
  sed 's|^|::/|' "$dir/tops" >"$run/mcopy-sources"
  n=$runs
  [ "$kind" != million ] || n=$runs_million

  # Correctness first: the run must save every file and re-attach every listed one. The same
  # run, cold, counts what chkmend reads from the volume.
  $cache evict "$img"
  start=$(date +%s.%N)
  rc=0
  (cd "$run" && CHKMEND_DRIVE_X="$img" READCOUNT_OUT="$run/reads.txt" LD_PRELOAD="$shim" \
    /usr/bin/time -v -o "$run/time.txt" timeout "$limit" "$CHKMEND" X >"$run/console.txt") ||
    rc=$?
  took=$(echo "$(date +%s.%N) - $start" | bc)
  saved=$(grep -c '^saved ' "$run/console.txt" || true)
  recovered=$(tail -n 1 "$run/console.txt" | cut -d' ' -f1)
  peak_kib=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$run/time.txt")
  timed_out=0
  [ -f "$run/reads.txt" ] || : >"$run/reads.txt"
  if [ "$rc" = 124 ]; then
    timed_out=1
    check="TIMEOUT after $limit s (saved $saved of $expected_files)"
    status=1
  elif [ "$saved" != "$expected_files" ] || [ "$recovered" != "$expected_recovered" ]; then
    check="MISMATCH (saved $saved of $expected_files, recovered $recovered of $expected_recovered)"
    status=1
  else
    check=ok
  fi
  [ "$rc" = 0 ] || [ "$rc" = 124 ] || check="$check, status $rc"
  echo "$kind: saved $saved, recovered $recovered in $took s (cold, counted): $check"
  cp "$run/console.txt" "$run/time.txt" "$run/reads.txt" "$dir/"
  rm -rf "$run/out"

  if [ "$check_only" = 0 ]; then
    # Does eviction drop the image's pages here? (It cannot while another process maps them.)
    cat "$img" >/dev/null
    $cache evict "$img"
    resident=$($cache resident "$img" | cut -d' ' -f2)
    echo "$kind: after eviction $resident MiB of the image stay cached"

    # Every prepare step clears all outputs: a million files twice over would not fit tmpfs's
    # inodes beside anything else.
    clear="rm -rf '$run/out' '$run/mcopy' '$run/cp'"
    cmds=()
    cold=()
    if [ "$timed_out" = 0 ]; then
      cmds+=(-n chkmend --prepare "$clear"
        "cd '$run' && CHKMEND_DRIVE_X='$img' '$CHKMEND' X >/dev/null")
      cold+=(-n "chkmend cold" --prepare "$clear && $cache evict '$img'"
        "cd '$run' && CHKMEND_DRIVE_X='$img' '$CHKMEND' X >/dev/null")
    fi
    cold+=(-n "cat cold" --prepare "$clear && $cache evict '$img'" "cat '$img' >/dev/null")
    # Warm cache: the warm-up run reads everything once.
    hyperfine --style basic --warmup 1 --runs "$n" --export-json "$run/timing.json" "${cmds[@]}" \
      -n cat --prepare "$clear" "cat '$img' >/dev/null" \
      -n "mcopy -s -m" --prepare "$clear && mkdir '$run/mcopy'" \
      "xargs -a '$run/mcopy-sources' -d '\n' sh -c 'mcopy -s -m -i \"$dir/intact.img\" \"\$@\" \"$run/mcopy/\"' _" \
      -n "cp -a" --prepare "$clear" \
      "cp -a '$dir/tree' '$run/cp'" >"$run/hyperfine.txt"
    hyperfine --style basic --runs "$n" --export-json "$run/timing-cold.json" "${cold[@]}" \
      >>"$run/hyperfine.txt"
    rm -rf "$run/out" "$run/mcopy" "$run/cp"
    cp "$run/hyperfine.txt" "$run/timing.json" "$run/timing-cold.json" "$dir/"
  fi
  [ "$out_base" = "$work" ] || rm -rf "$run"

  python3 - "$dir" "$kind" "$peak_kib" "$check" "$n" >>"$results" <<'PY'
import json, os, sys
folder, kind, peak, check, runs = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
def keyed(path):
    try:
        return dict(l.strip().split("=", 1) for l in open(path) if "=" in l)
    except FileNotFoundError:
        return {}
exp = {k: int(v) for k, v in keyed(os.path.join(folder, "expected")).items()}
reads = {k: int(v) for k, v in keyed(os.path.join(folder, "reads.txt")).items()}
med = {}
for name in ("timing.json", "timing-cold.json"):
    path = os.path.join(folder, name)
    if os.path.exists(path) and os.path.getmtime(path) >= os.path.getmtime(os.path.join(folder, "console.txt")):
        med.update({r["command"]: r["median"] for r in json.load(open(path))["results"]})
def sec(name):
    return "%.2f s" % med[name] if name in med else "–"
def ratio(a, b):
    return "%.2f" % (med[a] / med[b]) if a in med and b in med else "–"
MiB = 1 << 20
table = exp["table_kib"] / 1024
if reads:
    read = "%.0f / %.0f MiB = %.2f" % (reads["bytes"] / MiB, exp["needed_bytes"] / MiB,
                                       reads["bytes"] / exp["needed_bytes"])
    jumps = "{:,} / {:,} ({:,} requests)".format(reads["discontinuous"],
                                                 exp["orphans"] + exp["fragments"], reads["requests"])
else:
    read = jumps = "–"
print("| %s (%s runs) | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %.1f MiB | %.1f MiB | %s | %s | %s |" % (
    kind, runs, sec("chkmend"), sec("chkmend cold"), sec("cat"), sec("cat cold"), sec("mcopy -s -m"),
    sec("cp -a"), ratio("chkmend cold", "cat cold"), ratio("chkmend", "cp -a"), ratio("chkmend", "cat"),
    ratio("chkmend", "mcopy -s -m"), "%.1f MiB" % table, peak / 1024, peak / 1024 - table, read, jumps,
    check))
PY
done

echo
echo "| volume | chkmend warm | chkmend cold | cat warm | cat cold | mcopy -s -m | cp -a | cold ÷ cat cold | warm ÷ cp -a | warm ÷ cat | warm ÷ mcopy | table | peak memory | peak − table | read / needed | discontinuous reads / bound | check |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
cat "$results"
exit $status
