import sys

from dmtool.entry import main

sys.exit(main())
