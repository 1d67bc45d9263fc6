"""The `kavro` command: check, evaluate, hash and test policies from the shell."""
