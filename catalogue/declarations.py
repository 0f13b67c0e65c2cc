"""The records a catalogue is made of: C functions, the structs and callback they use.

C types are written in one closed vocabulary: a primitive below, a struct's typedef name,
the callback's typedef name, ``char[64]``, or a pointer to one of them. A pointer MKL only
reads is spelled ``T const *``, a pointer it may write ``T *``.
"""

from __future__ import annotations

import json
from dataclasses import asdict, dataclass

PRIMITIVES = (
    "void",
    "char",
    "unsigned short",
    "int",
    "unsigned int",
    "long long",
    "unsigned long long",
    "float",
    "double",
)


def pointee(ctype: str) -> str:
    """The element type of a pointer spelling: "double const *" -> "double"."""
    return ctype.removesuffix(" *").removesuffix(" const")


def is_read_only(ctype: str) -> bool:
    return ctype.endswith(" const *")


@dataclass(frozen=True)
class Field:
    name: str
    ctype: str


@dataclass(frozen=True)
class Struct:
    typedef: str
    tag: str | None  # None: declared without a tag
    fields: tuple[Field, ...]

    @property
    def table_name(self) -> str:
        """The name the backend's struct table knows it by: its tag, or "$" and its typedef."""
        return self.tag or "$" + self.typedef


@dataclass(frozen=True)
class Callback:
    """A pointer-to-function typedef, such as MKL's error callback."""

    typedef: str
    result: str
    params: tuple[str, ...]


# MKL's header declares the Fortran-interface names with a trailing underscore on Linux: the
# symbol of "vdadd" is "vdadd_".
FORTRAN_SYMBOL_SUFFIX = "_"


@dataclass(frozen=True)
class Function:
    name: str  # exactly the name MKL's header declares
    result: str
    params: tuple[str, ...]
    param_names: tuple[str, ...]  # as MKL names them
    fortran: bool  # declared for the Fortran interface: its symbol carries MKL's suffix
    base: str = ""  # the operation, e.g. "Add"; "" where no operation applies
    precision: str = ""  # "s", "d", "c", "z", "h", or "" for service functions
    family: str = ""  # the shape of its parameter list, "service" for service functions
    mode_variant: bool = False  # takes a trailing accuracy-mode argument

    @property
    def symbol(self) -> str:
        """The name of the mkl_rt export it calls."""
        return self.name + FORTRAN_SYMBOL_SUFFIX if self.fortran else self.name


@dataclass(frozen=True)
class Catalogue:
    """Everything one extension module offers, and the choices that fix its type table."""

    module: str  # the module's full dotted name
    functions: tuple[Function, ...]
    structs: tuple[Struct, ...]
    callback: Callback
    # Function types are grouped by result in this order (results not listed come last,
    # in byte order), then ordered by their spelled parameter lists.
    result_order: tuple[str, ...]
    # Canonical entries of the types that no parameter list holds, in table order.
    trailing_types: tuple[str, ...]


def to_json(catalogue: Catalogue) -> str:
    return json.dumps(asdict(catalogue), indent=1)


def from_json(text: str) -> Catalogue:
    data = json.loads(text)
    return Catalogue(
        module=data["module"],
        functions=tuple(
            Function(**{k: tuple(v) if isinstance(v, list) else v for k, v in f.items()})
            for f in data["functions"]
        ),
        structs=tuple(
            Struct(s["typedef"], s["tag"], tuple(Field(**f) for f in s["fields"]))
            for s in data["structs"]
        ),
        callback=Callback(
            data["callback"]["typedef"],
            data["callback"]["result"],
            tuple(data["callback"]["params"]),
        ),
        result_order=tuple(data["result_order"]),
        trailing_types=tuple(data["trailing_types"]),
    )
