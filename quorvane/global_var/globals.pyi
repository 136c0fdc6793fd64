"""Type information for quorvane.global_var.globals, a C++ extension module.

apply_unidecoding reduces the text inside a value to ASCII; config_global_var
instances are read like a namespace of settings (defaults from
quorvane.global_var.global_var, numbers and booleans overridable by an INI
file); g is the instance that importing the module builds, without a file.
"""

import importlib as importlib
import traceback as traceback
from configparser import ConfigParser as ConfigParser
from os import PathLike
from types import ModuleType
from typing import Any, Iterable, TypeVar, overload

from unidecode import unidecode as unidecode

_T = TypeVar("_T")
_ListT = TypeVar("_ListT", bound=list[Any])
_DictT = TypeVar("_DictT", bound=dict[Any, Any])

# What ConfigParser.read accepts: one path or an iterable of paths.
_Path = str | bytes | PathLike[str] | PathLike[bytes]
_Files = _Path | Iterable[_Path]

# A str comes back as ASCII text (characters outside ASCII are dropped), a
# number (bool included) as its str form.  Lists and dicts are processed in
# place and returned themselves; anything else is returned unchanged.
@overload
def apply_unidecoding(object: str) -> str: ...
@overload
def apply_unidecoding(object: int | float) -> str: ...
@overload
def apply_unidecoding(object: _ListT) -> _ListT: ...
@overload
def apply_unidecoding(object: _DictT) -> _DictT: ...
@overload
def apply_unidecoding(object: _T) -> _T: ...

class config_global_var:
    """Settings namespace: defaults from the defaults module, numbers and
    booleans overridden by the INI file named at construction."""

    # Set on every instance: the upper-cased, transliterated option names of
    # the file (one entry per section and option; empty without a file) and
    # the defaults module.
    variables: list[str]
    module: ModuleType
    # Set only on an instance built from a file; reading them on an instance
    # built without one raises AttributeError.
    filename: _Files
    parser: ConfigParser
    config_json: dict[str, str]
    def __init__(self, filename: _Files | None = None) -> None: ...
    # Every other attribute read is a setting: the default, the file's value
    # converted to the default's type, or None (unknown name, unconvertible
    # file value); it never raises AttributeError.  Type checkers take the
    # type of any name the class does not declare from this method, so
    # settings read as Any.
    def __getattribute__(self, item: str) -> Any: ...

g: config_global_var
__test__: dict[str, Any]
