"""``python -m vantrel``: the command line."""

import sys

from .cli import main

# Importing the package's modules (a tool walking the package) must not run it.
if __name__ == "__main__":
    sys.exit(main())
