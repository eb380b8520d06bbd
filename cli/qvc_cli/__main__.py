import sys

from qvc_cli.main import main

sys.exit(main())
