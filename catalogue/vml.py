"""The 1044 VML functions of quorvex.mkl.lorimath and the C types they use, written once.

This catalogue is the module's contract: its names, signatures and the order of its type
table do not change with MKL's header. It is data plus the naming rule that expands it;
nothing here emits code. The build lays out the module's type context from it
(generators/type_context.py), and the tests read it as the list of what the module offers.
"""

from __future__ import annotations

from .declarations import PRIMITIVES, Callback, Catalogue, Field, Function, Struct

__all__ = ["CATALOGUE", "PRIMITIVES", "STRUCTS", "Field", "Function", "Struct", "functions"]

STRUCTS = (
    Struct("MKL_Complex8", "_MKL_Complex8", (Field("real", "float"), Field("imag", "float"))),
    Struct("MKL_Complex16", "_MKL_Complex16", (Field("real", "double"), Field("imag", "double"))),
    Struct(
        "MKLVersion",
        None,
        (
            Field("MajorVersion", "int"),
            Field("MinorVersion", "int"),
            Field("UpdateVersion", "int"),
            Field("ProductStatus", "char *"),
            Field("Build", "char *"),
            Field("Processor", "char *"),
            Field("Platform", "char *"),
        ),
    ),
    Struct(
        "DefVmlErrorContext",
        "_DefVmlErrorContext",
        (
            Field("iCode", "int"),
            Field("iIndex", "int"),
            Field("dbA1", "double"),
            Field("dbA2", "double"),
            Field("dbR1", "double"),
            Field("dbR2", "double"),
            Field("cFuncName", "char[64]"),
            Field("iFuncNameLen", "int"),
            Field("dbA1Im", "double"),
            Field("dbA2Im", "double"),
            Field("dbR1Im", "double"),
            Field("dbR2Im", "double"),
        ),
    ),
)

# The error-callback type: a pointer to "int (DefVmlErrorContext *)".
CALLBACK = Callback("VMLErrorCallBack", "int", ("DefVmlErrorContext *",))

# ---------------------------------------------------------------------------
# Elementwise operations.  A family lists its parameters in order, each as a role
# and the name MKL's reference gives it ("in a"); the role becomes a C type once
# the precision and the interface are known.

ELEMENT_TYPE = {"s": "float", "d": "double", "c": "MKL_Complex8", "z": "MKL_Complex16"}
REAL_PART_TYPE = {"c": "float", "z": "double"}

FAMILIES = {
    "one_input": ("count n", "in a", "out y"),
    "two_input": ("count n", "in a", "in b", "out y"),
    "two_results": ("count n", "in a", "out y", "out z"),
    "powx": ("count n", "in a", "scalar b", "out y"),
    "linear_frac": (
        "count n", "in a", "in b",
        "scalar scalea", "scalar shifta", "scalar scaleb", "scalar shiftb", "out y",
    ),
    "complex_to_real": ("count n", "in a", "real_out y"),
    "real_to_complex": ("count n", "real_in a", "out y"),
}  # fmt: skip
MODE_PARAMETER = "mode mode"  # appended to the parameters of the mode variants

REAL_BASES = {
    "one_input": (
        "Abs", "Acos", "Acosh", "Asin", "Asinh", "Atan", "Atanh", "Cbrt", "CdfNorm",
        "CdfNormInv", "Ceil", "Cos", "Cosh", "Erf", "ErfInv", "Erfc", "ErfcInv", "Exp",
        "Expm1", "Floor", "Frac", "Inv", "InvCbrt", "InvSqrt", "LGamma", "Ln", "Log10",
        "Log1p", "NearbyInt", "Pow2o3", "Pow3o2", "Rint", "Round", "Sin", "Sinh", "Sqr",
        "Sqrt", "TGamma", "Tan", "Tanh", "Trunc",
    ),
    "two_input": ("Add", "Atan2", "Div", "Hypot", "Mul", "Pow", "Sub"),
    "two_results": ("Modf", "SinCos"),
    "powx": ("Powx",),
    "linear_frac": ("LinearFrac",),
}  # fmt: skip

COMPLEX_BASES = {
    "one_input": (
        "Acos", "Acosh", "Asin", "Asinh", "Atan", "Atanh", "Conj", "Cos", "Cosh", "Exp",
        "Ln", "Log10", "Sin", "Sinh", "Sqrt", "Tan", "Tanh",
    ),
    "two_input": ("Add", "Div", "Mul", "MulByConj", "Pow", "Sub"),
    "complex_to_real": ("Abs", "Arg"),
    "real_to_complex": ("CIS",),
    "powx": ("Powx",),
}  # fmt: skip

# Pack and unpack: the selector is a stride ("stride") or an int array ("select").
PACK_BASES = {
    "PackI": ("count n", "in a", "stride incra", "out y"),
    "PackV": ("count n", "in a", "select ia", "out y"),
    "PackM": ("count n", "in a", "select ma", "out y"),
    "UnpackI": ("count n", "in a", "out y", "stride incry"),
    "UnpackV": ("count n", "in a", "out y", "select iy"),
    "UnpackM": ("count n", "in a", "out y", "select my"),
}

# ---------------------------------------------------------------------------
# Service functions: (C-interface name, result, C parameter, Fortran parameter,
# parameter name).

SERVICES = (
    ("vmlSetMode", "unsigned int", "unsigned int", "unsigned int *", "mode"),
    ("vmlGetMode", "unsigned int", None, None, None),
    ("vmlSetErrStatus", "int", "int", "int *", "status"),
    ("vmlGetErrStatus", "int", None, None, None),
    ("vmlClearErrStatus", "int", None, None, None),
    ("vmlSetErrorCallBack", "VMLErrorCallBack", "VMLErrorCallBack", "VMLErrorCallBack", "callback"),
    ("vmlGetErrorCallBack", "VMLErrorCallBack", None, None, None),
    ("vmlClearErrorCallBack", "VMLErrorCallBack", None, None, None),
)

# ---------------------------------------------------------------------------
# The naming rule and the role -> C type rule.


def _param_type(role: str, p: str, fortran: bool) -> str:
    elem = ELEMENT_TYPE[p]
    by_ref = " *" if fortran else ""
    return {
        "count": "int" + by_ref,
        "stride": "int" + by_ref,
        "select": "int *",
        "in": f"{elem} const *",
        "out": f"{elem} *",
        "scalar": f"{elem} const *" if fortran else elem,
        "real_in": f"{REAL_PART_TYPE.get(p, elem)} const *",
        "real_out": f"{REAL_PART_TYPE.get(p, elem)} *",
        "mode": "long long" + by_ref,
    }[role]


def _name_forms(prefix: str, p: str, base: str) -> tuple[tuple[str, bool], ...]:
    c_name = f"{prefix}{p}{base}"
    return ((c_name, False), (c_name.lower(), True), (c_name.upper(), True))


def _parameters(
    parameters: tuple[str, ...], p: str, fortran: bool
) -> tuple[tuple[str, ...], tuple[str, ...]]:
    """C types and names of parameters written as "role name"."""
    roles, names = zip(*(parameter.split() for parameter in parameters), strict=True)
    return tuple(_param_type(role, p, fortran) for role in roles), names


def functions() -> list[Function]:
    """Every function of the module, in catalogue order (not sorted)."""
    out: list[Function] = []
    groups = [("sd", REAL_BASES), ("cz", COMPLEX_BASES)]
    for precisions, bases_by_family in groups:
        for p in precisions:
            for family, bases in bases_by_family.items():
                for base in bases:
                    for prefix, mode in (("v", ()), ("vm", (MODE_PARAMETER,))):
                        for name, fortran in _name_forms(prefix, p, base):
                            params, names = _parameters(FAMILIES[family] + mode, p, fortran)
                            out.append(
                                Function(
                                    name,
                                    "void",
                                    params,
                                    names,
                                    fortran,
                                    base,
                                    p,
                                    family,
                                    bool(mode),
                                )
                            )
    for p in "sdcz":
        for base, parameters in PACK_BASES.items():
            for name, fortran in _name_forms("v", p, base):
                params, names = _parameters(parameters, p, fortran)
                out.append(Function(name, "void", params, names, fortran, base, p, "pack", False))
    for c_name, result, c_param, f_param, param_name in SERVICES:
        for name, fortran in ((c_name, False), (c_name.lower(), True), (c_name.upper(), True)):
            param = f_param if fortran else c_param
            params, names = ((), ()) if param is None else ((param,), (param_name,))
            out.append(
                Function(name, result, params, names, fortran, c_name[3:], "", "service", False)
            )
    return out


CATALOGUE = Catalogue(
    module="quorvex.mkl.lorimath",
    functions=tuple(functions()),
    structs=STRUCTS,
    callback=CALLBACK,
    result_order=("int", CALLBACK.typedef, "unsigned int", "void"),
    trailing_types=("DefVmlErrorContext", "MKLVersion", "char *", "char", "char[64]", "void"),
)
