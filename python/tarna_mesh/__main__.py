"""Command line: `python -m tarna_mesh demo [OUTDIR]`."""

from __future__ import annotations

import argparse
import sys


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m tarna_mesh",
        description="Surfaces of every object of a labelled 3-D volume.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    demo = commands.add_parser(
        "demo",
        help="mesh a built-in sample segmentation and write one PLY file per object",
        description="Mesh a built-in sample segmentation (a Voronoi partition clipped to a ball) "
        "with every core and write one binary PLY file per object.",
    )
    demo.add_argument("outdir", nargs="?", default="demo-out", help="output directory (default: demo-out)")
    # Edge length of the sample cube; kept out of the help, it exists for quick checks.
    demo.add_argument("--size", type=int, default=None, help=argparse.SUPPRESS)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "demo":
        if args.size is not None and args.size < 2:
            parser.error("--size must be at least 2")
        from tarna_mesh import demo

        options = {} if args.size is None else {"size": args.size}
        summary = demo.run(args.outdir, **options)
        for line in summary.lines():
            print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
