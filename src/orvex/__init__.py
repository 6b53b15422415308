"""orvex: a concurrency toolkit (forked parallel calls, fork-safe object locking)."""
