"""python -m velto_ai_sdk.cli: the same as velto-ai."""

import sys

from . import main

sys.exit(main())
