"""``python -m morvane``: the command line of `morvane.cli`."""

import sys

from morvane.cli import main

sys.exit(main())
