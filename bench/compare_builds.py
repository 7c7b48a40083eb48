#!/usr/bin/env python3
"""Two builds' openssl_compare in rotating rounds: the library's speed in the
newer build against the older one, row by row (mode and direction).

  compare_builds.py OLD NEW [--rounds N] [openssl_compare options...]

Each round runs both programs once with --rounds 3 and the options given
(e.g. --api text --mib 16 --impl aes-ni), the older first in even rounds and
the newer first in odd ones, and takes the library's median MB/s from every
table row: three inner rounds, so that a first run on fresh pages, which one
build may warm up before timing and the other not, does not make the row. Prints, per row, each build's median MB/s and the median of the rounds'
new / old ratios with the lowest and highest. A program that does not know
--api ignores it, so builds from before that option compare on text.
"""
import re
import statistics
import subprocess
import sys

ROW = re.compile(r"^\| (\w+) \| (encrypt|decrypt) \| (\d+) ")


def library_rates(program, options):
    output = subprocess.run([program, "--rounds", "3", *options], check=True, capture_output=True,
                            text=True).stdout
    return {(m[1], m[2]): float(m[3]) for m in map(ROW.match, output.splitlines()) if m}


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    old, new, options = argv[1], argv[2], argv[3:]
    rounds = 7
    if "--rounds" in options:
        at = options.index("--rounds")
        rounds = int(options[at + 1])
        del options[at:at + 2]
    runs = {old: [], new: []}
    for r in range(rounds):
        for program in (old, new) if r % 2 == 0 else (new, old):
            runs[program].append(library_rates(program, options))
    rows = list(runs[new][0])
    print(f"library MB/s, {rounds} rounds, options {' '.join(options) or '(none)'}\n")
    print("| mode | direction | old | new | new / old per round: median [lowest, highest] |")
    print("|---|---|---|---|---|")
    for row in rows:
        olds = [run[row] for run in runs[old]]
        news = [run[row] for run in runs[new]]
        ratios = sorted(n / o for n, o in zip(news, olds))
        print(f"| {row[0]} | {row[1]} | {statistics.median(olds):.0f} | {statistics.median(news):.0f} | "
              f"{statistics.median(ratios):.2f} [{ratios[0]:.2f}, {ratios[-1]:.2f}] |")


if __name__ == "__main__":
    main(sys.argv)
