"""``python -m basinkit_model run|calibrate|methods ...``; see ``--help``."""

from ._cli import main

if __name__ == "__main__":
    raise SystemExit(main())
