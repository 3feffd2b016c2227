#!/usr/bin/env bash
# Builds chkmend and two damaged FAT32 volumes, then times the recovery against the cost of
# reading the volume and of writing the same files with other tools. Not a test: nothing fails
# on a time. Usage: bench/run.sh [--keep] [--runs N] [--kind K]... [--check-only]
#   --keep        reuse volumes already built in bench/work/ (they take a few minutes to make)
#   --runs N      timed runs per command (default 5), after one warm-up run
#   --kind K      a volume kind of make_volume.py, repeatable (default: large and orphans)
#   --check-only  stop after the correctness check, time nothing (e.g. --kind small)
# Environment: BENCH_WORK (default bench/work), BENCH_BUILD (default build-bench),
#              BENCH_OUT (where the outputs go; default a folder in /dev/shm, so that the
#              times show the tools' own cost rather than the disk's; "work" puts them on disk),
#              CHKMEND (a chkmend binary to time instead of building one).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
work=$(realpath -m "${BENCH_WORK:-bench/work}")
build=${BENCH_BUILD:-build-bench}
runs=5
keep=0
kinds=()
check_only=0
while [ $# -gt 0 ]; do
  case $1 in
    --keep) keep=1 ;;
    --runs) runs=$2; shift ;;
    --kind) kinds+=("$2"); shift ;;
    --check-only) check_only=1 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done

[ ${#kinds[@]} -gt 0 ] || kinds=(large orphans)
tools=(mcopy fsck.fat mkfs.fat python3 /usr/bin/time)
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
for kind in "${kinds[@]}"; do
  # Volumes made before the generator recorded the table size are made again.
  if [ "$keep" = 0 ] || ! grep -qs '^table_kib=' "$work/$kind/expected"; then
    python3 bench/make_volume.py "$kind" "$work"
  fi
done

export MTOOLS_SKIP_CHECK=1
results=$work/results.md
[ "$check_only" = 1 ] || : >"$results"
status=0

for kind in "${kinds[@]}"; do
  dir=$work/$kind
  run=$out_base/$kind-run
  rm -rf "$run" && mkdir -p "$run"
  # shellcheck disable=SC1091
  . "$dir/expected"
  sed 's|^|::/|' "$dir/tops" >"$run/mcopy-sources"

  # Correctness first: the run must save every file and re-attach every listed one.
  (cd "$run" && CHKMEND_DRIVE_X="$dir/damaged.img" /usr/bin/time -v -o "$run/time.txt" \
    "$CHKMEND" X >"$run/console.txt")
  saved=$(grep -c '^saved ' "$run/console.txt" || true)
  recovered=$(tail -n 1 "$run/console.txt" | cut -d' ' -f1)
  peak_kib=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$run/time.txt")
  check="ok"
  if [ "$saved" != "$expected_files" ] || [ "$recovered" != "$expected_recovered" ]; then
    check="MISMATCH (saved $saved of $expected_files, recovered $recovered of $expected_recovered)"
    status=1
  fi
  echo "$kind: saved $saved, recovered $recovered: $check"
  if [ "$check_only" = 1 ]; then
    cp "$run/console.txt" "$run/time.txt" "$dir/"
    rm -rf "$run/out"
    [ "$out_base" = "$work" ] || rm -rf "$run"
    continue
  fi

  # Warm cache: the warm-up run reads everything once.
  hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$run/timing.json" \
    -n chkmend --prepare "rm -rf '$run/out'" \
    "cd '$run' && CHKMEND_DRIVE_X='$dir/damaged.img' '$CHKMEND' X >/dev/null" \
    -n cat --prepare true "cat '$dir/damaged.img' >/dev/null" \
    -n "mcopy -s -m" --prepare "rm -rf '$run/mcopy' && mkdir '$run/mcopy'" \
    "xargs -a '$run/mcopy-sources' -d '\n' sh -c 'mcopy -s -m -i \"$dir/intact.img\" \"\$@\" \"$run/mcopy/\"' _" \
    -n "cp -a" --prepare "rm -rf '$run/cp'" \
    "cp -a '$dir/tree' '$run/cp'" >"$run/hyperfine.txt"
  rm -rf "$run/out" "$run/mcopy" "$run/cp"
  cp "$run/console.txt" "$run/hyperfine.txt" "$run/time.txt" "$run/timing.json" "$dir/"
  [ "$out_base" = "$work" ] || rm -rf "$run"

  python3 - "$dir/timing.json" "$kind" "$peak_kib" "$table_kib" "$check" >>"$results" <<'EOF'
import json, sys
data = json.load(open(sys.argv[1]))
med = {r["command"]: r["median"] for r in data["results"]}
kind, peak, fat, check = sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
c = med["chkmend"]
print("| %s | %.2f s | %.2f s | %.2f s | %.2f s | %.2f | %.2f | %.2f | %.1f MiB (table %.1f MiB) | %s |" % (
    kind, c, med["cat"], med["mcopy -s -m"], med["cp -a"], c / med["cat"],
    c / med["mcopy -s -m"], c / med["cp -a"], peak / 1024, fat / 1024, check))
EOF
done

[ "$check_only" = 0 ] || exit $status
echo
echo "| volume | chkmend | cat | mcopy -s -m | cp -a | ÷ cat | ÷ mcopy | ÷ cp -a | peak memory | check |"
echo "|---|---|---|---|---|---|---|---|---|---|"
cat "$results"
exit $status
