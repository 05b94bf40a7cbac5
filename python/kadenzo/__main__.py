"""`python -m kadenzo`: the command line (see kadenzo.cli)."""

import sys

from kadenzo.cli import main

if __name__ == "__main__":
    sys.exit(main())
