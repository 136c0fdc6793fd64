"""Plain-Python counterpart of quorvane.global_var.globals, for the benchmarks.

This is the module as a Python developer would write it: the same two
entry points, `apply_unidecoding` and `config_global_var`, doing the same
work through the same library calls (`unidecode`, `configparser`,
`importlib`).  The benchmarks time it next to the extension module, as the
baseline users would otherwise run; it is only ever loaded by the benchmark
runner from this directory, under the name `twin`, and is never used in place
of the extension.
"""

from configparser import ConfigParser
import importlib
from unidecode import unidecode
import traceback


def apply_unidecoding(object):
    """
    Recursively unidecode all unicode types
    """
    try:
        if isinstance(object, str):
            try:
                return unidecode(object.decode("utf-8"))
            except:  # noqa: E722 - every failure moves on to the next attempt
                try:
                    return unidecode(object.decode("utf-8", "ignore"))
                except:  # noqa: E722
                    return unidecode(object.encode("ascii", "ignore").decode("ascii", "ignore"))
        if isinstance(object, dict):
            for key in object:
                object[key] = apply_unidecoding(object[key])
        if isinstance(object, list):
            for i, o in enumerate(object):
                object[i] = apply_unidecoding(o)
        if isinstance(object, (float, int)):
            object = str(object)
    except Exception as e:  # noqa: F841
        traceback.print_exc()
    return object


class config_global_var(object):
    """Settings: the defaults module's values, numbers and booleans
    overridden by the INI file the instance was built from."""

    def __init__(self, filename=None):
        self.variables = []
        if filename is not None:
            self.filename = filename
            self.parser = ConfigParser()
            self.parser.read(self.filename)
            self.config_json = {}
            for section in self.parser.sections():
                options = self.parser.options(section)
                options_decoded = apply_unidecoding(options)
                for x in map(str.upper, options_decoded):
                    self.config_json[x] = section
                    self.variables.append(x)
        self.module = importlib.import_module(".global_var.global_var", package="quorvane")

    def __getattribute__(self, item):
        if item in ("filename", "parser", "config_json", "module", "variables"):
            return object.__getattribute__(self, item)

        result = getattr(self.module, item, None)

        if (result is not None and isinstance(result, (int, float, complex, bool))
                and hasattr(self, "config_json")):
            name = item.upper()
            if name in self.config_json:
                section_name = self.config_json[name]
                variable_name = item
                try:
                    if isinstance(result, bool):
                        config_result = self.parser.getboolean(section_name, variable_name)
                    elif isinstance(result, int):
                        config_result = self.parser.getint(section_name, variable_name)
                    elif isinstance(result, float):
                        config_result = self.parser.getfloat(section_name, variable_name)
                    else:
                        config_result = None
                except ValueError as e:  # noqa: F841 - an unconvertible value reads as None
                    config_result = None
                result = config_result
        return result


g = config_global_var()
