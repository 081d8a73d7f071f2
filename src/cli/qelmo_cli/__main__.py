import sys

from qelmo_cli.main import main

# Guarded, because worker processes started with "spawn" import the main module.
if __name__ == "__main__":
    sys.exit(main())
