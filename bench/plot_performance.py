#!/usr/bin/python3
"""Runs the speed comparisons and draws docs/figures/*.svg from their output.

  bench/plot_performance.py [--build DIR] [--fallback-build DIR] [--rounds N] [--mib N] [--redraw]

Each comparison's own output is kept beside its figure as a .txt file, under
a first line naming the CPU it ran on, and a figure is drawn from that file
alone, so --redraw draws every figure again from the kept output without
running anything. The comparisons:

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


def cpu_model():
    with open("/proc/cpuinfo") as f:
        names = re.findall(r"^model name\s*:\s*(.+)$", f.read(), re.M)
    return f"{names[0] if names else os.uname().machine}, {os.cpu_count()} cores"


def run_and_keep(name, argv, env=None):
    print(f"running {' '.join(argv)}", flush=True)
    out = subprocess.run(argv, check=True, capture_output=True, text=True, env=env).stdout
    with open(kept(name), "w") as f:
        f.write(f"cpu: {cpu_model()}\n{out}")


def read_kept(name):
    """The kept output and the CPU its first line names."""
    with open(kept(name)) as f:
        text = f.read()
    cpu = re.match(r"cpu: (.*)\n", text)
    return text, cpu.group(1) if cpu else "CPU not recorded"


def library_sections(text):
    """{api: (setting line, [(mode, direction, ratio, low, high)])} from openssl_compare's output."""
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
    text, cpu = read_kept(name)
    sections = library_sections(text)
    apis = [a for a in ("text", "buffer", "stream") if a in sections]
    setting = re.compile(r"library on (\S+), (\d+ MiB), medians of (\d+) rounds")
    settings = {api: setting.match(sections[api][0]) for api in apis}
    fig, axes = plt.subplots(1, 2, figsize=(10, 4.2), sharey=True)
    for ax, direction in zip(axes, ("encrypt", "decrypt")):
        modes = [m for m, d, *_ in sections[apis[0]][1] if d == direction]
        width = 0.8 / len(apis)
        for i, api in enumerate(apis):
            rows = {m: r for m, d, *r in sections[api][1] if d == direction}
            ratios = [rows[m][0] for m in modes]
            errors = [[rows[m][0] - rows[m][1] for m in modes], [rows[m][2] - rows[m][0] for m in modes]]
            xs = [x + (i - (len(apis) - 1) / 2) * width for x in range(len(modes))]
            # Bars grow from 1 (as fast as OpenSSL): up where the library is faster, down where it is slower.
            ax.bar(xs, [r - 1 for r in ratios], width, bottom=1, yerr=errors, capsize=2,
                   label=f"{api} ({settings[api].group(2)})")
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_xticks(range(len(modes)), modes)
        ax.set_yscale("log")
        ax.yaxis.set_major_locator(ticker.LogLocator(subs=(1.0, 2.0, 5.0)))
        ax.yaxis.set_major_formatter(ticker.FuncFormatter(lambda y, _: f"{y:g}"))
        ax.yaxis.set_minor_formatter(ticker.NullFormatter())
        ax.grid(axis="y", linewidth=0.3)
        ax.set_title(direction)
    axes[0].set_ylabel("library / OpenSSL speed (log scale)")
    axes[0].legend(title="interface (data size)")
    first = settings[apis[0]]
    fig.suptitle(f"{title}\n{cpu}; library on {first.group(1)}; bars: median of {first.group(3)} rounds' "
                 "ratios, whiskers: lowest and highest", fontsize=9)
    save(plt, fig, name)


def draw_command(plt):
    text, cpu = read_kept("command")
    head = re.search(r"^file: 54-byte header \+ (\d+) MiB body; (\d+) rounds; AES path: (\S+);", text, re.M)
    mb = int(head.group(1)) * (1 << 20) / 1e6
    names = ["dd", "openssl", "unseal"]
    # Every round's seconds, in the columns unseal, openssl, dd of the rounds table.
    rounds = [line.split()[2:5] for line in text.splitlines() if re.match(r"^\d+\s+\w+,\w+,\w+\s", line)]
    speeds = {n: [mb / float(r[i]) for r in rounds] for i, n in enumerate(["unseal", "openssl", "dd"])}
    medians = {m.group(1): float(m.group(2))
               for m in re.finditer(r"^(unseal|openssl|dd)\s+[\d.]+\s+(\d+)\s+\d+$", text, re.M)}
    labels = {"unseal": "unseal", "openssl": "openssl enc -d\n(AES-256-CFB)", "dd": "dd bs=1M\n(plain copy)"}
    colors = {"unseal": "tab:blue", "openssl": "tab:orange", "dd": "grey"}
    fig, ax = plt.subplots(figsize=(7.5, 2.8))
    right = max(max(v) for v in speeds.values()) * 1.3
    for y, n in enumerate(names):
        ax.barh(y, medians[n], color=colors[n], alpha=0.35, height=0.6)
        ax.plot(speeds[n], [y] * len(speeds[n]), "o", color=colors[n], markersize=4)
        ax.text(right, y, f"median {medians[n]:.0f} MB/s ", va="center", ha="right", fontsize=8)
    ax.set_yticks(range(len(names)), [labels[n] for n in names])
    ax.set_xlim(0, right)
    ax.set_xlabel("MB/s (higher is faster); dots: each round, bar: median")
    fig.suptitle(f"Decrypting one file (54-byte header + {head.group(1)} MiB body), {head.group(2)} rounds\n"
                 f"{cpu}; library on {head.group(3)}", fontsize=9)
    save(plt, fig, "command")


def save(plt, fig, name):
    fig.tight_layout()
    path = os.path.join(FIGURES, name + ".svg")
    # No date and no random element ids in the file, so drawing the same
    # output again gives the same bytes.
    plt.rcParams["svg.hashsalt"] = name
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
