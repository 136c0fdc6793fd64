"""Type information for quorvane.global_var.globals, a C++ extension module.

apply_unidecoding reduces the text inside a value to ASCII; config_global_var
instances are read like a namespace of settings (defaults from
quorvane.global_var.global_var, numbers and booleans overridable by an INI
file); g is the instance that importing the module builds, without a file.
"""

import importlib as importlib
import traceback as traceback
from configparser import ConfigParser as ConfigParser
from decimal import Decimal
from fractions import Fraction
from os import PathLike
from types import ModuleType
from typing import Any, Generic, Iterable, TypeVar, overload

from unidecode import unidecode as unidecode

_K = TypeVar("_K")
# What apply_unidecoding returns unchanged and no list or dict can be.
_Kept = TypeVar(
    "_Kept",
    bound=tuple[Any, ...] | bytes | bytearray | set[Any] | frozenset[Any]
    | Decimal | Fraction | None,
)

# What ConfigParser.read accepts: one path or an iterable of paths.
_Path = str | bytes | PathLike[str] | PathLike[bytes]
_Files = _Path | Iterable[_Path]
# The filename an instance was built with: None when it was built without one.
_F = TypeVar("_F", bound=_Files | None)

# A str comes back as ASCII text (characters outside ASCII are dropped), a
# number (bool included: it is an int) as its str form.  Lists and dicts are
# processed in place and returned themselves, but what they hold changes
# type (numbers inside become strs, at any depth), so their items or values
# come back as Any; a dict's keys are left alone.  Anything else is returned
# unchanged.
#
# A value whose static type lets it be a list or a dict at run time (an
# abstract collection such as Sequence or Mapping, object, a class a list or
# dict subclass may derive from, a union holding one of them) comes back as
# Any: its items may have changed type as a list's do.  Only the types
# whose instances can never be lists or dicts (their layouts conflict)
# keep their own; a complex is given as complex | str, because a complex
# parameter accepts an int or a float too.
@overload
def apply_unidecoding(object: str) -> str: ...
@overload
def apply_unidecoding(object: int | float) -> str: ...
@overload
def apply_unidecoding(object: complex) -> str | complex: ...
@overload
def apply_unidecoding(object: list[Any]) -> list[Any]: ...
@overload
def apply_unidecoding(object: dict[_K, Any]) -> dict[_K, Any]: ...
@overload
def apply_unidecoding(object: _Kept) -> _Kept: ...
@overload
def apply_unidecoding(object: object) -> Any: ...

class config_global_var(Generic[_F]):
    """Settings namespace: defaults from the defaults module, numbers and
    booleans overridden by the INI file named at construction."""

    # Set on every instance: the upper-cased, transliterated option names of
    # the file (one entry per section and option; empty without a file) and
    # the defaults module.
    variables: list[str]
    module: ModuleType
    # Set only on an instance built from a file, filename as it was passed;
    # reading them on an instance built without one (config_global_var[None])
    # raises AttributeError.
    filename: _F
    parser: ConfigParser
    config_json: dict[str, str]
    @overload
    def __init__(self: config_global_var[None], filename: None = None) -> None: ...
    @overload
    def __init__(self: config_global_var[_F], filename: _F) -> None: ...
    # Every other attribute read is a setting: the default, the file's value
    # converted to the default's type, or None (unknown name, unconvertible
    # file value); it never raises AttributeError.  Type checkers take the
    # type of any name the class does not declare from this method, so
    # settings read as Any.
    def __getattribute__(self, item: str) -> Any: ...

g: config_global_var[None]
__test__: dict[str, Any]
