#!/usr/bin/env python3
"""run_measured.py OUT COMMAND...: runs COMMAND and writes to OUT one line,

    PEAK_RSS_KIB USER_S SYSTEM_S PEAK_ANON_KIB

the peak resident set, user and system time of COMMAND and everything it waited for (as
`/usr/bin/time %M %U %S` gives them), and the peak anonymous resident set (RssAnon) of
COMMAND's first child, sampled every 2 ms. bench/compare-nsis.sh runs `timeout ... wine
PROGRAM` with it: wine execs into PROGRAM's own process, which is timeout's child, so the
anonymous figure is the program's private memory, not its file-backed pages. Exits with
COMMAND's status.
"""
import resource
import subprocess
import sys
import time


def first_child(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            children = f.read().split()
        return int(children[0]) if children else None
    except OSError:
        return None


def anon_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def main(argv):
    if len(argv) < 3:
        print("usage: run_measured.py OUT COMMAND...", file=sys.stderr)
        return 2
    process = subprocess.Popen(argv[2:])
    child, peak = None, 0
    while process.poll() is None:
        if child is None:
            child = first_child(process.pid)
        if child is not None:
            peak = max(peak, anon_kib(child))
        time.sleep(0.002)
    # poll() reaped COMMAND: its figures and those of all it waited for are this process's
    # children's, and it has no other child.
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    with open(argv[1], "w") as out:
        out.write("%d %.3f %.3f %d\n" % (children.ru_maxrss, children.ru_utime,
                                         children.ru_stime, peak))
    return process.returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv))
