"""`python -m kavro`: the kavro command."""

from kavro._command.main import main

raise SystemExit(main())
