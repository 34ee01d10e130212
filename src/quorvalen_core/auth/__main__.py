"""``python -m quorvalen_core.auth``: manage roles and permissions."""

import sys

from ..access.cli import main

sys.exit(main())
