"""The tour: `python -m norvalis` runs every section on a small real problem and prints
one table of quantum results against their classical references."""
import argparse
import sys

from ._tour import SECTIONS, run_sections


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m norvalis", description=__doc__)
    parser.add_argument("--only", metavar="NAME", choices=[s.NAME for s in SECTIONS],
                        help="run one section: " + ", ".join(s.NAME for s in SECTIONS))
    parser.add_argument("--plots", metavar="DIR", default="tour-output",
                        help="folder for the PNG plots (default: tour-output)")
    args = parser.parse_args(argv)
    sections = [s for s in SECTIONS if args.only in (None, s.NAME)]
    return 0 if run_sections(sections, args.plots) else 1


if __name__ == "__main__":
    sys.exit(main())
