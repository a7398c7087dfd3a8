#!/usr/bin/env python3
"""The cost of a process that should be idle, sampled from /proc every 100 ms.

    idle_sample.py <pid> <seconds>

Wake-ups: the context switches of each of its threads over the window, summed (a thread
that begins during the window counts from zero; one that begins and ends between two
samples is missed). Every wake-up costs at least one switch, so this is an upper bound.
CPU: the scheduler's nanoseconds on a core of each thread (/proc/.../schedstat), summed the
same way, against the wall clock.
"""

import glob
import os
import sys
import time


def sample(pid):
    """{tid: (context switches, nanoseconds on a core)} of every thread now."""
    counts = {}
    for task in glob.glob(f"/proc/{pid}/task/*"):
        tid = int(task.rsplit("/", 1)[1])
        switches = 0
        try:
            with open(task + "/status") as f:
                for line in f:
                    if "ctxt_switches" in line:
                        switches += int(line.split()[1])
            with open(task + "/schedstat") as f:
                nanoseconds = int(f.read().split()[0])
        except OSError:
            continue  # the thread just ended
        counts[tid] = (switches, nanoseconds)
    return counts


def main():
    pid, seconds = int(sys.argv[1]), float(sys.argv[2])
    start = time.monotonic()
    first = sample(pid)
    last = dict(first)
    begun = set()
    while time.monotonic() - start < seconds:
        time.sleep(0.1)
        for tid, counts in sample(pid).items():
            if tid not in first:
                begun.add(tid)
            last[tid] = counts
    elapsed = time.monotonic() - start
    delta = {tid: (c[0] - first.get(tid, (0, 0))[0], c[1] - first.get(tid, (0, 0))[1])
             for tid, c in last.items()}
    woken = sum(d[0] for d in delta.values())
    cpu = sum(d[1] for d in delta.values()) / 1e9
    if os.environ.get("IDLE_SAMPLE_THREADS"):
        for tid, (switches, nanoseconds) in sorted(delta.items()):
            try:
                with open(f"/proc/{pid}/task/{tid}/comm") as f:
                    name = f.read().strip()
            except OSError:
                name = "(ended)"
            print(f"  thread {tid} {name}: {switches} switches, {nanoseconds / 1e6:.3f} ms")
    print(f"idle over {elapsed:.1f} s: {woken / elapsed:.2f} wake-ups a second at most "
          f"({len(first)} threads, {len(begun)} begun meanwhile), "
          f"{100 * cpu / elapsed:.4f}% of a core")


if __name__ == "__main__":
    main()
