import sys

from qelmo_cli.main import main

sys.exit(main())
