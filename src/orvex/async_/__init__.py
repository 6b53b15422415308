"""Concurrency helpers: ``concurro`` (parallel calls in forked children) and
``synchronize`` (locks shared by threads and forked processes)."""
