// NumPy's C API as the ufunc module uses it: the array and ufunc tables, from NumPy 1.23 on.
#pragma once

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#include <numpy/ndarrayobject.h>
#include <numpy/ufuncobject.h>
