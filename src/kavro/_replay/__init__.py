"""Replaying request logs against policies: reading logs into Arrow columns,
deciding them partition by partition, and tallying the decisions.

Needs pyarrow (`pip install 'kavro[replay]'`); the engine itself does not.
"""
