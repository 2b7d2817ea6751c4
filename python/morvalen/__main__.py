"""``python -m morvalen``: the command line (see ``morvalen --help``)."""

from .cli import main

if __name__ == "__main__":
    raise SystemExit(main())
