#!/bin/bash
# Whole-process wall time and minor page faults of a flush pass against one reading of the
# mount table, on mount tables of growing size. The floor for a pass is the kernel writing
# that table, so each run of `sorvanel /` and of `sorvanel` (no template: every eligible
# volume) is paired with a run of `cat /proc/self/mountinfo` next to it, and the ratio is
# taken pair by pair: whatever the machine's speed does meanwhile falls on both alike. Every
# process is started directly (posix_spawn, output to /dev/null) and timed from its start to
# its exit; its page faults are the kernel's count for it (getrusage of the child). A fault
# count does not depend on the machine; what a fault costs does, from about 1 us on a
# machine of our own to 10 us and more on some virtual machines, so the time ratio of a
# program that touches more memory than `cat` grows with that cost.
#
# Runs itself again inside a private mount namespace (root needed), once for each layout,
# and adds mounts until the table has each size:
#   tmpfs  every mount a RAM disk of its own, a volume of its own, as a container host's
#          secrets and overlays are;
#   mixed  half RAM disks, half bind mounts of one directory (more mount points of one
#          volume, as container hosts have them too).
# Everything goes away with the namespace.
#
#   bench/mount_table_bench.sh [program] [sizes...]      PAIRS=15, LAYOUTS="tmpfs mixed"
# Prints, for each layout, one line per size: the table's lines, the median time and page
# faults of one reading, and for each of the two passes its median time, the median ratio
# of the times with the 25th-75th percentile spread of the ratios, its median page faults
# and their ratio to the reading's.
set -u
program=${1:-"$(cd "$(dirname "$0")/.." && pwd)/build/linux/sorvanel"}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 2000 5000 10000)
pairs=${PAIRS:-15}
layouts=${LAYOUTS:-"tmpfs mixed"}

if [ -z "${SORVANEL_BENCH_LAYOUT:-}" ]; then
  if [ "$(id -u)" != 0 ]; then echo "skipped: needs root to mount file systems"; exit 0; fi
  if [ ! -x "$program" ]; then echo "skipped: $program is not built"; exit 0; fi
  if ! unshare -m --propagation private true 2>/dev/null; then
    echo "skipped: no private mount namespace can be made here"; exit 0
  fi
  command -v python3 >/dev/null || { echo "skipped: python3 is missing"; exit 0; }
  for layout in $layouts; do
    env SORVANEL_BENCH_LAYOUT="$layout" PAIRS="$pairs" unshare -m --propagation private "$0" "$program" "${sizes[@]}" ||
      exit 1
  done
  exit 0
fi

work=$(mktemp -d /tmp/sorvanel-bench-XXXXXX)
trap 'umount -R "$work" 2>/dev/null; rm -rf "$work"' EXIT
mount -t tmpfs tmpfs "$work"
mkdir "$work/many" "$work/shared"

python3 - "$program" "$work" "$SORVANEL_BENCH_LAYOUT" "$pairs" "${sizes[@]}" <<'PY'
import ctypes, os, shutil, subprocess, sys, time
program, work, layout, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
sizes = [int(s) for s in sys.argv[5:]]
libc = ctypes.CDLL(None, use_errno=True)
MS_BIND = 4096

def mount(source, target, fstype, flags, data):
    if libc.mount(source.encode(), target.encode(), fstype.encode() if fstype else None, flags,
                  data.encode() if data else None) != 0:
        raise OSError(ctypes.get_errno(), "mount " + target)

def lines():
    with open("/proc/self/mountinfo", "rb") as table:
        return table.read().count(b"\n")

null = os.open(os.devnull, os.O_WRONLY)
actions = [(os.POSIX_SPAWN_DUP2, null, 1), (os.POSIX_SPAWN_DUP2, null, 2)]
def run(argv):
    start = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
    _, _, usage = os.wait4(pid, 0)
    return (time.perf_counter_ns() - start) / 1e6, usage.ru_minflt

def quantile(values, q):
    values = sorted(values); return values[min(len(values) - 1, int(q * len(values)))]

cat = [shutil.which("cat"), "/proc/self/mountinfo"]
commands = [cat, [program, "/"], [program]]
print("layout %s: %s" % (layout, "every mount a tmpfs of its own" if layout == "tmpfs"
                          else "half tmpfs, half bind mounts of one directory"))
print("%7s %9s %6s   %-38s   %-38s" % ("lines", "table_ms", "faults",
      "sorvanel /: ms ratio (p25-p75) faults ratio", "sorvanel: ms ratio (p25-p75) faults ratio"))
made = 0
for size in sizes:
    count = lines()
    while count < size:
        target = os.path.join(work, "many", str(made))
        os.mkdir(target)
        if layout == "mixed" and made % 2 == 1:
            mount(os.path.join(work, "shared"), target, None, MS_BIND, None)
        else:
            mount("tmpfs", target, "tmpfs", 0, "size=64k")
        made += 1
        count += 1
    count = lines()
    shown = subprocess.run([program, "-v", "/"], capture_output=True, text=True).stdout
    if not (shown.startswith("Flushing ") and "(/)" in shown):
        print("sorvanel did not flush / at %d lines: %s" % (count, shown)); sys.exit(1)
    for argv in commands: run(argv)  # once each, so that every file is in the page cache
    times = [[] for _ in commands]; faults = [[] for _ in commands]
    for _ in range(rounds):
        for argv, spent, taken in zip(commands, times, faults):
            ms, minflt = run(argv); spent.append(ms); taken.append(minflt)
    base_faults = quantile(faults[0], 0.5)
    out = "%7d %9.2f %6d" % (count, quantile(times[0], 0.5), base_faults)
    for spent, taken in zip(times[1:], faults[1:]):
        ratios = [a / b for a, b in zip(spent, times[0])]
        out += "   %7.2f %5.2f (%.2f-%.2f) %6d %5.2f" % (
            quantile(spent, 0.5), quantile(ratios, 0.5), quantile(ratios, 0.25),
            quantile(ratios, 0.75), quantile(taken, 0.5), quantile(taken, 0.5) / base_faults)
    print(out, flush=True)
PY
