"""`python -m velmor`: the command-line tool."""

try:
    from velmor.cli import main
except KeyboardInterrupt:
    raise SystemExit(130) from None

raise SystemExit(main())
