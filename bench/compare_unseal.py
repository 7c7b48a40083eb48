#!/usr/bin/env python3
"""Times build/unseal against peers on the same file, in rounds.

Makes a file of a 54-byte header and a body of random bytes (256 MiB by
default), then runs in each round, in an order that rotates from round to
round so that none always runs first (on a warmer or colder page cache):
  unseal   build/unseal FILE KEY
  openssl  openssl enc -d -aes-256-cfb -nopad with the same key and IV
           (the same AES-256-CFB work, as one chain over the file)
  dd       dd bs=1M, a plain read-and-write copy
Each command's output is deleted right after its run. Prints every round's
times and the ratios unseal / dd and unseal / openssl of that round, their
medians and ranges, and peak RSS, including unseal's peak RSS on a 1 KiB file.
Usage: bench/compare_unseal.py [--mib N] [--rounds N] [--build DIR] [--openssl-ia32cap MASK]
  (at least 7 rounds). --build names the build folder holding unseal and
  bench/cipher_bench (default build/; e.g. one configured with
  -DUNSEAL_HARDWARE_AES=OFF). --openssl-ia32cap sets OPENSSL_ia32cap for the
  openssl command alone, e.g. ~0x200000000000000 to mask its AES-NI path.
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
GNU_TIME = "/usr/bin/time"


def run(argv, output, env=None):
    """Runs argv, then deletes output; returns (wall seconds, peak RSS in KiB).

    A child forked from Python starts with Python's pages counted in its peak
    RSS, so the peak comes from GNU time (package `time`), whose own small
    process forks the command."""
    with tempfile.NamedTemporaryFile("r") as rss_file:
        wrapped = [GNU_TIME, "-f", "%M", "-o", rss_file.name] + argv
        start = time.perf_counter()
        status = subprocess.run(wrapped, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env).returncode
        wall = time.perf_counter() - start
        if status != 0:
            sys.exit(f"failed: {' '.join(argv)}")
        os.remove(output)
        return wall, int(rss_file.read().split()[-1])


def make_file(path, size):
    """Writes size random bytes to path, on disk before it returns, so that
    its write-back does not land in the middle of the timed runs."""
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 1 << 20)
            f.write(os.urandom(n))
            left -= n
        f.flush()
        os.fsync(f.fileno())


def aes_path(bench):
    try:
        out = subprocess.run([bench, "--benchmark_filter=^$"], capture_output=True, text=True).stdout
        return out.splitlines()[0].split(": ")[-1]
    except (OSError, IndexError):
        return "unknown"


def load():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def spread(values):
    return f"median {statistics.median(values):.2f}, range {min(values):.2f}-{max(values):.2f}"


def main():
    if not os.access(GNU_TIME, os.X_OK):
        sys.exit("needs GNU time: apt-get install time")
    parser = argparse.ArgumentParser()
    parser.add_argument("--mib", type=int, default=256)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--openssl-ia32cap")
    args = parser.parse_args()
    unseal = os.path.join(args.build, "unseal")
    openssl_env = dict(os.environ)
    if args.openssl_ia32cap:
        openssl_env["OPENSSL_ia32cap"] = args.openssl_ia32cap
    if args.rounds < 7:
        sys.exit("--rounds: at least 7")

    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as tmp:
        big, small = os.path.join(tmp, "big.enc"), os.path.join(tmp, "small.enc")
        make_file(big, 54 + (args.mib << 20))
        make_file(small, 1024)
        peers = {
            "unseal": ([unseal, big, KEY.decode()], os.path.join(tmp, "big.decrypted")),
            "openssl": (["openssl", "enc", "-d", "-aes-256-cfb", "-nopad", "-K", KEY.hex(), "-iv", IV.hex(),
                         "-in", big, "-out", os.path.join(tmp, "big.openssl")], os.path.join(tmp, "big.openssl"),
                        openssl_env),
            "dd": (["dd", f"if={big}", f"of={os.path.join(tmp, 'big.dd')}", "bs=1M", "status=none"],
                   os.path.join(tmp, "big.dd")),
        }
        names = list(peers)
        print(f"file: 54-byte header + {args.mib} MiB body; {args.rounds} rounds; "
              f"AES path: {aes_path(os.path.join(args.build, 'bench', 'cipher_bench'))}; "
              f"openssl's OPENSSL_ia32cap: {args.openssl_ia32cap or 'unset'}; load average at start: {load()}")
        print(f"{'round':<6}{'order':<24}" + "".join(f"{n + ' s':>11}" for n in names) +
              f"{'unseal/dd':>11}{'unseal/openssl':>16}")
        times = {name: [] for name in names}
        rss = {name: 0 for name in names}
        to_dd, to_openssl = [], []
        for r in range(args.rounds):
            order = names[r % len(names):] + names[:r % len(names)]
            wall = {}
            for name in order:
                wall[name], peak = run(*peers[name])
                times[name].append(wall[name])
                rss[name] = max(rss[name], peak)
            to_dd.append(wall["unseal"] / wall["dd"])
            to_openssl.append(wall["unseal"] / wall["openssl"])
            print(f"{r + 1:<6}{','.join(order):<24}" + "".join(f"{wall[n]:>11.3f}" for n in names) +
                  f"{to_dd[-1]:>11.2f}{to_openssl[-1]:>16.2f}")
        _, small_rss = run([unseal, small, KEY.decode()], os.path.join(tmp, "small.decrypted"))

    print(f"load average at end: {load()}")
    print(f"{'command':<10}{'median s':>10}{'MB/s':>10}{'peak RSS KiB':>14}")
    for name in names:
        median = statistics.median(times[name])
        print(f"{name:<10}{median:>10.3f}{(args.mib << 20) / median / 1e6:>10.0f}{rss[name]:>14}")
    print(f"unseal / dd:      {spread(to_dd)}")
    print(f"unseal / openssl: {spread(to_openssl)}")
    print(f"unseal peak RSS: {rss['unseal']} KiB on {args.mib} MiB, {small_rss} KiB on 1 KiB")


if __name__ == "__main__":
    main()
