"""python3 -m zorvik: the zorvik-skill command."""

import sys

from zorvik.cli import main

sys.exit(main())
