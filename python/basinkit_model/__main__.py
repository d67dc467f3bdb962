"""``python -m basinkit_model run|calibrate|methods ...``; see ``--help``."""

import os
import sys

from ._cli import main
from ._cli_inputs import INTERRUPTED

if __name__ == "__main__":
    code = main()
    if code == INTERRUPTED:
        # A Ctrl-C that landed inside a compiled module's import marks the
        # interpreter, which would then end by SIGINT instead of this status.
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except OSError:
                pass
        os._exit(code)
    raise SystemExit(code)
