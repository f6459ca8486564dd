#!/bin/bash
# Whole-process wall time of `sorvanel <mount>` against `sync -f <mount>` on mount tables of
# growing size. Runs itself again inside a private mount namespace (root needed), where it
# mounts an ext4 image and then enough mounts to bring the mount table to each size: half RAM
# disks (each one a volume of its own), half bind mounts of one directory (more mount points
# of one volume, as container hosts have them). Everything goes away with the namespace.
#
#   bench/mount_table_bench.sh [program] [sizes...]
# Prints one line per size: lines, median sorvanel ms, median sync -f ms, their ratio.
set -u
program=${1:-"$(cd "$(dirname "$0")/.." && pwd)/build/linux/sorvanel"}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(20 500 1000 2000 5000)
runs=${RUNS:-7}

if [ -z "${SORVANEL_BENCH_INSIDE:-}" ]; then
  if [ "$(id -u)" != 0 ]; then echo "skipped: needs root to mount file systems"; exit 0; fi
  if [ ! -x "$program" ]; then echo "skipped: $program is not built"; exit 0; fi
  if ! unshare -m --propagation private true 2>/dev/null; then
    echo "skipped: no private mount namespace can be made here"; exit 0
  fi
  for tool in mkfs.ext4 python3; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 0; }
  done
  exec env SORVANEL_BENCH_INSIDE=1 RUNS="$runs" unshare -m --propagation private "$0" "$program" "${sizes[@]}"
fi

work=$(mktemp -d /tmp/sorvanel-bench-XXXXXX)
trap 'umount -R "$work" 2>/dev/null; rm -rf "$work"' EXIT
mount -t tmpfs tmpfs "$work"
truncate -s 64M "$work/disk.img"
mkfs.ext4 -q -F "$work/disk.img"
mkdir "$work/disk" "$work/many" "$work/shared"
mount -o loop "$work/disk.img" "$work/disk" || { echo "skipped: no loop device"; exit 0; }
target="$work/disk"

# Median wall times in milliseconds of each command (one per argument, split at blanks),
# the commands taking turns so that the machine's load falls on all of them alike.
median_ms() {
  python3 - "$runs" "$@" <<'PY'
import subprocess, sys, time
runs = int(sys.argv[1]); commands = [c.split() for c in sys.argv[2:]]
times = [[] for _ in commands]
for _ in range(runs):
    for command, spent in zip(commands, times):
        start = time.perf_counter()
        subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        spent.append((time.perf_counter() - start) * 1000)
print(" ".join("%.2f" % sorted(t)[len(t) // 2] for t in times))
PY
}

made=0
# The last column is the cost of reading the mount table once (cat), for comparison.
printf '%8s %12s %12s %8s %12s\n' lines sorvanel_ms sync_f_ms ratio cat_table_ms
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
  shown=$("$program" -v "$target" 2>&1)
  case "$shown" in
    "Flushing "*"($target)"*) ;;
    *) echo "sorvanel did not flush $target at $lines lines: $shown"; exit 1 ;;
  esac
  read -r ours sync table < <(median_ms "$program $target" "sync -f $target" "cat /proc/self/mountinfo")
  ratio=$(python3 -c "print('%.2f' % ($ours / $sync))")
  printf '%8s %12s %12s %8s %12s\n' "$lines" "$ours" "$sync" "$ratio" "$table"
done
