"""Tables (Markdown) and the big-tensor plot."""

import os
import platform

import numpy as np
import onnxruntime as ort


def duration(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def ratio_text(value):
    """Two decimals, or two significant digits for ratios below 0.01."""
    return f"{value:.2f}" if value >= 0.01 else f"{value:.2g}"


def machine():
    cpu = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as info:
            cpu = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    memory = ""
    try:
        with open("/proc/meminfo") as info:
            kib = int(next(line.split()[1] for line in info if line.startswith("MemTotal")))
            memory = f", {kib / (1 << 20):.0f} GiB"
    except (OSError, StopIteration):
        pass
    return (f"{cpu}, {os.cpu_count()} cores{memory}; {platform.system()} {platform.release()}; "
            f"Python {platform.python_version()}, numpy {np.__version__}, onnxruntime {ort.__version__}")


def main_table(rows):
    medians = {(row.case, row.side): row.timing.median for row in rows}
    lines = [
        "| case | side | threading | median | p10 | p90 | ratio |",
        "|---|---|---|---:|---:|---:|---:|",
    ]
    for row in rows:
        ratio = ""
        if row.baseline is not None:
            ratio = f"**{ratio_text(row.timing.median / medians[(row.case, row.baseline)])}**"
        t = row.timing
        lines.append(f"| {row.case} | {row.side} | {row.threading} | {duration(t.median)} | "
                     f"{duration(t.p10)} | {duration(t.p90)} | {ratio} |")
    return "\n".join(lines)


def big_table(points, label):
    lines = [
        "| size | qelmo | peer | numpy copy | copyto | qelmo / peer | qelmo / copy | peer / copy |",
        "|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for size, m in points:
        lines.append(
            f"| {label(size)} | {duration(m['qelmo'])} | {duration(m['peer'])} | {duration(m['numpy copy'])} | "
            f"{duration(m['numpy copyto'])} | **{m['qelmo'] / m['peer']:.2f}** | "
            f"{m['qelmo'] / m['numpy copy']:.2f} | {m['peer'] / m['numpy copy']:.2f} |"
        )
    return "\n".join(lines)


def plot(points, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sizes = [size for size, _ in points]
    figure, axes = plt.subplots(figsize=(7, 4.5))
    for name, style in (("qelmo", "o-"), ("peer", "s-"), ("numpy copy", "^--"), ("numpy copyto", "v:")):
        axes.plot(sizes, [m[name] for _, m in points], style, label=name)
    axes.set_xscale("log", base=2)
    axes.set_yscale("log")
    axes.set_xlabel("tensor size (bytes, float32)")
    axes.set_ylabel("median time per call (s)")
    axes.set_title("Identity: one call against tensor size")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend()
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
