"""docs/benchmarks.png from bench/benchmarks.json: extraction time per engine on each volume.

python bench/plot_benchmarks.py        (needs matplotlib)
"""

import json
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

HERE = Path(__file__).parent


def main():
    figures = json.loads((HERE / "benchmarks.json").read_text())["extraction"]
    volumes = list(figures["rows"])
    engines = figures["columns"]
    figure, axes = plt.subplots(figsize=(9, 4.5), dpi=100)
    width = 0.8 / len(engines)
    for index, engine in enumerate(engines):
        seconds = [figures["rows"][volume][index] for volume in volumes]
        positions = [volume_index + (index - (len(engines) - 1) / 2) * width for volume_index in range(len(volumes))]
        shown = [(x, s) for x, s in zip(positions, seconds) if s is not None]
        axes.bar([x for x, _ in shown], [s for _, s in shown], width, label=engine)
    axes.set_yscale("log")
    axes.set_ylabel("seconds (log scale, lower is better)")
    axes.set_xticks(range(len(volumes)), [volume.replace(", ", "\n") for volume in volumes])
    axes.set_title("Extracting every object's surface")
    axes.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(HERE.parent / "docs" / "benchmarks.png")


if __name__ == "__main__":
    main()
