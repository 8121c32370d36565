"""python -m velto_ai_sdk.scripted_model SESSION.json [--port N]"""

import sys

from .command import main

if __name__ == "__main__":
    sys.exit(main())
