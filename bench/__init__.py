"""The benchmark scripts. Each runs as a script (python bench/NAME.py) or is
imported as bench.NAME (larkspur bench, the tests); either way its helpers
come from the module `common` beside it, which this directory on the path
makes importable."""

import os
import sys

_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.append(_HERE)
