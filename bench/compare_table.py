#!/usr/bin/env python3
"""compare_table.py RAW.tsv PAYLOAD...: the Markdown table of bench/compare-nsis.sh.

RAW.tsv has one figure a line: payload, installer (ours, nsis-zlib, nsis-lzma, copy for
the copy floor, or payload for the payload's own files and bytes), figure, round, value.
The figures: install, install_cpu and load (before the install); window_ms and
window_load; pack, pack_cpu and pack_load; rss_kib and anon_kib; size; files and bytes.
Each row gives the figure of the three installers and the ratios ours/NSIS; a timed figure
also the median of the per-round ratios, taken over the rounds both installers have, and
the load average before each of its rounds. A payload without a figure has no row for it.
A second table sets ours against the copy floor (medians of the paired ratios).
"""
import collections
import statistics
import sys

PEERS = ("nsis-zlib", "nsis-lzma")
INSTALLERS = ("ours",) + PEERS


def read(path):
    figures = collections.defaultdict(dict)
    with open(path, encoding="utf-8") as raw:
        for line in raw:
            payload, installer, figure, rnd, value = line.rstrip("\n").split("\t")
            figures[(payload, installer, figure)][int(rnd)] = float(value)
    return figures


def table(figures, payloads):
    def values(p, i, f):
        return list(figures[(p, i, f)].values())

    def median(p, i, f):
        return statistics.median(values(p, i, f))

    def least(p, i, f):
        return min(values(p, i, f))

    def paired(p, f, peer):
        ours, theirs = figures[(p, "ours", f)], figures[(p, peer, f)]
        return statistics.median(ours[r] / theirs[r] for r in ours if theirs.get(r, 0) > 0)

    lines = ["| payload | figure | ours | NSIS zlib | ours/zlib | NSIS lzma | ours/lzma |",
             "|---|---|---:|---:|---:|---:|---:|"]
    for p in payloads:
        files, size = median(p, "payload", "files"), median(p, "payload", "bytes")
        label = "%s (%s files, %.1f MB)" % (p, format(int(files), ","), size / 1e6)

        def row(name, fmt, of, scale=1.0):
            cells = [fmt % (of(p, i) / scale) for i in INSTALLERS]
            ratios = ["%.2f" % (of(p, "ours") / of(p, peer)) for peer in PEERS]
            lines.append("| %s | %s | %s | %s | %s | %s | %s |" % (
                label, name, cells[0], cells[1], ratios[0], cells[2], ratios[1]))

        def loads(name, figure):
            if values(p, "ours", figure):
                cells = [" ".join("%.2f" % figures[(p, i, figure)][r]
                                  for r in sorted(figures[(p, i, figure)])) for i in INSTALLERS]
                lines.append("| %s | %s | %s | %s | | %s | |" % (
                    label, name, cells[0], cells[1], cells[2]))

        def timed(name, figure, unit, fmt, least_too=False):
            if not values(p, "ours", figure):
                return
            if least_too:
                row("%s, min (%s)" % (name, unit), fmt, lambda p, i: least(p, i, figure))
            row("%s, median (%s)" % (name, unit), fmt, lambda p, i: median(p, i, figure))
            lines.append("| %s | %s, median of paired ratios | | | %.2f | | %.2f |" % (
                label, name, paired(p, figure, PEERS[0]), paired(p, figure, PEERS[1])))

        timed("install", "install", "s", "%.2f", least_too=True)
        timed("install CPU", "install_cpu", "s", "%.2f")
        loads("load average (1 min) before each install", "load")
        row("peak RSS, median (MiB)", "%.1f", lambda p, i: median(p, i, "rss_kib"), 1024)
        if values(p, "ours", "anon_kib"):
            row("peak anonymous RSS, median (MiB)", "%.1f",
                lambda p, i: median(p, i, "anon_kib"), 1024)
        row("installer size (MiB)", "%.2f", lambda p, i: median(p, i, "size"), 1048576)
        timed("first window", "window_ms", "ms", "%.0f")
        loads("load average (1 min) before each first window", "window_load")
        timed("packing", "pack", "s", "%.2f", least_too=True)
        timed("packing CPU", "pack_cpu", "s", "%.2f")
        loads("load average (1 min) before each packing", "pack_load")
    # The copy floor: the same files copied one after another, with nothing else done.
    floors = [p for p in payloads if values(p, "copy", "install_cpu")]
    if floors:
        lines += ["", "| payload | copy floor, median (s) | ours/copy | copy floor CPU, median (s) "
                      "| ours/copy CPU |", "|---|---:|---:|---:|---:|"]
    for p in floors:
        lines.append("| %s | %.2f | %.2f | %.2f | %.2f |" % (
            p, median(p, "copy", "install"), paired(p, "install", "copy"),
            median(p, "copy", "install_cpu"), paired(p, "install_cpu", "copy")))
    return "\n".join(lines)


def main(argv):
    if len(argv) < 3:
        print("usage: compare_table.py RAW.tsv PAYLOAD...", file=sys.stderr)
        return 2
    print(table(read(argv[1]), argv[2:]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
