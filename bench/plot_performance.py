#!/usr/bin/python3
"""Runs the speed comparisons and draws docs/figures/*.svg from their output.

  bench/plot_performance.py [--build DIR] [--fallback-build DIR] [--rounds N] [--mib N] [--redraw]

Each comparison's own output is kept beside its figure as a .txt file, and a
figure is drawn from that file alone, so --redraw draws every figure again
from the kept output without running anything. The comparisons:

  library.svg    DIR/bench/openssl_compare --api all: the library against
                 OpenSSL's EVP interface per mode, direction and interface,
                 on the AES-256 implementation this CPU is given.
  fallback.svg   the same in a build without AES instructions
                 (--fallback-build, configured with -DUNSEAL_HARDWARE_AES=OFF),
                 against OpenSSL with its AES-NI code masked; drawn only when
                 that build is given or its output was kept before.
  command.svg    bench/compare_unseal.py: the unseal command against
                 `openssl enc -d` and `dd bs=1M` on one file.

Draws with matplotlib from Debian's python3-matplotlib, installed by this
script alone (as root; otherwise it prints the apt-get line to run).
"""
import argparse
import importlib
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FIGURES = os.path.join(ROOT, "docs", "figures")
MASKED_AESNI = "~0x200000000000000"
ROW = re.compile(r"^\| (\w+) \| (encrypt|decrypt) \|.*\| ([\d.]+) \[([\d.]+), ([\d.]+)\] \|$")


def pyplot():
    try:
        return importlib.import_module("matplotlib.pyplot")
    except ImportError:
        pass
    install = "apt-get install -y python3-matplotlib"
    if os.geteuid() != 0:
        sys.exit(f"needs matplotlib; install it as root with:\n  {install}")
    subprocess.run(["apt-get", "install", "-y", "-qq", "python3-matplotlib"], check=True,
                   stdout=subprocess.DEVNULL, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    importlib.invalidate_caches()
    return importlib.import_module("matplotlib.pyplot")


def kept(name):
    return os.path.join(FIGURES, name + ".txt")


def run_and_keep(name, argv, env=None):
    print(f"running {' '.join(argv)}", flush=True)
    out = subprocess.run(argv, check=True, capture_output=True, text=True, env=env).stdout
    with open(kept(name), "w") as f:
        f.write(out)


def library_sections(text):
    """{api: (title line, [(mode, direction, ratio, low, high)])} from openssl_compare's output."""
    sections, api = {}, None
    for line in text.splitlines():
        head = re.match(r"^(text|buffer|stream): ", line)
        if head:
            api = head.group(1)
            sections[api] = ["", []]
        elif api and line.startswith("library on "):
            sections[api][0] = line
        elif api and (row := ROW.match(line)):
            mode, direction = row.group(1), row.group(2)
            sections[api][1].append((mode, direction, *map(float, row.group(3, 4, 5))))
    return sections


def draw_library(plt, name, title):
    ticker = importlib.import_module("matplotlib.ticker")
    with open(kept(name)) as f:
        sections = library_sections(f.read())
    apis = [a for a in ("text", "buffer", "stream") if a in sections]
    fig, axes = plt.subplots(1, 2, figsize=(10, 4), sharey=True)
    for ax, direction in zip(axes, ("encrypt", "decrypt")):
        modes = [m for m, d, *_ in sections[apis[0]][1] if d == direction]
        width = 0.8 / len(apis)
        for i, api in enumerate(apis):
            rows = {m: r for m, d, *r in sections[api][1] if d == direction}
            ratios = [rows[m][0] for m in modes]
            errors = [[rows[m][0] - rows[m][1] for m in modes], [rows[m][2] - rows[m][0] for m in modes]]
            xs = [x + (i - (len(apis) - 1) / 2) * width for x in range(len(modes))]
            ax.bar(xs, ratios, width, yerr=errors, capsize=2, label=api)
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_xticks(range(len(modes)), modes)
        ax.set_yscale("log")
        ax.yaxis.set_major_locator(ticker.LogLocator(subs=(1.0, 2.0, 5.0)))
        ax.yaxis.set_major_formatter(ticker.FuncFormatter(lambda y, _: f"{y:g}"))
        ax.yaxis.set_minor_formatter(ticker.NullFormatter())
        ax.set_title(direction)
    axes[0].set_ylabel("library / OpenSSL speed (log scale)")
    axes[0].legend(title="interface")
    setting = sections[apis[0]][0].split(", MB/s")[0]
    fig.suptitle(f"{title}\n{setting}; bars: median of the rounds' ratios, whiskers: lowest and highest", fontsize=9)
    save(plt, fig, name)


def draw_command(plt):
    with open(kept("command")) as f:
        text = f.read()
    speeds = {m.group(1): float(m.group(2))
              for m in re.finditer(r"^(unseal|openssl|dd)\s+[\d.]+\s+(\d+)\s+\d+$", text, re.M)}
    labels = {"unseal": "unseal", "openssl": "openssl enc -d\n(AES-256-CFB)", "dd": "dd bs=1M\n(plain copy)"}
    fig, ax = plt.subplots(figsize=(7, 2.6))
    names = ["dd", "openssl", "unseal"]
    ax.barh([labels[n] for n in names], [speeds[n] for n in names], color=["grey", "tab:orange", "tab:blue"])
    for y, n in enumerate(names):
        ax.text(speeds[n], y, f" {speeds[n]:.0f} MB/s", va="center")
    ax.set_xlim(0, max(speeds.values()) * 1.25)
    ax.set_xlabel("MB/s, median of the rounds (higher is faster)")
    head = re.match(r"file: (.*?); (\d+) rounds; AES path: (\S+);", text)
    fig.suptitle(f"Decrypting a file of a {head.group(1)}: {head.group(2)} rounds, library on {head.group(3)}",
                 fontsize=9)
    save(plt, fig, "command")


def save(plt, fig, name):
    fig.tight_layout()
    path = os.path.join(FIGURES, name + ".svg")
    # No date in the file, so drawing the same output again gives the same bytes.
    fig.savefig(path, metadata={"Date": None})
    plt.close(fig)
    print(f"drew {os.path.relpath(path, ROOT)}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--fallback-build")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--mib", type=int, default=256, help="file size for the command's comparison")
    parser.add_argument("--redraw", action="store_true", help="draw from the kept output only")
    args = parser.parse_args()
    plt = pyplot()
    os.makedirs(FIGURES, exist_ok=True)
    if not args.redraw:
        rounds = ["--rounds", str(args.rounds)]
        run_and_keep("library", [os.path.join(args.build, "bench", "openssl_compare"), "--api", "all", *rounds])
        if args.fallback_build:
            run_and_keep("fallback", [os.path.join(args.fallback_build, "bench", "openssl_compare"), "--api", "all",
                                      *rounds], env=dict(os.environ, OPENSSL_ia32cap=MASKED_AESNI))
        run_and_keep("command", [os.path.join(ROOT, "bench", "compare_unseal.py"), "--build", args.build,
                                 "--mib", str(args.mib), *rounds])
    draw_library(plt, "library", "The library against OpenSSL 3 (EVP), this CPU's AES instructions on both sides")
    if os.path.exists(kept("fallback")):
        draw_library(plt, "fallback", "Without AES instructions: the library built with -DUNSEAL_HARDWARE_AES=OFF "
                                      "against OpenSSL with its AES-NI code masked")
    draw_command(plt)


if __name__ == "__main__":
    main()
