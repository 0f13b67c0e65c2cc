"""Benchmark suite: the package against what a user would pick instead, measured side by side."""
