#!/bin/bash
# Whole-process wall time of a flush pass against one reading of the mount table, on mount
# tables of growing size. The floor for a pass is the kernel writing that table, so each run
# of `sorvanel /` and of `sorvanel` (no template: every eligible volume) is paired with a run
# of `cat /proc/self/mountinfo` next to it, and the ratio is taken pair by pair: whatever
# the machine's speed does meanwhile falls on both alike. Every process is started directly
# (posix_spawn, output to /dev/null) and timed from its start to its exit.
#
# Runs itself again inside a private mount namespace (root needed), where it adds mounts
# until the table has each size: half RAM disks (each one a volume of its own), half bind
# mounts of one directory (more mount points of one volume, as container hosts have them).
# Everything goes away with the namespace.
#
#   bench/mount_table_bench.sh [program] [sizes...]      PAIRS=15 by default
# Prints one line per size: the table's lines, the median time of one reading, and for each
# of the two passes its median time and the median ratio with the 25th-75th percentile
# spread of the ratios.
set -u
program=${1:-"$(cd "$(dirname "$0")/.." && pwd)/build/linux/sorvanel"}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 2000 5000 10000)
pairs=${PAIRS:-15}

if [ -z "${SORVANEL_BENCH_INSIDE:-}" ]; then
  if [ "$(id -u)" != 0 ]; then echo "skipped: needs root to mount file systems"; exit 0; fi
  if [ ! -x "$program" ]; then echo "skipped: $program is not built"; exit 0; fi
  if ! unshare -m --propagation private true 2>/dev/null; then
    echo "skipped: no private mount namespace can be made here"; exit 0
  fi
  command -v python3 >/dev/null || { echo "skipped: python3 is missing"; exit 0; }
  exec env SORVANEL_BENCH_INSIDE=1 PAIRS="$pairs" unshare -m --propagation private "$0" "$program" "${sizes[@]}"
fi

work=$(mktemp -d /tmp/sorvanel-bench-XXXXXX)
trap 'umount -R "$work" 2>/dev/null; rm -rf "$work"' EXIT
mount -t tmpfs tmpfs "$work"
mkdir "$work/many" "$work/shared"

# Times the commands (one per argument, split at blanks) in turns, `pairs` rounds, the first
# of them the reference; prints its median in ms, then for each other command its median in
# ms, its median ratio to the reference's run of the same round, and the ratios' quartiles.
paired() {
  python3 - "$pairs" "$@" <<'PY'
import os, sys, time
rounds = int(sys.argv[1]); commands = [c.split() for c in sys.argv[2:]]
null = os.open(os.devnull, os.O_WRONLY)
actions = [(os.POSIX_SPAWN_DUP2, null, 1), (os.POSIX_SPAWN_DUP2, null, 2)]
def run(argv):
    start = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
    os.waitpid(pid, 0)
    return (time.perf_counter_ns() - start) / 1e6
for argv in commands: run(argv)  # once each, so that every file is in the page cache
times = [[] for _ in commands]
for _ in range(rounds):
    for argv, spent in zip(commands, times): spent.append(run(argv))
def quantile(values, q):
    values = sorted(values); return values[min(len(values) - 1, int(q * len(values)))]
out = ["%.2f" % quantile(times[0], 0.5)]
for spent in times[1:]:
    ratios = [a / b for a, b in zip(spent, times[0])]
    out.append("%.2f %.2f %.2f-%.2f" % (quantile(spent, 0.5), quantile(ratios, 0.5),
                                       quantile(ratios, 0.25), quantile(ratios, 0.75)))
print(" ".join(out))
PY
}

made=0
cat=$(command -v cat)
printf '%7s %9s   %-28s   %-28s\n' lines table_ms "sorvanel /: ms ratio (p25-p75)" "sorvanel: ms ratio (p25-p75)"
for size in "${sizes[@]}"; do
  lines=$(wc -l < /proc/self/mountinfo)
  while [ "$lines" -lt "$size" ]; do
    mkdir -p "$work/many/$made"
    if [ $((made % 2)) = 0 ]; then
      mount -t tmpfs -o size=64k tmpfs "$work/many/$made"
    else
      mount --bind "$work/shared" "$work/many/$made"
    fi
    made=$((made + 1))
    lines=$((lines + 1))
  done
  lines=$(wc -l < /proc/self/mountinfo)
  shown=$("$program" -v / 2>&1)
  case "$shown" in
    "Flushing "*"(/)"*) ;;
    *) echo "sorvanel did not flush / at $lines lines: $shown"; exit 1 ;;
  esac
  read -r table one one_ratio one_spread all all_ratio all_spread < <(
    paired "$cat /proc/self/mountinfo" "$program /" "$program")
  printf '%7s %9s   %7s %5s (%s)   %7s %5s (%s)\n' "$lines" "$table" "$one" "$one_ratio" "$one_spread" \
    "$all" "$all_ratio" "$all_spread"
done
