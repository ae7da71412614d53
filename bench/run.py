"""Runs every benchmark in this folder and prints their tables."""
import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def main():
    for path in sorted(HERE.glob("bench_*.py")):
        importlib.import_module(path.stem).main()


if __name__ == "__main__":
    main()
