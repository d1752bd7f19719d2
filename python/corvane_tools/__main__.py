"""python -m corvane_tools: the corvane command."""

import sys

from corvane_tools.cli import main

sys.exit(main())
