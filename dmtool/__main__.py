import sys

from dmtool.cli import main

sys.exit(main())
