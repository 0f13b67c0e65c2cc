"""Benchmark suite: this module against what a user would pick instead, measured side by side."""
