#!/usr/bin/env python3
"""Times build/unseal against peers on the same file, in one go.

Makes a file of a 54-byte header and a 256 MiB body (random bytes), then runs,
alternating, three times each:
  unseal   build/unseal FILE KEY
  openssl  openssl enc -d -aes-256-cfb -nopad with the same key and IV
           (the same AES-256-CFB work, as one chain over the file)
  dd       dd bs=1M, a plain read-and-write copy
and prints the median wall times, the ratios, and peak RSS, including unseal's
peak RSS on a 1 KiB file. Usage: bench/compare_unseal.py [--mib N] [--runs N]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

KEY = b"unseal-demo-key-0123456789abcdef"
IV = b"5555555555555555"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
UNSEAL = os.path.join(ROOT, "build", "unseal")
BENCH = os.path.join(ROOT, "build", "bench", "cipher_bench")


GNU_TIME = "/usr/bin/time"


def run(argv):
    """Runs argv; returns (wall seconds, peak RSS in KiB).

    A child forked from Python starts with Python's pages counted in its peak
    RSS, so the peak comes from GNU time (package `time`), whose own small
    process forks the command."""
    with tempfile.NamedTemporaryFile("r") as rss_file:
        wrapped = [GNU_TIME, "-f", "%M", "-o", rss_file.name] + argv
        start = time.perf_counter()
        status = subprocess.run(wrapped, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        wall = time.perf_counter() - start
        if status != 0:
            sys.exit(f"failed: {' '.join(argv)}")
        return wall, int(rss_file.read().split()[-1])


def make_file(path, size):
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 1 << 20)
            f.write(os.urandom(n))
            left -= n


def aes_path():
    try:
        out = subprocess.run([BENCH, "--benchmark_filter=^$"], capture_output=True, text=True).stdout
        return out.splitlines()[0].split(": ")[-1]
    except (OSError, IndexError):
        return "unknown"


def main():
    if not os.access(GNU_TIME, os.X_OK):
        sys.exit("needs GNU time: apt-get install time")
    parser = argparse.ArgumentParser()
    parser.add_argument("--mib", type=int, default=256)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as tmp:
        big, small = os.path.join(tmp, "big.enc"), os.path.join(tmp, "small.enc")
        make_file(big, 54 + (args.mib << 20))
        make_file(small, 1024)
        peers = {
            "unseal": [UNSEAL, big, KEY.decode()],
            "openssl": ["openssl", "enc", "-d", "-aes-256-cfb", "-nopad", "-K", KEY.hex(), "-iv", IV.hex(),
                        "-in", big, "-out", os.path.join(tmp, "big.openssl")],
            "dd": ["dd", f"if={big}", f"of={os.path.join(tmp, 'big.dd')}", "bs=1M", "status=none"],
        }
        times = {name: [] for name in peers}
        rss = {name: 0 for name in peers}
        for _ in range(args.runs):
            for name, argv in peers.items():
                wall, peak = run(argv)
                times[name].append(wall)
                rss[name] = max(rss[name], peak)
        _, small_rss = run([UNSEAL, small, KEY.decode()])

    median = {name: statistics.median(t) for name, t in times.items()}
    print(f"file: 54-byte header + {args.mib} MiB body; {args.runs} alternating runs each; "
          f"AES path: {aes_path()}")
    print(f"{'command':<10}{'median s':>10}{'MB/s':>10}{'peak RSS KiB':>14}   runs")
    for name in peers:
        mbps = (args.mib << 20) / median[name] / 1e6
        runs = " ".join(f"{t:.3f}" for t in times[name])
        print(f"{name:<10}{median[name]:>10.3f}{mbps:>10.0f}{rss[name]:>14}   {runs}")
    print(f"unseal / openssl: {median['unseal'] / median['openssl']:.2f}")
    print(f"unseal / dd:      {median['unseal'] / median['dd']:.2f}")
    print(f"unseal peak RSS: {rss['unseal']} KiB on {args.mib} MiB, {small_rss} KiB on 1 KiB "
          f"(difference {rss['unseal'] - small_rss} KiB)")


if __name__ == "__main__":
    main()
