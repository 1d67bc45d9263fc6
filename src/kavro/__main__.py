"""`python -m kavro`: the kavro command."""

from kavro._command.main import main

if __name__ == "__main__":
    raise SystemExit(main())
