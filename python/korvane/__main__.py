import sys

from korvane.cli import main

sys.exit(main())
