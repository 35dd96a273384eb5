"""`python3 -m lab` (from tests/, or with tests/ on PYTHONPATH) runs the demo."""

import sys

from .demo import demo

sys.exit(demo())
