"""`python -m velmor`: the command-line tool."""

from velmor.cli import main

raise SystemExit(main())
