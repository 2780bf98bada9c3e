#!/usr/bin/env python3
"""Tests of compare_table.py: the figures and ratios of bench/compare-nsis.sh's table."""
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compare_table  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))

# Payload "x": three rounds each, a fourth only NSIS zlib ran; payload "y": no packing.
RAW = [
    ("x", "payload", "files", 0, 1125), ("x", "payload", "bytes", 0, 2_500_000),
    ("x", "ours", "install", 1, 1), ("x", "ours", "install", 2, 2), ("x", "ours", "install", 3, 6),
    ("x", "nsis-zlib", "install", 1, 2), ("x", "nsis-zlib", "install", 2, 4),
    ("x", "nsis-zlib", "install", 3, 3), ("x", "nsis-zlib", "install", 4, 100),
    ("x", "nsis-lzma", "install", 1, 4), ("x", "nsis-lzma", "install", 2, 4),
    ("x", "nsis-lzma", "install", 3, 4),
    ("x", "ours", "install_cpu", 1, 1), ("x", "ours", "install_cpu", 2, 3),
    ("x", "nsis-zlib", "install_cpu", 1, 4), ("x", "nsis-zlib", "install_cpu", 2, 4),
    ("x", "nsis-lzma", "install_cpu", 1, 2), ("x", "nsis-lzma", "install_cpu", 2, 2),
    ("x", "copy", "install", 1, 0.5), ("x", "copy", "install", 2, 1),
    ("x", "copy", "install_cpu", 1, 2), ("x", "copy", "install_cpu", 2, 2),
    ("x", "ours", "load", 2, 1.5), ("x", "ours", "load", 1, 0.25),
    ("x", "nsis-zlib", "load", 1, 2), ("x", "nsis-lzma", "load", 1, 3),
    ("x", "ours", "rss_kib", 1, 2048), ("x", "nsis-zlib", "rss_kib", 1, 1024),
    ("x", "nsis-lzma", "rss_kib", 1, 4096),
    ("x", "ours", "size", 0, 1048576), ("x", "nsis-zlib", "size", 0, 2097152),
    ("x", "nsis-lzma", "size", 0, 524288),
    ("x", "ours", "window_ms", 1, 300), ("x", "ours", "window_ms", 2, 500),
    ("x", "nsis-zlib", "window_ms", 1, 200), ("x", "nsis-lzma", "window_ms", 1, 400),
    ("x", "ours", "pack", 1, 3), ("x", "ours", "pack", 2, 2),
    ("x", "nsis-zlib", "pack", 1, 1), ("x", "nsis-zlib", "pack", 2, 4),
    ("x", "nsis-lzma", "pack", 1, 8), ("x", "nsis-lzma", "pack", 2, 8),
    ("x", "ours", "pack_cpu", 1, 6), ("x", "nsis-zlib", "pack_cpu", 1, 3),
    ("x", "nsis-lzma", "pack_cpu", 1, 12),
    ("x", "ours", "pack_load", 1, 0.5), ("x", "nsis-zlib", "pack_load", 1, 0.75),
    ("x", "nsis-lzma", "pack_load", 1, 1),
    ("x", "ours", "anon_kib", 1, 7168), ("x", "nsis-zlib", "anon_kib", 1, 5120),
    ("x", "nsis-lzma", "anon_kib", 1, 10240),
    ("y", "payload", "files", 0, 9), ("y", "payload", "bytes", 0, 673586),
    ("y", "ours", "install", 1, 1), ("y", "nsis-zlib", "install", 1, 2),
    ("y", "nsis-lzma", "install", 1, 4),
    ("y", "ours", "rss_kib", 1, 1024), ("y", "nsis-zlib", "rss_kib", 1, 1024),
    ("y", "nsis-lzma", "rss_kib", 1, 1024),
    ("y", "ours", "size", 0, 1048576), ("y", "nsis-zlib", "size", 0, 1048576),
    ("y", "nsis-lzma", "size", 0, 1048576),
    ("y", "ours", "window_ms", 1, 100), ("y", "nsis-zlib", "window_ms", 1, 100),
    ("y", "nsis-lzma", "window_ms", 1, 100),
]


class CompareTableTest(unittest.TestCase):
    def setUp(self):
        handle, self.raw = tempfile.mkstemp(suffix=".tsv")
        with os.fdopen(handle, "w", encoding="utf-8") as out:
            for fields in RAW:
                out.write("\t".join(str(f) for f in fields) + "\n")

    def tearDown(self):
        os.remove(self.raw)

    def rows(self, *payloads):
        return compare_table.table(compare_table.read(self.raw), payloads).split("\n")

    def row(self, figure, payload="x"):
        found = [r for r in self.rows(payload) if ("| %s |" % figure) in r]
        self.assertEqual(len(found), 1, figure)
        return found[0]

    def test_header_and_label(self):
        rows = self.rows("x")
        self.assertEqual(rows[0], "| payload | figure | ours | NSIS zlib | ours/zlib | "
                                  "NSIS lzma | ours/lzma |")
        self.assertTrue(rows[2].startswith("| x (1,125 files, 2.5 MB) | install, min (s) |"))

    def test_min_and_median_and_their_ratios(self):
        self.assertTrue(self.row("install, min (s)").endswith(
            "| 1.00 | 2.00 | 0.50 | 4.00 | 0.25 |"))
        # NSIS zlib's median takes its fourth round too: 2, 3, 4, 100.
        self.assertTrue(self.row("install, median (s)").endswith(
            "| 2.00 | 3.50 | 0.57 | 4.00 | 0.50 |"))

    def test_paired_ratios_take_only_rounds_both_ran(self):
        # Rounds 1-3: 1/2, 2/4, 6/3 and 1/4, 2/4, 6/4.
        self.assertTrue(self.row("install, median of paired ratios").endswith(
            "| | | 0.50 | | 0.50 |"))

    def test_cpu_time_and_the_load_of_each_round(self):
        self.assertTrue(self.row("install CPU, median (s)").endswith(
            "| 2.00 | 4.00 | 0.50 | 2.00 | 1.00 |"))
        # Rounds 1-2: 1/4, 3/4 and 1/2, 3/2.
        self.assertTrue(self.row("install CPU, median of paired ratios").endswith(
            "| | | 0.50 | | 1.00 |"))
        self.assertTrue(self.row("load average (1 min) before each install").endswith(
            "| 0.25 1.50 | 2.00 | | 3.00 | |"))
        # The copy floor's table: rounds 1-2, walls 1/0.5 and 2/1, CPU 1/2 and 3/2.
        self.assertIn("| x | 0.75 | 2.00 | 2.00 | 1.00 |", self.rows("x", "y"))

    def test_memory_size_and_window_units(self):
        self.assertTrue(self.row("peak RSS, median (MiB)").endswith(
            "| 2.0 | 1.0 | 2.00 | 4.0 | 0.50 |"))
        self.assertTrue(self.row("peak anonymous RSS, median (MiB)").endswith(
            "| 7.0 | 5.0 | 1.40 | 10.0 | 0.70 |"))
        self.assertTrue(self.row("installer size (MiB)").endswith(
            "| 1.00 | 2.00 | 0.50 | 0.50 | 2.00 |"))
        self.assertTrue(self.row("first window, median (ms)").endswith(
            "| 400 | 200 | 2.00 | 400 | 1.00 |"))

    def test_packing_wall_and_cpu_with_their_loads(self):
        self.assertTrue(self.row("packing, min (s)").endswith(
            "| 2.00 | 1.00 | 2.00 | 8.00 | 0.25 |"))
        # Rounds 1-2: 3/1, 2/4 and 3/8, 2/8.
        self.assertTrue(self.row("packing, median of paired ratios").endswith(
            "| | | 1.75 | | 0.31 |"))
        self.assertTrue(self.row("packing CPU, median of paired ratios").endswith(
            "| | | 2.00 | | 0.50 |"))
        self.assertTrue(self.row("load average (1 min) before each packing").endswith(
            "| 0.50 | 0.75 | | 1.00 | |"))

    def test_no_packing_row_without_packing_figures(self):
        rows = self.rows("x", "y")
        self.assertEqual(len([r for r in rows if r.startswith("| y ")]), 7)
        self.assertFalse([r for r in rows if r.startswith("| y ") and "packing" in r])
        self.assertEqual(len([r for r in rows if r.startswith("| x ")]), 18)  # and the floor

    def test_command_line(self):
        script = os.path.join(HERE, "compare_table.py")
        done = subprocess.run([sys.executable, script, self.raw, "y"], capture_output=True,
                              text=True, check=False)
        self.assertEqual(done.returncode, 0)
        self.assertIn("| y (9 files, 0.7 MB) | install, min (s) | 1.00 | 2.00 | 0.50 |",
                      done.stdout)
        usage = subprocess.run([sys.executable, script], capture_output=True, text=True,
                               check=False)
        self.assertEqual(usage.returncode, 2)
        self.assertIn("usage: compare_table.py", usage.stderr)


if __name__ == "__main__":
    unittest.main()
