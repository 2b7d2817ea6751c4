"""``python -m morvalen``: the command line (see ``morvalen --help``)."""

from .cli import main

raise SystemExit(main())
