#!/usr/bin/env python3
"""Converts the benchmark's sources with two builds of ratemill-cli (WORK/before and WORK/after)
in every mode and compares the outputs byte for byte; prints a table and exits 1 on any
difference.

  bench/same_outputs.py WORK     (run by bench/same_outputs.sh)
"""
import filecmp
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import benchmark_jobs, make_inputs  # noqa: E402

MODES = [("standard", ["-Q", "standard"]), ("high, 16 bits", ["-Q", "high"]),
         ("high, 24 bits", ["-Q", "high", "--bits", "24"])]


def main():
    work = sys.argv[1]
    inputs = make_inputs(os.path.join(work, "input"))
    different = 0
    print("| job | mode | outputs | identical |")
    print("|---|---|---:|---|")
    for name, files, rate, channels, _ in benchmark_jobs(inputs):
        for mode, options in MODES:
            outputs = {}
            for side in ("before", "after"):
                out = os.path.join(work, "output", side)
                shutil.rmtree(out, ignore_errors=True)
                os.makedirs(out)
                cli = os.path.join(work, side, "cli", "ratemill-cli")
                subprocess.run([cli, "-q", "-j", "1", "-r", str(rate), "-c", str(channels),
                                *options, "-o", out, *files], check=True)
                outputs[side] = out
            names = sorted(os.listdir(outputs["before"]))
            same = names == sorted(os.listdir(outputs["after"])) and all(
                filecmp.cmp(os.path.join(outputs["before"], n), os.path.join(outputs["after"], n),
                            shallow=False) for n in names)
            different += 0 if same else 1
            print(f"| {name} | {mode} | {len(names)} | {'yes' if same else 'NO'} |")
    return 1 if different else 0


if __name__ == "__main__":
    sys.exit(main())
