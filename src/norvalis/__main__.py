"""The tour: `python -m norvalis` runs every section on a small real problem and prints
one table of quantum results against their classical references."""
import argparse
import os
import sys


def main(argv=None):
    # The tour only writes PNG files: no plot window, whatever the desktop offers.
    os.environ.setdefault("MPLBACKEND", "Agg")
    from ._tour import SECTIONS, run_sections

    parser = argparse.ArgumentParser(prog="python -m norvalis", description=__doc__)
    parser.add_argument("--only", metavar="NAME", choices=SECTIONS,
                        help="run one section: " + ", ".join(SECTIONS))
    parser.add_argument("--plots", metavar="DIR", default="tour-output",
                        help="folder for the PNG plots (default: tour-output)")
    args = parser.parse_args(argv)
    return 0 if run_sections([args.only] if args.only else SECTIONS, args.plots) else 1


if __name__ == "__main__":
    sys.exit(main())
