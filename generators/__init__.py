"""The build's generators, one module per output, run as ``python -m generators.<module>``
with the repository root on the path: the type contexts of the cffi modules, the ufunc rows
and the package's stubs and data tables."""
