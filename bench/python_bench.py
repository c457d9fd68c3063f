"""Times the murel module against numpy and the command line, and what analysis.h5 costs.

Usage: python_bench.py MUREL_PROGRAM WORK_DIR [EVENTS_FOR_400MB]   (PYTHONPATH: the module's directory)
Prints each ratio beside its bound; the best of several runs counts.
"""
import os
import resource
import subprocess
import sys
import time

import numpy as np

import murel

program, work = sys.argv[1], sys.argv[2]
big_events = int(sys.argv[3]) if len(sys.argv) > 3 else 100000  # 100000 x 4000 bytes: 400 MB
os.makedirs(work, exist_ok=True)


def best(function, runs=5):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def run(*args):
    subprocess.run([program, *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


big = os.path.join(work, "big.cdb")
if not os.path.exists(big) or os.path.getsize(big) != 12 + 4000 * big_events:
    run("generate", "--events", str(big_events), "--seed", "11", big)
size_mb = os.path.getsize(big) / 1e6
fromfile = best(lambda: np.fromfile(big, dtype="<i2", offset=12))
copied = best(lambda: murel.read(big, mmap=False).samples)
mapped = best(lambda: murel.read(big).samples)
print(f"read {size_mb:.0f} MB: numpy.fromfile {fromfile:.3f} s, murel.read {copied:.3f} s "
      f"(ratio {copied / fromfile:.2f}, bound 1.2), memory-mapped {mapped * 1e3:.2f} ms")

synth = os.path.join(work, "synth.cdb")
run("generate", synth)  # the default data set: murel_gen's synth-1.cdb
out = os.path.join(work, "analysis")
command = best(lambda: run("analyse", synth, "-o", out), runs=5)
python = best(lambda: murel.analyse(synth), runs=5)
print(f"analyse synth: murel analyse {command:.3f} s, murel.analyse {python:.3f} s (ratio {python / command:.2f}, bound 1.1)")


def cpu_of(*args):
    """The processor time (user + system) of one run, steadier than the wall time on a shared machine."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    run(*args)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime


# Alternated, so that a change of the machine's load falls on both alike.
pairs = [(cpu_of("analyse", synth, "--no-hdf5", "-o", out), cpu_of("analyse", synth, "-o", out)) for _ in range(15)]
without = float(np.median([p[0] for p in pairs]))
with_h5 = float(np.median([p[1] for p in pairs]))
wall_without = best(lambda: run("analyse", synth, "--no-hdf5", "-o", out), runs=7)
wall_with = best(lambda: run("analyse", synth, "-o", out), runs=7)
print(f"analysis.h5: murel analyse takes {with_h5:.3f} s of processor time with it, {without:.3f} s without "
      f"(overhead {100 * (with_h5 / without - 1):.1f} %, bound 10 %); best wall times {wall_with:.3f} s and {wall_without:.3f} s")
os.remove(big)
